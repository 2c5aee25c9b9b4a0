// The I/O runtime: worker threads, one single-threaded io_context each, and a pool for blocking work.
// Created on first use; a forked child gets a fresh one (the parent's threads do not exist there).
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/thread_pool.hpp>

#include <cstdint>

namespace engine::runtime {

// Which process image the runtime belongs to: it goes up by one in every forked child. Objects made for
// one generation's runtime (an engine's sockets, its worker) must not be used in another.
std::uint64_t generation() noexcept;

// The executor of the next worker, round robin, so engines spread evenly. Starts the runtime if needed
// (throws when threads cannot be created). Callers hold the interpreter lock, which serialises them.
boost::asio::any_io_executor next_worker();

// For blocking work (host-name lookup) that must not hold up a worker.
boost::asio::thread_pool& blocking_pool();

}  // namespace engine::runtime
