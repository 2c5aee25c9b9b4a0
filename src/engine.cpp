#include "engine.hpp"

namespace engine {
namespace {
struct EngineObject {
    PyObject_HEAD
};
PyType_Slot slots[] = {{0, nullptr}};
PyType_Spec spec = {"builtins.RustEngineAsync", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT, slots};
PyObject* type_object = nullptr;
}  // namespace
PyObject* engine_type() {
    if (!type_object) type_object = PyType_FromSpec(&spec);
    return type_object;
}
}  // namespace engine
