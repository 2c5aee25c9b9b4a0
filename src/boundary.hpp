// The one boundary between C++ and the interpreter. Every entry point from Python (constructor, methods,
// module functions, callbacks) runs its body through `boundary`, so no C++ exception unwinds into CPython.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <new>
#include <stdexcept>
#include <type_traits>

namespace engine {

// Sets the Python exception for the C++ exception being handled: MemoryError for a failed allocation,
// RuntimeError with the fault's text for anything else. Call only from inside a catch block.
inline void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than it can ever hold
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

// Runs `body`, which returns a new reference (null for failure) or an int status (-1 for failure).
// A thread-exit unwind passes through untouched.
template <class F>
auto boundary(F&& body) -> decltype(body()) {
    using R = decltype(body());
    static_assert(std::is_same_v<R, PyObject*> || std::is_same_v<R, int>);
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        raise_current_exception();
    }
    if constexpr (std::is_same_v<R, int>) {
        return -1;
    } else {
        return nullptr;
    }
}

// A METH_VARARGS | METH_KEYWORDS function or method behind the boundary.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&] { return F(self, args, kwargs); });
}

// A METH_NOARGS or METH_O function or method behind the boundary.
template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* arg) {
    return boundary([&] { return F(self, arg); });
}

}  // namespace engine
