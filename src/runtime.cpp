#include "runtime.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace engine::runtime {

namespace asio = boost::asio;

namespace {

// Reads "quota period" (cgroup v2 cpu.max) or the two v1 files; 0 when there is no quota.
unsigned quota_cpus(const std::string& cgroup_path) {
    const auto read_pair = [](const std::string& a, const std::string& b) -> std::pair<double, double> {
        std::ifstream fa(a);
        std::string qa;
        if (!(fa >> qa)) return {0, 0};
        if (b.empty()) {  // v2: both numbers in one file
            std::string period;
            if (qa == "max" || !(fa >> period)) return {0, 0};
            return {std::stod(qa), std::stod(period)};
        }
        std::ifstream fb(b);
        std::string period;
        if (!(fb >> period) || qa.starts_with('-')) return {0, 0};
        return {std::stod(qa), std::stod(period)};
    };
    const std::vector<std::string> v2 = {"/sys/fs/cgroup" + cgroup_path + "/cpu.max", "/sys/fs/cgroup/cpu.max"};
    for (const auto& path : v2) {
        if (auto [q, p] = read_pair(path, ""); q > 0 && p > 0) return unsigned(std::ceil(q / p));
    }
    for (const std::string dir : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        for (const std::string& base : {dir + cgroup_path, dir}) {
            if (auto [q, p] = read_pair(base + "/cpu.cfs_quota_us", base + "/cpu.cfs_period_us"); q > 0 && p > 0) {
                return unsigned(std::ceil(q / p));
            }
        }
    }
    return 0;
}

// The CPUs this process may use: its affinity mask, capped by a cgroup CPU quota, at least 1.
unsigned available_cpus() {
    unsigned n = std::max(1u, std::thread::hardware_concurrency());
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) n = std::max(1, CPU_COUNT(&set));
    std::string cgroup_path;
    std::ifstream self("/proc/self/cgroup");
    for (std::string line; std::getline(self, line);) {
        // "0::/path" on v2, "N:cpu,cpuacct:/path" on v1.
        const auto second = line.find(':', line.find(':') + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(line.find(':') + 1, second - line.find(':') - 1);
        if (controllers.empty() || controllers.find("cpu") != std::string::npos) {
            cgroup_path = line.substr(second + 1);
            if (cgroup_path == "/") cgroup_path.clear();
            break;
        }
    }
    if (const unsigned q = quota_cpus(cgroup_path)) n = std::min(n, q);
    return std::max(1u, n);
}

// Runs the io_context until the process ends. Every task catches its own faults (the bridge, the accept
// loop, the reader); whatever still escapes a handler is dropped so the worker keeps serving the others.
// A thread-exit unwind must pass through untouched.
void worker_main(asio::io_context& ctx) {
    for (;;) {
        try {
            ctx.run();
            return;
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
        }
    }
}

// One single-threaded io_context per worker, and each engine pinned to one of them. An engine's tasks share
// one Beast stream, so they must never run at once anyway; on a context of its own thread they need no
// strand, and no completion is ever handed over to another sleeping worker (two extra thread wake-ups on
// every small call when all workers shared one context).
struct Runtime {
    explicit Runtime(unsigned threads) : blocking(1) {
        for (unsigned i = 0; i < threads; ++i) {
            auto& w = *workers.emplace_back(std::make_unique<Worker>());
            std::thread([&ctx = w.ctx] { worker_main(ctx); }).detach();
        }
    }

    struct Worker {
        asio::io_context ctx{1};
        asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(ctx);
    };
    std::vector<std::unique_ptr<Worker>> workers;
    std::size_t next_worker = 0;
    asio::thread_pool blocking;
};

// Deliberately leaked: worker threads may still run while the process exits, and in a forked child the
// parent's runtime holds locks and threads that do not exist there, so it is never touched again.
Runtime* the_runtime = nullptr;  // guarded by the interpreter lock
std::atomic<std::uint64_t> fork_generation{0};

void after_fork_in_child() noexcept {
    the_runtime = nullptr;
    fork_generation.fetch_add(1, std::memory_order_relaxed);
}

// Registered when the module is loaded, before any runtime or engine exists.
[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, after_fork_in_child);

Runtime& current() {
    if (!the_runtime) the_runtime = new Runtime(available_cpus());
    return *the_runtime;
}

}  // namespace

std::uint64_t generation() noexcept { return fork_generation.load(std::memory_order_relaxed); }

asio::any_io_executor next_worker() {
    Runtime& rt = current();
    return rt.workers[rt.next_worker++ % rt.workers.size()]->ctx.get_executor();
}

asio::thread_pool& blocking_pool() { return current().blocking; }

}  // namespace engine::runtime
