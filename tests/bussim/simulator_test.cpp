#include "app/bussim/simulator.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <map>
#include <string>

namespace quillon::bussim {
namespace {

constexpr std::int64_t start_ms = 5000;

struct Sent {
    std::int64_t at_ms;
    Frame frame;
};

// Polls every millisecond over [from_ms, to_ms], as the program's loop would at worst.
std::vector<Sent> run(Simulator& sim, std::int64_t from_ms, std::int64_t to_ms) {
    std::vector<Sent> sent;
    for (auto t = from_ms; t <= to_ms; ++t) {
        for (auto& f : sim.poll(t))
            sent.push_back({t, std::move(f)});
    }
    return sent;
}

Frame scan(std::uint8_t address) {
    return build_frame(priority_low, address, true, {});
}

std::vector<Sent> ask(Simulator& sim, const Frame& request, std::int64_t at_ms = start_ms) {
    sim.on_bytes(at_ms, request);
    return run(sim, at_ms, at_ms + 2000);
}

Frame data_of(const Frame& f) {
    const auto d = frame_data(f);
    return Frame(d.begin(), d.end());
}

// Channel bit -> name, rebuilt from F0, F1 and F2 pieces.
std::map<int, std::string> channel_names(const std::vector<Sent>& sent) {
    std::map<int, std::string> names;
    for (const auto& s : sent) {
        const auto d = frame_data(s.frame);
        EXPECT_GE(d[0], command::channel_name_part1);
        EXPECT_LE(d[0], command::channel_name_part3);
        for (std::size_t i = 2; i < d.size(); ++i) {
            if (d[i] != 0xFF) names[d[1]] += static_cast<char>(d[i]);
        }
    }
    return names;
}

class QuietBus : public ::testing::Test {
  protected:
    Simulator sim{{.frames_per_s = 0, .seed = 1}, start_ms};
};

// --- Scan: each module answers with its module type ---

struct ScanCase {
    const char* label;
    std::uint8_t address;
    Frame data;
};
void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.label;
}

class Scan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(Scan, AnswersWithItsModuleTypeWithinTwoSeconds) {
    Simulator sim({.frames_per_s = 0, .seed = 1}, start_ms);
    const auto sent = ask(sim, scan(GetParam().address));
    ASSERT_EQ(sent.size(), 1u);
    const auto& f = sent[0].frame;
    EXPECT_EQ(judge_frame(f.data()), FrameStatus::valid);
    EXPECT_EQ(frame_priority(f), priority_low);
    EXPECT_EQ(frame_address(f), GetParam().address);
    EXPECT_FALSE(frame_rtr(f));
    EXPECT_EQ(data_of(f), GetParam().data);
    EXPECT_LE(sent[0].at_ms - start_ms, 1000);
}

INSTANTIATE_TEST_SUITE_P(
    EachModule, Scan,
    ::testing::Values(
        // newer type: serial number and memory-map version before the build date
        ScanCase{"Relays", 0x01, {0xFF, 0x11, 0x2A, 0x17, 0x03, 18, 36}},
        ScanCase{"Buttons", 0x02, {0xFF, 0x05, 11, 20}},
        ScanCase{"Temperature", 0x03, {0xFF, 0x0C, 10, 45}},
        ScanCase{"Dimmer", 0x04, {0xFF, 0x07, 12, 7}}),
    [](const ::testing::TestParamInfo<ScanCase>& param) { return param.param.label; });

TEST_F(QuietBus, EmptyAddressesAndTheInterfaceStaySilent) {
    EXPECT_TRUE(ask(sim, scan(0x09)).empty());
    EXPECT_TRUE(ask(sim, scan(0x00)).empty());
}

TEST_F(QuietBus, RtrFrameWithDataIsNoScan) {
    const std::uint8_t data[] = {command::status_request};
    EXPECT_TRUE(ask(sim, build_frame(priority_low, 0x01, true, data)).empty());
}

// --- Names ---

TEST_F(QuietBus, ModuleNameIsReadFromMemoryOneBytePerRequest) {
    std::string name;
    for (int i = 0; i < 16; ++i) {
        const auto lo = static_cast<std::uint8_t>(0xF0 + i);
        const auto sent =
            ask(sim, build_frame(priority_low, 0x01, {command::read_memory, 0x00, lo}));
        ASSERT_EQ(sent.size(), 1u);
        const auto d = data_of(sent[0].frame);
        ASSERT_EQ(d.size(), 4u);
        EXPECT_EQ(d[0], command::memory_data);
        EXPECT_EQ(d[1], 0x00);
        EXPECT_EQ(d[2], lo);
        if (d[3] != 0xFF) name += static_cast<char>(d[3]);
    }
    EXPECT_EQ(name, "Kitchen relays");
}

TEST_F(QuietBus, MemoryOutsideTheNameReadsErased) {
    const auto sent = ask(sim, build_frame(priority_low, 0x03, {command::read_memory, 0x01, 0x00}));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(data_of(sent[0].frame), (Frame{command::memory_data, 0x01, 0x00, 0xFF}));
}

TEST_F(QuietBus, ChannelNamesComeInThreePiecesPerChannel) {
    const auto sent =
        ask(sim, build_frame(priority_low, 0x01, {command::channel_name_request, 0x05}));
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(data_of(sent[0].frame), (Frame{0xF0, 0x01, 'C', 'e', 'i', 'l', 'i', 'n'}));
    EXPECT_EQ(data_of(sent[1].frame), (Frame{0xF1, 0x01, 'g', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(data_of(sent[2].frame), (Frame{0xF2, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(channel_names(sent),
              (std::map<int, std::string>{{0x01, "Ceiling"}, {0x04, "Extractor hood"}}));
}

TEST_F(QuietBus, EveryInputChannelHasAName) {
    const auto sent =
        ask(sim, build_frame(priority_low, 0x02, {command::channel_name_request, 0x3F}));
    EXPECT_EQ(sent.size(), 18u);
    const auto names = channel_names(sent);
    EXPECT_EQ(names.size(), 6u);
    EXPECT_EQ(names.at(0x20), "Panic");
}

// --- Status ---

TEST_F(QuietBus, RelayStatusOnePerChannelAsked) {
    const auto sent = ask(sim, build_frame(priority_low, 0x01, {command::status_request, 0x0F}));
    ASSERT_EQ(sent.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        const auto d = data_of(sent[i].frame);
        EXPECT_EQ(d[0], command::relay_status);
        EXPECT_EQ(d[1], 1u << i);
        EXPECT_EQ(d[3], 0x00) << "relay off";
    }
}

TEST_F(QuietBus, InputStatusIsOneFrameForTheModule) {
    const auto sent = ask(sim, build_frame(priority_low, 0x02, {command::status_request, 0x3F}));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(data_of(sent[0].frame), (Frame{command::input_status, 0x00, 0x3F, 0x3F, 0x00, 0x00}));
}

TEST_F(QuietBus, TemperatureSensorStatusCarriesHalfDegrees) {
    const auto sent = ask(sim, build_frame(priority_low, 0x03, {command::status_request, 0x01}));
    ASSERT_EQ(sent.size(), 1u);
    const auto d = data_of(sent[0].frame);
    ASSERT_EQ(d.size(), 8u);
    EXPECT_EQ(d[0], command::temperature_sensor_status);
    EXPECT_EQ(d[4], 42) << "21 degrees";
}

TEST_F(QuietBus, TemperatureRequestGetsCurrentMinimumAndMaximum) {
    const auto sent =
        ask(sim, build_frame(priority_low, 0x03, {command::temperature_request, 0x00}));
    ASSERT_EQ(sent.size(), 1u);
    // 21 degrees = 336 sixteenths, shifted left by 5
    EXPECT_EQ(data_of(sent[0].frame), (Frame{0xE6, 0x2A, 0x00, 0x2A, 0x00, 0x2A, 0x00}));
}

TEST_F(QuietBus, StatusForChannelsTheModuleLacksIsIgnored) {
    EXPECT_TRUE(ask(sim, build_frame(priority_low, 0x04, {command::status_request, 0x02})).empty());
    EXPECT_TRUE(ask(sim, build_frame(priority_low, 0x01, {command::status_request, 0xF0})).empty());
}

// --- Commands ---

TEST_F(QuietBus, RelayOnSwitchesTheChannelsAndReportsThem) {
    const auto sent = ask(sim, build_frame(priority_high, 0x01, {command::switch_relay_on, 0x05}));
    EXPECT_EQ(sim.module_at(0x01)->relays_on, 0x05);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(data_of(sent[0].frame), (Frame{0xFB, 0x01, 0x00, 0x01, 0x80, 0x00, 0x00, 0x00}));
    EXPECT_EQ(data_of(sent[1].frame), (Frame{0xFB, 0x04, 0x00, 0x01, 0x80, 0x00, 0x00, 0x00}));
}

TEST_F(QuietBus, RelayOffSwitchesOnlyTheChannelsGiven) {
    ask(sim, build_frame(priority_high, 0x01, {command::switch_relay_on, 0x0F}));
    const auto sent =
        ask(sim, build_frame(priority_high, 0x01, {command::switch_relay_off, 0x02}), 8000);
    EXPECT_EQ(sim.module_at(0x01)->relays_on, 0x0D);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(data_of(sent[0].frame), (Frame{0xFB, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(QuietBus, RelayCommandToAnotherModuleTypeIsIgnored) {
    EXPECT_TRUE(
        ask(sim, build_frame(priority_high, 0x02, {command::switch_relay_on, 0x01})).empty());
}

TEST_F(QuietBus, DimmerSetReportsTheNewValue) {
    const auto sent =
        ask(sim, build_frame(priority_high, 0x04, {command::set_dim_value, 0x01, 60, 0x00, 0x00}));
    EXPECT_EQ(sim.module_at(0x04)->dim_percent, 60);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(data_of(sent[0].frame), (Frame{0xEE, 0x02, 60, 0x80, 0x00, 0x00, 0x00}));
    const auto status =
        ask(sim, build_frame(priority_low, 0x04, {command::status_request, 0x01}), 8000);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(data_of(status[0].frame)[2], 60);
}

TEST_F(QuietBus, DimValueAboveFullIsFull) {
    ask(sim, build_frame(priority_high, 0x04, {command::set_dim_value, 0x01, 200, 0x00, 0x00}));
    EXPECT_EQ(sim.module_at(0x04)->dim_percent, 100);
}

TEST_F(QuietBus, InterfaceReportsBusActive) {
    sim.report(start_ms, command::bus_active);
    const auto sent = run(sim, start_ms, start_ms);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].frame, (Frame{0x0F, 0xF8, 0x00, 0x01, 0x0A, 0xEE, 0x04}));
}

// --- The byte stream from the gateway ---

TEST_F(QuietBus, RequestSplitAtEveryByteIsAnswered) {
    const auto request = scan(0x03);
    for (std::size_t i = 0; i < request.size(); ++i) {
        sim.on_bytes(start_ms + static_cast<std::int64_t>(i), std::span(&request[i], 1));
    }
    const auto sent = run(sim, start_ms, start_ms + 2000);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(data_of(sent[0].frame)[1], 0x0C);
}

TEST_F(QuietBus, GluedRequestsAreAllAnsweredInOrder) {
    Frame glued;
    for (const auto& f : {scan(0x01), scan(0x02), scan(0x03), scan(0x04)}) {
        glued.insert(glued.end(), f.begin(), f.end());
    }
    const auto cuts = sim.on_bytes(start_ms, glued);
    EXPECT_EQ(cuts.size(), 4u);
    const auto sent = run(sim, start_ms, start_ms + 2000);
    ASSERT_EQ(sent.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(frame_address(sent[i].frame), i + 1);
}

TEST_F(QuietBus, BadFramesAreReportedButNotAnswered) {
    auto bad_checksum = scan(0x01);
    bad_checksum[4] ^= 0xFF;
    auto bad_length = scan(0x02);
    bad_length[5] = 0x00;
    const auto cuts = sim.on_bytes(start_ms, bad_checksum);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].status, FrameStatus::bad_checksum);
    EXPECT_EQ(sim.on_bytes(start_ms, bad_length)[0].status, FrameStatus::bad_length);
    EXPECT_TRUE(run(sim, start_ms, start_ms + 2000).empty());
    // the stream recovers at once
    EXPECT_EQ(ask(sim, scan(0x04), 8000).size(), 1u);
}

// --- Reply timing ---

void expect_prompt(const std::vector<Sent>& sent, std::int64_t asked_ms) {
    ASSERT_FALSE(sent.empty());
    EXPECT_LE(sent.front().at_ms - asked_ms, 1000);
    for (std::size_t i = 1; i < sent.size(); ++i) {
        const auto gap = sent[i].at_ms - sent[i - 1].at_ms;
        EXPECT_LE(gap, 150) << "reply " << i;
        EXPECT_GT(gap, 0) << "reply " << i << " glued to the one before";
    }
}

TEST_F(QuietBus, RepliesFollowEachOtherPromptlyButApart) {
    const auto sent =
        ask(sim, build_frame(priority_low, 0x02, {command::channel_name_request, 0x3F}));
    EXPECT_EQ(sent.size(), 18u);
    expect_prompt(sent, start_ms);
}

TEST_F(QuietBus, BackToBackRequestsQueueBehindEachOther) {
    sim.on_bytes(start_ms, build_frame(priority_low, 0x01, {command::channel_name_request, 0x0F}));
    sim.on_bytes(start_ms + 1, build_frame(priority_low, 0x01, {command::status_request, 0x0F}));
    const auto sent = run(sim, start_ms, start_ms + 2000);
    EXPECT_EQ(sent.size(), 16u);
    expect_prompt(sent, start_ms);
    EXPECT_EQ(frame_data(sent.back().frame)[0], command::relay_status);
}

TEST(BusyBus, RepliesStayPromptAmidSpontaneousTraffic) {
    Simulator sim({.frames_per_s = 20, .seed = 7}, start_ms);
    run(sim, start_ms, start_ms + 1000);
    sim.on_bytes(start_ms + 1000,
                 build_frame(priority_low, 0x01, {command::channel_name_request, 0x0F}));
    std::vector<Sent> replies;
    for (auto& s : run(sim, start_ms + 1001, start_ms + 3000)) {
        if (frame_address(s.frame) == 0x01) replies.push_back(std::move(s));
    }
    EXPECT_EQ(replies.size(), 12u);
    expect_prompt(replies, start_ms + 1000);
}

TEST_F(QuietBus, NextEventIsTheFirstReplyDue) {
    sim.on_bytes(start_ms, scan(0x01));
    EXPECT_EQ(sim.next_event_ms(), start_ms + first_reply_delay_ms);
    EXPECT_TRUE(sim.poll(sim.next_event_ms() - 1).empty());
    EXPECT_EQ(sim.poll(sim.next_event_ms()).size(), 1u);
}

// --- Spontaneous traffic ---

TEST_F(QuietBus, RateZeroSendsNothingOfItsOwn) {
    EXPECT_TRUE(run(sim, start_ms, start_ms + 60000).empty());
}

TEST(SpontaneousTraffic, SendsTheChosenNumberOfFramesPerSecond) {
    Simulator sim({.frames_per_s = 5, .seed = 3}, start_ms);
    const auto sent = run(sim, start_ms, start_ms + 10000);
    EXPECT_GE(sent.size(), 49u);
    EXPECT_LE(sent.size(), 50u);
}

TEST(SpontaneousTraffic, ButtonPressesAreReleasedAndTemperaturesChange) {
    Simulator sim({.frames_per_s = 4, .seed = 11}, start_ms);
    const auto sent = run(sim, start_ms, start_ms + 30000);
    std::uint8_t held = 0;
    std::int64_t pressed_at = 0;
    int presses = 0, temperatures = 0;
    for (const auto& s : sent) {
        const auto d = frame_data(s.frame);
        EXPECT_EQ(judge_frame(s.frame.data()), FrameStatus::valid);
        if (d[0] == command::push_button_status) {
            EXPECT_EQ(frame_address(s.frame), 0x02);
            EXPECT_EQ(frame_priority(s.frame), priority_high);
            if (held == 0) {
                EXPECT_EQ(d[2], 0x00);
                held = d[1];
                pressed_at = s.at_ms;
                ++presses;
            } else {
                EXPECT_EQ(d[1], 0x00);
                EXPECT_EQ(d[2], held) << "release of the button pressed";
                EXPECT_LE(s.at_ms - pressed_at, button_hold_ms);
                held = 0;
            }
        } else {
            ASSERT_EQ(d[0], command::temperature);
            EXPECT_EQ(frame_address(s.frame), 0x03);
            const auto t = static_cast<std::int16_t>(d[1] << 8 | d[2]) / 32;
            EXPECT_GE(t, 15 * 16);
            EXPECT_LE(t, 28 * 16);
            ++temperatures;
        }
    }
    EXPECT_GT(presses, 5);
    EXPECT_GT(temperatures, 5);
}

TEST(SpontaneousTraffic, HeldButtonShowsInTheInputStatus) {
    Simulator sim({.frames_per_s = 2, .seed = 1}, start_ms);
    for (auto t = start_ms;; ++t) {
        ASSERT_LT(t, start_ms + 60000) << "no press";
        const auto sent = sim.poll(t);
        if (sent.empty() || frame_data(sent[0])[0] != command::push_button_status) continue;
        const auto pressed = frame_data(sent[0])[1];
        sim.on_bytes(t, build_frame(priority_low, 0x02, {command::status_request, 0x3F}));
        const auto status = sim.poll(t + first_reply_delay_ms);
        ASSERT_EQ(status.size(), 1u);
        EXPECT_EQ(frame_data(status[0])[1], pressed);
        return;
    }
}

TEST(SpontaneousTraffic, SameSeedSameTraffic) {
    Simulator a({.frames_per_s = 10, .seed = 42}, start_ms);
    Simulator b({.frames_per_s = 10, .seed = 42}, start_ms);
    const auto sa = run(a, start_ms, start_ms + 5000);
    const auto sb = run(b, start_ms, start_ms + 5000);
    ASSERT_EQ(sa.size(), sb.size());
    for (std::size_t i = 0; i < sa.size(); ++i) {
        EXPECT_EQ(sa[i].at_ms, sb[i].at_ms);
        EXPECT_EQ(sa[i].frame, sb[i].frame);
    }
}

TEST(SpontaneousTraffic, OtherSeedOtherTraffic) {
    Simulator a({.frames_per_s = 10, .seed = 42}, start_ms);
    Simulator b({.frames_per_s = 10, .seed = 43}, start_ms);
    std::vector<Frame> fa, fb;
    for (auto& s : run(a, start_ms, start_ms + 5000))
        fa.push_back(s.frame);
    for (auto& s : run(b, start_ms, start_ms + 5000))
        fb.push_back(s.frame);
    EXPECT_NE(fa, fb);
}

TEST(SpontaneousTraffic, AStallDoesNotFloodTheBus) {
    Simulator sim({.frames_per_s = 10, .seed = 5}, start_ms);
    EXPECT_LE(sim.poll(start_ms + 60000).size(), 1u);
    const auto sent = run(sim, start_ms + 60001, start_ms + 61000);
    EXPECT_GE(sent.size(), 9u);
    EXPECT_LE(sent.size(), 11u);
}

}  // namespace
}  // namespace quillon::bussim
