#pragma once

#include <QDateTime>
#include <QElapsedTimer>

#include "base/clock.hpp"

namespace quillon {

// The monotonic clock and the local date of the machine.
class SystemClock : public Clock {
  public:
    SystemClock() : started_ms_(QDateTime::currentMSecsSinceEpoch()) { timer_.start(); }
    std::int64_t now_ms() override { return timer_.elapsed(); }
    std::int64_t now_us() override { return timer_.nsecsElapsed() / 1000; }
    Date local_date() override;
    LocalTime local_time() override;
    void pause_ms(std::int32_t ms) override;
    bool daylight_saving() override;
    std::int32_t utc_offset_s() override;
    std::int64_t started_unix_s() override { return started_ms_ / 1000; }

  private:
    std::int64_t started_ms_;
    QElapsedTimer timer_;
};

// The local date of a moment given in seconds since the epoch.
Date local_date_of(std::int64_t epoch_seconds);

}  // namespace quillon
