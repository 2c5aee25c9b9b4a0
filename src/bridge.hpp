// The awaitable bridge: runs a task on the I/O runtime and completes an asyncio future of the caller's
// running loop with its outcome. It knows nothing of what the task does.
#pragma once

#include "error.hpp"
#include "message.hpp"

#include <Python.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace engine {

// Builds the Python result from a task's successful outcome. Runs on the loop's thread (it holds the
// interpreter lock); returns a new reference, or null with an exception set.
using Finish = PyObject* (*)(Response& response);

using Task = boost::asio::awaitable<Result<Response>>;

// Starts `task` on `executor` and returns a new asyncio future of the running loop, or null with an
// exception set (no running loop). Needs the interpreter lock. Cancelling the future cancels the task at its
// next suspension point; a task that throws completes the future with RustPanic ("rust future panicked:
// {what}"), or MemoryError for a failed allocation.
PyObject* launch(const boost::asio::any_io_executor& executor, Task task, Finish finish);

}  // namespace engine
