// Argument binding and argument error messages for functions and methods registered with
// METH_VARARGS | METH_KEYWORDS.
#pragma once

#include "py.hpp"

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <utility>

namespace engine::args {

// Fills out[i] with a borrowed reference to the argument bound to names[i], or null when that parameter
// is optional and absent; the first `required` parameters are required. The binding itself is CPython's
// (PyArg_ParseTupleAndKeywords), so a wrong count, an unknown keyword or an argument given twice raise
// TypeError in the interpreter's own wording. Returns false with that exception set.
template <std::size_t N>
bool bind(const char* function, const std::array<const char*, N>& names, std::size_t required, PyObject* args,
          PyObject* kwargs, std::array<PyObject*, N>& out) {
    std::string format(required, 'O');
    if (required < N) {
        format += '|';
        format.append(N - required, 'O');
    }
    format += ':';
    format += function;
    // Interpreters before 3.13 declare the keyword list as char*[]; they never write through it.
    std::array<char*, N + 1> keywords{};
    for (std::size_t i = 0; i < N; ++i) keywords[i] = const_cast<char*>(names[i]);
    out.fill(nullptr);
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &out[I]...) != 0;
    }(std::make_index_sequence<N>{});
}

// Sets TypeError "argument '{name}': {reason}", or the reason alone when `name` is null. A null
// `reason` means building it failed, and that exception stays.
inline void set_argument_error(const char* name, PyObject* reason) {
    if (!reason) return;
    if (!name) {
        PyErr_SetObject(PyExc_TypeError, reason);
        return;
    }
    py::object message = py::object::steal(PyUnicode_FromFormat("argument '%s': %U", name, reason));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// The reason "'{type}' object cannot be converted to '{target}'", {type} being the qualified name of
// the type of `obj`.
inline void set_not_convertible(const char* name, PyObject* obj, const char* target) {
    py::object type = py::type_qualname(obj);
    if (!type) return;
    py::object reason = py::object::steal(
        PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", type.get(), target));
    set_argument_error(name, reason.get());
}

// A PyMethodDef entry for a function taking (self, args, kwargs). The cast through void (*)() is the
// one GCC accepts without -Wcast-function-type; CPython calls it back with the right signature.
inline PyCFunction keywords_function(PyCFunctionWithKeywords f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace engine::args
