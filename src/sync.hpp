// The engine's two synchronisation primitives on Asio: a fair asynchronous mutex and a broadcast
// notification. Both are thread-safe (an internal std::mutex guards each) and cancellation-aware.
#pragma once

#include <boost/asio/append.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

namespace engine::sync {

namespace asio = boost::asio;
using error_code = boost::system::error_code;

// A queued asynchronous waiter. Completion is always posted to the waiter's own executor, never run
// inline, so whoever completes it (an unlock on another thread) never runs foreign code under a lock.
class waiter {
public:
    virtual ~waiter() = default;
    // Hands the waiter's handler `ec`; the waiter deletes itself once the handler has run.
    virtual void post_completion(error_code ec) = 0;

    waiter* prev = nullptr;
    waiter* next = nullptr;
    bool queued = false;
};

// Intrusive FIFO of waiters; its owner's mutex guards it.
class waiter_queue {
public:
    bool empty() const noexcept { return head_ == nullptr; }
    void push_back(waiter* w) noexcept {
        w->prev = tail_;
        w->next = nullptr;
        (tail_ ? tail_->next : head_) = w;
        tail_ = w;
        w->queued = true;
    }
    waiter* pop_front() noexcept {
        waiter* w = head_;
        if (w) remove(w);
        return w;
    }
    void remove(waiter* w) noexcept {
        (w->prev ? w->prev->next : head_) = w->next;
        (w->next ? w->next->prev : tail_) = w->prev;
        w->prev = w->next = nullptr;
        w->queued = false;
    }

private:
    waiter* head_ = nullptr;
    waiter* tail_ = nullptr;
};

template <class Handler>
class waiter_op final : public waiter {
public:
    explicit waiter_op(Handler h) : handler_(std::move(h)) {}

    void post_completion(error_code ec) override {
        auto ex = asio::get_associated_executor(handler_);
        asio::post(ex, [self = std::unique_ptr<waiter_op>(this), ec]() mutable {
            // The cancellation handler points at this waiter: detach it before the waiter goes. This runs on
            // the handler's executor, where cancellation is emitted too, so the two never overlap.
            auto slot = asio::get_associated_cancellation_slot(self->handler_);
            if (slot.is_connected()) slot.clear();
            Handler h = std::move(self->handler_);
            self.reset();
            std::move(h)(ec);
        });
    }

    Handler handler_;
};

// Queues `handler` on `q`; `m` guards `q` and is held by the caller. A cancellation takes the waiter out of
// the queue if it is still there; once it has been completed, a late cancellation has no effect.
template <class Handler>
void enqueue(std::mutex& m, waiter_queue& q, Handler handler) {
    auto* w = new waiter_op<Handler>(std::move(handler));
    auto slot = asio::get_associated_cancellation_slot(w->handler_);
    if (slot.is_connected()) {
        slot.assign([&m, &q, w](asio::cancellation_type) {
            std::lock_guard lock(m);
            if (!w->queued) return;
            q.remove(w);
            w->post_completion(asio::error::operation_aborted);
        });
    }
    q.push_back(w);
}

template <class Handler>
void post_now(Handler handler, error_code ec = {}) {
    auto ex = asio::get_associated_executor(handler);
    asio::post(ex, asio::append(std::move(handler), ec));
}

// Fair (first come, first served) mutex for coroutines. A waiter that is cancelled leaves the queue; a lock
// handed to a waiter that was cancelled meanwhile is released by its guard as the coroutine unwinds.
class async_mutex {
public:
    class guard {
    public:
        guard() = default;
        explicit guard(async_mutex& m) noexcept : m_(&m) {}
        guard(guard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
        guard& operator=(guard&& o) noexcept {
            unlock();
            m_ = std::exchange(o.m_, nullptr);
            return *this;
        }
        ~guard() { unlock(); }
        explicit operator bool() const noexcept { return m_ != nullptr; }
        void unlock() noexcept {
            if (m_) std::exchange(m_, nullptr)->unlock();
        }

    private:
        async_mutex* m_ = nullptr;
    };

    async_mutex() = default;
    async_mutex(const async_mutex&) = delete;
    async_mutex& operator=(const async_mutex&) = delete;

    bool try_lock() noexcept {
        std::lock_guard lock(m_);
        if (locked_) return false;
        locked_ = true;
        return true;
    }

    // The lock if it is free now, else an empty guard.
    guard try_lock_guard() noexcept { return try_lock() ? guard(*this) : guard(); }

    void unlock() noexcept {
        std::lock_guard lock(m_);
        if (waiter* w = queue_.pop_front()) {
            w->post_completion({});  // ownership passes straight to the next waiter
        } else {
            locked_ = false;
        }
    }

    template <class Token>
    auto async_lock(Token&& token) {
        return asio::async_initiate<Token, void(error_code)>(
            [this](auto handler) {
                std::unique_lock lock(m_);
                if (!locked_) {
                    locked_ = true;
                    lock.unlock();
                    post_now(std::move(handler));
                    return;
                }
                enqueue(m_, queue_, std::move(handler));
            },
            token);
    }

    // Locks, for a coroutine; throws operation_aborted when cancelled while queued.
    asio::awaitable<guard> lock() {
        if (!try_lock()) co_await async_lock(asio::use_awaitable);
        co_return guard(*this);
    }

private:
    std::mutex m_;
    bool locked_ = false;
    waiter_queue queue_;
};

// Broadcast event. A raise wakes every waiter registered before it and is not remembered for later ones.
// Registration (subscribe) and waiting are separate steps, so a raise between them is not lost.
class notification {
public:
    using ticket = std::uint64_t;

    ticket subscribe() noexcept {
        std::lock_guard lock(m_);
        return generation_;
    }

    bool raised_since(ticket t) noexcept {
        std::lock_guard lock(m_);
        return generation_ != t;
    }

    void notify_all() noexcept {
        std::lock_guard lock(m_);
        ++generation_;
        while (waiter* w = queue_.pop_front()) w->post_completion({});
    }

    // Completes once a raise has happened after `t` was taken (at once if one already has).
    template <class Token>
    auto async_wait(ticket t, Token&& token) {
        return asio::async_initiate<Token, void(error_code)>(
            [this, t](auto handler) {
                std::unique_lock lock(m_);
                if (generation_ != t) {
                    lock.unlock();
                    post_now(std::move(handler));
                    return;
                }
                enqueue(m_, queue_, std::move(handler));
            },
            token);
    }

private:
    std::mutex m_;
    ticket generation_ = 0;
    waiter_queue queue_;
};

}  // namespace engine::sync
