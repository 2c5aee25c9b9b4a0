// NumPy conversions of the payload formats, and the module's seven codec functions.
#pragma once

#include "codec.hpp"

#include <Python.h>

#include <optional>

namespace engine {

struct Response;

// All of these need the interpreter lock. Each returns a new reference, or null with an exception set
// (ValueError with the decoder's message when the payload does not decode). The arrays of these four
// are copies, independent of the payload's memory.
PyObject* vec_f64_to_py(codec::ByteSpan payload);
PyObject* mat_f64_to_py(codec::ByteSpan payload);
PyObject* vec_mat_f64_to_py(codec::ByteSpan payload);  // (vec, mat)
PyObject* close_step_to_py(codec::ByteSpan payload);

// Results of commands, which take the response's message over instead of copying out of it: a matrix
// with elements becomes an array over them in the message itself, whose base object owns the message.
// The array is writeable, C-contiguous and 8-byte aligned (elements that arrive 4 bytes off, as after
// step_and_sync's vector, are moved down in place first).
PyObject* mat_f64_adopting(Response& response);
PyObject* vec_mat_f64_adopting(Response& response);  // (mat, vec), as step_and_sync answers

// NumPy's type numbers for float64 (NPY_DOUBLE) and int32 (NPY_INT), so callers need no NumPy headers.
inline constexpr int typenum_float64 = 12;
inline constexpr int typenum_int32 = 5;

// Checks that `obj` is an ndarray (or subclass) of `ndim` dimensions whose dtype is equivalent to
// `typenum` (NPY_DOUBLE or NPY_INT). On failure sets TypeError "argument '{name}': {reason}", or the
// reason alone when `name` is null, and returns false.
bool check_array(PyObject* obj, const char* name, int ndim, int typenum);

// A checked 2-D float64 array as a MatF64 payload with `headroom` free bytes in front.
// TypeError "The given array is not contiguous" (or ValueError for oversized counts) on failure.
std::optional<codec::Bytes> mat_f64_from_py(PyObject* array, std::size_t headroom);

// The module's codec functions in registration order, ended by a null entry.
extern PyMethodDef codec_functions[];

}  // namespace engine
