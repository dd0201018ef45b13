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

}  // namespace quillon
