// Completions, coalesced per event loop. A finished task does not wake its loop by itself. It joins its loop's
// queue, and only the first task to find no drain pending wakes the loop's thread (src/wakeup.hpp); the drain
// then settles every queued future in the order the tasks finished. A burst of k completions thus costs one
// wake-up of the loop's thread, and the results are built by the drain, on that thread.
#pragma once

#include "bridge.hpp"
#include "py.hpp"

#include <Python.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/cancellation_signal.hpp>

#include <unistd.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace engine {

// Shared by a task and its loop's watcher. The signal is emitted only on the engine's thread, where the task
// runs, because Asio cancellation signals are not thread-safe.
struct CancelHandle {
    explicit CancelHandle(boost::asio::any_io_executor ex) : executor(std::move(ex)) {}
    boost::asio::any_io_executor executor;
    boost::asio::cancellation_signal signal;
};

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

// A new watcher for a loop with `state`: the done-callback that every future of the loop gets. The drain takes
// it off a future before setting it, so it runs only for a cancelled future, and then cancels that future's
// task. Null with an exception set on failure. Needs the interpreter lock.
py::object make_watcher(LoopStatePtr state);

// The state a watcher was made with.
const LoopStatePtr& state_of(PyObject* watcher);

// What a finished task has to do to have its loop drain it.
enum class Wake {
    none,        // a wake-up is on its way already
    descriptor,  // write to the loop's eventfd
    scheduled,   // schedule a drain with call_soon_threadsafe
};

// Queues a finished task for its loop. Runs on a worker thread, without the interpreter lock.
Wake enqueue(LoopState& state, Completion c);

// Settles every queued future of the loop, in the order their tasks finished. On the loop's thread.
void drain(LoopState& state);

// Gives up the queued tasks of a loop that will not run a drain for them, and lets the next one schedule
// again. With `error` (the loop's refusal) each future that is not cancelled has it printed, as nobody can
// receive the outcome any more. Needs the interpreter lock.
void abandon(LoopState& state, PyObject* error);

}  // namespace engine
