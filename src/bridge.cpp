#include "bridge.hpp"

#include "boundary.hpp"
#include "py.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>

#include <cxxabi.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

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
    PyObject* context_none = nullptr;  // {"context": None} for call_soon_threadsafe
    // Interned names: a call by name then builds and hashes no string of its own.
    PyObject* cancelled = nullptr;
    PyObject* set_result = nullptr;
    PyObject* set_exception = nullptr;
    PyObject* create_future = nullptr;
    PyObject* add_done_callback = nullptr;
    PyObject* remove_done_callback = nullptr;
    PyObject* call_soon_threadsafe = nullptr;
    PyObject* loop_watcher = nullptr;  // the attribute of an event loop that holds the bridge's watcher for it
};
PythonHandles* handles = nullptr;
PyObject* rust_panic = nullptr;

PyMethodDef on_exit_def = {"_py_engine_rust_on_exit", guarded<on_exit>, METH_NOARGS, nullptr};

PythonHandles* python_handles() {
    if (handles) return handles;
    py::object asyncio = py::object::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) return nullptr;
    py::object get_loop = py::object::steal(PyObject_GetAttrString(asyncio.get(), "get_running_loop"));
    py::object kwargs = py::object::steal(PyDict_New());
    if (!get_loop || !kwargs || PyDict_SetItemString(kwargs.get(), "context", Py_None) < 0) return nullptr;
    const char* const spellings[] = {"cancelled",         "set_result",           "set_exception",
                                     "create_future",     "add_done_callback",    "remove_done_callback",
                                     "call_soon_threadsafe", "_py_engine_rust_watcher"};
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
    handles = new PythonHandles{get_loop.release(), kwargs.release(), names[0], names[1], names[2],
                                names[3],          names[4],         names[5], names[6], names[7]};
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

// Shared by a task and its loop's watcher. The signal is emitted only on the engine's thread, where the
// task runs, because Asio cancellation signals are not thread-safe.
struct CancelHandle {
    explicit CancelHandle(asio::any_io_executor ex) : executor(std::move(ex)) {}
    asio::any_io_executor executor;
    asio::cancellation_signal signal;
};

// ---- Completions, coalesced per event loop ------------------------------------------------------------
//
// A finished task does not wake its loop by itself. It joins its loop's queue, and only the first task to
// find no drain pending wakes the loop's thread; the drain then settles every queued future in the order the
// tasks finished. A burst of k completions thus costs one wake-up of the loop's thread, and the results are
// built by the drain, on that thread.
//
// The wake-up is a write to an eventfd of the bridge's own that the loop watches (add_reader): no worker
// takes the interpreter lock, and the loop's thread reads one counter instead of running asyncio's self-pipe
// and a scheduled handle. A loop that cannot watch a descriptor, or has dropped the watch by closing, is
// woken with call_soon_threadsafe instead, which also reports a closed loop.

// Owned references to a task's loop, future and the loop's watcher. Workers pass them on without the
// interpreter lock and never release them themselves: that happens under the lock, or never (once the
// interpreter is finalising).
struct TaskRefs {
    PyObject* loop;
    PyObject* future;
    PyObject* watcher;

    void release() noexcept {
        Py_DECREF(loop);
        Py_DECREF(future);
        Py_DECREF(watcher);
    }
};

// How a task ended when it did not return an outcome.
struct Fault {
    bool out_of_memory = false;
    std::string what;
};

// A finished task, waiting for its loop's drain.
struct Completion {
    TaskRefs refs;
    Result<Response> outcome;
    Finish finish;
    std::optional<Fault> fault;
};

// The bridge's state for one event loop: the finished tasks its thread has still to settle, and the
// cancellation handle of every task whose future is pending. Shared by the loop's watcher (an attribute of
// the loop, so the state lives as long as the loop) and by every task started from it. It holds no Python
// object, so whichever thread lets it go last needs no interpreter lock.
// `mutex` guards `finished`, `drain_pending` and `fd_watched`, and is never held while waiting for the
// interpreter lock; `watched` is guarded by the interpreter lock.
struct LoopState {
    LoopState() = default;
    LoopState(const LoopState&) = delete;
    LoopState& operator=(const LoopState&) = delete;
    ~LoopState() {
        if (wake_fd >= 0) ::close(wake_fd);
    }

    // Wakes the loop's thread through the eventfd; false if the write failed.
    bool wake() const noexcept {
        const std::uint64_t one = 1;
        return ::write(wake_fd, &one, sizeof one) == sizeof one;
    }

    std::mutex mutex;
    std::vector<Completion> finished;
    bool drain_pending = false;  // a wake-up is on its way and the drain has not yet taken `finished`
    bool fd_watched = false;     // the loop watches `wake_fd`
    int wake_fd = -1;            // set once, before any task of the loop can see it
    std::unordered_map<PyObject*, std::shared_ptr<CancelHandle>> watched;  // by future, a borrowed key
};

using LoopStatePtr = std::shared_ptr<LoopState>;

constexpr char loop_state_capsule[] = "engine.loop";

LoopStatePtr& state_in(PyObject* capsule) {
    return *static_cast<LoopStatePtr*>(PyCapsule_GetPointer(capsule, loop_state_capsule));
}

// The done-callback of every future of one loop. The drain takes it off a future before setting it, so it
// runs only for a cancelled future, and then cancels that future's task.
PyObject* watch(PyObject* capsule, PyObject* future) {
    LoopState& state = *state_in(capsule);
    const auto it = state.watched.find(future);
    if (it == state.watched.end()) Py_RETURN_NONE;
    std::shared_ptr<CancelHandle> handle = std::move(it->second);
    state.watched.erase(it);
    asio::post(handle->executor, [handle] { handle->signal.emit(asio::cancellation_type::terminal); });
    Py_RETURN_NONE;
}

PyMethodDef watch_def = {"_watch", guarded<watch>, METH_O, nullptr};

void watch_wake_fd(PyObject* loop, const LoopStatePtr& state);

// The loop's watcher, made on first use and kept in an attribute of the loop.
py::object watcher_of(PyObject* loop) {
    py::object held = py::object::steal(PyObject_GetAttr(loop, handles->loop_watcher));
    if (held || !PyErr_ExceptionMatches(PyExc_AttributeError)) return held;
    PyErr_Clear();
    auto state = std::make_unique<LoopStatePtr>(std::make_shared<LoopState>());
    py::object capsule = py::object::steal(PyCapsule_New(state.get(), loop_state_capsule, [](PyObject* c) {
        delete static_cast<LoopStatePtr*>(PyCapsule_GetPointer(c, loop_state_capsule));
    }));
    if (!capsule) return capsule;
    state.release();
    py::object watcher = py::object::steal(PyCFunction_New(&watch_def, capsule.get()));
    if (!watcher) return watcher;
    // A loop that takes no attributes gets a new state for every call: no coalescing, the same outcomes,
    // and no descriptor to watch, which would outlive the call.
    if (PyObject_SetAttr(loop, handles->loop_watcher, watcher.get()) < 0) {
        PyErr_Clear();
    } else {
        watch_wake_fd(loop, state_in(capsule.get()));
    }
    return watcher;
}

// The value that the future gets for a task's outcome or fault, and whether it is an exception; a null
// value (and an exception set) when even that cannot be built. Needs the interpreter lock.
std::pair<py::object, bool> value_for(Completion& c) {
    try {
        if (c.fault) {
            if (c.fault->out_of_memory) {
                PyErr_NoMemory();
            } else if (PyObject* type = rust_panic_type()) {
                PyErr_Format(type, "rust future panicked: %s", c.fault->what.c_str());
            }
            return {py::fetch_exception(), true};
        }
        if (!c.outcome.ok()) {
            set_python_error(c.outcome.error());
            return {py::fetch_exception(), true};
        }
        py::object value = py::object::steal(c.finish(c.outcome.value()));
        if (value) return {std::move(value), false};
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {  // building the result itself failed (out of memory, most likely)
        raise_current_exception();
    }
    return {py::fetch_exception(), true};
}

// Completes one future on its loop's thread, unless it was cancelled meanwhile. The watcher is taken off
// first: it has nothing left to watch, and left on, the loop would run it as one more callback before the
// awaiting task resumes.
void settle(LoopState& state, Completion& c) {
    PyObject* const future = c.refs.future;
    state.watched.erase(future);
    if (future_cancelled(future)) return;
    auto [value, is_error] = value_for(c);
    if (!value) {
        PyErr_WriteUnraisable(future);
        return;
    }
    py::object removed =
        py::object::steal(PyObject_CallMethodObjArgs(future, handles->remove_done_callback, c.refs.watcher, nullptr));
    if (removed) {
        PyObject* setter = is_error ? handles->set_exception : handles->set_result;
        removed = py::object::steal(PyObject_CallMethodObjArgs(future, setter, value.get(), nullptr));
    }
    if (!removed) PyErr_WriteUnraisable(future);
}

// Gives up the queued tasks of a loop that will not run a drain for them, and lets the next one schedule
// again. With `error` (the loop's refusal) each future that is not cancelled has it printed, as nobody can
// receive the outcome any more. Needs the interpreter lock.
void abandon(LoopState& state, PyObject* error) {
    std::vector<Completion> lost;
    {
        std::lock_guard lock(state.mutex);
        lost.swap(state.finished);
        state.drain_pending = false;
    }
    for (Completion& c : lost) {
        state.watched.erase(c.refs.future);
        if (error && !future_cancelled(c.refs.future)) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
            PyErr_WriteUnraisable(c.refs.future);
        }
        c.refs.release();
    }
}

// One scheduled drain. A loop that closes drops the callbacks it has not run; the ticket goes with the
// dropped drain and gives up its tasks silently, as the loop dropped them, so that the next completion
// schedules again and finds the loop closed.
struct DrainTicket {
    LoopStatePtr state;
    bool ran = false;
};

constexpr char drain_capsule[] = "engine.drain";

void release_ticket(PyObject* capsule) {
    std::unique_ptr<DrainTicket> ticket(static_cast<DrainTicket*>(PyCapsule_GetPointer(capsule, drain_capsule)));
    if (!ticket->ran) abandon(*ticket->state, nullptr);
}

// Settles every queued future of the loop, in the order their tasks finished. On the loop's thread.
void drain(LoopState& state) {
    std::vector<Completion> batch;
    {
        std::lock_guard lock(state.mutex);
        batch.swap(state.finished);
        state.drain_pending = false;
    }
    for (Completion& c : batch) {
        settle(state, c);
        c.refs.release();
    }
}

// The callback of call_soon_threadsafe.
PyObject* run_drain(PyObject* capsule, PyObject*) {
    auto* ticket = static_cast<DrainTicket*>(PyCapsule_GetPointer(capsule, drain_capsule));
    ticket->ran = true;
    drain(*ticket->state);
    Py_RETURN_NONE;
}

PyMethodDef drain_def = {"_drain", guarded<run_drain>, METH_NOARGS, nullptr};

// ---- The eventfd wake-up -------------------------------------------------------------------------------

constexpr char reader_capsule[] = "engine.reader";

LoopState& reader_state(PyObject* capsule) {
    return **static_cast<LoopStatePtr*>(PyCapsule_GetPointer(capsule, reader_capsule));
}

// The loop's reader callback for the eventfd.
PyObject* on_wake(PyObject* capsule, PyObject*) {
    LoopState& state = reader_state(capsule);
    // Reset the counter before taking the queue, so that a wake-up written after this is for a completion
    // the drain below may miss, never for one it has taken.
    std::uint64_t count;
    [[maybe_unused]] const auto got = ::read(state.wake_fd, &count, sizeof count);
    drain(state);
    Py_RETURN_NONE;
}

PyMethodDef wake_def = {"_wake", guarded<on_wake>, METH_NOARGS, nullptr};

// The loop let go of its reader: removed, refused, or dropped by a closing loop. The completions whose
// wake-up it will never see are given up silently, as a dropped drain's are, and later ones fall back to
// call_soon_threadsafe, which finds a closed loop closed.
void release_reader(PyObject* capsule) {
    std::unique_ptr<LoopStatePtr> held(static_cast<LoopStatePtr*>(PyCapsule_GetPointer(capsule, reader_capsule)));
    {
        std::lock_guard lock((*held)->mutex);
        (*held)->fd_watched = false;
    }
    abandon(**held, nullptr);
}

// Asks the loop to watch an eventfd for the bridge. Without one (no descriptors left, or a loop that
// cannot watch them) the bridge wakes the loop with call_soon_threadsafe; neither is an error.
void watch_wake_fd(PyObject* loop, const LoopStatePtr& state) {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return;
    state->wake_fd = fd;  // closed with the state
    auto held = std::make_unique<LoopStatePtr>(state);
    py::object capsule = py::object::steal(PyCapsule_New(held.get(), reader_capsule, release_reader));
    if (!capsule) {
        PyErr_Clear();
        return;
    }
    held.release();
    {
        std::lock_guard lock(state->mutex);
        state->fd_watched = true;  // undone by release_reader should the loop refuse the reader
    }
    py::object callback = py::object::steal(PyCFunction_New(&wake_def, capsule.get()));
    py::object added = callback ? py::object::steal(PyObject_CallMethod(loop, "add_reader", "iO", fd, callback.get()))
                                : py::object();
    if (!added) PyErr_Clear();
}

// Schedules a drain of `state` on `loop`. Runs on a worker thread holding the interpreter lock; the loop
// is kept alive by the queued tasks, which no drain can take before this one.
void schedule_drain(const LoopStatePtr& state, PyObject* loop) {
    auto* const ticket = new (std::nothrow) DrainTicket{state};
    py::object capsule = ticket ? py::object::steal(PyCapsule_New(ticket, drain_capsule, release_ticket)) : py::object();
    if (!capsule) {
        delete ticket;
        if (!PyErr_Occurred()) PyErr_NoMemory();
    }
    py::object callback = capsule ? py::object::steal(PyCFunction_New(&drain_def, capsule.get())) : py::object();
    py::object schedule = callback ? py::object::steal(PyObject_GetAttr(loop, handles->call_soon_threadsafe)) : py::object();
    py::object args = schedule ? py::object::steal(PyTuple_Pack(1, callback.get())) : py::object();
    if (args && py::object::steal(PyObject_Call(schedule.get(), args.get(), handles->context_none))) return;
    // The loop is closed (or the call itself failed): the queued tasks can never be settled.
    if (capsule) ticket->ran = true;  // the ticket, once let go, has nothing more to give up
    py::object error = py::fetch_exception();
    abandon(*state, error.get());
}

// What a finished task has to do to have its loop drain it.
enum class Wake {
    none,        // a wake-up is on its way already
    descriptor,  // write to the loop's eventfd
    scheduled,   // schedule a drain with call_soon_threadsafe
};

// Queues a finished task for its loop. Runs on a worker thread, without the interpreter lock.
Wake enqueue(LoopState& state, Completion c) {
    std::lock_guard lock(state.mutex);
    state.finished.push_back(std::move(c));
    if (std::exchange(state.drain_pending, true)) return Wake::none;
    return state.fd_watched ? Wake::descriptor : Wake::scheduled;
}

// One task, from start to completion of its future. Nothing it throws escapes: a fault of the task becomes
// the future's exception.
asio::awaitable<void> run_task(std::shared_ptr<CancelHandle> handle, Task task, Finish finish, TaskRefs refs,
                               LoopStatePtr state) {
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

    std::optional<Wake> wake;
    if (!cancelled) {
        try {
            wake = enqueue(*state, Completion{refs, std::move(outcome), finish, std::move(fault)});
        } catch (const std::bad_alloc&) {  // no room in the queue: the future can only be reported
        }
    }
    if (wake == Wake::none) co_return;
    // A reader that the loop drops meanwhile gives the queue up, so a wake-up written too late is harmless.
    if (wake == Wake::descriptor && state->wake()) co_return;
    python_section python;
    if (!python) co_return;
    if (wake) {
        schedule_drain(state, refs.loop);
        co_return;
    }
    // Cancelled (the future is cancelled already), or not queued: only the references are left to let go.
    state->watched.erase(refs.future);
    if (!cancelled) {
        PyErr_NoMemory();
        PyErr_WriteUnraisable(refs.future);
    }
    refs.release();
}

}  // namespace

PyObject* launch(const asio::any_io_executor& executor, Task task, Finish finish) {
    if (!python_handles()) return nullptr;
    py::object loop = py::object::steal(PyObject_CallNoArgs(handles->get_running_loop));
    if (!loop) return nullptr;
    py::object watcher = watcher_of(loop.get());
    if (!watcher) return nullptr;
    LoopStatePtr state = state_in(PyCFunction_GetSelf(watcher.get()));
    py::object future = py::object::steal(PyObject_CallMethodObjArgs(loop.get(), handles->create_future, nullptr));
    if (!future) return nullptr;

    auto handle = std::make_shared<CancelHandle>(executor);
    state->watched.emplace(future.get(), handle);
    py::object added =
        py::object::steal(PyObject_CallMethodObjArgs(future.get(), handles->add_done_callback, watcher.get(), nullptr));
    if (!added) {
        state->watched.erase(future.get());
        return nullptr;
    }

    // The task's cancellation state lives inside the signal, and co_spawn touches it after the task body
    // has ended. So the completion handler owns the handle and releases it one turn of its thread later, once
    // co_spawn is completely done with it.
    auto release_later = [handle](std::exception_ptr) mutable {
        auto ex = handle->executor;
        asio::post(ex, [h = std::move(handle)] {});
    };
    try {
        asio::co_spawn(executor,
                       run_task(handle, std::move(task), finish,
                                TaskRefs{loop.release(), py::object(future).release(), watcher.release()}, state),
                       asio::bind_cancellation_slot(handle->signal.slot(), std::move(release_later)));
    } catch (...) {
        state->watched.erase(future.get());  // the future may die, and its address be reused
        throw;
    }
    return future.release();
}

}  // namespace engine
