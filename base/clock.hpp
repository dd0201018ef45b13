#pragma once

#include <cstdint>

#include "base/date_text.hpp"

namespace quillon {

// Time as the gateway sees it.
class Clock {
  public:
    virtual ~Clock() = default;
    // Monotonic milliseconds since the program's first use of the clock.
    virtual std::int64_t now_ms() = 0;
    // Local wall-clock date in seconds (epoch time plus the local offset from UTC).
    virtual Date local_date() = 0;
    // Holds the whole loop for a short, fixed time (the distribution pause, the
    // server restart's wait).
    virtual void pause_ms(std::int32_t ms) = 0;
};

}  // namespace quillon
