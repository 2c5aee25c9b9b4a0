// Binding of a call's positional and keyword arguments to parameter names, with CPython's wording for
// the errors.
#pragma once

#include "py.hpp"

#include <cstddef>
#include <span>
#include <string>

namespace engine {

// Fills out[i] with the borrowed argument for names[i], or null when it was not given. The first
// `required` parameters must be given. Returns false with TypeError set otherwise.
inline bool bind_arguments(const char* fname, std::span<const char* const> names, std::size_t required,
                           PyObject* args, PyObject* kwargs, PyObject** out) {
    const std::size_t max = names.size();
    const Py_ssize_t npos = args ? PyTuple_Size(args) : 0;
    if (npos < 0) return false;
    if (std::size_t(npos) > max) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", fname, max,
                     max == 1 ? "" : "s", npos);
        return false;
    }
    for (std::size_t i = 0; i < max; ++i) out[i] = i < std::size_t(npos) ? PyTuple_GetItem(args, Py_ssize_t(i)) : nullptr;

    if (kwargs && PyDict_Size(kwargs) > 0) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t i = 0;
            for (; i < max; ++i) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[i]) == 0) break;
            }
            if (i == max) {
                PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %s()", key, fname);
                return false;
            }
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", fname,
                             names[i], i + 1);
                return false;
            }
            out[i] = value;
        }
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname, names[i], i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace engine
