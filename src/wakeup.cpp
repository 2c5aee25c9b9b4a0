#include "wakeup.hpp"

#include "boundary.hpp"
#include "interpreter.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <new>

namespace engine {

namespace {

// ---- call_soon_threadsafe ------------------------------------------------------------------------------

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

// The callback of call_soon_threadsafe.
PyObject* run_drain(PyObject* capsule, PyObject*) {
    auto* ticket = static_cast<DrainTicket*>(PyCapsule_GetPointer(capsule, drain_capsule));
    ticket->ran = true;
    drain(*ticket->state);
    Py_RETURN_NONE;
}

PyMethodDef drain_def = {"_drain", guarded<run_drain>, METH_NOARGS, nullptr};

// ---- The eventfd ---------------------------------------------------------------------------------------

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

}  // namespace

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

void schedule_drain(const LoopStatePtr& state, PyObject* loop) {
    const interpreter::Handles& names = interpreter::handles();
    auto* const ticket = new (std::nothrow) DrainTicket{state};
    py::object capsule = ticket ? py::object::steal(PyCapsule_New(ticket, drain_capsule, release_ticket)) : py::object();
    if (!capsule) {
        delete ticket;
        if (!PyErr_Occurred()) PyErr_NoMemory();
    }
    py::object callback = capsule ? py::object::steal(PyCFunction_New(&drain_def, capsule.get())) : py::object();
    py::object schedule = callback ? py::object::steal(PyObject_GetAttr(loop, names.call_soon_threadsafe)) : py::object();
    py::object args = schedule ? py::object::steal(PyTuple_Pack(1, callback.get())) : py::object();
    if (args && py::object::steal(PyObject_Call(schedule.get(), args.get(), names.context_none))) return;
    // The loop is closed (or the call itself failed): the queued tasks can never be settled.
    if (capsule) ticket->ran = true;  // the ticket, once let go, has nothing more to give up
    py::object error = py::fetch_exception();
    abandon(*state, error.get());
}

}  // namespace engine
