#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace quillon {

// The tests of the real program shorten the limits on peers that have not
// proved themselves yet (the key's wait, the TLS handshake, a web request's
// head and idle time, a browser's key) and the web monitor's linger after a
// last answer, all by one factor, so that what happens at each limit is seen
// in a fraction of its time. The program reads
// the factor once, at its start, from this variable; users never set it.
inline constexpr const char* time_limit_scale_variable = "QUILLON_TEST_TIME_SCALE";

// The factor a text gives: a number above 0 and at most 1. Anything else (no
// text, a number above 1, not a number) keeps every limit as it is.
inline double time_limit_scale(const char* text) {
    if (text == nullptr) return 1.0;
    const char* end = text + std::strlen(text);
    double scale = 1.0;
    const auto [stop, error] = std::from_chars(text, end, scale);
    if (error != std::errc() || stop != end || !(scale > 0.0) || scale > 1.0) return 1.0;
    return scale;
}

// A limit of `default_ms` shortened by the factor, to the millisecond; at
// least one.
inline std::int64_t scaled_limit_ms(std::int64_t default_ms, double scale) {
    return std::max<std::int64_t>(1, std::llround(static_cast<double>(default_ms) * scale));
}

}  // namespace quillon
