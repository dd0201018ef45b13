#pragma once

#include <cstdint>

#include "base/date_text.hpp"

namespace quillon {

// The local wall-clock time: the date in seconds and the milliseconds into it.
struct LocalTime {
    Date date = 0;
    std::int32_t ms = 0;
};

// Time as the gateway sees it.
class Clock {
  public:
    virtual ~Clock() = default;
    // Monotonic milliseconds since the program's first use of the clock.
    virtual std::int64_t now_ms() = 0;
    // The same clock in microseconds, for the spacing of writes.
    virtual std::int64_t now_us() = 0;
    // Local wall-clock date in seconds (epoch time plus the local offset from UTC).
    virtual Date local_date() = 0;
    // The same, with the milliseconds into the second, read at one moment.
    virtual LocalTime local_time() = 0;
    // Holds the whole loop for a short, fixed time (the distribution pause, the
    // server restart's wait).
    virtual void pause_ms(std::int32_t ms) = 0;
    // Whether daylight-saving time is in effect here now.
    virtual bool daylight_saving() { return false; }
    // How far local time is ahead of UTC now, in seconds.
    virtual std::int32_t utc_offset_s() { return 0; }
    // When now_ms() was 0, in seconds since 1970-01-01 UTC; 0 when unknown.
    virtual std::int64_t started_unix_s() { return 0; }
};

}  // namespace quillon
