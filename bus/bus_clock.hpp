#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/date_text.hpp"

namespace quillon {

// The frames that set the modules' clocks (schedules, alarm clocks,
// thermostat programmes): the time, the date and the daylight-saving state,
// each broadcast to address 0x00 at low priority, in that order.
std::vector<std::vector<std::uint8_t>> bus_clock_frames(Date local, bool daylight_saving);

// When the modules' clocks are set: once the serial link is up (or the
// operator asks), then at every full hour, and at once when the local date or
// the daylight-saving state changes. Nothing is due before the first ask.
class BusClockSchedule {
  public:
    void send_soon() { asked_ = true; }
    // Whether the frames are due now; if so, they count as sent.
    bool due(Date local, bool daylight_saving);
    // The local time of the next full hour after `local`, when due() next
    // says yes by itself; none before the first ask.
    std::optional<Date> next_hour(Date local) const;

  private:
    bool asked_ = false;
    bool started_ = false;
    std::int64_t hour_ = 0;  // local / 3600 when last sent
    bool daylight_saving_ = false;
};

}  // namespace quillon
