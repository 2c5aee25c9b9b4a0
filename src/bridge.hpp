// The awaitable bridge: every engine operation runs on the process-wide I/O runtime and completes an
// asyncio future of the caller's running loop. Free of Boost, so the binding files stay light.
#pragma once

#include "buffer.hpp"
#include "codec.hpp"

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

namespace engine {

// The shared handles of one engine (seq counter, connection slot, connected notification); see ws.hpp.
struct Endpoint;
std::shared_ptr<Endpoint> make_endpoint(std::uint32_t start_seq);

// A timeout of whole seconds plus nanoseconds.
struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;
};

struct StartOp {
    std::string host;
    std::uint16_t port;
};
struct WaitConnectedOp {
    std::optional<Duration> timeout;
};
struct CallOp {
    std::uint16_t fn_id;
    codec::Bytes frame;  // the request payload after 16 free bytes that the transport fills with the header
    Duration timeout;
};
using Operation = std::variant<StartOp, WaitConnectedOp, CallOp>;

// A successful operation's response as its Finish sees it. The message is the Finish's own by then, so a
// large result can be made over the received bytes instead of a copy of them.
class Received {
public:
    // The payload (empty for start and wait_connected). The Finish may rewrite it in place.
    virtual std::span<std::uint8_t> payload() = 0;
    // Hands over the memory that holds the payload: the bytes stay where payload() said, kept alive by the
    // returned owner (and no longer by this object). Null when there is nothing to hand over.
    virtual std::unique_ptr<buffer::Owner> adopt() = 0;

protected:
    ~Received() = default;
};

// Builds the Python result from a successful operation's response. Runs on a worker thread holding the
// interpreter lock; returns a new reference, or null with an exception set.
using Finish = PyObject* (*)(Received& response);

// Starts `op` at once and returns a new asyncio future of the running loop, or null with an exception
// set (no running loop, or the runtime could not start). Needs the interpreter lock.
PyObject* launch(const std::shared_ptr<Endpoint>& endpoint, Operation op, Finish finish);

}  // namespace engine
