#include "bus/bus_clock.hpp"

#include "bus/bus_frame.hpp"

namespace quillon {
namespace {

std::vector<std::uint8_t> broadcast(std::vector<std::uint8_t> data) {
    std::vector<std::uint8_t> frame{0x0F, 0xFB, 0x00, static_cast<std::uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(frame_checksum(frame.data(), static_cast<int>(frame.size()) - 1));
    frame.push_back(0x04);
    return frame;
}

}  // namespace

std::vector<std::vector<std::uint8_t>> bus_clock_frames(Date local, bool daylight_saving) {
    const DateFields f = date_fields(local);
    const auto byte = [](std::int64_t v) { return static_cast<std::uint8_t>(v & 0xFF); };
    return {
        broadcast({0xD8, byte(f.weekday), byte(f.hour), byte(f.minute)}),
        broadcast({0xB7, byte(f.day), byte(f.month), byte(f.year >> 8), byte(f.year)}),
        // The modules read 1 as standard time, 0 as daylight-saving time.
        broadcast({0xAF, byte(daylight_saving ? 0 : 1)}),
    };
}

namespace {

constexpr std::int64_t seconds_per_hour = 3600;

std::int64_t hour_of(Date local) {
    return local >= 0 ? local / seconds_per_hour
                      : (local - seconds_per_hour + 1) / seconds_per_hour;
}

}  // namespace

bool BusClockSchedule::due(Date local, bool daylight_saving) {
    const std::int64_t hour = hour_of(local);
    // A new hour covers a new date too; a change of the daylight-saving state
    // moves the local hour as well, but is said whatever the clock reads.
    const bool now = asked_ || (started_ && (hour != hour_ || daylight_saving != daylight_saving_));
    if (!now) return false;
    asked_ = false;
    started_ = true;
    hour_ = hour;
    daylight_saving_ = daylight_saving;
    return true;
}

std::optional<Date> BusClockSchedule::next_hour(Date local) const {
    if (!started_ && !asked_) return std::nullopt;
    return (hour_of(local) + 1) * seconds_per_hour;
}

}  // namespace quillon
