// The process-wide I/O runtime that every engine task runs on.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

namespace engine {

// Created on first use; lives until the process ends.
// For blocking work (host-name lookup) that must not hold up a runtime worker.
boost::asio::thread_pool& blocking_pool();

}  // namespace engine
