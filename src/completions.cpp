#include "completions.hpp"

#include "boundary.hpp"
#include "interpreter.hpp"

#include <boost/asio/post.hpp>

#include <cxxabi.h>

#include <utility>

namespace engine {

namespace asio = boost::asio;

namespace {

bool future_cancelled(PyObject* future) {
    py::object r = py::object::steal(
        PyObject_CallMethodObjArgs(future, interpreter::handles().cancelled, nullptr));
    if (!r) {
        PyErr_WriteUnraisable(future);
        return true;
    }
    return r.get() == Py_True;
}

constexpr char loop_state_capsule[] = "engine.loop";

const LoopStatePtr& state_in(PyObject* capsule) {
    return *static_cast<LoopStatePtr*>(PyCapsule_GetPointer(capsule, loop_state_capsule));
}

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

// The value that the future gets for a task's outcome or fault, and whether it is an exception; a null
// value (and an exception set) when even that cannot be built. Needs the interpreter lock.
std::pair<py::object, bool> value_for(Completion& c) {
    try {
        if (c.fault) {
            if (c.fault->out_of_memory) {
                PyErr_NoMemory();
            } else if (PyObject* type = interpreter::rust_panic_type()) {
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
    const interpreter::Handles& names = interpreter::handles();
    PyObject* const future = c.refs.future;
    state.watched.erase(future);
    if (future_cancelled(future)) return;
    auto [value, is_error] = value_for(c);
    if (!value) {
        PyErr_WriteUnraisable(future);
        return;
    }
    py::object removed =
        py::object::steal(PyObject_CallMethodObjArgs(future, names.remove_done_callback, c.refs.watcher, nullptr));
    if (removed) {
        PyObject* setter = is_error ? names.set_exception : names.set_result;
        removed = py::object::steal(PyObject_CallMethodObjArgs(future, setter, value.get(), nullptr));
    }
    if (!removed) PyErr_WriteUnraisable(future);
}

}  // namespace

py::object make_watcher(LoopStatePtr state) {
    auto held = std::make_unique<LoopStatePtr>(std::move(state));
    py::object capsule = py::object::steal(PyCapsule_New(held.get(), loop_state_capsule, [](PyObject* c) {
        delete static_cast<LoopStatePtr*>(PyCapsule_GetPointer(c, loop_state_capsule));
    }));
    if (!capsule) return capsule;
    held.release();
    return py::object::steal(PyCFunction_New(&watch_def, capsule.get()));
}

const LoopStatePtr& state_of(PyObject* watcher) { return state_in(PyCFunction_GetSelf(watcher)); }

Wake enqueue(LoopState& state, Completion c) {
    std::lock_guard lock(state.mutex);
    state.finished.push_back(std::move(c));
    if (std::exchange(state.drain_pending, true)) return Wake::none;
    return state.fd_watched ? Wake::descriptor : Wake::scheduled;
}

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

}  // namespace engine
