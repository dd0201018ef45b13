// The bench's clock: the monotonic one, in nanoseconds, which every figure is taken on.
#pragma once

#include <time.h>

#include <cstdint>

namespace quillon::bench {

constexpr std::int64_t ns_per_ms = 1'000'000;
constexpr std::int64_t ns_per_s = 1'000'000'000;

// Inline: it is read around every write and poll, where a call would add to the figures.
inline std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * ns_per_s + ts.tv_nsec;
}

inline double to_ms(std::int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

inline void sleep_ns(std::int64_t ns) {
    const timespec ts{static_cast<time_t>(ns / ns_per_s), static_cast<long>(ns % ns_per_s)};
    ::clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
}

}  // namespace quillon::bench
