#pragma once
// The steady clock as plain integers: time stamps that are stored in atomics
// and compared across threads, and intervals measured in whole units.
#include <chrono>
#include <cstdint>

inline int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline int64_t steadyUs() { return steadyNs() / 1000; }
inline int64_t steadyMs() { return steadyNs() / 1000000; }
