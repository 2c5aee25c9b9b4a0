// The extension's entry point: builds the module once per process and registers its eight names.
#include "boundary.hpp"
#include "decode.hpp"
#include "engine.hpp"
#include "py.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "py_engine_rust",
    "Entry point of the engine that drives a trading-simulation UI over WebSocket.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Process-lifetime state; the module object is deliberately never released.
std::int64_t first_interpreter = -1;
PyObject* module_object = nullptr;

// Appends `name` to __all__ (created on first use), then sets the attribute.
bool register_name(PyObject* module, PyObject* name, PyObject* value) {
    py::object all = py::object::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = py::object::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (PyList_Append(all.get(), name) < 0) return false;
    return PyObject_SetAttr(module, name, value) == 0;
}

bool fill_module(PyObject* module) {
    PyObject* type = engine::engine_type();
    if (!type) return false;
    py::object class_name = py::object::steal(PyUnicode_FromString("RustEngineAsync"));
    if (!class_name || !register_name(module, class_name.get(), type)) return false;

    for (PyMethodDef* def = engine::codec_functions; def->ml_name; ++def) {
        py::object module_name = py::object::steal(PyModule_GetNameObject(module));
        if (!module_name) return false;
        py::object fn = py::object::steal(PyCFunction_NewEx(def, module, module_name.get()));
        if (!fn) return false;
        py::object name = py::object::steal(PyObject_GetAttrString(fn.get(), "__name__"));
        if (!name || !register_name(module, name.get(), fn.get())) return false;
    }
    return true;
}

PyObject* init_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) return nullptr;
    if (first_interpreter < 0) {
        first_interpreter = id;
    } else if (first_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "py_engine_rust does not support sub-interpreters; import it in the main interpreter");
        return nullptr;
    }

    if (module_object) return Py_NewRef(module_object);

    py::object module = py::object::steal(PyModule_Create2(&module_def, 3));
    if (!module || !fill_module(module.get())) return nullptr;
    module_object = module.release();
    return Py_NewRef(module_object);
}

}  // namespace

PyMODINIT_FUNC PyInit_py_engine_rust(void) { return engine::boundary(init_module); }
