#include "bridge.hpp"

#include "boundary.hpp"
#include "py.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>

#include <cxxabi.h>
#include <pthread.h>

#include <optional>
#include <shared_mutex>
#include <string>

namespace engine {

namespace asio = boost::asio;

namespace {

// Worker threads enter Python only through python_section. The atexit hook closes the gate for good, so
// no worker touches the interpreter while or after it finalises. A forked child gets a new gate: the old
// one may be held by a worker of the parent, which does not exist there (so it is leaked, not destroyed).
std::shared_mutex* python_gate = new std::shared_mutex;
bool interpreter_finalizing = false;  // guarded by python_gate

[[maybe_unused]] const int fork_handler_registered =
    pthread_atfork(nullptr, nullptr, [] { python_gate = new std::shared_mutex; });

class python_section {
public:
    python_section() : lock_(*python_gate) {
        if (interpreter_finalizing) return;
        keep_thread_state();
        gil_.emplace();
    }
    explicit operator bool() const noexcept { return gil_.has_value(); }

private:
    // A worker gives itself one interpreter thread state for good, the first time it enters Python.
    // Without it every completion would create and destroy one, a data-stack mapping included.
    static void keep_thread_state() {
        thread_local bool kept = false;
        if (kept) return;
        PyGILState_Ensure();  // never released: its count keeps the thread state alive
        PyEval_SaveThread();
        kept = true;
    }

    std::shared_lock<std::shared_mutex> lock_;
    std::optional<py::gil_acquire> gil_;
};

PyObject* on_exit(PyObject*, PyObject*) {
    py::gil_release unlocked;  // a worker inside the gate may be waiting for the interpreter lock
    std::unique_lock lock(*python_gate);
    interpreter_finalizing = true;
    Py_RETURN_NONE;
}

// Process-lifetime Python objects, made once under the interpreter lock and deliberately leaked.
struct PythonHandles {
    PyObject* get_running_loop = nullptr;
    PyObject* set_result = nullptr;
    PyObject* set_exception = nullptr;
    PyObject* context_none = nullptr;  // {"context": None} for call_soon_threadsafe
    // Interned method names: a call by name then builds and hashes no string of its own.
    PyObject* cancelled = nullptr;
    PyObject* set_result_name = nullptr;
    PyObject* set_exception_name = nullptr;
    PyObject* create_future = nullptr;
    PyObject* add_done_callback = nullptr;
    PyObject* remove_done_callback = nullptr;
    PyObject* call_soon_threadsafe = nullptr;
};
PythonHandles* handles = nullptr;
PyObject* rust_panic = nullptr;

// future.<setter>(value) unless the future was cancelled meanwhile; runs on the loop's thread. The
// future's cancellation watcher is taken off first: it has nothing left to watch, and left on, the loop
// would schedule and run it as one more callback before the awaiting task resumes.
PyObject* settle_unless_cancelled(PyObject* const* args, Py_ssize_t nargs, PyObject* setter) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "expected (future, value, watcher)");
        return nullptr;
    }
    py::object cancelled = py::object::steal(PyObject_CallMethodObjArgs(args[0], handles->cancelled, nullptr));
    if (!cancelled) return nullptr;
    if (cancelled.get() == Py_True) Py_RETURN_NONE;
    py::object removed =
        py::object::steal(PyObject_CallMethodObjArgs(args[0], handles->remove_done_callback, args[2], nullptr));
    if (!removed) return nullptr;
    return PyObject_CallMethodObjArgs(args[0], setter, args[1], nullptr);
}

PyObject* set_result_unless_cancelled(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&] { return settle_unless_cancelled(args, nargs, handles->set_result_name); });
}

PyObject* set_exception_unless_cancelled(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&] { return settle_unless_cancelled(args, nargs, handles->set_exception_name); });
}

PyMethodDef on_exit_def = {"_py_engine_rust_on_exit", guarded<on_exit>, METH_NOARGS, nullptr};
PyMethodDef set_result_def = {"_set_result_unless_cancelled",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_result_unless_cancelled)),
                              METH_FASTCALL, nullptr};
PyMethodDef set_exception_def = {
    "_set_exception_unless_cancelled",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_exception_unless_cancelled)), METH_FASTCALL,
    nullptr};

PythonHandles* python_handles() {
    if (handles) return handles;
    py::object asyncio = py::object::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) return nullptr;
    py::object get_loop = py::object::steal(PyObject_GetAttrString(asyncio.get(), "get_running_loop"));
    py::object set_result = py::object::steal(PyCFunction_New(&set_result_def, nullptr));
    py::object set_exception = py::object::steal(PyCFunction_New(&set_exception_def, nullptr));
    py::object kwargs = py::object::steal(PyDict_New());
    if (!get_loop || !set_result || !set_exception || !kwargs ||
        PyDict_SetItemString(kwargs.get(), "context", Py_None) < 0) {
        return nullptr;
    }
    const char* const spellings[] = {"cancelled",         "set_result",           "set_exception",       "create_future",
                                     "add_done_callback", "remove_done_callback", "call_soon_threadsafe"};
    PyObject* names[std::size(spellings)];
    for (std::size_t i = 0; i < std::size(spellings); ++i) {
        names[i] = PyUnicode_InternFromString(spellings[i]);  // kept for the process, like the handles
        if (!names[i]) return nullptr;
    }
    // Stop workers from entering Python before the interpreter starts to finalise.
    py::object atexit = py::object::steal(PyImport_ImportModule("atexit"));
    py::object hook = py::object::steal(PyCFunction_New(&on_exit_def, nullptr));
    if (!atexit || !hook) return nullptr;
    py::object registered = py::object::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    if (!registered) return nullptr;
    handles = new PythonHandles{get_loop.release(), set_result.release(), set_exception.release(), kwargs.release(),
                                names[0],          names[1],             names[2],
                                names[3],          names[4],             names[5],
                                names[6]};
    return handles;
}

// The RustPanic class lives in a small module of its own, created on first use and registered in
// sys.modules, so py_engine_rust keeps exactly its eight names.
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

bool future_cancelled(PyObject* future) {
    py::object r = py::object::steal(PyObject_CallMethodObjArgs(future, handles->cancelled, nullptr));
    if (!r) {
        PyErr_WriteUnraisable(future);
        return true;
    }
    return r.get() == Py_True;
}

// Shared by a task and its future's done-callback. The signal is emitted only on the engine's thread,
// where the task runs, because Asio cancellation signals are not thread-safe.
struct CancelHandle {
    explicit CancelHandle(asio::any_io_executor ex) : executor(std::move(ex)) {}
    asio::any_io_executor executor;
    asio::cancellation_signal signal;
};

void release_cancel_handle(PyObject* capsule) {
    delete static_cast<std::shared_ptr<CancelHandle>*>(PyCapsule_GetPointer(capsule, "engine.cancel"));
}

PyObject* on_done(PyObject* capsule, PyObject* future) {
    if (!future_cancelled(future)) Py_RETURN_NONE;
    auto handle = *static_cast<std::shared_ptr<CancelHandle>*>(PyCapsule_GetPointer(capsule, "engine.cancel"));
    asio::post(handle->executor, [handle] { handle->signal.emit(asio::cancellation_type::terminal); });
    Py_RETURN_NONE;
}

PyMethodDef on_done_def = {"_on_done", guarded<on_done>, METH_O, nullptr};

// What a task holds of Python: the loop, its future and the future's cancellation watcher.
struct TaskObjects {
    py::object loop, future, watcher;
};

// How a task ended when it did not return an outcome.
struct Fault {
    bool out_of_memory = false;
    std::string what;
};

// The exception that the future gets for a task's outcome or fault; null (and an exception set) when
// even that cannot be built.
py::object exception_for(Result<Response>& outcome, Finish finish, const std::optional<Fault>& fault, bool& is_error) {
    is_error = true;
    if (fault) {
        if (fault->out_of_memory) {
            PyErr_NoMemory();
        } else if (PyObject* type = rust_panic_type()) {
            PyErr_Format(type, "rust future panicked: %s", fault->what.c_str());
        }
        return py::fetch_exception();
    }
    if (!outcome.ok()) {
        set_python_error(outcome.error());
        return py::fetch_exception();
    }
    py::object value = py::object::steal(finish(outcome.value()));
    if (value) {
        is_error = false;
        return value;
    }
    return py::fetch_exception();
}

// Hands the outcome to the loop's thread. Runs on a worker thread holding the interpreter lock.
void complete(TaskObjects objects, Result<Response>& outcome, Finish finish, const std::optional<Fault>& fault) {
    auto& [loop, future, watcher] = objects;
    if (future_cancelled(future.get())) return;
    bool is_error = true;
    py::object value;
    try {
        value = exception_for(outcome, finish, fault, is_error);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {  // building the result itself failed (out of memory, most likely)
        raise_current_exception();
        value = py::fetch_exception();
        is_error = true;
    }
    if (!value) {
        PyErr_WriteUnraisable(future.get());
        return;
    }
    PyObject* setter = is_error ? handles->set_exception : handles->set_result;
    py::object schedule = py::object::steal(PyObject_GetAttr(loop.get(), handles->call_soon_threadsafe));
    py::object args = py::object::steal(PyTuple_Pack(4, setter, future.get(), value.get(), watcher.get()));
    if (!schedule || !args) {
        PyErr_WriteUnraisable(future.get());
        return;
    }
    // From here on the bound method and the tuple hold what the call needs. Everything else is let go
    // first: once the loop's thread wakes up it needs the interpreter lock, so little may follow the call.
    value = {};
    loop = {};
    watcher = {};
    PyObject* const for_report = future.get();
    Py_INCREF(for_report);
    future = {};
    py::object done = py::object::steal(PyObject_Call(schedule.get(), args.get(), handles->context_none));
    // The loop may have been closed meanwhile: nobody can receive the outcome any more.
    if (!done) PyErr_WriteUnraisable(for_report);
    Py_DECREF(for_report);
}

// Owned references that a worker releases only with the interpreter lock held, or leaks once the
// interpreter is finalising.
struct OwnedRefs {
    PyObject* loop;
    PyObject* future;
    PyObject* watcher;
};

// One task, from start to completion of its future. Nothing it throws escapes: a fault of the task becomes
// the future's exception.
asio::awaitable<void> run_task(std::shared_ptr<CancelHandle> handle, Task task, Finish finish, OwnedRefs refs) {
    Result<Response> outcome = Response{};
    std::optional<Fault> fault;
    bool cancelled = false;
    try {
        outcome = co_await std::move(task);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const boost::system::system_error& e) {
        if (e.code() == asio::error::operation_aborted) {
            cancelled = true;
        } else {
            fault = Fault{false, e.what()};
        }
    } catch (const std::bad_alloc&) {
        fault = Fault{true, {}};
    } catch (const std::exception& e) {
        fault = Fault{false, e.what()};
    } catch (...) {
        fault = Fault{false, "unknown error"};
    }
    (void)handle;

    python_section python;
    if (!python) co_return;
    TaskObjects objects{py::object::steal(refs.loop), py::object::steal(refs.future), py::object::steal(refs.watcher)};
    if (!cancelled) complete(std::move(objects), outcome, finish, fault);
}

}  // namespace

PyObject* launch(const asio::any_io_executor& executor, Task task, Finish finish) {
    if (!python_handles()) return nullptr;
    py::object loop = py::object::steal(PyObject_CallNoArgs(handles->get_running_loop));
    if (!loop) return nullptr;
    py::object future = py::object::steal(PyObject_CallMethodObjArgs(loop.get(), handles->create_future, nullptr));
    if (!future) return nullptr;

    auto handle = std::make_shared<CancelHandle>(executor);
    auto* boxed = new std::shared_ptr<CancelHandle>(handle);
    py::object capsule = py::object::steal(PyCapsule_New(boxed, "engine.cancel", release_cancel_handle));
    if (!capsule) {
        delete boxed;
        return nullptr;
    }
    py::object callback = py::object::steal(PyCFunction_New(&on_done_def, capsule.get()));
    if (!callback) return nullptr;
    py::object added =
        py::object::steal(PyObject_CallMethodObjArgs(future.get(), handles->add_done_callback, callback.get(), nullptr));
    if (!added) return nullptr;

    // The task's cancellation state lives inside the signal, and co_spawn touches it after the task body
    // has ended. So the completion handler owns the handle and releases it one turn of its thread later, once
    // co_spawn is completely done with it.
    auto release_later = [handle](std::exception_ptr) mutable {
        auto ex = handle->executor;
        asio::post(ex, [h = std::move(handle)] {});
    };
    asio::co_spawn(executor,
                   run_task(handle, std::move(task), finish,
                            OwnedRefs{loop.release(), py::object(future).release(), callback.release()}),
                   asio::bind_cancellation_slot(handle->signal.slot(), std::move(release_later)));
    return future.release();
}

}  // namespace engine
