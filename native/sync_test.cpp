// The async mutex and the notification of src/sync.hpp under many threads, built with ThreadSanitizer.
// An io_context is run by several threads and every waiter lives on a strand of its own, as engine tasks
// do. Each case is bounded: a wait that does not end within its limit fails the case instead of hanging.
#include "sync.hpp"

#include "check.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
using boost::system::error_code;
using engine::sync::async_mutex;
using engine::sync::notification;
using strand_type = asio::strand<asio::io_context::executor_type>;

namespace {

using native_test::failures;


constexpr int threads = 8;
#ifndef SYNC_TEST_WAIT_SECONDS
#define SYNC_TEST_WAIT_SECONDS 20
#endif
constexpr auto wait_limit = std::chrono::seconds(SYNC_TEST_WAIT_SECONDS);

// An io_context run by `threads` threads until stop() (or the destructor) lets them go.
class Pool {
public:
    Pool() : work_(asio::make_work_guard(ctx)) {
        for (int i = 0; i < threads; ++i) runners_.emplace_back([this] { ctx.run(); });
    }
    ~Pool() { stop(); }
    void stop() {
        work_.reset();
        for (auto& t : runners_)
            if (t.joinable()) t.join();
    }
    strand_type strand() { return asio::make_strand(ctx); }

    asio::io_context ctx{threads};

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> runners_;
};

// A counter that the test thread can wait on, with a limit.
class Counter {
public:
    void add(int n = 1) {
        std::lock_guard lock(m_);
        value_ += n;
        cv_.notify_all();
    }
    int value() {
        std::lock_guard lock(m_);
        return value_;
    }
    // A wait that runs out means a lost wake-up or a lock never handed on: the process stops at once,
    // since tasks still waiting cannot be joined.
    bool wait_for(int target, int line = __builtin_LINE()) {
        std::unique_lock lock(m_);
        if (cv_.wait_for(lock, wait_limit, [&] { return value_ >= target; })) return true;
        std::fprintf(stderr, "%s:%d: gave up waiting: %d of %d\n", __FILE__, line, value_, target);
        std::fflush(stderr);
        std::_Exit(1);
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int value_ = 0;
};

// Runs `f` on `ex` and waits until it has run: everything queued on that strand before it has run too.
template <class Executor>
bool drain(const Executor& ex, std::function<void()> f = [] {}) {
    Counter done;
    asio::post(ex, [&] {
        f();
        done.add();
    });
    return done.wait_for(1);
}

// ---- async_mutex ----------------------------------------------------------------------------------------

// Waiters queued one after another get the lock in that order, each on its own strand and thread.
void mutex_grants_in_arrival_order() {
    Pool pool;
    async_mutex m;
    constexpr int n = 300;
    std::mutex order_m;
    std::vector<int> order;
    Counter done;
    CHECK(m.try_lock());
    for (int i = 0; i < n; ++i) {
        m.async_lock(asio::bind_executor(pool.strand(), [&, i](error_code ec) {
            CHECK(!ec);
            {
                std::lock_guard lock(order_m);
                order.push_back(i);
            }
            m.unlock();
            done.add();
        }));
    }
    CHECK(!m.try_lock());
    m.unlock();
    CHECK(done.wait_for(n));
    pool.stop();
    CHECK(int(order.size()) == n);
    for (int i = 0; i < int(order.size()); ++i) CHECK(order[i] == i);
    CHECK(m.try_lock());
}

// A waiter cancelled while it is queued leaves the queue: it completes once, with operation_aborted, never
// holds the lock, and the others keep their order.
void mutex_cancelled_waiter_leaves_queue() {
    Pool pool;
    async_mutex m;
    constexpr int n = 300;
    std::vector<strand_type> strands;
    std::deque<asio::cancellation_signal> signals(n);
    std::vector<std::atomic<int>> completions(n);
    std::mutex order_m;
    std::vector<int> order;
    Counter aborted, granted;
    CHECK(m.try_lock());
    for (int i = 0; i < n; ++i) {
        strands.push_back(pool.strand());
        auto handler = [&, i](error_code ec) {
            ++completions[i];
            if (ec) {
                CHECK(ec == asio::error::operation_aborted);
                CHECK(i % 3 == 0);
                aborted.add();
                return;
            }
            {
                std::lock_guard lock(order_m);
                order.push_back(i);
            }
            m.unlock();
            granted.add();
        };
        m.async_lock(asio::bind_cancellation_slot(signals[i].slot(), asio::bind_executor(strands[i], handler)));
    }
    // Cancellation is emitted on the waiter's own strand, as the engine does it.
    for (int i = 0; i < n; i += 3) {
        asio::post(strands[i], [&, i] { signals[i].emit(asio::cancellation_type::terminal); });
    }
    const int cancelled = (n + 2) / 3;
    CHECK(aborted.wait_for(cancelled));
    CHECK(granted.value() == 0);  // the lock is still held here
    m.unlock();
    CHECK(granted.wait_for(n - cancelled));
    pool.stop();
    std::vector<int> want;
    for (int i = 0; i < n; ++i)
        if (i % 3 != 0) want.push_back(i);
    CHECK(order == want);
    for (int i = 0; i < n; ++i) CHECK(completions[i] == 1);
    CHECK(m.try_lock());
}

// The lock is handed to a waiter, and that waiter's task is cancelled before it runs. The cancellation
// comes too late to take it out of the queue, so the task gets the lock; it unwinds at its next
// suspension point, and its guard passes the lock on to the next waiter.
void mutex_handoff_to_cancelled_waiter_passes_on() {
    for (int round = 0; round < 200; ++round) {
        Pool pool;
        async_mutex m;
        strand_type s = pool.strand();
        asio::cancellation_signal cancel_b;
        std::atomic<bool> b_locked{false}, b_went_on{false}, c_locked{false};
        std::atomic<int> b_queued{0}, c_queued{0};
        Counter finished;
        std::exception_ptr b_error, c_error;
        CHECK(m.try_lock());

        auto b = [&]() -> asio::awaitable<void> {
            ++b_queued;
            auto guard = co_await m.lock();
            b_locked = true;
            co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
            b_went_on = true;
        };
        auto c = [&]() -> asio::awaitable<void> {
            ++c_queued;
            auto guard = co_await m.lock();
            c_locked = true;
        };
        asio::co_spawn(s, b(), asio::bind_cancellation_slot(cancel_b.slot(), [&](std::exception_ptr e) {
                           b_error = e;
                           finished.add();
                       }));
        // Let b queue before c starts, so the order of the two is known.
        for (int tries = 0; b_queued == 0 && tries < 100000; ++tries) std::this_thread::yield();
        CHECK(drain(s));
        asio::co_spawn(s, c(), [&](std::exception_ptr e) {
            c_error = e;
            finished.add();
        });
        for (int tries = 0; c_queued == 0 && tries < 100000; ++tries) std::this_thread::yield();
        CHECK(drain(s));
        // One strand turn: hand the lock to b, then cancel b before its completion can run.
        CHECK(drain(s, [&] {
            m.unlock();
            cancel_b.emit(asio::cancellation_type::terminal);
        }));
        CHECK(finished.wait_for(2));
        pool.stop();
        CHECK(b_locked);
        CHECK(!b_went_on);
        CHECK(b_error != nullptr);
        if (b_error) {
            try {
                std::rethrow_exception(b_error);
            } catch (const boost::system::system_error& e) {
                CHECK(e.code() == asio::error::operation_aborted);
            } catch (...) {
                CHECK(false);
            }
        }
        CHECK(c_locked);
        CHECK(c_error == nullptr);
        CHECK(m.try_lock());
        if (failures) return;
    }
}

// Many tasks on many strands take the lock, some plainly and some racing a timer that cancels the wait
// at an arbitrary point: queued, handed over, or already resumed. At most one holds it at any time (a
// plain counter is updated under it, which ThreadSanitizer checks), every task ends, and the lock is free
// at the end.
void mutex_exclusion_under_cancellation() {
    using namespace asio::experimental::awaitable_operators;
    Pool pool;
    async_mutex m;
    constexpr int tasks = 64, rounds = 300;
    std::atomic<int> holders{0}, max_holders{0};
    long protected_count = 0;  // only touched under the lock
    std::atomic<long> acquisitions{0}, timed_out{0};
    Counter finished;
    std::atomic<int> errors{0};

    auto task = [&](unsigned seed) -> asio::awaitable<void> {
        std::minstd_rand rng(seed);
        auto ex = co_await asio::this_coro::executor;
        asio::steady_timer timer(ex);
        for (int r = 0; r < rounds; ++r) {
            std::optional<async_mutex::guard> guard;
            if (rng() % 2 == 0) {
                guard.emplace(co_await m.lock());
            } else {
                timer.expires_after(std::chrono::microseconds(rng() % 50));
                auto outcome = co_await (m.lock() || timer.async_wait(asio::use_awaitable));
                if (outcome.index() == 0) {
                    guard.emplace(std::move(std::get<0>(outcome)));
                } else {
                    ++timed_out;
                    continue;
                }
            }
            const int now = ++holders;
            int seen = max_holders;
            while (now > seen && !max_holders.compare_exchange_weak(seen, now)) {
            }
            ++protected_count;
            ++acquisitions;
            if (rng() % 4 == 0) co_await asio::post(ex, asio::use_awaitable);  // hold it across a suspension
            --holders;
        }
    };
    for (int i = 0; i < tasks; ++i) {
        asio::co_spawn(pool.strand(), task(1234u + unsigned(i)), [&](std::exception_ptr e) {
            if (e) ++errors;
            finished.add();
        });
    }
    CHECK(finished.wait_for(tasks));
    pool.stop();
    CHECK(errors == 0);
    CHECK(max_holders == 1);
    CHECK(protected_count == acquisitions);
    CHECK(acquisitions + timed_out == long(tasks) * rounds);
    CHECK(m.try_lock());
    std::printf("  %ld acquisitions, %ld waits given up\n", long(acquisitions), long(timed_out));
}

// ---- notification ---------------------------------------------------------------------------------------

// A raise between subscribe and wait is not lost: every waiter subscribed before it wakes, whether it was
// already waiting or only got there afterwards. One raise wakes them all.
void notification_no_lost_wakeup_and_broadcast() {
    Pool pool;
    constexpr int rounds = 300, waiters = 32;
    // Arguments are copied into the coroutine frame; the lambda itself outlives every round.
    auto waiter = [](notification& n, Counter& subscribed, Counter& woken, int turns) -> asio::awaitable<void> {
        const auto ticket = n.subscribe();
        subscribed.add();
        // Some wait at once, some only after a turn or two, so the raise lands on both sides.
        for (int k = 0; k < turns; ++k) co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        co_await n.async_wait(ticket, asio::use_awaitable);
        woken.add();
    };
    for (int round = 0; round < rounds; ++round) {
        notification n;
        Counter subscribed, woken;
        for (int i = 0; i < waiters; ++i) {
            asio::co_spawn(pool.strand(), waiter(n, subscribed, woken, (i + round) % 3), asio::detached);
        }
        CHECK(subscribed.wait_for(waiters));
        n.notify_all();
        CHECK(woken.wait_for(waiters));
        if (failures) return;
    }
}

// A raise is not remembered for later subscribers; a cancelled waiter leaves the queue with
// operation_aborted and a later raise wakes only the others.
void notification_later_subscriber_and_cancellation() {
    Pool pool;
    notification n;
    n.notify_all();
    const auto late = n.subscribe();
    CHECK(!n.raised_since(late));

    constexpr int waiters = 64;
    std::vector<strand_type> strands;
    std::deque<asio::cancellation_signal> signals(waiters);
    std::vector<std::atomic<int>> outcome(waiters);  // 1 woken, 2 aborted
    Counter aborted, woken;
    for (int i = 0; i < waiters; ++i) {
        strands.push_back(pool.strand());
        n.async_wait(late, asio::bind_cancellation_slot(signals[i].slot(),
                                                          asio::bind_executor(strands[i], [&, i](error_code ec) {
                                                              outcome[i] += ec ? 2 : 1;
                                                              (ec ? aborted : woken).add();
                                                          })));
    }
    for (int i = 0; i < waiters; i += 2) {
        asio::post(strands[i], [&, i] { signals[i].emit(asio::cancellation_type::terminal); });
    }
    CHECK(aborted.wait_for(waiters / 2));
    CHECK(woken.value() == 0);
    n.notify_all();
    CHECK(woken.wait_for(waiters / 2));
    for (auto& s : strands) CHECK(drain(s));
    pool.stop();
    for (int i = 0; i < waiters; ++i) CHECK(outcome[i] == (i % 2 == 0 ? 2 : 1));
    CHECK(n.raised_since(late));
}

// Raises from several threads at once while waiters subscribe, wait and get cancelled: every waiter ends
// exactly once, and each one that was not cancelled was woken by a raise after its subscription.
void notification_concurrent_raises() {
    using namespace asio::experimental::awaitable_operators;
    Pool pool;
    notification n;
    constexpr int tasks = 32, rounds = 200;
    std::atomic<bool> stop{false};
    std::atomic<long> woken{0}, gave_up{0};
    std::atomic<int> errors{0};
    Counter finished;
    std::vector<std::thread> raisers;
    for (int i = 0; i < 3; ++i) {
        raisers.emplace_back([&] {
            while (!stop) {
                n.notify_all();
                std::this_thread::yield();
            }
        });
    }
    auto task = [&](unsigned seed) -> asio::awaitable<void> {
        std::minstd_rand rng(seed);
        asio::steady_timer timer(co_await asio::this_coro::executor);
        for (int r = 0; r < rounds; ++r) {
            const auto ticket = n.subscribe();
            timer.expires_after(std::chrono::microseconds(rng() % 20));
            auto outcome = co_await (n.async_wait(ticket, asio::use_awaitable) || timer.async_wait(asio::use_awaitable));
            if (outcome.index() == 0) {
                if (!n.raised_since(ticket)) ++errors;  // woken without a raise
                ++woken;
            } else {
                ++gave_up;
            }
        }
    };
    for (int i = 0; i < tasks; ++i) {
        asio::co_spawn(pool.strand(), task(99u + unsigned(i)), [&](std::exception_ptr e) {
            if (e) ++errors;
            finished.add();
        });
    }
    CHECK(finished.wait_for(tasks));
    stop = true;
    for (auto& t : raisers) t.join();
    pool.stop();
    CHECK(errors == 0);
    CHECK(woken + gave_up == long(tasks) * rounds);
    std::printf("  %ld wake-ups, %ld waits given up\n", long(woken), long(gave_up));
}

struct Case {
    const char* name;
    void (*run)();
};

}  // namespace

int main() {
    const Case cases[] = {
        {"mutex grants in arrival order", mutex_grants_in_arrival_order},
        {"mutex: a cancelled waiter leaves the queue", mutex_cancelled_waiter_leaves_queue},
        {"mutex: a handoff to a cancelled waiter passes on", mutex_handoff_to_cancelled_waiter_passes_on},
        {"mutex: exclusion under random cancellation", mutex_exclusion_under_cancellation},
        {"notification: no lost wake-up, broadcast to all", notification_no_lost_wakeup_and_broadcast},
        {"notification: later subscriber, cancellation", notification_later_subscriber_and_cancellation},
        {"notification: concurrent raises", notification_concurrent_raises},
    };
    for (const Case& c : cases) {
        const int before = failures.load();
        const auto t0 = std::chrono::steady_clock::now();
        c.run();
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%s %s (%lld ms)\n", failures == before ? "ok  " : "FAIL", c.name, static_cast<long long>(ms));
        std::fflush(stdout);
    }
    std::printf("%d check(s) failed\n", failures.load());
    return failures == 0 ? 0 : 1;
}
