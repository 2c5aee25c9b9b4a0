// The WebSocket endpoint: listener, accept loop, the connection slot and the call transport.
#pragma once

#include "bridge.hpp"
#include "buffer.hpp"
#include "error.hpp"
#include "sync.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include <cstdint>
#include <memory>
#include <optional>

namespace engine {

class Connection;

// Shared by the Python object, every running task and every accept loop of one engine. All of its tasks
// run on `executor`, a context with a single thread, which is what makes the connection (a Beast stream)
// safe to use from them.
struct Endpoint {
    explicit Endpoint(std::uint32_t start_seq) : start_seq(start_seq), next_seq(start_seq) {}

    const std::uint32_t start_seq;
    std::optional<boost::asio::any_io_executor> executor;  // set by the first launch

    // Lock order: slot_mutex before seq_mutex (only installation takes both).
    sync::async_mutex slot_mutex;
    std::shared_ptr<Connection> slot;  // guarded by slot_mutex
    sync::async_mutex seq_mutex;
    std::uint32_t next_seq;  // guarded by seq_mutex
    sync::notification connected;
};

// One WebSocket message as read, in memory that suits large messages too (see buffer.hpp).
using MessageBuffer = boost::beast::basic_flat_buffer<buffer::allocator<char>>;

// A successful call's response: the whole frame as read, its payload after the 16-byte header.
struct Response final : Received {
    explicit Response(MessageBuffer message = {}) : message(std::move(message)) {}
    MessageBuffer message;
    std::span<std::uint8_t> payload() override;
    std::unique_ptr<buffer::Owner> adopt() override;
};

// Binds the listener and spawns its accept loop.
boost::asio::awaitable<Result<Response>> start_endpoint(std::shared_ptr<Endpoint> ep, std::string host,
                                                        std::uint16_t port);
boost::asio::awaitable<Result<Response>> wait_connected(std::shared_ptr<Endpoint> ep,
                                                        std::optional<Duration> timeout);
boost::asio::awaitable<Result<Response>> rpc_call(std::shared_ptr<Endpoint> ep, std::uint16_t fn_id,
                                                  codec::Bytes frame, Duration timeout);

}  // namespace engine
