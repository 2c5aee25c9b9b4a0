#include "connection.hpp"

#include "error.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <poll.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>


namespace engine {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::system::error_code;

namespace {

// Responses of cancelled calls remembered per connection.
constexpr std::size_t abandoned_limit = 1024;
// Messages below this size are moved out of their read buffer into one of their own size.
constexpr std::size_t small_message = 64u << 10;
// The reader stops reading while this much is queued and unread.
constexpr std::size_t inbox_limit = 64u << 20;

// What a queued item holds in memory: a read buffer can be far larger than the message in it.
std::size_t footprint(const Connection::Item& item) { return sizeof(Connection::Item) + item.message.capacity(); }

// The reader's view of a message buffer. A failed allocation is handed to the library as the length error
// that it already turns into a clean end of the read (an exception would escape its handler and lose the read
// for good), and remembered, so the reader can tell it from a message over the size limit.
class ReadBuffer {
public:
    using const_buffers_type = MessageBuffer::const_buffers_type;
    using mutable_buffers_type = MessageBuffer::mutable_buffers_type;

    explicit ReadBuffer(MessageBuffer& b) noexcept : b_(b) {}

    std::size_t size() const noexcept { return b_.size(); }
    std::size_t max_size() const noexcept { return b_.max_size(); }
    std::size_t capacity() const noexcept { return b_.capacity(); }
    const_buffers_type data() const noexcept { return b_.data(); }
    mutable_buffers_type prepare(std::size_t n) {
        try {
            return b_.prepare(n);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
            throw std::length_error("out of memory");
        }
    }
    void commit(std::size_t n) noexcept { b_.commit(n); }
    void consume(std::size_t n) noexcept { b_.consume(n); }

    bool out_of_memory = false;

private:
    MessageBuffer& b_;
};

}  // namespace

Connection::Connection(Stream ws)
    : ws_(std::move(ws)), wake_(ws_.get_executor()), room_(ws_.get_executor()), watch_(ws_.get_executor()) {
    wake_.expires_at(clock_type::time_point::max());
    // A Close from the peer ends the connection for the calls at once; the library's read only returns
    // once the peer has also shut its TCP side.
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
        if (kind == websocket::frame_type::close) end("websocket closed");
    });
}

void Connection::start_reader() {
    // A reader that fails must not leave the waiting call to its deadline.
    asio::co_spawn(ws_.get_executor(), read_loop(shared_from_this()), [self = shared_from_this()](std::exception_ptr e) {
        if (e) self->fail(e);
    });
}

void Connection::fail(std::exception_ptr fault) {
    end("websocket recv failed: " + fault_text(fault), fault);
    close();
}

void Connection::close() {
    closed_ = true;
    error_code ignored;
    auto& socket = ws_.next_layer();
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    room_.cancel();
}

bool Connection::shows_end() noexcept {
    pollfd p{ws_.next_layer().native_handle(), POLLRDHUP, 0};
    if (::poll(&p, 1, 0) < 0) return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

asio::awaitable<error_code> Connection::send(asio::const_buffer frame, clock_type::time_point deadline) {
    auto self = shared_from_this();
    const std::uint64_t id = ++sends_;
    bool cancelled = false;

    send_deadline_ = deadline;
    send_timed_out_ = false;
    watch(deadline);
    // The caller's cancellation drops the connection, which ends the write; the write itself is started with
    // no cancellation slot of its own, so the library never tears a frame on its own terms.
    auto state = co_await asio::this_coro::cancellation_state;
    auto slot = state.slot();
    if (slot.is_connected()) {
        slot.assign([self, id, &cancelled](asio::cancellation_type) {
            // One turn of the worker later: a write whose last bytes already went out has its completion queued
            // ahead of this, and a frame that is whole is no reason to drop the peer.
            asio::post(self->ws_.get_executor(), [self, id, &cancelled] {
                if (self->sends_ != id) return;
                cancelled = true;
                self->close();
            });
        });
    }
    auto [ec, n] = co_await ws_.async_write(
        frame, asio::bind_cancellation_slot(asio::cancellation_slot(), asio::as_tuple(asio::use_awaitable)));
    (void)n;
    ++sends_;
    send_deadline_ = clock_type::time_point::max();
    if (slot.is_connected()) slot.clear();
    if (cancelled) throw boost::system::system_error(asio::error::operation_aborted);
    if (std::exchange(send_timed_out_, false)) co_return beast::error::timeout;
    co_return ec;
}

asio::awaitable<std::optional<Connection::Item>> Connection::next(clock_type::time_point deadline) {
    for (;;) {
        if (std::optional<Item> item = try_pop()) co_return item;
        if (clock_type::now() >= deadline) co_return std::nullopt;
        wait_deadline_ = deadline;
        watch(deadline);
        auto [ec] = co_await wake_.async_wait(asio::as_tuple(asio::use_awaitable));
        (void)ec;
        wait_deadline_ = clock_type::time_point::max();
        auto state = co_await asio::this_coro::cancellation_state;
        if (state.cancelled() != asio::cancellation_type::none) {
            throw boost::system::system_error(asio::error::operation_aborted);
        }
    }
}

// Setting the system timer anew for every call's deadline costs a system call each time, and a call's
// deadline is almost always later than the one before it. So the one timer stays due at the earliest
// deadline it was set for and is moved only to an earlier one; when it comes due, it deals with the
// deadlines that have passed and is set for the earliest that has not.
void Connection::watch(clock_type::time_point deadline) {
    if (watch_at_ <= deadline) return;
    watch_at_ = deadline;
    watch_.expires_at(deadline);
    // Weak: a connection that is let go must not live on until its last deadline.
    watch_.async_wait([weak = weak_from_this(), deadline](error_code ec) {
        const auto self = weak.lock();
        if (ec || !self) return;
        // A wait that came due just as it was replaced by an earlier one leaves the newer one in place.
        if (self->watch_at_ == deadline) self->watch_at_ = clock_type::time_point::max();
        self->check_deadlines();
    });
}

void Connection::check_deadlines() {
    const auto now = clock_type::now();
    if (now >= send_deadline_) {
        send_deadline_ = clock_type::time_point::max();
        send_timed_out_ = true;
        close();
    }
    if (now >= wait_deadline_) {
        wait_deadline_ = clock_type::time_point::max();
        wake_.cancel();
    }
    watch(std::min(send_deadline_, wait_deadline_));
}

void Connection::remember_abandoned(std::uint32_t seq, std::uint16_t fn_id) {
    if (abandoned_.size() == abandoned_limit) abandoned_.pop_front();
    abandoned_.emplace_back(seq, fn_id);
}

bool Connection::forget_abandoned(std::uint32_t seq, std::uint16_t fn_id) {
    for (auto it = abandoned_.begin(); it != abandoned_.end(); ++it) {
        if (it->first == seq && it->second == fn_id) {
            abandoned_.erase(it);
            return true;
        }
    }
    return false;
}

std::optional<Connection::Item> Connection::try_pop() {
    if (items_.empty()) return std::nullopt;
    Item item = std::move(items_.front());
    items_.pop_front();
    queued_bytes_ -= footprint(item);
    if (queued_bytes_ < inbox_limit) room_.cancel();
    return item;
}

bool Connection::push(Item item) {
    queued_bytes_ += footprint(item);
    items_.push_back(std::move(item));
    return wake_.cancel() > 0;
}

void Connection::end(std::string text, std::exception_ptr fault) {
    if (end_) return;
    end_ = text;
    Item item;
    item.end = std::move(text);
    item.fault = std::move(fault);
    push(std::move(item));
}

asio::awaitable<void> Connection::read_loop(std::shared_ptr<Connection> self) {
    for (;;) {
        Item item;
        ReadBuffer buffer(item.message);
        auto [ec, n] = co_await self->ws_.async_read(buffer, asio::as_tuple(asio::use_awaitable));
        (void)n;
        if (ec) {
            if (self->closed_) co_return;
            if (buffer.out_of_memory) {
                self->fail(std::make_exception_ptr(std::bad_alloc()));
                co_return;
            }
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

}  // namespace engine
