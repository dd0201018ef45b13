#include "app/bussim/receive_log.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <initializer_list>

namespace quillon::bussim {
namespace {

std::chrono::system_clock::time_point local_time(int h, int m, int s, int ms) {
    std::tm t{};
    t.tm_year = 124;
    t.tm_mon = 2;
    t.tm_mday = 15;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t)) + std::chrono::milliseconds(ms);
}

const Frame scan_01{0x0F, 0xFB, 0x01, 0x40, 0xB5, 0x04};

TEST(ReceiveLog, LocalTimeWithMillisecondsThenHexDump) {
    EXPECT_EQ(log_line(local_time(12, 34, 56, 789), {scan_01, FrameStatus::valid}),
              "12:34:56.789  0FFB0140B504");
    EXPECT_EQ(log_line(local_time(7, 5, 3, 9), {scan_01, FrameStatus::valid}),
              "07:05:03.009  0FFB0140B504");
}

TEST(ReceiveLog, BadFramesSayWhatIsWrong) {
    auto bad = scan_01;
    bad[4] = 0x00;
    EXPECT_EQ(log_line(local_time(0, 0, 0, 0), {bad, FrameStatus::bad_checksum}),
              "00:00:00.000  0FFB01400004  bad checksum");
    EXPECT_EQ(log_line(local_time(0, 0, 0, 0), {bad, FrameStatus::bad_length}),
              "00:00:00.000  0FFB01400004  bad length");
}

TEST(ReceiveLog, TheGatewaysClockFramesSayWhatTheySet) {
    const auto line = [](std::initializer_list<std::uint8_t> data) {
        return log_line(local_time(14, 5, 0, 0),
                        {build_frame(priority_low, 0x00, data), FrameStatus::valid});
    };
    EXPECT_EQ(line({0xD8, 1, 14, 5}),
              "14:05:00.000  0FFB0004D8010E050604  clock set: Tuesday 14:05");
    EXPECT_EQ(line({0xB7, 9, 12, 0x07, 0xEA}),
              "14:05:00.000  0FFB0005B7090C07EA3404  date set: 2026-12-09");
    EXPECT_EQ(line({0xAF, 1}), "14:05:00.000  0FFB0002AF014404  daylight saving: off");
    EXPECT_EQ(line({0xAF, 0}), "14:05:00.000  0FFB0002AF004504  daylight saving: on");
}

}  // namespace
}  // namespace quillon::bussim
