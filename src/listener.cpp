#include "listener.hpp"

#include "connection.hpp"
#include "origin.hpp"
#include "runtime.hpp"

#include <boost/asio/append.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace engine {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// The greeting every peer gets first. Its version is a fixed text of the protocol, not the package's version.
constexpr std::string_view handshake_text = R"({"type":"handshake","python_library_version":"0.1.0"})";
constexpr std::size_t max_message_bytes = 64u << 20;
// A client that never finishes its opening handshake gives up its place after this long.
constexpr auto handshake_time_limit = std::chrono::seconds(10);
// Opening handshakes in progress at once. Each is a few kilobytes and a descriptor; beyond this, the oldest
// is cut off rather than letting idle sockets pile up.
constexpr std::size_t max_handshakes = 64;
// Pause before accepting again when the process is out of descriptors or memory; retrying at once spins.
constexpr auto accept_resource_pause = std::chrono::milliseconds(100);

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
            asio::post(runtime::blocking_pool(), [h = std::move(handler), ex, host = std::move(host),
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

// A listening socket for one address, or the text of the step that failed.
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

// The next connection, close-on-exec from the start: a child process started meanwhile must not inherit the
// peer's socket. (The library's accept has no such flag, and setting it afterwards leaves a window.)
asio::awaitable<std::pair<error_code, PeerSocket>> accept_next(tcp::acceptor& acceptor) {
    // The runtime's executors are those of its workers' io_contexts.
    const PeerExecutor* worker = acceptor.get_executor().target<PeerExecutor>();
    if (!worker) throw std::logic_error("the listener runs outside the runtime's workers");
    const PeerExecutor ex = *worker;
    for (;;) {
        const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            PeerSocket socket(ex);
            error_code ec;
            socket.assign(acceptor.local_endpoint().protocol(), fd, ec);
            if (ec) {
                ::close(fd);
            } else {
                // Every message goes out whole in one write, so Nagle's algorithm has nothing to merge; it
                // would only hold a second small message (two PingReplies in a row, a request right after an
                // abandoned one) until the peer acknowledges the first, which the peer may delay by 40 ms.
                error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
            }
            co_return std::pair{ec, std::move(socket)};
        }
        const int err = errno;
        // A connection that was reset while queued, or a signal, is no failure of the listener.
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR && err != ECONNABORTED) {
            co_return std::pair{error_code(err, boost::system::system_category()), PeerSocket(ex)};
        }
        if (err == EAGAIN || err == EWOULDBLOCK) {
            auto [ec] = co_await acceptor.async_wait(tcp::acceptor::wait_read, asio::as_tuple(asio::use_awaitable));
            if (ec) co_return std::pair{ec, PeerSocket(ex)};
        }
    }
}

// An opening handshake in progress. When too many are, the oldest is cut off to make room: a good peer's
// handshake takes milliseconds, so idle or stuck clients are the ones that linger.
struct Pending {
    int fd;                // the client's socket, shut down on eviction
    bool evicted = false;  // then its own failure is not logged again
};
using PendingList = std::list<std::shared_ptr<Pending>>;  // oldest first; only the accept loop's worker touches it

// Reads the upgrade request, applies the origin check, completes the WebSocket handshake and greets the
// peer, all within the handshake time limit. Returns the connection, or nothing when the handshake or the
// greeting failed (already logged).
asio::awaitable<std::shared_ptr<Connection>> handshake(PeerSocket socket, const Pending& pending) {
    const auto fail = [&pending](const std::string& text) {
        if (!pending.evicted) log_line("accept failed: " + text);
    };
    Connection::Stream ws(std::move(socket));
    PeerSocket& stream = ws.next_layer();

    // The time limit shuts the socket, which ends whatever step is waiting; that step then reports the
    // timeout. The shared state tells an expiry that fires as the handshake ends that it is over.
    struct Limit {
        bool over = false;
        bool expired = false;
    };
    const auto limit = std::make_shared<Limit>();
    PeerTimer timer(stream.get_executor(), handshake_time_limit);
    timer.async_wait([limit, fd = stream.native_handle()](error_code ec) {
        if (ec || limit->over) return;
        limit->expired = true;
        ::shutdown(fd, SHUT_RDWR);
    });
    struct Over {
        Limit& limit;
        ~Over() { limit.over = true; }
    } over{*limit};
    const auto why = [&limit](error_code ec) {
        return limit->expired ? error_code(beast::error::timeout).message() : ec.message();
    };

    beast::flat_buffer buffer;
    http::request<http::empty_body> request;
    if (auto [ec, n] = co_await http::async_read(stream, buffer, request, asio::as_tuple(asio::use_awaitable)); ec) {
        (void)n;
        fail(why(ec));
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
        stream.shutdown(tcp::socket::shutdown_both, ignored);
        fail("HTTP error: 403 Forbidden");
        co_return nullptr;
    }

    ws.read_message_max(max_message_bytes);
    ws.auto_fragment(false);
    if (auto [ec] = co_await ws.async_accept(request, asio::as_tuple(asio::use_awaitable)); ec) {
        fail(why(ec));
        co_return nullptr;
    }

    ws.text(true);
    if (auto [ec, n] = co_await ws.async_write(asio::buffer(handshake_text), asio::as_tuple(asio::use_awaitable)); ec) {
        (void)n;
        // A peer that cannot be greeted is gone or going: installed, it would only drop the working one.
        log_line("handshake send failed: " + why(ec));
        co_return nullptr;
    }
    ws.binary(true);
    co_return std::make_shared<Connection>(std::move(ws));
}

// Greeted peers on their way into the slot. A call holds the slot for its whole receive phase, which the peer
// it waits on may stretch to the call's timeout. A peer greeted meanwhile could only be installed to be replaced
// by the next, so just the newest waits: each one greeted closes the one waiting before it. However many clients
// connect, the descriptors held stay bounded by the handshake cap plus this one. Only the accept loop's worker
// touches it.
struct Arrivals {
    std::shared_ptr<Connection> waiting;
    bool installing = false;  // a task is taking `waiting` into the slot; it also takes any that comes meanwhile
};

// Puts the waiting peer in the slot, then any peer greeted while that went on: the earlier one is dropped, the
// seq counter restarts, waiters wake. A peer whose socket already shows its end is let go instead: it could
// answer nothing, and the working peer stays.
asio::awaitable<void> install_arrivals(Endpoint& ep, Arrivals& arrivals) {
    while (arrivals.waiting) {
        auto slot_guard = co_await ep.slot_mutex.lock();
        const std::shared_ptr<Connection> conn = std::move(arrivals.waiting);
        if (conn->shows_end()) {
            conn->close();
            log_line("accept failed: the peer went away before it was installed");
            continue;
        }
        if (ep.slot) ep.slot->close();
        ep.slot = conn;
        conn->start_reader();
        auto seq_guard = co_await ep.seq_mutex.lock();
        ep.next_seq = ep.start_seq;
        ep.connected.notify_all();
    }
}

// Hands a greeted peer over for installation, in place of one still waiting.
asio::awaitable<void> arrive(Endpoint& ep, Arrivals& arrivals, std::shared_ptr<Connection> conn) {
    if (arrivals.waiting) {
        arrivals.waiting->close();
        log_line("accept failed: a newer peer finished its handshake; the one waiting to be installed was "
                 "closed");
    }
    arrivals.waiting = std::move(conn);
    if (arrivals.installing) co_return;
    arrivals.installing = true;
    struct Done {
        Arrivals& arrivals;
        ~Done() { arrivals.installing = false; }
    } done{arrivals};
    co_await install_arrivals(ep, arrivals);
}

// One accepted client, in a task of its own so a slow one never holds up the others. `me` is already on the
// pending list: it is put there at accept time, so the cap holds even before this task first runs.
asio::awaitable<void> serve(std::shared_ptr<Endpoint> ep, PeerSocket socket, std::shared_ptr<PendingList> pending,
                            PendingList::iterator me, std::shared_ptr<Arrivals> arrivals) {
    const std::shared_ptr<Pending> held = *me;
    std::shared_ptr<Connection> conn;
    {
        // Off the list when the handshake ends, however it ends (an evicted one is off already).
        struct Unlist {
            PendingList& list;
            PendingList::iterator it;
            const Pending& me;
            ~Unlist() {
                if (!me.evicted) list.erase(it);
            }
        } unlist{*pending, me, *held};
        conn = co_await handshake(std::move(socket), *held);
    }
    if (conn) co_await arrive(*ep, *arrivals, std::move(conn));
}

// Makes room for one more handshake by cutting off the oldest.
void evict_oldest(PendingList& pending) {
    std::shared_ptr<Pending> oldest = std::move(pending.front());
    pending.pop_front();
    oldest->evicted = true;
    ::shutdown(oldest->fd, SHUT_RDWR);  // its reads end at once; its task then closes the socket
    log_line("accept failed: too many opening handshakes in progress (" + std::to_string(max_handshakes) +
             "); the oldest was closed");
}

asio::awaitable<void> accept_loop(std::shared_ptr<Endpoint> ep, tcp::acceptor acceptor) {
    const auto ex = acceptor.get_executor();
    asio::steady_timer pause(ex);
    auto pending = std::make_shared<PendingList>();
    auto arrivals = std::make_shared<Arrivals>();
    for (;;) {
        bool back_off = false;
        try {
            auto [ec, socket] = co_await accept_next(acceptor);
            if (ec) {
                log_line("accept failed: " + error_text_of(ec));
                back_off = is_resource_exhaustion(ec);
            } else {
                if (pending->size() >= max_handshakes) evict_oldest(*pending);
                pending->push_back(std::make_shared<Pending>(Pending{socket.native_handle()}));
                const auto me = std::prev(pending->end());
                try {
                    asio::co_spawn(ex, serve(ep, std::move(socket), pending, me, arrivals), [](std::exception_ptr e) {
                        if (e) log_line("accept failed: " + fault_text(e));
                    });
                } catch (...) {
                    pending->erase(me);  // its socket is closed: an eviction must never reach that descriptor
                    throw;
                }
            }
        } catch (...) {
            // Whatever goes wrong with one client (out of memory, most likely) must not end the loop.
            log_line("accept failed: " + fault_text(std::current_exception()));
            back_off = true;
        }
        if (back_off) {
            pause.expires_after(accept_resource_pause);
            co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
        }
    }
}

// Whether the calling task has been cancelled; checked where an operation went on without noticing.
asio::awaitable<bool> cancelled() {
    auto state = co_await asio::this_coro::cancellation_state;
    co_return state.cancelled() != asio::cancellation_type::none;
}

}  // namespace

asio::awaitable<Result<Response>> start_endpoint(std::shared_ptr<Endpoint> ep, std::string host, std::uint16_t port) {
    const std::string address = host + ":" + std::to_string(port);
    const auto fail = [&address](const std::string& why) {
        return TransportError{{}, {}, "bind failed on " + address + ": " + why};
    };
    // The system's lookup and parsers would read the host only up to the NUL and bind somewhere else.
    if (host.find('\0') != std::string::npos) co_return fail("host name contains a NUL character");

    std::vector<Address> candidates;
    if (auto literal = literal_address(host, port)) {
        candidates.push_back(*literal);
    } else {
        // The address splits at its last colon, so an IPv6 host without brackets still resolves.
        const auto colon = address.rfind(':');
        Lookup lookup = co_await async_lookup(address.substr(0, colon), address.substr(colon + 1), asio::use_awaitable);
        // The lookup cannot be interrupted; a start cancelled meanwhile must not bind afterwards.
        if (co_await cancelled()) throw boost::system::system_error(asio::error::operation_aborted);
        if (!lookup.error.empty()) co_return fail(lookup.error);
        candidates = std::move(lookup.addresses);
    }
    if (candidates.empty()) co_return fail("could not resolve to any address");

    const auto ex = co_await asio::this_coro::executor;
    std::string last_error;
    for (const Address& a : candidates) {
        Result<int> fd = listen_on(a);
        if (!fd) {
            last_error = std::get<TransportError>(fd.error()).message;
            continue;
        }
        const auto protocol = a.storage.ss_family == AF_INET6 ? tcp::v6() : tcp::v4();
        tcp::acceptor acceptor(ex);
        error_code ec;
        acceptor.assign(protocol, fd.value(), ec);
        if (ec) {
            ::close(fd.value());
            last_error = error_text_of(ec);
            continue;
        }
        asio::co_spawn(ex, accept_loop(ep, std::move(acceptor)), [](std::exception_ptr e) {
            if (e) log_line("accept failed: " + fault_text(e));
        });
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
        asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
        co_await (ep->connected.async_wait(ticket, asio::use_awaitable) || timer.async_wait(asio::use_awaitable));
    }
    // A pending notification wins over an expired deadline.
    if (ep->connected.raised_since(ticket)) co_return Response{};
    co_return TransportError{{}, {}, "wait_connected timed out"};
}

}  // namespace engine
