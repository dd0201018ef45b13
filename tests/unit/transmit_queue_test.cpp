// The bus-bound queue: one frame per transmit step, what is written and what
// is shown not sent, the pacing that keeps frames more than the delay apart,
// and the interface module's flow control.
#include <string>
#include <vector>

#include "bus/transmit_queue.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

const Bytes kFrame{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};

// Runs the passes and adds up the TX rates shown: in the loop each refresh
// covers one second, so the sum is the bits written.
std::int64_t tx_bits_shown_over(Gateway& gw, FakeView& view, int passes) {
    std::int64_t bits = 0;
    for (int k = 0; k < passes; ++k) {
        view.rates.clear();
        run_pass(gw);
        if (!view.rates.empty()) bits += std::stoll(view.rates[Control::tx_rate]);
    }
    return bits;
}

class TransmitQueue : public GatewayHarness {
  protected:
    void SetUp() override {
        GatewayHarness::SetUp();
        ASSERT_EQ(start(), StartOutcome::running);
    }
    ConnectionHandle connected_client() {
        const ConnectionHandle c = net.connect("192.168.1.20", 888);
        run_pass(gw);
        return c;
    }
    // Three frames from one client in one read; passes run until all are written.
    std::vector<std::int64_t> write_gaps_for_burst() {
        const ConnectionHandle c = connected_client();
        Bytes burst;
        for (std::uint8_t k = 1; k <= 3; ++k) {
            const Bytes f = make_frame(0xF8, k, {0x02, 0x01});
            burst.insert(burst.end(), f.begin(), f.end());
        }
        net.client_sends(c, burst);
        for (int pass = 0; pass < 40 && serial.writes.size() < 3; ++pass) {
            const std::size_t before = serial.writes.size();
            run_pass(gw);
            EXPECT_LE(serial.writes.size(), before + 1) << "two writes in one pass";
        }
        EXPECT_EQ(serial.writes.size(), 3u);
        std::vector<std::int64_t> gaps;
        for (std::size_t k = 0; k < serial.writes.size(); ++k) {
            EXPECT_EQ(serial.writes[k].bytes[2], k + 1) << "frames leave in order";
            if (k > 0) gaps.push_back(serial.writes[k].time_ms - serial.writes[k - 1].time_ms);
        }
        return gaps;
    }
};

// ---- One transmit step ----

TEST(BusQueueStep, EmptyQueueWritesNothingButStartsTheNextDelay) {
    BusQueue queue;
    queue.count_written(9);
    EXPECT_FALSE(queue.take(1234000));
    EXPECT_EQ(queue.take_written_bytes(), 9);
    EXPECT_FALSE(queue.due((1234 + pacing_delay_slow_ms) * 1000));
    EXPECT_TRUE(queue.due((1234 + pacing_delay_slow_ms + 1) * 1000));
}

struct StatusCase {
    const char* name;
    Bytes bytes;
};
void PrintTo(const StatusCase& c, std::ostream* os) {
    *os << c.name;
}

class TransmitByStatus : public TransmitQueue, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(TransmitByStatus, WritesWhatTheClientSentUnchangedOnce) {
    const StatusCase& c = GetParam();
    net.client_sends(connected_client(), c.bytes);
    // A piece is given up after a second; three seconds leave room for a second write.
    const std::int64_t bits = tx_bits_shown_over(gw, view, 150);
    ASSERT_EQ(serial.writes.size(), 1u) << "the entry leaves the queue once written";
    EXPECT_EQ(serial.writes[0].bytes, c.bytes);
    EXPECT_EQ(bits, static_cast<std::int64_t>(c.bytes.size()) * 8);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, TransmitByStatus,
    ::testing::Values(StatusCase{"Valid", kFrame},
                      StatusCase{"BadChecksumGoesOutAsSent",
                                 {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04}},
                      StatusCase{"BadLengthPieceGoesOutAsSent", {0x0F, 0xF8, 0x00}}),
    [](const ::testing::TestParamInfo<StatusCase>& p) { return std::string(p.param.name); });

TEST_F(TransmitQueue, OneEntryPerStepOldestFirst) {
    // Given up together, the two pieces are queued in one pass.
    net.client_sends(connected_client(), {0x0F, 0x01, 0x0F, 0x02});
    const std::int64_t bits = tx_bits_shown_over(gw, view, 150);
    ASSERT_EQ(serial.writes.size(), 2u);
    EXPECT_EQ(serial.writes[0].bytes, (Bytes{0x0F, 0x01}));
    EXPECT_EQ(serial.writes[1].bytes, (Bytes{0x0F, 0x02}));
    EXPECT_GT(serial.writes[1].time_ms - serial.writes[0].time_ms, pacing_delay_slow_ms);
    EXPECT_EQ(bits, 4 * 8);
}

// A port whose writes fail while its reads still work, so that the write is
// what finds the port gone.
class PortFailingOnWrite : public FakeSerialPort {
  public:
    using FakeSerialPort::FakeSerialPort;
    bool write_fails = false;
    std::int64_t write(const std::uint8_t* bytes, std::size_t count) override {
        return write_fails ? -1 : FakeSerialPort::write(bytes, count);
    }
};

class TransmitOnAFailingPort : public ::testing::Test {
  protected:
    FakeClock clock;
    PortFailingOnWrite serial{clock};
    FakeNetwork net;
    FakeView view{clock};
    NoViewWatcher watcher;
    PosixFiles files;
    Gateway gw{{clock, serial, net, view, watcher, view, view, view, files}};

    void SetUp() override {
        gw.setup.settings_text = "IPPort = 8080\r\nSerialPort = COM1,38400,0,8,1,0\r\n";
        ASSERT_EQ(start_gateway(gw), StartOutcome::running);
    }
    void TearDown() override { shutdown(gw); }
};

TEST_F(TransmitOnAFailingPort, WriteErrorLosesThePortAndShowsTheFrameNotSent) {
    const ConnectionHandle c = net.connect("192.168.1.20", 888);
    run_pass(gw);
    serial.write_fails = true;
    net.client_sends(c, kFrame);
    for (int k = 0; k < 10 && serial.open_now; ++k)
        run_pass(gw);
    EXPECT_FALSE(serial.open_now);
    EXPECT_TRUE(serial.writes.empty());
    ASSERT_EQ(view.traffic.size(), 3u);
    EXPECT_EQ(view.traffic[0].cell(TrafficColumn::hex), "0FF800010BED04");
    EXPECT_TRUE(
        view.traffic[0].cell(TrafficColumn::source).ends_with("»Not sent, serial link down"))
        << view.traffic[0].cell(TrafficColumn::source);
    EXPECT_EQ(view.traffic[1].cell(TrafficColumn::hex), "- serial -");
    EXPECT_EQ(view.traffic[2].icon, icon_client_frame);  // the frame as it came

    // Not kept for later: the port back, nothing is written and nothing counted.
    serial.write_fails = false;
    EXPECT_EQ(tx_bits_shown_over(gw, view, 150), 0);
    EXPECT_TRUE(serial.open_now);
    EXPECT_TRUE(serial.writes.empty());
}

// ---- Turns ----

TEST_F(TransmitQueue, ClientsTakeTurnsEachInItsOwnOrderSoALateFrameWaitsOneRoundOnly) {
    constexpr std::uint8_t backlog = 10;
    std::vector<ConnectionHandle> busy;
    for (std::uint16_t k = 0; k < 3; ++k)
        busy.push_back(net.connect("192.168.1.20", static_cast<std::uint16_t>(900 + k)));
    const ConnectionHandle late = net.connect("192.168.1.30", 950);
    run_pass(gw);
    // The address names the client, the data byte its own order.
    for (std::uint8_t k = 0; k < busy.size(); ++k) {
        Bytes frames;
        for (std::uint8_t n = 0; n < backlog; ++n) {
            const Bytes f = make_frame(0xF8, static_cast<std::uint8_t>(0x10 + k), {n});
            frames.insert(frames.end(), f.begin(), f.end());
        }
        net.client_sends(busy[k], frames);
    }
    run_pass(gw);
    const std::size_t written_before = serial.writes.size();
    const Bytes lone = make_frame(0xF8, 0x40, {0x00});
    net.client_sends(late, lone);
    const std::size_t total = busy.size() * backlog + 1;
    for (int pass = 0; pass < 10000 && serial.writes.size() < total; ++pass)
        run_pass(gw);
    ASSERT_EQ(serial.writes.size(), total);

    std::size_t lone_at = total;
    std::vector<std::uint8_t> next(busy.size(), 0);
    for (std::size_t w = 0; w < total; ++w) {
        const Bytes& f = serial.writes[w].bytes;
        if (f == lone) {
            lone_at = w;
            continue;
        }
        const std::size_t k = f[2] - 0x10u;
        ASSERT_LT(k, busy.size());
        EXPECT_EQ(f[4], next[k]++) << "client " << k << " out of its order";
    }
    // Behind one frame of each busy client at the most.
    EXPECT_LE(lone_at, written_before + busy.size());
}

// ---- The interface module's flow control ----

TEST_F(TransmitQueue, TheModuleHoldsWritesFromBufferFullUntilReadyOrFiveSeconds) {
    const Bytes buffer_full{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};
    const Bytes buffer_ready{0x0F, 0xF8, 0x00, 0x01, 0x0C, 0xEC, 0x04};
    const Bytes bus_off{0x0F, 0xF8, 0x00, 0x01, 0x09, 0xEF, 0x04};
    const ConnectionHandle c = connected_client();
    serial.deliver(buffer_full);
    run_pass(gw);
    EXPECT_EQ(view.status[StatusField::serial], "Velbus buffer full");

    Bytes frames;
    for (std::uint8_t k = 1; k <= 4; ++k) {
        const Bytes f = make_frame(0xF8, k, {0x02, 0x01});
        frames.insert(frames.end(), f.begin(), f.end());
    }
    net.client_sends(c, frames);
    run_for(2000);
    EXPECT_TRUE(serial.writes.empty());

    serial.deliver(buffer_ready);
    for (int k = 0; k < 100 && serial.writes.size() < 2; ++k)
        run_pass(gw);
    EXPECT_EQ(view.status[StatusField::serial], "Velbus serial COM1");

    // "Bus off" without its "bus active": writes go on after five seconds.
    serial.deliver(bus_off);
    run_pass(gw);
    EXPECT_EQ(view.status[StatusField::serial], "Velbus bus off");
    const std::int64_t held_at = clock.now;
    for (int k = 0; k < 500 && serial.writes.size() < 4; ++k)
        run_pass(gw);
    ASSERT_EQ(serial.writes.size(), 4u);
    EXPECT_GT(serial.writes[2].time_ms - held_at, module_hold_limit_ms);
    for (std::size_t k = 0; k < 4; ++k)
        EXPECT_EQ(serial.writes[k].bytes[2], k + 1) << "in order";
    EXPECT_EQ(view.status[StatusField::serial], "Velbus serial COM1");
}

// ---- Pacing ----

struct DueCase {
    std::int32_t delay;
    std::int64_t since_last_us;
    bool due;
};
void PrintTo(const DueCase& c, std::ostream* os) {
    *os << c.since_last_us << " us since the last step, delay " << c.delay;
}

class PacingRule : public ::testing::TestWithParam<DueCase> {};

// Counted to the microsecond, so that a pass that comes for something else
// early in the 51st millisecond cannot write a frame 50.1 ms after the last.
TEST_P(PacingRule, TransmitIsDueAMillisecondPastTheDelayToTheMicrosecond) {
    const DueCase& c = GetParam();
    BusQueue queue;
    queue.set_pacing_delay(c.delay);
    EXPECT_FALSE(queue.take(5000000));  // nothing waits; the next delay starts all the same
    EXPECT_EQ(queue.due(5000000 + c.since_last_us), c.due);
    EXPECT_EQ(queue.us_until_due(5000000 + c.since_last_us) == 0, c.due);
}

INSTANTIATE_TEST_SUITE_P(Delays, PacingRule,
                         ::testing::Values(DueCase{50, 0, false}, DueCase{50, 50999, false},
                                           DueCase{50, 51000, true}, DueCase{5, 5999, false},
                                           DueCase{5, 6000, true}, DueCase{5, 400000, true}),
                         [](const ::testing::TestParamInfo<DueCase>& p) {
                             return "Delay" + std::to_string(p.param.delay) + "After" +
                                    std::to_string(p.param.since_last_us) + "us";
                         });

TEST_F(TransmitQueue, BurstLeavesInThreePassesMoreThan50MsApart) {
    for (const std::int64_t gap : write_gaps_for_burst()) {
        EXPECT_GT(gap, 50);
        EXPECT_LE(gap, 53);
    }
}

TEST_F(TransmitQueue, WithTheDelayUntickedFramesLeaveMoreThan5MsApart) {
    view.set_checked(Control::delay_check, false);
    run_pass(gw);
    for (const std::int64_t gap : write_gaps_for_burst()) {
        EXPECT_GT(gap, 5);
        EXPECT_LT(gap, 50);
    }
}

}  // namespace
}  // namespace quillon::testing
