#pragma once

#include <cstdint>

#include "base/date_text.hpp"
#include "bus/queue_entry.hpp"

namespace quillon {

// The time of one pass of the loop, read once and handed down: the monotonic
// milliseconds, the local date, and the stamp that frames arriving in this
// pass carry.
struct PassTime {
    std::int64_t ms = 0;
    Date date = 0;
    FrameTime stamp;
};

}  // namespace quillon
