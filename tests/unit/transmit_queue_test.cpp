// The bus-bound queue: one frame per transmit step, what is written and what
// is dropped, and the pacing that keeps frames more than the delay apart.
#include <string>
#include <vector>

#include "bus/transmit_queue.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

const Bytes kFrame{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};

class TransmitQueue : public GatewayHarness {
  protected:
    void SetUp() override {
        GatewayHarness::SetUp();
        ASSERT_EQ(start(), StartOutcome::running);
    }
    void queue(const Bytes& bytes, FrameStatus status) {
        QueueEntry e;
        e.origin = "888";
        e.length = static_cast<std::int32_t>(bytes.size());
        e.bytes = bytes;
        e.status = status;
        gw.bus_bound.push_back(e);
    }
    // Three frames from one client in one read; passes run until all are written.
    std::vector<std::int64_t> write_gaps_for_burst() {
        const ConnectionHandle c = net.connect("192.168.1.20", 888);
        run_pass(gw);
        Bytes burst;
        for (std::uint8_t k = 1; k <= 3; ++k) {
            const Bytes f = make_frame(0xF8, k, 0x02, {0x02, 0x01});
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

TEST_F(TransmitQueue, EmptyQueueWritesNothingButMovesTheLastTransmitTime) {
    gw.state.bus_tx_bytes = 9;
    clock.advance(1234);
    transmit_to_bus(gw);
    EXPECT_TRUE(serial.writes.empty());
    EXPECT_EQ(gw.state.bus_tx_bytes, 9);
    EXPECT_EQ(gw.state.last_bus_tx_ms, clock.now);
}

struct StatusCase {
    const char* name;
    Bytes bytes;
    FrameStatus status;
    bool written;
};
void PrintTo(const StatusCase& c, std::ostream* os) {
    *os << c.name;
}

class TransmitByStatus : public TransmitQueue, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(TransmitByStatus, WritesUnchangedOrDropsUnsent) {
    const StatusCase& c = GetParam();
    queue(c.bytes, c.status);
    queue(kFrame, FrameStatus::valid);
    transmit_to_bus(gw);
    EXPECT_EQ(gw.bus_bound.size(), 1u) << "the entry leaves the queue either way";
    if (c.written) {
        ASSERT_EQ(serial.writes.size(), 1u);
        EXPECT_EQ(serial.writes[0].bytes, c.bytes);
        EXPECT_EQ(gw.state.bus_tx_bytes, static_cast<std::int32_t>(c.bytes.size()));
    } else {
        EXPECT_TRUE(serial.writes.empty());
        EXPECT_EQ(gw.state.bus_tx_bytes, 0);
    }
    EXPECT_EQ(gw.state.last_bus_tx_ms, clock.now);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, TransmitByStatus,
    ::testing::Values(StatusCase{"Valid", kFrame, FrameStatus::valid, true},
                      StatusCase{"BadChecksumGoesOutAsSent",
                                 {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04},
                                 FrameStatus::bad_checksum,
                                 true},
                      StatusCase{"BadLengthPieceGoesOutAsSent",
                                 {0x0F, 0xF8, 0x00},
                                 FrameStatus::bad_length,
                                 true},
                      StatusCase{"EchoCopyIsDroppedUnsent", kFrame, FrameStatus::echo_copy, false}),
    [](const ::testing::TestParamInfo<StatusCase>& p) { return std::string(p.param.name); });

TEST_F(TransmitQueue, OneEntryPerStepOldestFirst) {
    queue({0x0F, 0x01}, FrameStatus::bad_length);
    queue({0x0F, 0x02}, FrameStatus::bad_length);
    transmit_to_bus(gw);
    ASSERT_EQ(serial.writes.size(), 1u);
    EXPECT_EQ(serial.writes[0].bytes, (Bytes{0x0F, 0x01}));
    transmit_to_bus(gw);
    ASSERT_EQ(serial.writes.size(), 2u);
    EXPECT_EQ(serial.writes[1].bytes, (Bytes{0x0F, 0x02}));
    EXPECT_EQ(gw.state.bus_tx_bytes, 4);
    EXPECT_TRUE(gw.bus_bound.empty());
}

TEST_F(TransmitQueue, WriteErrorLosesThePortAndShowsTheFrameNotSent) {
    queue(kFrame, FrameStatus::valid);
    serial.failed = true;
    transmit_to_bus(gw);
    EXPECT_TRUE(gw.bus_bound.empty());
    EXPECT_EQ(gw.state.bus_tx_bytes, 0);
    EXPECT_EQ(gw.serial_link, SerialLinkState::lost);
    ASSERT_EQ(view.traffic.size(), 2u);
    EXPECT_EQ(view.traffic[0].cells[2], "0FF800010BED04");
    EXPECT_TRUE(view.traffic[0].cells[5].ends_with("»Not sent, serial link down"));
    EXPECT_EQ(view.traffic[1].cells[2], "- serial -");
}

// ---- The interface module's flow control ----

TEST_F(TransmitQueue, TheModuleHoldsWritesFromBufferFullUntilReadyOrFiveSeconds) {
    const Bytes buffer_full{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};
    const Bytes buffer_ready{0x0F, 0xF8, 0x00, 0x01, 0x0C, 0xEC, 0x04};
    const Bytes bus_off{0x0F, 0xF8, 0x00, 0x01, 0x09, 0xEF, 0x04};
    const ConnectionHandle c = net.connect("192.168.1.20", 888);
    run_pass(gw);
    serial.deliver(buffer_full);
    run_pass(gw);
    EXPECT_EQ(view.status[status_field::serial], "Velbus buffer full");

    Bytes frames;
    for (std::uint8_t k = 1; k <= 4; ++k) {
        const Bytes f = make_frame(0xF8, k, 0x02, {0x02, 0x01});
        frames.insert(frames.end(), f.begin(), f.end());
    }
    net.client_sends(c, frames);
    for (int k = 0; k < 100; ++k)
        run_pass(gw);  // about two seconds
    EXPECT_TRUE(serial.writes.empty());

    serial.deliver(buffer_ready);
    for (int k = 0; k < 100 && serial.writes.size() < 2; ++k)
        run_pass(gw);
    EXPECT_EQ(view.status[status_field::serial], "Velbus serial COM1");

    // "Bus off" without its "bus active": writes go on after five seconds.
    serial.deliver(bus_off);
    run_pass(gw);
    EXPECT_EQ(view.status[status_field::serial], "Velbus bus off");
    const std::int64_t held_at = clock.now;
    for (int k = 0; k < 500 && serial.writes.size() < 4; ++k)
        run_pass(gw);
    ASSERT_EQ(serial.writes.size(), 4u);
    EXPECT_GT(serial.writes[2].time_ms - held_at, module_hold_limit_ms - 25);
    for (std::size_t k = 0; k < 4; ++k)
        EXPECT_EQ(serial.writes[k].bytes[2], k + 1) << "in order";
    EXPECT_EQ(view.status[status_field::serial], "Velbus serial COM1");
}

// ---- Pacing ----

struct DueCase {
    std::int32_t delay;
    std::int64_t since_last;
    bool due;
};
void PrintTo(const DueCase& c, std::ostream* os) {
    *os << c.since_last << " ms since the last step, delay " << c.delay;
}

class PacingRule : public TransmitQueue, public ::testing::WithParamInterface<DueCase> {};

TEST_P(PacingRule, TransmitIsDueOnlyStrictlyAfterTheDelay) {
    const DueCase& c = GetParam();
    gw.state.pacing_delay_ms = c.delay;
    gw.state.last_bus_tx_ms = 5000;
    EXPECT_EQ(transmit_due(gw, 5000 + c.since_last), c.due);
    EXPECT_EQ(ms_until_transmit_due(gw, 5000 + c.since_last) == 0, c.due);
}

INSTANTIATE_TEST_SUITE_P(Delays, PacingRule,
                         ::testing::Values(DueCase{50, 0, false}, DueCase{50, 50, false},
                                           DueCase{50, 51, true}, DueCase{5, 5, false},
                                           DueCase{5, 6, true}, DueCase{5, 400, true}),
                         [](const ::testing::TestParamInfo<DueCase>& p) {
                             return "Delay" + std::to_string(p.param.delay) + "After" +
                                    std::to_string(p.param.since_last);
                         });

TEST_F(TransmitQueue, BurstLeavesInThreePassesMoreThan50MsApart) {
    for (const std::int64_t gap : write_gaps_for_burst()) {
        EXPECT_GT(gap, 50);
        EXPECT_LE(gap, 53);
    }
}

TEST_F(TransmitQueue, WithTheDelayUntickedFramesLeaveMoreThan5MsApart) {
    view.delay = false;
    view.click(control::delay_check);
    run_pass(gw);
    ASSERT_EQ(gw.state.pacing_delay_ms, 5);
    for (const std::int64_t gap : write_gaps_for_burst()) {
        EXPECT_GT(gap, 5);
        EXPECT_LT(gap, 50);
    }
}

}  // namespace
}  // namespace quillon::testing
