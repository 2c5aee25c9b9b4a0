// The two ways a worker wakes an event loop's thread to drain its completions (src/completions.hpp). The
// first is a write to an eventfd of the bridge's own that the loop watches (add_reader): no worker takes the
// interpreter lock, and the loop's thread reads one counter instead of running asyncio's self-pipe and a
// scheduled handle. A loop that cannot watch a descriptor, or has dropped the watch by closing, is woken with
// call_soon_threadsafe instead, which also reports a closed loop.
#pragma once

#include "completions.hpp"

#include <Python.h>

namespace engine {

// Asks the loop to watch an eventfd for the bridge, once, when its state is made. Without one (no descriptors
// left, or a loop that cannot watch them) the bridge wakes the loop with call_soon_threadsafe; neither is an
// error. Needs the interpreter lock.
void watch_wake_fd(PyObject* loop, const LoopStatePtr& state);

// Schedules a drain of `state` on `loop` with call_soon_threadsafe. Runs on a worker thread holding the
// interpreter lock; the loop is kept alive by the queued tasks, which no drain can take before this one.
void schedule_drain(const LoopStatePtr& state, PyObject* loop);

}  // namespace engine
