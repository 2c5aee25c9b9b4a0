#include "ws.hpp"

#include "frame.hpp"
#include "origin.hpp"
#include "runtime.hpp"

#include <boost/asio/append.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace engine {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using boost::system::error_code;
using clock_type = std::chrono::steady_clock;

namespace {

constexpr std::string_view handshake_text = "{\"type\":\"handshake\",\"python_library_version\":\"" ENGINE_VERSION "\"}";
constexpr std::size_t max_message_bytes = 64u << 20;
// A client that never finishes its opening handshake must not hold up the one-at-a-time accept loop.
constexpr auto handshake_limit = std::chrono::seconds(10);
// Pause before accepting again when the process is out of descriptors or memory; retrying at once spins.
constexpr auto accept_resource_pause = std::chrono::milliseconds(100);
// Responses of cancelled calls remembered per connection, so they can be told apart from real faults.
constexpr std::size_t abandoned_limit = 1024;
// Messages below this size are moved out of their read buffer into one of their own size.
constexpr std::size_t small_message = 64u << 10;
// The reader stops reading while this much is queued and unread.
constexpr std::size_t inbox_limit = 64u << 20;
// Used when now + timeout would overflow the clock.
constexpr auto far_future = std::chrono::seconds(946080000);

void log_line(const std::string& text) {
    const std::string line = "[rust ws server] " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// The operating system's text for an error number, as "Address already in use (os error 98)".
std::string os_error_text(int errnum) {
    char buf[256];
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

std::string error_text_of(const error_code& ec) {
    if (ec.category() == boost::system::system_category()) return os_error_text(ec.value());
    return ec.message();
}

clock_type::time_point deadline_after(Duration d) {
    const auto now = clock_type::now();
    const __int128 now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    const __int128 sum = now_ns + __int128(d.secs) * 1'000'000'000 + d.nanos;
    if (sum > __int128(clock_type::duration::max().count())) return now + far_future;
    return clock_type::time_point(clock_type::duration(static_cast<clock_type::rep>(sum)));
}

// A write that runs to its end even when the calling task is cancelled, so no frame is ever torn.
template <class Stream, class Buffers>
asio::awaitable<error_code> write_whole(Stream& ws, const Buffers& buffers) {
    auto [ec, n] = co_await ws.async_write(
        buffers, asio::bind_cancellation_slot(asio::cancellation_slot(), asio::as_tuple(asio::use_awaitable)));
    (void)n;
    co_return ec;
}

// The TCP stream under a peer's WebSocket layer: the library's own, with a teardown of the engine's.
class PeerSocket : public beast::tcp_stream {
public:
    using beast::tcp_stream::tcp_stream;
};

// Found by argument-dependent lookup in place of the library's teardown, which runs after the engine has
// sent a close frame (a protocol error, or the peer's own Close) and waits for the peer to shut its TCP side
// first. A peer that never does would hold the reader, and with it the waiting call, until the call's
// deadline. The close frame has gone out and nothing more will be read, so the engine shuts the socket at once;
// the library then closes it.
template <class Handler>
void async_teardown(beast::role_type, PeerSocket& stream, Handler&& handler) {
    error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    asio::post(stream.get_executor(), asio::append(std::forward<Handler>(handler), error_code{}));
}

}  // namespace

std::span<std::uint8_t> Response::payload() {
    const auto data = message.data();
    auto* p = static_cast<std::uint8_t*>(data.data());
    if (data.size() < frame::header_size) return {};
    return {p + frame::header_size, data.size() - frame::header_size};
}

std::unique_ptr<buffer::Owner> Response::adopt() {
    struct Adopted final : buffer::Owner {
        explicit Adopted(MessageBuffer m) : message(std::move(m)) {}
        MessageBuffer message;
    };
    // Moving a flat buffer moves its storage, not the bytes: spans into it stay valid.
    return std::make_unique<Adopted>(std::move(message));
}

// One UI peer. Confined to its engine's thread: the reader, the calls and the accept loop all run there.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    using Stream = websocket::stream<PeerSocket>;

    // What the reader found, in arrival order; the terminal item is last.
    struct Item {
        MessageBuffer message;
        std::optional<std::string> end;  // the transport text of the reader's last outcome
    };

    explicit Connection(Stream ws) : ws_(std::move(ws)), wake_(ws_.get_executor()), room_(ws_.get_executor()) {
        // A Close from the peer ends the connection for the calls at once; the library's read only returns
        // once the peer has also shut its TCP side.
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::close) end("websocket closed");
        });
    }

    Stream& ws() { return ws_; }

    // Whether the engine itself dropped this peer (replaced, or after a transport error).
    bool dropped() const { return closed_; }

    // The transport text of how the peer ended, once the reader knows it.
    const std::optional<std::string>& ended() const { return end_; }

    void start_reader() {
        asio::co_spawn(ws_.get_executor(), read_loop(shared_from_this()), asio::detached);
    }

    // Drops the peer without a close frame; the reader then ends on its failed read.
    void close() {
        closed_ = true;
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws_).socket().close(ignored);
        room_.cancel();
    }

    std::optional<Item> try_pop() {
        if (items_.empty()) return std::nullopt;
        Item item = std::move(items_.front());
        items_.pop_front();
        queued_bytes_ -= footprint(item);
        if (queued_bytes_ < inbox_limit) room_.cancel();
        return item;
    }

    // Waits until something arrives or `deadline` passes; throws operation_aborted when the calling
    // task is cancelled. Only the slot holder waits, so one timer serves.
    asio::awaitable<void> wait_incoming(clock_type::time_point deadline) {
        wake_.expires_at(deadline);
        auto [ec] = co_await wake_.async_wait(asio::as_tuple(asio::use_awaitable));
        (void)ec;
        auto state = co_await asio::this_coro::cancellation_state;
        if (state.cancelled() != asio::cancellation_type::none) {
            throw boost::system::system_error(asio::error::operation_aborted);
        }
    }

    void remember_abandoned(std::uint32_t seq, std::uint16_t fn_id) {
        if (abandoned_.size() == abandoned_limit) abandoned_.pop_front();
        abandoned_.emplace_back(seq, fn_id);
    }

    // Whether a response belongs to a call that was cancelled after sending; each is forgotten once seen.
    bool forget_abandoned(std::uint32_t seq, std::uint16_t fn_id) {
        for (auto it = abandoned_.begin(); it != abandoned_.end(); ++it) {
            if (it->first == seq && it->second == fn_id) {
                abandoned_.erase(it);
                return true;
            }
        }
        return false;
    }

private:
    // What a queued item holds in memory: a read buffer can be far larger than the message in it.
    static std::size_t footprint(const Item& item) { return sizeof(Item) + item.message.capacity(); }

    // Queues the terminal item, once.
    void end(std::string text) {
        if (end_) return;
        end_ = text;
        Item item;
        item.end = std::move(text);
        push(std::move(item));
    }

    // Queues an item; true when a waiting call was woken for it.
    bool push(Item item) {
        queued_bytes_ += footprint(item);
        items_.push_back(std::move(item));
        return wake_.cancel() > 0;
    }

    static asio::awaitable<void> read_loop(std::shared_ptr<Connection> self) {
        for (;;) {
            Item item;
            auto [ec, n] = co_await self->ws_.async_read(item.message, asio::as_tuple(asio::use_awaitable));
            (void)n;
            if (ec) {
                if (self->closed_) co_return;
                self->end(ec == websocket::error::closed ? std::string("websocket closed")
                                                         : "websocket recv failed: " + ec.message());
                co_return;
            }
            // Text messages mean nothing to a call; dropping them here is what the receive phase would do.
            if (self->ws_.got_text()) continue;
            // A small message keeps only what it needs, so a flood of them is not held at the read buffer's size.
            if (item.message.size() < small_message && item.message.capacity() > 2 * item.message.size()) {
                item.message.shrink_to_fit();
            }
            // The woken call goes first: the next read starts with a receive that finds nothing yet, and
            // that need not stand between a response and its caller.
            if (self->push(std::move(item))) co_await asio::post(self->ws_.get_executor(), asio::use_awaitable);
            while (self->queued_bytes_ >= inbox_limit && !self->closed_) {
                self->room_.expires_at(clock_type::time_point::max());
                co_await self->room_.async_wait(asio::as_tuple(asio::use_awaitable));
            }
            if (self->closed_) co_return;
        }
    }

    Stream ws_;
    std::deque<Item> items_;
    std::size_t queued_bytes_ = 0;
    asio::steady_timer wake_;  // the waiting call's deadline; cancelled to wake it early
    asio::steady_timer room_;  // the reader's wait for the queue to drain
    std::deque<std::pair<std::uint32_t, std::uint16_t>> abandoned_;
    bool closed_ = false;
    std::optional<std::string> end_;
};

std::shared_ptr<Endpoint> make_endpoint(std::uint32_t start_seq) { return std::make_shared<Endpoint>(start_seq); }

// ---- Listener -------------------------------------------------------------------------------------

namespace {

struct Address {
    sockaddr_storage storage{};
    socklen_t len = 0;
};

// A literal "a.b.c.d:port" or "[v6]:port"; anything else goes to host-name lookup.
std::optional<Address> literal_address(const std::string& host, std::uint16_t port) {
    Address a;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &in6->sin6_addr) != 1) return std::nullopt;
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        a.len = sizeof(sockaddr_in6);
        return a;
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(&a.storage);
    if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) != 1) return std::nullopt;
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    a.len = sizeof(sockaddr_in);
    return a;
}

struct Lookup {
    std::vector<Address> addresses;
    std::string error;  // set when the lookup itself failed
};

// getaddrinfo blocks, so it runs on the runtime's blocking pool and the task resumes on its own executor.
template <class Token>
auto async_lookup(std::string host, std::string service, Token&& token) {
    return asio::async_initiate<Token, void(Lookup)>(
        [](auto handler, std::string host, std::string service) {
            auto ex = asio::get_associated_executor(handler);
            asio::post(blocking_pool(), [h = std::move(handler), ex, host = std::move(host),
                                         service = std::move(service)]() mutable {
                Lookup out;
                addrinfo hints{};
                hints.ai_socktype = SOCK_STREAM;
                addrinfo* res = nullptr;
                const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
                if (rc != 0) {
                    out.error = std::string("failed to lookup address information: ") +
                                (rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
                } else {
                    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
                        Address a;
                        std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
                        a.len = ai->ai_addrlen;
                        out.addresses.push_back(a);
                    }
                    freeaddrinfo(res);
                }
                asio::post(ex, asio::append(std::move(h), std::move(out)));
            });
        },
        token, std::move(host), std::move(service));
}

// A listening socket for one address, or the errno of the step that failed.
Result<int> listen_on(const Address& a) {
    const int family = a.storage.ss_family;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return TransportError{{}, {}, os_error_text(errno)};
    const int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&a.storage), a.len) < 0 || ::listen(fd, -1) < 0) {
        const int err = errno;
        ::close(fd);
        return TransportError{{}, {}, os_error_text(err)};
    }
    return fd;
}

bool is_resource_exhaustion(const error_code& ec) {
    if (ec.category() != boost::system::system_category()) return false;
    const int v = ec.value();
    return v == EMFILE || v == ENFILE || v == ENOBUFS || v == ENOMEM;
}

// Reads the upgrade request, applies the origin check, completes the WebSocket handshake and greets the
// peer. Returns the connection, or nothing when the handshake failed (already logged).
asio::awaitable<std::shared_ptr<Connection>> handshake(tcp::socket socket) {
    PeerSocket stream(std::move(socket));
    stream.expires_after(handshake_limit);

    beast::flat_buffer buffer;
    http::request<http::empty_body> request;
    if (auto [ec, n] = co_await http::async_read(stream, buffer, request, asio::as_tuple(asio::use_awaitable)); ec) {
        (void)n;
        log_line("accept failed: " + ec.message());
        co_return nullptr;
    }

    std::optional<std::string_view> header;
    if (auto it = request.find(http::field::origin); it != request.end()) header = it->value();
    const std::string origin = trimmed_origin(header);
    if (!origin_allowed(origin)) {
        log_line("rejected origin: " + origin);
        static constexpr std::string_view forbidden = "HTTP/1.1 403 Forbidden\r\n\r\n";
        auto [ec, n] = co_await asio::async_write(stream, asio::buffer(forbidden), asio::as_tuple(asio::use_awaitable));
        (void)ec;
        (void)n;
        error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        log_line("accept failed: HTTP error: 403 Forbidden");
        co_return nullptr;
    }

    Connection::Stream ws(std::move(stream));
    ws.read_message_max(max_message_bytes);
    ws.auto_fragment(false);
    if (auto [ec] = co_await ws.async_accept(request, asio::as_tuple(asio::use_awaitable)); ec) {
        log_line("accept failed: " + ec.message());
        co_return nullptr;
    }

    ws.text(true);
    if (auto ec = co_await write_whole(ws, asio::buffer(handshake_text)); ec) {
        log_line("handshake send failed: " + ec.message());
    }
    ws.binary(true);
    beast::get_lowest_layer(ws).expires_never();
    co_return std::make_shared<Connection>(std::move(ws));
}

// Puts a new peer in the slot: the earlier one is dropped, the seq counter restarts, waiters wake.
asio::awaitable<void> install(Endpoint& ep, std::shared_ptr<Connection> conn) {
    auto slot_guard = co_await ep.slot_mutex.lock();
    if (ep.slot) ep.slot->close();
    ep.slot = conn;
    conn->start_reader();
    {
        auto seq_guard = co_await ep.seq_mutex.lock();
        ep.next_seq = ep.start_seq;
        ep.connected.notify_all();
    }
}

asio::awaitable<void> accept_loop(std::shared_ptr<Endpoint> ep, tcp::acceptor acceptor) {
    asio::steady_timer pause(acceptor.get_executor());
    for (;;) {
        auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
        if (ec) {
            log_line("accept failed: " + error_text_of(ec));
            if (is_resource_exhaustion(ec)) {
                pause.expires_after(accept_resource_pause);
                co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
            }
            continue;
        }
        if (auto conn = co_await handshake(std::move(socket))) co_await install(*ep, std::move(conn));
    }
}

}  // namespace

asio::awaitable<Result<Response>> start_endpoint(std::shared_ptr<Endpoint> ep, std::string host, std::uint16_t port) {
    const std::string address = host + ":" + std::to_string(port);
    const auto fail = [&address](const std::string& why) {
        return TransportError{{}, {}, "bind failed on " + address + ": " + why};
    };

    std::vector<Address> candidates;
    if (auto literal = literal_address(host, port)) {
        candidates.push_back(*literal);
    } else {
        // The address splits at its last colon, so an IPv6 host without brackets still resolves.
        const auto colon = address.rfind(':');
        Lookup lookup = co_await async_lookup(address.substr(0, colon), address.substr(colon + 1), asio::use_awaitable);
        if (!lookup.error.empty()) co_return fail(lookup.error);
        candidates = std::move(lookup.addresses);
    }
    if (candidates.empty()) co_return fail("could not resolve to any address");

    std::string last_error;
    for (const Address& a : candidates) {
        Result<int> fd = listen_on(a);
        if (!fd) {
            last_error = std::get<TransportError>(fd.error()).message;
            continue;
        }
        const auto protocol = a.storage.ss_family == AF_INET6 ? tcp::v6() : tcp::v4();
        tcp::acceptor acceptor(*ep->executor);
        error_code ec;
        acceptor.assign(protocol, fd.value(), ec);
        if (ec) {
            ::close(fd.value());
            last_error = error_text_of(ec);
            continue;
        }
        asio::co_spawn(*ep->executor, accept_loop(ep, std::move(acceptor)), asio::detached);
        co_return Response{};
    }
    co_return fail(last_error);
}

asio::awaitable<Result<Response>> wait_connected(std::shared_ptr<Endpoint> ep, std::optional<Duration> timeout) {
    sync::notification::ticket ticket;
    {
        auto guard = co_await ep->slot_mutex.lock();
        if (ep->slot) co_return Response{};
        // Registered while the slot is locked: an installation after this point cannot be missed.
        ticket = ep->connected.subscribe();
    }
    if (!timeout) {
        co_await ep->connected.async_wait(ticket, asio::use_awaitable);
        co_return Response{};
    }
    const auto deadline = deadline_after(*timeout);
    if (!ep->connected.raised_since(ticket) && clock_type::now() < deadline) {
        using namespace asio::experimental::awaitable_operators;
        asio::steady_timer timer(*ep->executor, deadline);
        co_await (ep->connected.async_wait(ticket, asio::use_awaitable) || timer.async_wait(asio::use_awaitable));
    }
    // A pending notification wins over an expired deadline.
    if (ep->connected.raised_since(ticket)) co_return Response{};
    co_return TransportError{{}, {}, "wait_connected timed out"};
}

asio::awaitable<Result<Response>> rpc_call(std::shared_ptr<Endpoint> ep, std::uint16_t fn_id, codec::Bytes frame,
                                           Duration timeout) {
    const auto transport = [fn_id](std::optional<std::uint32_t> seq, std::string message) {
        return TransportError{seq, fn_id, std::move(message)};
    };

    {
        auto guard = co_await ep->slot_mutex.lock();
        if (!ep->slot) co_return transport(std::nullopt, "no websocket connected");
    }

    std::uint32_t seq;
    {
        auto guard = co_await ep->seq_mutex.lock();
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
        auto guard = co_await ep->slot_mutex.lock();
        conn = ep->slot;
        if (!conn) co_return transport(seq, "connection missing");
        // A peer that is already gone is reported as it ended, not as the send that would fail on it.
        if (const auto& end = conn->ended()) {
            const std::string text = *end;
            conn->close();
            ep->slot.reset();
            co_return transport(seq, text);
        }
        auto ec = co_await write_whole(conn->ws(), asio::buffer(frame));
        // operation_aborted means the library found the stream already failed by the reader (a peer that
        // just went away), possibly after the frame went out: the receive phase reports how the peer ended.
        if (ec == asio::error::operation_aborted && !conn->dropped()) ec = {};
        if (ec) {
            conn->close();
            ep->slot.reset();
            co_return transport(seq, "websocket send failed: " + ec.message());
        }
    }
    frame = {};

    // From here on the request is out: a cancelled call leaves its (seq, fnId) behind so the connection
    // can recognise and discard the late response instead of failing the next call.
    try {
        auto guard = co_await ep->slot_mutex.lock();
        // An empty slot, or a newer peer that never saw this request (and must not be dropped for it).
        if (ep->slot != conn) co_return transport(seq, "connection missing");
        const auto deadline = deadline_after(timeout);

        std::optional<Result<Response>> outcome;
        while (!outcome) {
            std::optional<Connection::Item> item = conn->try_pop();
            if (!item) {
                if (clock_type::now() >= deadline) {
                    outcome = transport(seq, "timeout waiting response");
                    break;
                }
                co_await conn->wait_incoming(deadline);
                continue;
            }
            if (item->end) {
                outcome = transport(seq, *item->end);
                break;
            }
            const auto data = item->message.cdata();
            const codec::ByteSpan bytes(static_cast<const std::uint8_t*>(data.data()), data.size());
            Result<frame::Header> checked = frame::check_incoming(bytes);
            if (!checked) {
                outcome = transport(seq, std::get<TransportError>(checked.error()).message);
                break;
            }
            const frame::Header h = checked.value();
            switch (static_cast<frame::Kind>(h.kind)) {
            case frame::Kind::PeerPing: {
                std::vector<std::uint8_t> reply(bytes.begin(), bytes.end());
                reply[1] = std::uint8_t(frame::Kind::PingReply);
                reply[2] = reply[3] = reply[10] = reply[11] = 0;
                (void)co_await write_whole(conn->ws(), asio::buffer(reply));
                break;
            }
            case frame::Kind::Response:
            case frame::Kind::ErrorResponse:
                if (h.seq != seq) {
                    if (conn->forget_abandoned(h.seq, h.fn_id)) break;
                    outcome = transport(seq, "seq mismatch: expected " + std::to_string(seq) + ", got " +
                                                 std::to_string(h.seq));
                } else if (h.fn_id != fn_id) {
                    outcome = transport(seq, "fnId mismatch: expected " + std::to_string(fn_id) + ", got " +
                                                 std::to_string(h.fn_id));
                } else if (h.kind == std::uint8_t(frame::Kind::Response)) {
                    outcome = Response{std::move(item->message)};
                } else {
                    frame::ErrorPayload e = frame::decode_error_payload(bytes.subspan(frame::header_size));
                    outcome = RpcError{seq, fn_id, e.err, e.sub, std::move(e.message)};
                }
                break;
            default:
                break;  // other kinds are not for the engine
            }
        }

        if (!outcome->ok() && std::holds_alternative<TransportError>(outcome->error())) {
            conn->close();
            if (ep->slot == conn) ep->slot.reset();
        }
        co_return std::move(*outcome);
    } catch (const boost::system::system_error& e) {
        if (e.code() == asio::error::operation_aborted) conn->remember_abandoned(seq, fn_id);
        throw;
    }
}

}  // namespace engine
