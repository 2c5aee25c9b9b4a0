// The I/O runtime's pool for blocking work. Its worker threads, one io_context each, are the bridge's own
// (bridge.cpp): engines reach them through their Endpoint's executor.
#pragma once

#include <boost/asio/thread_pool.hpp>

namespace engine {

// For blocking work (host-name lookup) that must not hold up a runtime worker. Created on first use, it
// lives until the process ends.
boost::asio::thread_pool& blocking_pool();

}  // namespace engine
