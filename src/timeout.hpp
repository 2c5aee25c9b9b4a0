// Call timeouts: a duration of whole seconds plus nanoseconds, and the deadline it gives on a monotonic clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace engine {

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;
};

using clock_type = std::chrono::steady_clock;

// now + d; when that sum overflows the clock, now + 30 years, which no call outlives.
inline clock_type::time_point deadline_after(Duration d) {
    constexpr auto far_future = std::chrono::seconds(946080000);
    const auto now = clock_type::now();
    const __int128 now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    const __int128 sum = now_ns + __int128(d.secs) * 1'000'000'000 + d.nanos;
    if (sum > __int128(clock_type::duration::max().count())) return now + far_future;
    return clock_type::time_point(clock_type::duration(static_cast<clock_type::rep>(sum)));
}

}  // namespace engine
