// One UI peer's WebSocket connection. It owns its stream and everything that touches it: the reader, the
// writes with their deadlines and the teardown. Calls ask it to send a frame by a deadline and for the
// next message by a deadline; nobody else reaches into the stream.
#pragma once

#include "message.hpp"
#include "timeout.hpp"

#include <boost/asio/append.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace engine {

// The executor of a peer's socket and timers: the worker's own context, named by its concrete type. Every
// read and write of a message copies the executor of its stream several times over, and a type-erased
// executor makes each copy an indirect call.
using PeerExecutor = boost::asio::io_context::executor_type;
using PeerTimer =
    boost::asio::basic_waitable_timer<clock_type, boost::asio::wait_traits<clock_type>, PeerExecutor>;

// The TCP socket under a peer's WebSocket layer: the library's own, with a teardown of the engine's. It is
// the bare socket, not Beast's timed stream: the connection's deadlines are its own, and the handshake's
// time limit is kept by the listener.
class PeerSocket : public boost::asio::basic_stream_socket<boost::asio::ip::tcp, PeerExecutor> {
public:
    using boost::asio::basic_stream_socket<boost::asio::ip::tcp, PeerExecutor>::basic_stream_socket;
};

// Found by argument-dependent lookup in place of the library's teardown, which runs after the engine has
// sent a close frame (a protocol error, or the peer's own Close) and waits for the peer to shut its TCP side
// first. A peer that never does would hold the reader, and with it the waiting call, until the call's
// deadline. The close frame has gone out and nothing more will be read, so the engine shuts the socket at once;
// the library then closes it.
template <class Handler>
void async_teardown(boost::beast::role_type, PeerSocket& stream, Handler&& handler) {
    boost::system::error_code ignored;
    stream.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    boost::asio::post(stream.get_executor(),
                      boost::asio::append(std::forward<Handler>(handler), boost::system::error_code{}));
}

// Confined to its engine's worker thread: the reader, the calls and the accept loop all run there.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    using Stream = boost::beast::websocket::stream<PeerSocket>;

    // What the reader found, in arrival order; the terminal item is last.
    struct Item {
        MessageBuffer message;
        std::optional<std::string> end;  // the transport text of the reader's last outcome
        std::exception_ptr fault;        // the reader itself failed (out of memory, a library fault)
    };

    explicit Connection(Stream ws);

    void start_reader();

    // Drops the peer without a close frame: pending reads and writes end, and so does the reader.
    void close();

    // Whether the engine itself dropped this peer (replaced, timed out, cancelled, or a transport error).
    bool dropped() const { return closed_; }

    // The transport text of how the peer ended, once the reader knows it.
    const std::optional<std::string>& ended() const { return end_; }

    // Whether the socket already shows the peer's end (its FIN or a reset) or an error. Looks without reading,
    // so it also works before the reader runs.
    bool shows_end() noexcept;

    // Sends one binary message. A write still running at `deadline` drops the connection and reports
    // beast::error::timeout; a write whose calling task is cancelled drops the connection and throws
    // operation_aborted. Half a frame cannot be withdrawn, so no write outlives its caller. One at a time:
    // the caller holds the slot.
    boost::asio::awaitable<boost::system::error_code> send(boost::asio::const_buffer frame,
                                                           clock_type::time_point deadline);

    // The next item, or nothing once `deadline` has passed; throws operation_aborted when the calling task
    // is cancelled. Only the slot holder waits.
    boost::asio::awaitable<std::optional<Item>> next(clock_type::time_point deadline);

    // Responses of cancelled calls, so they can be told apart from real faults; each is forgotten once seen.
    void remember_abandoned(std::uint32_t seq, std::uint16_t fn_id);
    bool forget_abandoned(std::uint32_t seq, std::uint16_t fn_id);

private:
    static boost::asio::awaitable<void> read_loop(std::shared_ptr<Connection> self);
    std::optional<Item> try_pop();
    bool push(Item item);
    void end(std::string text, std::exception_ptr fault = nullptr);
    void fail(std::exception_ptr fault);
    void watch(clock_type::time_point deadline);
    void check_deadlines();

    Stream ws_;
    std::deque<Item> items_;
    std::size_t queued_bytes_ = 0;
    PeerTimer wake_;   // the waiting call's wait, never due: cancelled to wake it
    PeerTimer room_;   // the reader's wait for the queue to drain
    PeerTimer watch_;  // due no later than the earliest deadline below (see watch())
    clock_type::time_point watch_at_ = clock_type::time_point::max();       // when watch_ is due; max: idle
    clock_type::time_point send_deadline_ = clock_type::time_point::max();  // the running send's; max: none
    clock_type::time_point wait_deadline_ = clock_type::time_point::max();  // the waiting call's; max: none
    bool send_timed_out_ = false;
    std::uint64_t sends_ = 0;  // sends begun, so a late cancellation knows its send is over
    std::deque<std::pair<std::uint32_t, std::uint16_t>> abandoned_;
    bool closed_ = false;
    std::optional<std::string> end_;
};

}  // namespace engine
