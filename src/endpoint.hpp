// The shared handles of one engine: the connection slot, the seq counter and the connected notification.
#pragma once

#include "sync.hpp"

#include <cstdint>
#include <memory>

namespace engine {

class Connection;

// Shared by the Python object, every running task and the accept loop of one engine. All of its tasks
// run on one worker's single-threaded context, which is what makes the connection safe to use from them;
// the mutexes order the tasks, they do not guard against threads.
struct Endpoint {
    explicit Endpoint(std::uint32_t start_seq) : start_seq(start_seq), next_seq(start_seq) {}

    const std::uint32_t start_seq;

    // Lock order: slot_mutex before seq_mutex (only installation takes both).
    sync::async_mutex slot_mutex;
    std::shared_ptr<Connection> slot;  // guarded by slot_mutex
    sync::async_mutex seq_mutex;
    std::uint32_t next_seq;  // guarded by seq_mutex
    sync::notification connected;
};

}  // namespace engine
