#include "interpreter.hpp"

#include "boundary.hpp"

#include <pthread.h>

#include <iterator>
#include <mutex>

namespace engine::interpreter {

namespace {

// Worker threads enter Python only through a section. The atexit hook closes the gate for good, so no worker
// touches the interpreter while or after it finalises. A forked child gets a new gate: the old one may be held
// by a worker of the parent, which does not exist there (so it is leaked, not destroyed).
std::shared_mutex* gate = new std::shared_mutex;
bool finalizing = false;  // guarded by gate

[[maybe_unused]] const int fork_handler_registered =
    pthread_atfork(nullptr, nullptr, [] { gate = new std::shared_mutex; });

// A worker gives itself one interpreter thread state for good, the first time it enters Python. Without it
// every completion would create and destroy one, a data-stack mapping included.
void keep_thread_state() {
    thread_local bool kept = false;
    if (kept) return;
    PyGILState_Ensure();  // never released: its count keeps the thread state alive
    PyEval_SaveThread();
    kept = true;
}

PyObject* on_exit(PyObject*, PyObject*) {
    py::gil_release unlocked;  // a worker inside the gate may be waiting for the interpreter lock
    std::unique_lock lock(*gate);
    finalizing = true;
    Py_RETURN_NONE;
}

PyMethodDef on_exit_def = {"_py_engine_rust_on_exit", guarded<on_exit>, METH_NOARGS, nullptr};

Handles* made = nullptr;
PyObject* rust_panic = nullptr;

}  // namespace

section::section() : lock_(*gate) {
    if (finalizing) return;
    keep_thread_state();
    gil_.emplace();
}

bool load() {
    if (made) return true;
    py::object asyncio = py::object::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) return false;
    py::object get_loop = py::object::steal(PyObject_GetAttrString(asyncio.get(), "get_running_loop"));
    py::object kwargs = py::object::steal(PyDict_New());
    if (!get_loop || !kwargs || PyDict_SetItemString(kwargs.get(), "context", Py_None) < 0) return false;
    const char* const spellings[] = {"cancelled",         "set_result",           "set_exception",
                                     "create_future",     "add_done_callback",    "remove_done_callback",
                                     "call_soon_threadsafe", "_py_engine_rust_watcher"};
    PyObject* names[std::size(spellings)];
    for (std::size_t i = 0; i < std::size(spellings); ++i) {
        names[i] = PyUnicode_InternFromString(spellings[i]);  // kept for the process, like the handles
        if (!names[i]) return false;
    }
    // Stop workers from entering Python before the interpreter starts to finalise.
    py::object atexit = py::object::steal(PyImport_ImportModule("atexit"));
    py::object hook = py::object::steal(PyCFunction_New(&on_exit_def, nullptr));
    if (!atexit || !hook) return false;
    py::object registered = py::object::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    if (!registered) return false;
    made = new Handles{get_loop.release(), kwargs.release(), names[0], names[1], names[2],
                       names[3],          names[4],         names[5], names[6], names[7]};
    return true;
}

const Handles& handles() noexcept { return *made; }

PyObject* rust_panic_type() {
    if (rust_panic) return rust_panic;
    py::object module = py::object::steal(PyModule_New("_py_engine_rust_bridge"));
    if (!module) return nullptr;
    py::object type =
        py::object::steal(PyErr_NewException("_py_engine_rust_bridge.RustPanic", PyExc_Exception, nullptr));
    if (!type || PyObject_SetAttrString(module.get(), "RustPanic", type.get()) < 0) return nullptr;
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_SetItemString(modules, "_py_engine_rust_bridge", module.get()) < 0) return nullptr;
    rust_panic = type.release();
    return rust_panic;
}

}  // namespace engine::interpreter
