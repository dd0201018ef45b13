#include "app/bussim/receive_log.hpp"

#include <cstdio>
#include <ctime>

namespace quillon::bussim {
namespace {

// What a broadcast that sets the modules' clocks says, or nothing for any
// other frame.
std::string clock_text(const Frame& f) {
    if (frame_address(f) != 0x00 || frame_rtr(f)) return {};
    const std::span<const std::uint8_t> d = frame_data(f);
    char text[48];
    if (d.size() == 4 && d[0] == 0xD8) {
        static const char* const days[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                           "Friday", "Saturday", "Sunday"};
        if (d[1] < 7)
            std::snprintf(text, sizeof text, "clock set: %s %02d:%02d", days[d[1]], d[2], d[3]);
        else
            std::snprintf(text, sizeof text, "clock set: day %d %02d:%02d", d[1], d[2], d[3]);
        return text;
    }
    if (d.size() == 5 && d[0] == 0xB7) {
        std::snprintf(text, sizeof text, "date set: %04d-%02d-%02d", d[3] << 8 | d[4], d[2], d[1]);
        return text;
    }
    // The modules read 1 as standard time.
    if (d.size() == 2 && d[0] == 0xAF)
        return d[1] == 0 ? "daylight saving: on" : "daylight saving: off";
    return {};
}

}  // namespace

std::string log_line(std::chrono::system_clock::time_point arrival, const Cut& cut) {
    using namespace std::chrono;
    const auto t = system_clock::to_time_t(arrival);
    const auto ms = duration_cast<milliseconds>(arrival.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d  ", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(ms));
    std::string line = stamp + hex_dump(cut.bytes);
    if (cut.status == FrameStatus::bad_checksum) line += "  bad checksum";
    if (cut.status == FrameStatus::bad_length) line += "  bad length";
    if (cut.status == FrameStatus::valid) {
        const std::string said = clock_text(cut.bytes);
        if (!said.empty()) line += "  " + said;
    }
    return line;
}

}  // namespace quillon::bussim
