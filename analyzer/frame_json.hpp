#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bus/queue_entry.hpp"

namespace quillon {

// A frame shown, as the JSON object a broker's subscribers get: when it came
// (local time with hundredths and the offset from UTC), its bytes, where from
// ("bus", "client ADDRESS:PORT", "mqtt", "clock"), its verdict, the decoder's
// text, and its header's fields as numbers (null where the bytes end first).
std::string frame_json(const QueueEntry& entry, std::string_view from, std::int32_t utc_offset_s);

// "2026-12-09T14:03:27.05+01:00"
std::string iso_time_text(FrameTime time, std::int32_t utc_offset_s);

}  // namespace quillon
