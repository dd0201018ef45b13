#include "app/bussim/receive_log.hpp"

#include <cstdio>
#include <ctime>

namespace quillon::bussim {

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
    return line;
}

}  // namespace quillon::bussim
