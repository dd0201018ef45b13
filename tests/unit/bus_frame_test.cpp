#include "bus/bus_frame.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <vector>

#include "tests/support/velbus_frame.hpp"

namespace quillon {
namespace {

using ::quillon::testing::Bytes;

TEST(FrameChecksum, WorkedExampleCoversStartThroughLastDataByte) {
    const Bytes frame{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};
    EXPECT_EQ(frame_checksum(frame.data(), 4), 0xED);
    // The sum of everything up to and including the checksum is 0 modulo 256.
    unsigned sum = 0;
    for (std::size_t i = 0; i <= 5; ++i)
        sum += frame[i];
    EXPECT_EQ(sum % 256, 0u);
}

TEST(FrameChecksum, LastIndexIsAnIndexNotACount) {
    const Bytes b{0x0F, 0x01};
    EXPECT_EQ(frame_checksum(b.data(), 0), 0xF1);
    EXPECT_EQ(frame_checksum(b.data(), 1), 0xF0);
}

TEST(FrameChecksum, NegativeLastIndexCoversNothing) {
    const Bytes b{0x0F};
    EXPECT_EQ(frame_checksum(b.data(), -1), 0);
    EXPECT_EQ(frame_checksum(b.data(), -100), 0);
}

TEST(FrameChecksum, SumOfZeroModulo256GivesZero) {
    const Bytes b{0x80, 0x80};
    EXPECT_EQ(frame_checksum(b.data(), 1), 0);
}

TEST(HexText, HexByteIsTwoUpperCaseDigits) {
    EXPECT_EQ(hex_byte(0), "00");
    EXPECT_EQ(hex_byte(255), "FF");
    EXPECT_EQ(hex_byte(0x0F), "0F");
    EXPECT_EQ(hex_byte(0xED), "ED");
    EXPECT_EQ(hex_byte(0x1AB), "AB");  // only the low 8 bits
    EXPECT_EQ(hex_byte(-1), "FF");
}

TEST(HexText, HexDumpJoinsWithoutSeparator) {
    const Bytes frame{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};
    EXPECT_EQ(hex_dump(frame.data(), frame.size()), "0FF800010BED04");
    EXPECT_EQ(hex_dump(frame.data(), 0), "");
    EXPECT_EQ(hex_dump(std::span<const std::uint8_t>(frame).first(2)), "0FF8");
}

// From 0xFB, 0x21 with as many data bytes as the length byte's low nibble says.
Bytes frame_for_length_byte(std::uint8_t length_byte) {
    Bytes data;
    for (std::size_t i = 0; i < (length_byte & 0x0Fu); ++i)
        data.push_back(static_cast<std::uint8_t>(0x10 + i));
    return ::quillon::testing::frame_with_length_byte(0xFB, 0x21, length_byte, data);
}

struct JudgeCase {
    const char* name;
    Bytes bytes;
    FrameStatus expected;
};
void PrintTo(const JudgeCase& c, std::ostream* os) {
    *os << c.name;
}

class JudgeFrame : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(JudgeFrame, GivesTheVerdict) {
    const JudgeCase& c = GetParam();
    EXPECT_EQ(judge_frame(c.bytes.data()), c.expected);
    const CandidateVerdict v = judge_candidate(c.bytes);
    EXPECT_TRUE(v.complete);
    EXPECT_EQ(v.size, c.bytes.size());
    EXPECT_EQ(v.status, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, JudgeFrame,
    ::testing::Values(
        JudgeCase{"ValidBusOff", {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04}, FrameStatus::valid},
        JudgeCase{"ValidBusActive", {0x0F, 0xF8, 0x00, 0x01, 0x0C, 0xEC, 0x04}, FrameStatus::valid},
        JudgeCase{
            "BadChecksum", {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04}, FrameStatus::bad_checksum},
        JudgeCase{"BadChecksumSecond",
                  {0x0F, 0xF8, 0x00, 0x01, 0x0C, 0xED, 0x04},
                  FrameStatus::bad_checksum},
        JudgeCase{
            "WrongEndByte", {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x05}, FrameStatus::bad_length},
        JudgeCase{"BothWrongIsBadLength",
                  {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0x00, 0x05},
                  FrameStatus::bad_length},
        JudgeCase{"NoDataBytes", frame_for_length_byte(0x00), FrameStatus::valid},
        JudgeCase{"RtrNoData", frame_for_length_byte(0x40), FrameStatus::valid},
        JudgeCase{"FifteenDataBytes", frame_for_length_byte(0x0F), FrameStatus::valid},
        JudgeCase{"HighNibbleIgnored", frame_for_length_byte(0x48), FrameStatus::valid}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(JudgeCandidate, LengthNibbleFifteenMakesTwentyOneBytes) {
    EXPECT_EQ(frame_for_length_byte(0x0F).size(), 21u);
    EXPECT_EQ(BusFrame::size_for(0x0F), 21u);
    EXPECT_EQ(BusFrame::size_for(0x40), 6u);
    EXPECT_EQ(BusFrame::size_for(0xF2), 8u);
}

TEST(JudgeCandidate, IncompleteUntilTheAnnouncedEndIsThere) {
    const Bytes frame{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};
    for (std::size_t have = 1; have < frame.size(); ++have) {
        const CandidateVerdict v = judge_candidate(std::span(frame).first(have));
        EXPECT_FALSE(v.complete) << have;
        EXPECT_EQ(v.size, have < 4 ? 0u : 7u) << have;
    }
    EXPECT_TRUE(judge_candidate(frame).complete);
}

TEST(JudgeCandidate, BytesAfterTheFrameAreNotLookedAt) {
    const Bytes bytes{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04, 0x0F, 0xFF};
    const CandidateVerdict v = judge_candidate(bytes);
    EXPECT_TRUE(v.complete);
    EXPECT_EQ(v.size, 7u);
    EXPECT_EQ(v.status, FrameStatus::valid);
}

}  // namespace
}  // namespace quillon
