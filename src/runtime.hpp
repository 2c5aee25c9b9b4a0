// The process-wide I/O runtime that every engine task runs on.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

namespace engine {

// Both are created on first use and live until the process ends.
boost::asio::io_context& io_runtime();
// For blocking work (host-name lookup) that must not hold up a runtime worker.
boost::asio::thread_pool& blocking_pool();

}  // namespace engine
