#include "error.hpp"

#include "py.hpp"

namespace engine {
namespace {

std::string optional_text(const auto& v) {
    return v ? "Some(" + std::to_string(*v) + ")" : std::string("None");
}

struct Formatter {
    std::string operator()(const CodecError& e) const { return e.message; }
    std::string operator()(const RpcError& e) const {
        return "RpcError(seq=" + std::to_string(e.seq) + ", fnId=" + std::to_string(e.fn_id) +
               ", err=" + std::to_string(e.err) + ", sub=" + std::to_string(e.sub) + "): " + e.message;
    }
    std::string operator()(const TransportError& e) const {
        return "RpcTransportError(seq=" + optional_text(e.seq) + ", fnId=" + optional_text(e.fn_id) +
               "): " + e.message;
    }
};

}  // namespace

std::string error_text(const EngineError& e) { return std::visit(Formatter{}, e); }

std::string fault_text(const std::exception_ptr& fault) {
    try {
        std::rethrow_exception(fault);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

void set_python_error(const EngineError& e) {
    PyObject* type = std::holds_alternative<CodecError>(e) ? PyExc_ValueError : PyExc_RuntimeError;
    const std::string text = error_text(e);
    // Remote messages were decoded with replacement characters, so the text is always valid UTF-8.
    py::object message = py::object::steal(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    if (message) PyErr_SetObject(type, message.get());
}

}  // namespace engine
