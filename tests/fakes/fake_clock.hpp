#pragma once

#include <cstdint>
#include <vector>

#include "base/clock.hpp"

namespace quillon::testing {

// A clock the test moves by hand. The local date follows the millisecond
// clock: date_at_zero at now_ms == -ms_into_second_at_zero.
class FakeClock : public Clock {
  public:
    std::int64_t now = 1000;
    Date date_at_zero = 1796638800;  // 2026-12-07 10:20:00 as a local date
    std::int64_t ms_into_second_at_zero = 0;
    std::vector<std::int32_t> pauses;
    bool summer_time = false;

    std::int64_t now_ms() override { return now; }
    std::int64_t now_us() override { return now * 1000; }
    Date local_date() override {
        const std::int64_t ms = now + ms_into_second_at_zero;
        return date_at_zero + (ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    }
    LocalTime local_time() override {
        const std::int64_t ms = now + ms_into_second_at_zero;
        const std::int64_t into = ((ms % 1000) + 1000) % 1000;
        return {local_date(), static_cast<std::int32_t>(into)};
    }
    void pause_ms(std::int32_t ms) override {
        pauses.push_back(ms);
        now += ms;
    }
    bool daylight_saving() override { return summer_time; }
    void advance(std::int64_t ms) { now += ms; }
};

}  // namespace quillon::testing
