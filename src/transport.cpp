#include "transport.hpp"

#include "connection.hpp"
#include "frame.hpp"

#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/this_coro.hpp>

#include <exception>
#include <string>

namespace engine {

namespace asio = boost::asio;
using boost::system::error_code;

codec::ByteSpan Response::payload() const {
    const auto data = message.cdata();
    const auto* p = static_cast<const std::uint8_t*>(data.data());
    if (data.size() < frame::header_size) return {};
    return {p + frame::header_size, data.size() - frame::header_size};
}

namespace {

// Empties the slot of `conn` after a transport failure. The caller holds the slot.
void drop(Endpoint& ep, Connection& conn) {
    conn.close();
    if (ep.slot.get() == &conn) ep.slot.reset();
}

// The receive phase: reads until this call's response, an error response, a failure or the deadline. The
// caller holds the slot.
asio::awaitable<Result<Response>> receive(Connection& conn, std::uint32_t seq, std::uint16_t fn_id,
                                          clock_type::time_point deadline) {
    const auto transport = [&](std::string message) { return TransportError{seq, fn_id, std::move(message)}; };
    for (;;) {
        std::optional<Connection::Item> item = co_await conn.next(deadline);
        if (!item) co_return transport("timeout waiting response");
        // The reader itself failed: that is the engine's fault, not the peer's, and the bridge reports it as such.
        if (item->fault) std::rethrow_exception(item->fault);
        if (item->end) co_return transport(*item->end);

        const auto data = item->message.cdata();
        const codec::ByteSpan bytes(static_cast<const std::uint8_t*>(data.data()), data.size());
        Result<frame::Header> checked = frame::check_incoming(bytes);
        if (!checked) co_return transport(std::get<TransportError>(checked.error()).message);
        const frame::Header h = checked.value();
        switch (static_cast<frame::Kind>(h.kind)) {
        case frame::Kind::PeerPing: {
            const codec::Bytes reply = frame::ping_reply(h, bytes.subspan(frame::header_size));
            // The answer counts against this call's deadline; any other failure of it shows in the next read.
            if (co_await conn.send(asio::buffer(reply), deadline) == boost::beast::error::timeout) {
                co_return transport("timeout waiting response");
            }
            break;
        }
        case frame::Kind::Response:
        case frame::Kind::ErrorResponse:
            if (h.seq != seq) {
                if (conn.forget_abandoned(h.seq, h.fn_id)) break;
                co_return transport("seq mismatch: expected " + std::to_string(seq) + ", got " + std::to_string(h.seq));
            }
            if (h.fn_id != fn_id) {
                co_return transport("fnId mismatch: expected " + std::to_string(fn_id) + ", got " +
                                    std::to_string(h.fn_id));
            }
            if (h.kind == std::uint8_t(frame::Kind::Response)) co_return Response{std::move(item->message)};
            {
                frame::ErrorPayload e = frame::decode_error_payload(bytes.subspan(frame::header_size));
                co_return RpcError{seq, fn_id, e.err, e.sub, std::move(e.message)};
            }
        default:
            break;  // other kinds are not for the engine
        }
    }
}

// Takes `m` for a call if it is free now; an empty guard means the call must wait for it with lock(). Taken
// this way a free mutex costs no coroutine frame, which four times over is some 3% of a small call's
// work on the worker. A call that is already cancelled stops here, as it would at the co_await of lock().
sync::async_mutex::guard lock_now(sync::async_mutex& m, const asio::cancellation_state& cancellation) {
    if (cancellation.cancelled() != asio::cancellation_type::none) {
        throw boost::system::system_error(asio::error::operation_aborted, "co_await");
    }
    return m.try_lock_guard();
}

}  // namespace

asio::awaitable<Result<Response>> rpc_call(std::shared_ptr<Endpoint> ep, std::uint16_t fn_id, codec::Bytes frame,
                                           Duration timeout) {
    const auto transport = [fn_id](std::optional<std::uint32_t> seq, std::string message) {
        return TransportError{seq, fn_id, std::move(message)};
    };

    const asio::cancellation_state cancellation = co_await asio::this_coro::cancellation_state;
    {
        auto guard = lock_now(ep->slot_mutex, cancellation);
        if (!guard) guard = co_await ep->slot_mutex.lock();
        if (!ep->slot) co_return transport(std::nullopt, "no websocket connected");
    }

    std::uint32_t seq;
    {
        auto guard = lock_now(ep->seq_mutex, cancellation);
        if (!guard) guard = co_await ep->seq_mutex.lock();
        seq = ep->next_seq++;
    }

    if (frame.size() < frame::header_size || frame.size() - frame::header_size > UINT32_MAX) {
        co_return CodecError{"request payload does not fit in one frame"};
    }
    frame::encode_header(std::span<std::uint8_t, frame::header_size>(frame.data(), frame::header_size),
                         frame::Header{frame::protocol_version, std::uint8_t(frame::Kind::Request), seq, fn_id,
                                       std::uint32_t(frame.size() - frame::header_size)});

    std::shared_ptr<Connection> conn;
    {
        auto guard = lock_now(ep->slot_mutex, cancellation);
        if (!guard) guard = co_await ep->slot_mutex.lock();
        conn = ep->slot;
        if (!conn) co_return transport(seq, "connection missing");
        // A peer that is already gone is reported as it ended, not as the send that would fail on it.
        if (const auto& end = conn->ended()) {
            const std::string text = *end;
            drop(*ep, *conn);
            co_return transport(seq, text);
        }
        error_code ec;
        try {
            ec = co_await conn->send(asio::buffer(frame), deadline_after(timeout));
        } catch (const boost::system::system_error&) {
            drop(*ep, *conn);  // cancelled halfway through the frame: the connection went with it
            throw;
        }
        // operation_aborted means the library found the stream already failed by the reader (a peer that
        // just went away), possibly after the frame went out: the receive phase reports how the peer ended.
        if (ec == asio::error::operation_aborted && !conn->dropped()) ec = {};
        if (ec) {
            drop(*ep, *conn);
            co_return transport(seq, "websocket send failed: " + ec.message());
        }
    }
    frame = {};

    // From here on the request is out: a call cancelled now leaves its (seq, fnId) behind so the connection
    // can recognise and discard the late response instead of failing the next call.
    sync::async_mutex::guard guard;
    try {
        guard = lock_now(ep->slot_mutex, cancellation);
        if (!guard) guard = co_await ep->slot_mutex.lock();
    } catch (const boost::system::system_error& e) {
        if (e.code() == asio::error::operation_aborted) conn->remember_abandoned(seq, fn_id);
        throw;
    }
    // An empty slot, or a newer peer that never saw this request (and must not be dropped for it).
    if (ep->slot != conn) co_return transport(seq, "connection missing");
    Result<Response> outcome = Response{};
    try {
        outcome = co_await receive(*conn, seq, fn_id, deadline_after(timeout));
    } catch (const boost::system::system_error& e) {
        if (e.code() == asio::error::operation_aborted) conn->remember_abandoned(seq, fn_id);
        // Cancelled in the middle of a PingReply: the connection went with it.
        if (conn->dropped()) drop(*ep, *conn);
        throw;
    } catch (...) {
        drop(*ep, *conn);
        throw;
    }
    if (!outcome.ok() && std::holds_alternative<TransportError>(outcome.error())) drop(*ep, *conn);
    co_return outcome;
}

}  // namespace engine
