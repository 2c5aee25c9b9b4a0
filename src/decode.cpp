#define ENGINE_NUMPY_API_OWNER
#include "decode.hpp"

#include "boundary.hpp"

#include "args.hpp"
#include "message.hpp"
#include "numpy.hpp"
#include "py.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>

namespace engine {
namespace {

using codec::ByteSpan;

// Set once the API table is filled. The import may release the interpreter lock, so two threads can
// both run it; both store the same table, which makes that harmless. A failed import leaves it false
// so that a later call raises the import's error again instead of a crash.
bool numpy_imported = false;

PyArrayObject* as_array(PyObject* o) noexcept { return reinterpret_cast<PyArrayObject*>(o); }

template <class T>
T* elements(const py::object& array) noexcept {
    return static_cast<T*>(PyArray_DATA(as_array(array.get())));
}

// A new, writeable, C-contiguous array whose elements are copied straight from the payload.
template <class T>
py::object array_from(int nd, npy_intp* dims, int typenum, ByteSpan source) {
    py::object array = py::object::steal(PyArray_SimpleNew(nd, dims, typenum));
    if (!array) return array;
    if constexpr (sizeof(T) == 8) {
        codec::load_f64(source, elements<T>(array));
    } else {
        codec::load_i32(source, elements<T>(array));
    }
    return array;
}

py::object vec_array(const codec::VecF64View& v) {
    npy_intp dims[1] = {npy_intp(v.n)};
    return array_from<double>(1, dims, NPY_DOUBLE, v.elements);
}

// The matrix is rows of `cols` elements, so its second dimension is the length of the first row: with
// no rows there is no row length and the shape is (0, 0). With cols = 0 the shape is (rows, 0), given
// directly rather than by walking up to 2^32 - 1 empty rows.
py::object mat_array(const codec::MatF64View& m) {
    npy_intp dims[2] = {npy_intp(m.rows), m.rows ? npy_intp(m.cols) : 0};
    return array_from<double>(2, dims, NPY_DOUBLE, m.elements);
}

// The base object of an array made over a received message: releasing it releases the message.
constexpr char message_capsule[] = "engine.message";

void release_message(PyObject* capsule) {
    delete static_cast<MessageBuffer*>(PyCapsule_GetPointer(capsule, message_capsule));
}

// The matrix as an array over its elements where they lie in the response's message, which the array
// takes over. No elements, nothing to point at: an ordinary (empty) array then.
py::object mat_array_adopting(const codec::MatF64View& m, Response& response) {
    if (m.elements.empty()) return mat_array(m);
    // Moving a flat buffer moves its storage, not the bytes: the view still points at the elements.
    auto message = std::make_unique<MessageBuffer>(std::move(response.message));
    py::object base = py::object::steal(PyCapsule_New(message.get(), message_capsule, release_message));
    if (!base) return base;
    message.release();
    // The view is read-only only because the decoder needs no more; the message is ours to change.
    auto* first = const_cast<std::uint8_t*>(m.elements.data());
    // NumPy's arrays keep their doubles 8-byte aligned. A message starts at least that aligned, yet the
    // elements sit 4 bytes off after a vector and its count. The matrix's 8 bytes of rows and cols lie
    // right before them and are read already, so the elements move down over them, in place.
    if (const auto off = reinterpret_cast<std::uintptr_t>(first) % alignof(double)) {
        std::memmove(first - off, first, m.elements.size());
        first -= off;
    }
    npy_intp dims[2] = {npy_intp(m.rows), npy_intp(m.cols)};
    py::object array = py::object::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 2,
                                                              dims, nullptr, first, NPY_ARRAY_CARRAY, nullptr));
    if (!array || PyArray_SetBaseObject(as_array(array.get()), base.release()) < 0) return {};
    return array;
}

// Sets the exception of a failed decode and returns null, so callers can `return fail(r)`.
PyObject* fail(const EngineError& e) {
    set_python_error(e);
    return nullptr;
}

bool check_contiguous(PyArrayObject* a) {
    if (PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a)) return true;
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return false;
}

// The payload as a new list of int, one per byte.
PyObject* byte_list(const Result<codec::Bytes>& encoded) {
    if (!encoded) return fail(encoded.error());
    const codec::Bytes& bytes = encoded.value();
    py::object list = py::object::steal(PyList_New(Py_ssize_t(bytes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        py::object item = py::object::steal(PyLong_FromLong(bytes[i]));
        if (!item || PyList_SetItem(list.get(), Py_ssize_t(i), item.release()) < 0) return nullptr;
    }
    return list.release();
}

// `payload` is read in place: the span lives as long as the caller's borrowed bytes object.
bool payload_argument(PyObject* obj, ByteSpan& out) {
    if (!PyBytes_Check(obj)) {
        args::set_not_convertible("payload", obj, "PyBytes");
        return false;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    out = ByteSpan(reinterpret_cast<const std::uint8_t*>(data), std::size_t(size));
    return true;
}

PyObject* decode_call(const char* function, PyObject* args, PyObject* kwargs, PyObject* (*convert)(ByteSpan)) {
    std::array<PyObject*, 1> arg;
    if (!args::bind(function, {"payload"}, 1, args, kwargs, arg)) return nullptr;
    ByteSpan payload;
    if (!payload_argument(arg[0], payload)) return nullptr;
    return convert(payload);
}

PyObject* decode_vec_f64_py(PyObject* args, PyObject* kwargs) {
    return decode_call("decode_vec_f64_py", args, kwargs, vec_f64_to_py);
}

PyObject* decode_mat_f64_py(PyObject* args, PyObject* kwargs) {
    return decode_call("decode_mat_f64_py", args, kwargs, mat_f64_to_py);
}

PyObject* decode_close_step_py(PyObject* args, PyObject* kwargs) {
    return decode_call("decode_close_step_py", args, kwargs, close_step_to_py);
}

PyObject* decode_vec_mat_f64_py(PyObject* args, PyObject* kwargs) {
    return decode_call("decode_vec_mat_f64_py", args, kwargs, vec_mat_f64_to_py);
}

PyObject* encode_vec_f64_py(PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 1> arg;
    if (!args::bind("encode_vec_f64_py", {"arr"}, 1, args, kwargs, arg)) return nullptr;
    if (!check_array(arg[0], "arr", 1, NPY_DOUBLE)) return nullptr;
    PyArrayObject* arr = as_array(arg[0]);
    if (!check_contiguous(arr)) return nullptr;
    const std::span values(static_cast<const double*>(PyArray_DATA(arr)), std::size_t(PyArray_DIM(arr, 0)));
    return byte_list(codec::encode_vec_f64(values));
}

PyObject* encode_mat_f64_py(PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 1> arg;
    if (!args::bind("encode_mat_f64_py", {"mat"}, 1, args, kwargs, arg)) return nullptr;
    if (!check_array(arg[0], "mat", 2, NPY_DOUBLE)) return nullptr;
    std::optional<codec::Bytes> payload = mat_f64_from_py(arg[0], 0);
    if (!payload) return nullptr;
    return byte_list(std::move(*payload));
}

PyObject* encode_close_step_py(PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 3> arg;
    if (!args::bind("encode_close_step_py", {"flags", "actions", "ratios"}, 3, args, kwargs, arg)) return nullptr;
    if (!check_array(arg[0], "flags", 1, NPY_INT) || !check_array(arg[1], "actions", 1, NPY_INT) ||
        !check_array(arg[2], "ratios", 1, NPY_DOUBLE)) {
        return nullptr;
    }
    PyArrayObject* flags = as_array(arg[0]);
    PyArrayObject* actions = as_array(arg[1]);
    PyArrayObject* ratios = as_array(arg[2]);
    if (!check_contiguous(flags) || !check_contiguous(actions) || !check_contiguous(ratios)) return nullptr;
    const auto n_flags = std::size_t(PyArray_DIM(flags, 0));
    const auto n_actions = std::size_t(PyArray_DIM(actions, 0));
    const auto n_ratios = std::size_t(PyArray_DIM(ratios, 0));
    if (n_flags != n_actions || n_flags != n_ratios) {
        return fail(CodecError{"close_step shape mismatch: flags=" + std::to_string(n_flags) +
                               ", actions=" + std::to_string(n_actions) + ", ratios=" + std::to_string(n_ratios)});
    }
    return byte_list(codec::encode_close_step(
        std::span(static_cast<const std::int32_t*>(PyArray_DATA(flags)), n_flags),
        std::span(static_cast<const std::int32_t*>(PyArray_DATA(actions)), n_actions),
        std::span(static_cast<const double*>(PyArray_DATA(ratios)), n_ratios)));
}

// The module functions take no self; the boundary keeps C++ exceptions out of the interpreter.
template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* module_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return F(args, kwargs);
}

}  // namespace

bool numpy_ready() {
    if (numpy_imported) return true;
    // NumPy's own import keeps the exception it met (ModuleNotFoundError, a C-API version mismatch),
    // unlike import_array(), which prints it and puts a generic ImportError in its place.
    if (_import_array() < 0) return false;
    numpy_imported = true;
    return true;
}

PyObject* vec_f64_to_py(ByteSpan payload) {
    Result<codec::VecF64View> decoded = codec::decode_vec_f64(payload);
    if (!decoded) return fail(decoded.error());
    if (!numpy_ready()) return nullptr;
    return vec_array(decoded.value()).release();
}

PyObject* mat_f64_to_py(ByteSpan payload) {
    Result<codec::MatF64View> decoded = codec::decode_mat_f64(payload);
    if (!decoded) return fail(decoded.error());
    if (!numpy_ready()) return nullptr;
    return mat_array(decoded.value()).release();
}

PyObject* vec_mat_f64_to_py(ByteSpan payload) {
    Result<codec::VecMatF64View> decoded = codec::decode_vec_mat_f64(payload);
    if (!decoded) return fail(decoded.error());
    if (!numpy_ready()) return nullptr;
    py::object vec = vec_array(decoded.value().vec);
    if (!vec) return nullptr;
    py::object mat = mat_array(decoded.value().mat);
    if (!mat) return nullptr;
    return PyTuple_Pack(2, vec.get(), mat.get());
}

PyObject* mat_f64_adopting(Response& response) {
    Result<codec::MatF64View> decoded = codec::decode_mat_f64(response.payload());
    if (!decoded) return fail(decoded.error());
    if (!numpy_ready()) return nullptr;
    return mat_array_adopting(decoded.value(), response).release();
}

PyObject* vec_mat_f64_adopting(Response& response) {
    Result<codec::VecMatF64View> decoded = codec::decode_vec_mat_f64(response.payload());
    if (!decoded) return fail(decoded.error());
    if (!numpy_ready()) return nullptr;
    py::object vec = vec_array(decoded.value().vec);  // copied before the matrix takes the message over
    if (!vec) return nullptr;
    py::object mat = mat_array_adopting(decoded.value().mat, response);
    if (!mat) return nullptr;
    return PyTuple_Pack(2, mat.get(), vec.get());
}

PyObject* close_step_to_py(ByteSpan payload) {
    Result<codec::CloseStepView> decoded = codec::decode_close_step(payload);
    if (!decoded) return fail(decoded.error());
    if (!numpy_ready()) return nullptr;
    const codec::CloseStepView& v = decoded.value();
    npy_intp dims[1] = {npy_intp(v.n)};
    py::object flags = array_from<std::int32_t>(1, dims, NPY_INT, v.flags);
    if (!flags) return nullptr;
    py::object actions = array_from<std::int32_t>(1, dims, NPY_INT, v.actions);
    if (!actions) return nullptr;
    py::object ratios = array_from<double>(1, dims, NPY_DOUBLE, v.ratios);
    if (!ratios) return nullptr;
    return PyTuple_Pack(3, flags.get(), actions.get(), ratios.get());
}

bool check_array(PyObject* obj, const char* name, int ndim, int typenum) {
    if (!numpy_ready()) return false;
    if (!PyArray_Check(obj)) {
        args::set_not_convertible(name, obj, "PyArray<T, D>");
        return false;
    }
    PyArrayObject* array = as_array(obj);
    if (PyArray_NDIM(array) != ndim) {
        py::object reason = py::object::steal(
            PyUnicode_FromFormat("dimensionality mismatch:\n from=%d, to=%d", PyArray_NDIM(array), ndim));
        args::set_argument_error(name, reason.get());
        return false;
    }
    py::object wanted = py::object::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum)));
    if (!wanted) return false;
    // Equivalence, not identity: int32 under another name passes, a non-native byte order does not.
    if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(wanted.get()))) {
        py::object reason = py::object::steal(PyUnicode_FromFormat(
            "type mismatch:\n from=%S, to=%S", reinterpret_cast<PyObject*>(PyArray_DESCR(array)), wanted.get()));
        args::set_argument_error(name, reason.get());
        return false;
    }
    return true;
}

std::optional<codec::Bytes> mat_f64_from_py(PyObject* array, std::size_t headroom) {
    PyArrayObject* a = as_array(array);
    if (!check_contiguous(a)) return std::nullopt;
    const auto rows = std::size_t(PyArray_DIM(a, 0));
    const auto cols = std::size_t(PyArray_DIM(a, 1));
    // Element strides follow from the memory order alone: NumPy's byte strides may hold anything along
    // a dimension of length 1, and are not needed.
    const bool c_order = PyArray_IS_C_CONTIGUOUS(a);
    const auto row_stride = c_order ? std::ptrdiff_t(cols) : 1;
    const auto col_stride = c_order ? 1 : std::ptrdiff_t(rows);
    Result<codec::Bytes> encoded = codec::encode_mat_f64(rows, cols, static_cast<const double*>(PyArray_DATA(a)),
                                                         row_stride, col_stride, headroom);
    if (!encoded) {
        fail(encoded.error());
        return std::nullopt;
    }
    return std::move(encoded).value();
}

// Each doc begins with the text signature and "--", which CPython turns into __text_signature__; a doc
// with nothing after that gives __doc__ None.
#define CODEC_FUNCTION(name) #name, args::keywords_function(guarded<module_function<name>>), METH_VARARGS | METH_KEYWORDS
PyMethodDef codec_functions[] = {
    {CODEC_FUNCTION(decode_vec_f64_py),
     "decode_vec_f64_py(payload)\n--\n\nDecode VecF64 payload into numpy.ndarray(float64, shape=(n,))"},
    {CODEC_FUNCTION(decode_mat_f64_py),
     "decode_mat_f64_py(payload)\n--\n\nDecode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"},
    {CODEC_FUNCTION(decode_close_step_py),
     "decode_close_step_py(payload)\n--\n\n"
     "Decode CloseStep payload into tuple(flags, actions, ratios) as numpy arrays."},
    {CODEC_FUNCTION(decode_vec_mat_f64_py),
     "decode_vec_mat_f64_py(payload)\n--\n\nDecode VecF64 + MatF64 payload into (vec, mat)."},
    {CODEC_FUNCTION(encode_vec_f64_py),
     "encode_vec_f64_py(arr)\n--\n\n"},
    {CODEC_FUNCTION(encode_mat_f64_py),
     "encode_mat_f64_py(mat)\n--\n\n"},
    {CODEC_FUNCTION(encode_close_step_py),
     "encode_close_step_py(flags, actions, ratios)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
#undef CODEC_FUNCTION

}  // namespace engine
