#include "app/bussim/receive_log.hpp"

#include <gtest/gtest.h>

#include <ctime>

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

}  // namespace
}  // namespace quillon::bussim
