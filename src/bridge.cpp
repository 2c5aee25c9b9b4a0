#include "bridge.hpp"

#include "completions.hpp"
#include "interpreter.hpp"
#include "py.hpp"
#include "wakeup.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>

#include <cxxabi.h>

#include <memory>
#include <new>
#include <optional>
#include <utility>

namespace engine {

namespace asio = boost::asio;

namespace {

// The loop's watcher, made on first use and kept in an attribute of the loop, with the loop's state. Needs
// the interpreter lock.
py::object watcher_of(PyObject* loop) {
    const interpreter::Handles& names = interpreter::handles();
    py::object held = py::object::steal(PyObject_GetAttr(loop, names.loop_watcher));
    if (held || !PyErr_ExceptionMatches(PyExc_AttributeError)) return held;
    PyErr_Clear();
    auto state = std::make_shared<LoopState>();
    py::object watcher = make_watcher(state);
    if (!watcher) return watcher;
    // A loop that takes no attributes gets a new state for every call: no coalescing, the same outcomes,
    // and no descriptor to watch, which would outlive the call.
    if (PyObject_SetAttr(loop, names.loop_watcher, watcher.get()) < 0) {
        PyErr_Clear();
    } else {
        watch_wake_fd(loop, state);
    }
    return watcher;
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
    // Never read: the parameter only keeps the signal, whose slot this frame's cancellation state is bound to,
    // alive for as long as the frame.
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
    interpreter::section python;
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
    if (!interpreter::load()) return nullptr;
    const interpreter::Handles& names = interpreter::handles();
    py::object loop = py::object::steal(PyObject_CallNoArgs(names.get_running_loop));
    if (!loop) return nullptr;
    py::object watcher = watcher_of(loop.get());
    if (!watcher) return nullptr;
    LoopStatePtr state = state_of(watcher.get());
    py::object future = py::object::steal(PyObject_CallMethodObjArgs(loop.get(), names.create_future, nullptr));
    if (!future) return nullptr;

    auto handle = std::make_shared<CancelHandle>(executor);
    state->watched.emplace(future.get(), handle);
    py::object added =
        py::object::steal(PyObject_CallMethodObjArgs(future.get(), names.add_done_callback, watcher.get(), nullptr));
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
