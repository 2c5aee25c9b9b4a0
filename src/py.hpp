// Small owned-reference and interpreter-lock helpers over the limited C API.
#pragma once

#include <Python.h>

#include <utility>

namespace py {

// One owned reference, or none. Copying takes a new reference; destruction releases it.
class object {
public:
    object() noexcept = default;
    static object steal(PyObject* p) noexcept { return object(p); }
    static object borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return object(p);
    }

    object(const object& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    object(object&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    object& operator=(object o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~object() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit object(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Holds the interpreter lock for a scope, from a thread that may not have it.
class gil_acquire {
public:
    gil_acquire() noexcept : state_(PyGILState_Ensure()) {}
    ~gil_acquire() { PyGILState_Release(state_); }
    gil_acquire(const gil_acquire&) = delete;
    gil_acquire& operator=(const gil_acquire&) = delete;

private:
    PyGILState_STATE state_;
};

// Releases the interpreter lock for a scope on a thread that holds it.
class gil_release {
public:
    gil_release() noexcept : state_(PyEval_SaveThread()) {}
    ~gil_release() { PyEval_RestoreThread(state_); }
    gil_release(const gil_release&) = delete;
    gil_release& operator=(const gil_release&) = delete;

private:
    PyThreadState* state_;
};

// Takes the pending exception as an object, with its traceback attached; empty when none is pending.
inline object fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return object::steal(value);
}

// The qualified name of an object's type, as messages show it ("int", "ndarray").
inline object type_qualname(PyObject* o) {
    return object::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
}

}  // namespace py
