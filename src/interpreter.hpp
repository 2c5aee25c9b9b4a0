// The bridge's ties to the interpreter itself, all for the life of the process: the gate through which worker
// threads enter Python, the names and functions the bridge calls, and the RustPanic type.
#pragma once

#include "py.hpp"

#include <Python.h>

#include <optional>
#include <shared_mutex>

namespace engine::interpreter {

// A worker thread's way into Python: holds the interpreter lock for its scope, or, once the interpreter has
// begun to finalise, nothing at all, and the worker must then leave Python alone. Check it with operator bool.
class section {
public:
    section();
    section(const section&) = delete;
    section& operator=(const section&) = delete;

    explicit operator bool() const noexcept { return gil_.has_value(); }

private:
    std::shared_lock<std::shared_mutex> lock_;
    std::optional<py::gil_acquire> gil_;
};

// Process-lifetime Python objects, made once under the interpreter lock and deliberately leaked.
struct Handles {
    PyObject* get_running_loop = nullptr;
    PyObject* context_none = nullptr;  // {"context": None} for call_soon_threadsafe
    // Interned names: a call by name then builds and hashes no string of its own.
    PyObject* cancelled = nullptr;
    PyObject* set_result = nullptr;
    PyObject* set_exception = nullptr;
    PyObject* create_future = nullptr;
    PyObject* add_done_callback = nullptr;
    PyObject* remove_done_callback = nullptr;
    PyObject* call_soon_threadsafe = nullptr;
    PyObject* loop_watcher = nullptr;  // the attribute of an event loop that holds the bridge's watcher for it
};

// Makes the handles on first use, and registers the atexit hook that closes the gate before the interpreter
// finalises. False with an exception set when that fails. Needs the interpreter lock.
bool load();

// The handles; only after load() has succeeded.
const Handles& handles() noexcept;

// The class of a task's fault ("rust future panicked: {what}"). It lives in a small module of its own, made on
// first use and registered in sys.modules, so py_engine_rust keeps exactly its eight names. A borrowed
// reference, or null with an exception set. Needs the interpreter lock.
PyObject* rust_panic_type();

}  // namespace engine::interpreter
