#pragma once

#include <cstdint>
#include <vector>

#include "base/date_text.hpp"

namespace quillon {

// The frames that set the modules' clocks (schedules, alarm clocks,
// thermostat programmes): the time, the date and the daylight-saving state,
// each broadcast to address 0x00 at low priority, in that order.
std::vector<std::vector<std::uint8_t>> bus_clock_frames(Date local, bool daylight_saving);

}  // namespace quillon
