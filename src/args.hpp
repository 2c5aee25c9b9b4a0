// Argument binding and argument error messages for functions and methods registered with
// METH_VARARGS | METH_KEYWORDS.
#pragma once

#include "py.hpp"
#include "timeout.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// ---- Converters: each returns the value, or nothing with the exception set -------------------------

// Re-raises the pending TypeError as "argument '{name}': {its text}"; other errors pass unchanged.
inline void prefix_type_error(const char* name) {
    if (!name || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    py::object error = py::fetch_exception();
    py::object text = py::object::steal(PyObject_Str(error.get()));
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

inline void raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// An integer argument (anything with __index__) within [lo, hi].
inline std::optional<long long> to_integer(PyObject* obj, const char* name, long long lo, long long hi) {
    py::object index = py::object::steal(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error(name);
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow || v < lo || v > hi) {
        raise_out_of_range();
        return std::nullopt;
    }
    return v;
}

// A float argument through Python's float protocol (float, int, __float__, __index__).
inline std::optional<double> to_double(PyObject* obj, const char* name) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        prefix_type_error(name);
        return std::nullopt;
    }
    return v;
}

// None or absent stays empty; anything else must convert.
inline bool to_optional_double(PyObject* obj, const char* name, std::optional<double>& out) {
    if (!obj || obj == Py_None) return true;
    out = to_double(obj, name);
    return out.has_value();
}

inline std::optional<std::string> to_utf8(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj)) {
        set_not_convertible(name, obj, "PyString");
        return std::nullopt;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return std::nullopt;
    return std::string(data, std::size_t(size));
}

// Seconds as a duration, rounded to the nearest nanosecond with ties to even, computed exactly on the
// binary value so 0.1 s is 100000000 ns and not one off.
inline std::optional<Duration> to_duration(double secs) {
    if (secs < 0.0) {
        PyErr_SetString(PyExc_ValueError, "cannot convert float seconds to Duration: value is negative");
        return std::nullopt;
    }
    if (!(secs < 18446744073709551616.0)) {  // 2^64, and NaN
        PyErr_SetString(PyExc_ValueError, "cannot convert float seconds to Duration: value is either too big or NaN");
        return std::nullopt;
    }
    if (secs == 0.0) return Duration{};
    int exp;
    const double mant = std::frexp(secs, &exp);  // secs = mant * 2^exp, 0.5 <= mant < 1
    const auto m = static_cast<std::uint64_t>(std::ldexp(mant, 53));  // secs = m * 2^(exp - 53)
    const int shift = 53 - exp;                                      // secs = m / 2^shift
    if (shift <= 0) return Duration{m << -shift, 0};
    const std::uint64_t whole = shift >= 64 ? 0 : m >> shift;
    const unsigned __int128 frac = shift >= 64 ? m : m & ((std::uint64_t(1) << shift) - 1);
    unsigned __int128 nanos = 0;
    if (shift < 120) {
        const unsigned __int128 scaled = frac * 1'000'000'000u;
        nanos = scaled >> shift;
        const unsigned __int128 rem = scaled & ((static_cast<unsigned __int128>(1) << shift) - 1);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        if (rem > half || (rem == half && (nanos & 1))) ++nanos;
    }
    if (nanos == 1'000'000'000u) return Duration{whole + 1, 0};
    return Duration{whole, std::uint32_t(nanos)};
}


inline std::optional<PyObject*> to_str_arg(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) return obj;
    set_not_convertible(name, obj, "PyString");
    return std::nullopt;
}


// Reads a sequence (not a str) by iterating it once; `convert` turns one element into T or fails.
template <class T, class Convert>
std::optional<std::vector<T>> to_vector(PyObject* obj, Convert convert) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(obj)) {
        set_not_convertible(nullptr, obj, "Sequence");
        return std::nullopt;
    }
    std::vector<T> out;
    // The length is only a hint (__len__ may lie), so it never decides more than a modest first reservation.
    constexpr Py_ssize_t max_reserved = 1 << 16;
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint > 0) out.reserve(std::size_t(std::min(hint, max_reserved)));
    if (hint < 0) PyErr_Clear();
    py::object it = py::object::steal(PyObject_GetIter(obj));
    if (!it) return std::nullopt;
    while (py::object item = py::object::steal(PyIter_Next(it.get()))) {
        std::optional<T> v = convert(item.get());
        if (!v) return std::nullopt;
        out.push_back(*v);
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

inline std::optional<std::int32_t> element_i32(PyObject* o) {
    auto v = to_integer(o, nullptr, INT32_MIN, INT32_MAX);
    if (!v) return std::nullopt;
    return std::int32_t(*v);
}

inline std::optional<double> element_f64(PyObject* o) { return to_double(o, nullptr); }

}  // namespace engine::args
