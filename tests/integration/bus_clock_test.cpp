// The modules' clocks set from the gateway's machine.

#include <algorithm>
#include <ctime>
#include <fstream>

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

using ClockFrames = GatewayTest;

std::tm local_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

// The time, date and daylight-saving frames as the gateway would make them at
// that local time: broadcasts at low priority.
std::vector<Bytes> clock_frames_at(const std::tm& t) {
    const int year = t.tm_year + 1900;
    return {
        make_frame(0xFB, 0x00,
                   {0xD8, static_cast<std::uint8_t>((t.tm_wday + 6) % 7),
                    static_cast<std::uint8_t>(t.tm_hour), static_cast<std::uint8_t>(t.tm_min)}),
        make_frame(
            0xFB, 0x00,
            {0xB7, static_cast<std::uint8_t>(t.tm_mday), static_cast<std::uint8_t>(t.tm_mon + 1),
             static_cast<std::uint8_t>(year >> 8), static_cast<std::uint8_t>(year & 0xFF)}),
        make_frame(0xFB, 0x00, {0xAF, static_cast<std::uint8_t>(t.tm_isdst > 0 ? 0 : 1)}),
    };
}

std::vector<Bytes> frames_of(const std::vector<FoundFrame>& found) {
    std::vector<Bytes> frames;
    for (const FoundFrame& f : found)
        frames.push_back(f.bytes);
    return frames;
}

// The frames as made in the minute before or after: the test reads the clock
// on either side of the gateway.
void expect_clock_frames(const std::vector<Bytes>& got, const std::tm& before,
                         const std::tm& after) {
    ASSERT_EQ(got.size(), 3u);
    std::string seen;
    for (const Bytes& f : got)
        seen += hex_text(f) + " ";
    EXPECT_TRUE(got == clock_frames_at(before) || got == clock_frames_at(after)) << seen;
}

TEST_F(ClockFrames, WithClockSyncTheBusGetsTheClockAtStartAndTheClockCommandReachesTheClientsToo) {
    write_settings(bus_->slave_path());
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::app) << "ClockSync = on\r\n";
    const std::tm before_start = local_now();
    start_gateway();
    ASSERT_TRUE(bus_->wait_frames(3, patience)) << gateway_->errors();
    std::vector<Bytes> on_bus = frames_of(find_frames(bus_->received()));
    expect_clock_frames(on_bus, before_start, local_now());
    EXPECT_TRUE(wait_rows([](const std::vector<ShownRow>& shown) {
        return std::count_if(shown.begin(), shown.end(), [](const ShownRow& r) {
                   return r.source.ends_with(" from Quillon clock");
               }) == 3;
    })) << gateway_->output();

    auto client = connect_client();
    ASSERT_TRUE(client);
    const std::tm before_command = local_now();
    command("clock");
    ASSERT_TRUE(bus_->wait_frames(6, patience)) << gateway_->errors();
    ASSERT_TRUE(
        client->wait_bytes(on_bus[0].size() + on_bus[1].size() + on_bus[2].size(), patience));
    const std::tm after_command = local_now();
    on_bus = frames_of(find_frames(bus_->received()));
    ASSERT_EQ(on_bus.size(), 6u);
    const std::vector<Bytes> to_client = frames_of(find_frames(client->received()));
    expect_clock_frames(to_client, before_command, after_command);
    EXPECT_EQ(to_client, std::vector<Bytes>(on_bus.begin() + 3, on_bus.end()));
}

}  // namespace
}  // namespace quillon::integration
