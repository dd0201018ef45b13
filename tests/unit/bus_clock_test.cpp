#include "bus/bus_clock.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bus/bus_frame.hpp"

namespace quillon {
namespace {

std::vector<std::string> hex_frames(Date local, bool daylight_saving) {
    std::vector<std::string> out;
    for (const auto& frame : bus_clock_frames(local, daylight_saving))
        out.push_back(hex_dump(frame));
    return out;
}

// 2026-12-09 03:05, a Wednesday in standard time; 2027-07-04 23:59, a Sunday in summer time.
TEST(BusClock, TimeDateAndDaylightSavingAreThreeBroadcastsWithTheirChecksums) {
    EXPECT_EQ(hex_frames(1796785500, false),
              (std::vector<std::string>{"0FFB0004D80203051004", "0FFB0005B7090C07EA3404",
                                        "0FFB0002AF014404"}));
    EXPECT_EQ(hex_frames(1814745540, true),
              (std::vector<std::string>{"0FFB0004D806173BC204", "0FFB0005B7040707EB3D04",
                                        "0FFB0002AF004504"}));
}

TEST(BusClock, SentWhenAskedThenAtEveryFullHourAndOnADaylightSavingChange) {
    BusClockSchedule schedule;
    const Date noon = 1796817600;  // 2026-12-09 12:00:00
    EXPECT_FALSE(schedule.due(noon, false)) << "before the link is up";
    EXPECT_FALSE(schedule.next_hour(noon));
    schedule.send_soon();
    EXPECT_TRUE(schedule.due(noon + 5, false));
    EXPECT_FALSE(schedule.due(noon + 6, false));
    EXPECT_EQ(schedule.next_hour(noon + 6), noon + 3600);
    EXPECT_FALSE(schedule.due(noon + 3599, false));
    EXPECT_TRUE(schedule.due(noon + 3600, false));
    EXPECT_TRUE(schedule.due(noon + 3601, true)) << "daylight saving began";
    EXPECT_FALSE(schedule.due(noon + 3602, true));
    schedule.send_soon();
    EXPECT_TRUE(schedule.due(noon + 3603, true)) << "the operator asked";
}

}  // namespace
}  // namespace quillon
