// The one assertion of the native tests: a failed check is reported with its place and counted, and the
// test carries on, so one run shows every failure.
#pragma once

#include <atomic>
#include <cstdio>

namespace native_test {
inline std::atomic<int> failures{0};
}

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++native_test::failures;                                                      \
        }                                                                                 \
    } while (0)
