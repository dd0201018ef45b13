#include "bus/bus_frame.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

class BusClockSync : public GatewayHarness {};

// The fake clock starts at 2026-12-07 10:20:00, a Monday in standard time.
TEST_F(BusClockSync, TheModulesClocksAreSetAtStartThenAtTheFullHourAndTheClientsSeeIt) {
    ASSERT_EQ(start("IPPort = 8080\r\nSerialPort = COM1,38400,0,8,1,0\r\nClockSync = on\r\n"),
              StartOutcome::running);
    const ConnectionHandle client = net.connect("192.168.1.20", 888);
    run_for(200);
    ASSERT_EQ(serial.writes.size(), 3u);
    EXPECT_EQ(hex_dump(serial.writes[0].bytes), "0FFB0004D8000A14FC04");
    EXPECT_EQ(hex_dump(serial.writes[1].bytes), "0FFB0005B7070C07EA3604");
    EXPECT_EQ(hex_dump(serial.writes[2].bytes), "0FFB0002AF014404");
    EXPECT_EQ(net.peer(client).received_bytes().size(), 29u) << "the clients see them too";
    EXPECT_TRUE(view.traffic.front().cell(TrafficColumn::source).ends_with(" from Quillon clock"))
        << view.traffic.front().cell(TrafficColumn::source);
    run_for(39LL * 60 * 1000);  // 10:59
    EXPECT_EQ(serial.writes.size(), 3u);
    run_for(61LL * 1000);  // 11:00
    ASSERT_EQ(serial.writes.size(), 6u);
    EXPECT_EQ(hex_dump(serial.writes[3].bytes), "0FFB0004D8000B000F04");
}

TEST_F(BusClockSync, WithoutClockSyncOnlyTheClockCommandSetsThemAndOnlyOnce) {
    ASSERT_EQ(start(), StartOutcome::running);
    run_for(200);
    EXPECT_TRUE(serial.writes.empty());
    view.click(Control::set_clock);
    run_for(200);
    EXPECT_EQ(serial.writes.size(), 3u);
    run_for(60LL * 60 * 1000);
    EXPECT_EQ(serial.writes.size(), 3u) << "nothing on the hour";
}

}  // namespace
}  // namespace quillon::testing
