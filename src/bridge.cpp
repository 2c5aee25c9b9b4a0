#include "bridge.hpp"

#include "error.hpp"
#include "py.hpp"
#include "runtime.hpp"
#include "ws.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>

#include <cxxabi.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <shared_mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace engine {

namespace asio = boost::asio;

// ---- The runtime ------------------------------------------------------------------------------------

namespace {

// Reads "quota period" (cgroup v2 cpu.max) or the two v1 files; 0 when there is no quota.
unsigned quota_cpus(const std::string& cgroup_path) {
    const auto read_pair = [](const std::string& a, const std::string& b) -> std::pair<double, double> {
        std::ifstream fa(a);
        std::string qa;
        if (!(fa >> qa)) return {0, 0};
        if (b.empty()) {  // v2: both numbers in one file
            std::string period;
            if (qa == "max" || !(fa >> period)) return {0, 0};
            return {std::stod(qa), std::stod(period)};
        }
        std::ifstream fb(b);
        std::string period;
        if (!(fb >> period) || qa.starts_with('-')) return {0, 0};
        return {std::stod(qa), std::stod(period)};
    };
    const std::vector<std::string> v2 = {"/sys/fs/cgroup" + cgroup_path + "/cpu.max", "/sys/fs/cgroup/cpu.max"};
    for (const auto& path : v2) {
        if (auto [q, p] = read_pair(path, ""); q > 0 && p > 0) return unsigned(std::ceil(q / p));
    }
    for (const std::string dir : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        for (const std::string& base : {dir + cgroup_path, dir}) {
            if (auto [q, p] = read_pair(base + "/cpu.cfs_quota_us", base + "/cpu.cfs_period_us"); q > 0 && p > 0) {
                return unsigned(std::ceil(q / p));
            }
        }
    }
    return 0;
}

// The CPUs this process may use: its affinity mask, capped by a cgroup CPU quota, at least 1.
unsigned available_cpus() {
    unsigned n = std::max(1u, std::thread::hardware_concurrency());
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) n = std::max(1, CPU_COUNT(&set));
    std::string cgroup_path;
    std::ifstream self("/proc/self/cgroup");
    for (std::string line; std::getline(self, line);) {
        // "0::/path" on v2, "N:cpu,cpuacct:/path" on v1.
        const auto second = line.find(':', line.find(':') + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(line.find(':') + 1, second - line.find(':') - 1);
        if (controllers.empty() || controllers.find("cpu") != std::string::npos) {
            cgroup_path = line.substr(second + 1);
            if (cgroup_path == "/") cgroup_path.clear();
            break;
        }
    }
    if (const unsigned q = quota_cpus(cgroup_path)) n = std::min(n, q);
    return std::max(1u, n);
}

// Runs the io_context until the process ends. A thread-exit unwind must pass through untouched.
void worker_main(asio::io_context& ctx) {
    for (;;) {
        try {
            ctx.run();
            return;
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // A handler that throws is a fault of that handler alone; keep serving the others.
        }
    }
}

// One single-threaded io_context per worker, and each engine pinned to one of them. An engine's tasks share
// one Beast stream, so they must never run at once anyway; on a context of its own thread they need no
// strand, and no completion is ever handed over to another sleeping worker (two extra thread wake-ups on
// every small call when all workers shared one context).
struct Runtime {
    explicit Runtime(unsigned threads) : blocking(1) {
        for (unsigned i = 0; i < threads; ++i) {
            auto& w = *workers.emplace_back(std::make_unique<Worker>());
            std::thread([&ctx = w.ctx] { worker_main(ctx); }).detach();
        }
    }
    // The context for a new engine: round robin, so engines spread evenly over the workers.
    asio::io_context& next() { return workers[next_worker++ % workers.size()]->ctx; }

    struct Worker {
        asio::io_context ctx{1};
        asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(ctx);
    };
    std::vector<std::unique_ptr<Worker>> workers;
    std::size_t next_worker = 0;  // guarded by the interpreter lock, like the_runtime
    asio::thread_pool blocking;
};

// Deliberately leaked: worker threads may still run while the process exits.
Runtime* the_runtime = nullptr;  // guarded by the interpreter lock (created under it)

Runtime& runtime_unchecked() {
    if (!the_runtime) the_runtime = new Runtime(available_cpus());
    return *the_runtime;
}

}  // namespace

asio::thread_pool& blocking_pool() { return runtime_unchecked().blocking; }

// ---- Python side --------------------------------------------------------------------------------------

namespace {

// Worker threads enter Python only through python_section. The atexit hook closes the gate for good, so
// no worker touches the interpreter while or after it finalises.
std::shared_mutex python_gate;
bool interpreter_finalizing = false;  // guarded by python_gate

class python_section {
public:
    python_section() : lock_(python_gate) {
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
    std::unique_lock lock(python_gate);
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
    return settle_unless_cancelled(args, nargs, handles->set_result_name);
}

PyObject* set_exception_unless_cancelled(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return settle_unless_cancelled(args, nargs, handles->set_exception_name);
}

PyMethodDef on_exit_def = {"_py_engine_rust_on_exit", on_exit, METH_NOARGS, nullptr};
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

// Takes the pending exception as an object, with its traceback attached.
py::object fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return py::object::steal(value);
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

PyMethodDef on_done_def = {"_on_done", on_done, METH_O, nullptr};

// What a task holds of Python: the loop, its future and the future's cancellation watcher.
struct TaskObjects {
    py::object loop, future, watcher;
};

// Hands the outcome to the loop's thread. Runs on a worker thread holding the interpreter lock.
void complete(TaskObjects objects, Result<Response>& outcome, Finish finish, const std::string* panic) {
    auto& [loop, future, watcher] = objects;
    if (future_cancelled(future.get())) return;
    py::object value;
    PyObject* setter = handles->set_result;
    if (panic) {
        PyObject* type = rust_panic_type();
        if (type) PyErr_Format(type, "rust future panicked: %s", panic->c_str());
        value = fetch_exception();
        setter = handles->set_exception;
    } else if (outcome.ok()) {
        value = py::object::steal(finish(outcome.value()));
        if (!value) {
            value = fetch_exception();
            setter = handles->set_exception;
        }
    } else {
        set_python_error(outcome.error());
        value = fetch_exception();
        setter = handles->set_exception;
    }
    if (!value) return;
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

asio::awaitable<Result<Response>> run_operation(std::shared_ptr<Endpoint> ep, Operation op) {
    if (auto* start = std::get_if<StartOp>(&op)) co_return co_await start_endpoint(ep, std::move(start->host), start->port);
    if (auto* wait = std::get_if<WaitConnectedOp>(&op)) co_return co_await wait_connected(ep, wait->timeout);
    auto& call = std::get<CallOp>(op);
    co_return co_await rpc_call(ep, call.fn_id, std::move(call.frame), call.timeout);
}

// Owned references that a worker releases only with the interpreter lock held, or leaks once the
// interpreter is finalising.
struct OwnedRefs {
    PyObject* loop;
    PyObject* future;
    PyObject* watcher;
};

// One engine operation, from start to completion of its future.
asio::awaitable<void> run_task(std::shared_ptr<Endpoint> ep, std::shared_ptr<CancelHandle> handle, Operation op,
                               Finish finish, OwnedRefs refs) {
    Result<Response> outcome = Response{};
    std::optional<std::string> panic;
    bool cancelled = false;
    try {
        outcome = co_await run_operation(ep, std::move(op));
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const boost::system::system_error& e) {
        if (e.code() == asio::error::operation_aborted) {
            cancelled = true;
        } else {
            panic = e.what();
        }
    } catch (const std::exception& e) {
        panic = e.what();
    } catch (...) {
        panic = "unknown error";
    }
    (void)handle;

    python_section python;
    if (!python) co_return;
    TaskObjects objects{py::object::steal(refs.loop), py::object::steal(refs.future), py::object::steal(refs.watcher)};
    if (!cancelled) complete(std::move(objects), outcome, finish, panic ? &*panic : nullptr);
}

}  // namespace

PyObject* launch(const std::shared_ptr<Endpoint>& endpoint, Operation op, Finish finish) {
    if (!python_handles()) return nullptr;
    py::object loop = py::object::steal(PyObject_CallNoArgs(handles->get_running_loop));
    if (!loop) return nullptr;
    py::object future = py::object::steal(PyObject_CallMethodObjArgs(loop.get(), handles->create_future, nullptr));
    if (!future) return nullptr;

    Runtime* rt;
    try {
        rt = &runtime_unchecked();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "failed to start the I/O runtime: %s", e.what());
        return nullptr;
    }
    if (!endpoint->executor) endpoint->executor.emplace(rt->next().get_executor());

    auto handle = std::make_shared<CancelHandle>(*endpoint->executor);
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
    asio::co_spawn(*endpoint->executor,
                   run_task(endpoint, handle, std::move(op), finish,
                            OwnedRefs{loop.release(), py::object(future).release(), callback.release()}),
                   asio::bind_cancellation_slot(handle->signal.slot(), std::move(release_later)));
    return future.release();
}

}  // namespace engine
