#include "platform/qt/system_clock.hpp"

#include <chrono>
#include <ctime>
#include <thread>

namespace quillon {

Date local_date_of(std::int64_t epoch_seconds) {
    const auto t = static_cast<std::time_t>(epoch_seconds);
    std::tm local{};
    localtime_r(&t, &local);
    return epoch_seconds + local.tm_gmtoff;
}

Date SystemClock::local_date() {
    return local_date_of(std::time(nullptr));
}

LocalTime SystemClock::local_time() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return {local_date_of(now.tv_sec), static_cast<std::int32_t>(now.tv_nsec / 1000000)};
}

bool SystemClock::daylight_saving() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    return local.tm_isdst > 0;
}

std::int32_t SystemClock::utc_offset_s() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    return static_cast<std::int32_t>(local.tm_gmtoff);
}

void SystemClock::pause_ms(std::int32_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace quillon
