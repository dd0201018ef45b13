#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

class FrameRoads : public GatewayHarness {};

TEST_F(FrameRoads, BusFrameBecomesRowAnalyzerLineAndReachesEveryBusClient) {
    ASSERT_EQ(start(), StartOutcome::running);
    const ConnectionHandle a = net.connect("192.168.1.20", 888);
    const ConnectionHandle b = net.connect("192.168.1.21", 889);
    run_pass(gw);
    run_pass(gw);
    const ConnectionHandle analyzer = net.datagram("192.168.1.30", 5000, "hello");
    run_pass(gw);

    const Bytes frame = make_frame(0xFB, 0x05, {0x0A});
    serial.deliver(frame);
    run_pass(gw);

    ASSERT_FALSE(view.traffic.empty());
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::hex), hex_dump(frame));
    EXPECT_EQ(view.traffic.front().icon, icon_bus_frame);
    EXPECT_EQ(net.peer(a).received_bytes(), frame);
    EXPECT_EQ(net.peer(b).received_bytes(), frame);
    const auto lines = net.peer(analyzer).received_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("ADD IP,192.168.1.30:5000,", 0), 0u);
    EXPECT_EQ(lines[1].rfind("V->N,", 0), 0u);
}

TEST_F(FrameRoads, ClientFrameIsEchoedToOthersAndPacedOntoTheBus) {
    ASSERT_EQ(start(), StartOutcome::running);
    const ConnectionHandle a = net.connect("192.168.1.20", 888);
    const ConnectionHandle b = net.connect("192.168.1.21", 889);
    run_pass(gw);
    run_pass(gw);
    Bytes burst;
    for (std::uint8_t k = 1; k <= 3; ++k) {
        const Bytes f = make_frame(0xF8, k, {0x02, 0x01});
        burst.insert(burst.end(), f.begin(), f.end());
    }
    net.client_sends(a, burst);
    for (int i = 0; i < 20; ++i)
        run_pass(gw);

    EXPECT_TRUE(net.peer(a).sent.empty());
    EXPECT_EQ(net.peer(b).received_bytes(), burst);
    ASSERT_EQ(serial.writes.size(), 3u);
    EXPECT_GT(serial.writes[1].time_ms - serial.writes[0].time_ms, 50);
    EXPECT_GT(serial.writes[2].time_ms - serial.writes[1].time_ms, 50);
    EXPECT_EQ(view.traffic.size(), 3u);
    EXPECT_EQ(view.traffic.back().cell(TrafficColumn::source),
              "$01 (RelOn N°1 (%00000001)) from 192.168.1.20:888");
}

}  // namespace
}  // namespace quillon::testing
