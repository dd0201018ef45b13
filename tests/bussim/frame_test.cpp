#include "app/bussim/frame.hpp"

#include <gtest/gtest.h>

#include "app/bussim/modules.hpp"

namespace quillon::bussim {
namespace {

const Frame scan_01{0x0F, 0xFB, 0x01, 0x40, 0xB5, 0x04};
const Frame buffer_full{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};

Frame join(std::initializer_list<Frame> frames) {
    Frame all;
    for (const auto& f : frames)
        all.insert(all.end(), f.begin(), f.end());
    return all;
}

TEST(BuildFrame, ScanIsAnRtrFrameWithoutData) {
    EXPECT_EQ(build_frame(priority_low, 0x01, true, {}), scan_01);
}

TEST(BuildFrame, DataFrameCarriesLengthChecksumAndEndByte) {
    EXPECT_EQ(build_frame(priority_high, 0x00, {0x0B}), buffer_full);
    const auto f = build_frame(priority_low, 0x03, {0xE6, 0x2A, 0x00, 0x29, 0x80, 0x2B, 0x00});
    ASSERT_EQ(f.size(), 13u);
    EXPECT_EQ(f[3], 0x07);
    EXPECT_EQ(judge_frame(f.data()), FrameStatus::valid);
    EXPECT_FALSE(frame_rtr(f));
    EXPECT_EQ(frame_data(f).size(), 7u);
    EXPECT_EQ(frame_data(f)[0], 0xE6);
}

TEST(FrameCutter, WholeFrameGivesOneValidCut) {
    FrameCutter cutter;
    const auto cuts = cutter.feed(scan_01);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].bytes, scan_01);
    EXPECT_EQ(cuts[0].status, FrameStatus::valid);
    EXPECT_EQ(cutter.pending(), 0u);
}

TEST(FrameCutter, FrameSplitAtEveryByteIsReassembled) {
    FrameCutter cutter;
    for (std::size_t i = 0; i + 1 < buffer_full.size(); ++i) {
        EXPECT_TRUE(cutter.feed(std::span(&buffer_full[i], 1)).empty()) << "byte " << i;
    }
    const auto cuts = cutter.feed(std::span(&buffer_full.back(), 1));
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].bytes, buffer_full);
}

TEST(FrameCutter, GluedFramesAreCutApart) {
    FrameCutter cutter;
    const auto cuts = cutter.feed(join({scan_01, buffer_full, scan_01}));
    ASSERT_EQ(cuts.size(), 3u);
    EXPECT_EQ(cuts[1].bytes, buffer_full);
    EXPECT_EQ(cuts[2].bytes, scan_01);
}

TEST(FrameCutter, GluedAcrossTwoWrites) {
    FrameCutter cutter;
    const auto all = join({scan_01, buffer_full});
    const auto first = cutter.feed(std::span(all).first(9));
    ASSERT_EQ(first.size(), 1u);
    const auto second = cutter.feed(std::span(all).subspan(9));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].bytes, buffer_full);
}

TEST(FrameCutter, BytesBeforeTheStartByteAreDropped) {
    FrameCutter cutter;
    const auto cuts = cutter.feed(join({{0x00, 0x12, 0xFF}, scan_01}));
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].status, FrameStatus::valid);
}

TEST(FrameCutter, BadChecksumIsReportedAndTheNextFrameStillFound) {
    FrameCutter cutter;
    auto bad = scan_01;
    bad[4] ^= 0x01;
    const auto cuts = cutter.feed(join({bad, buffer_full}));
    ASSERT_EQ(cuts.size(), 2u);
    EXPECT_EQ(cuts[0].status, FrameStatus::bad_checksum);
    EXPECT_EQ(cuts[1].bytes, buffer_full);
    EXPECT_EQ(cuts[1].status, FrameStatus::valid);
}

TEST(FrameCutter, BadLengthIsReportedAndTheNextFrameStillFound) {
    FrameCutter cutter;
    auto bad = scan_01;
    bad.back() = 0x05;
    const auto cuts = cutter.feed(join({bad, scan_01}));
    ASSERT_EQ(cuts.size(), 2u);
    EXPECT_EQ(cuts[0].status, FrameStatus::bad_length);
    EXPECT_EQ(cuts[1].status, FrameStatus::valid);
}

TEST(FrameCutter, StrayStartByteIsHeldUntilItsAnnouncedLengthArrives) {
    FrameCutter cutter;
    // 0F 01 02 then a frame: the stray candidate announces 15 data bytes (21 in all).
    EXPECT_TRUE(cutter.feed(join({{0x0F, 0x01, 0x02}, scan_01, scan_01})).empty());
    const auto cuts = cutter.feed(join({scan_01, scan_01}));
    std::size_t valid = 0;
    for (const auto& c : cuts)
        valid += c.status == FrameStatus::valid;
    EXPECT_EQ(valid, 4u);
    EXPECT_EQ(cutter.pending(), 0u);
}

}  // namespace
}  // namespace quillon::bussim
