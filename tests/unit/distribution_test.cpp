// Distribution: who gets each net-bound frame, the 2 ms pause after each
// entry, and the client that stops taking what it is sent.
#include <string>
#include <vector>

#include "bus/distribution.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

const Bytes kFrame{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};
const Bytes kOther{0x0F, 0xF8, 0x00, 0x01, 0x0C, 0xEC, 0x04};

class Distribution : public GatewayHarness {
  protected:
    ConnectionHandle a = 0, b = 0, ended = 0, analyzer = 0;

    void SetUp() override {
        GatewayHarness::SetUp();
        ASSERT_EQ(start(), StartOutcome::running);
        a = net.connect("192.168.1.20", 888);
        b = net.connect("192.168.1.21", 889);
        ended = net.connect("192.168.1.22", 890);
        for (int k = 0; k < 3; ++k)
            run_pass(gw);
        net.client_closes(ended);
        analyzer = net.datagram("192.168.1.30", 5000, "hi");
        run_pass(gw);
        run_pass(gw);
        ASSERT_EQ(gw.clients.size(), 4u);
        clock.pauses.clear();
    }
    void queue(const Bytes& bytes, FrameStatus status, ConnectionHandle sender = 0,
               const std::string& origin = "$00 x from VelBUS") {
        QueueEntry e;
        e.origin = origin;
        e.length = static_cast<std::int32_t>(bytes.size());
        e.bytes = bytes;
        e.status = status;
        e.sender = sender;
        gw.net_bound.push_back(e);
    }
    std::size_t analyzer_lines() { return net.peer(analyzer).sent.size(); }
};

TEST_F(Distribution, BusFramesReachEveryLiveBusClientEachInItsOwnWrite) {
    const std::size_t lines = analyzer_lines();
    queue(kFrame, FrameStatus::valid);
    queue(kOther, FrameStatus::valid);
    distribute_to_clients(gw);
    for (ConnectionHandle h : {a, b}) {
        ASSERT_EQ(net.peer(h).sent.size(), 2u);
        EXPECT_EQ(net.peer(h).sent[0], kFrame);
        EXPECT_EQ(net.peer(h).sent[1], kOther);
    }
    EXPECT_TRUE(net.peer(ended).sent.empty());
    EXPECT_EQ(analyzer_lines(), lines);
    EXPECT_TRUE(gw.net_bound.empty());
}

TEST_F(Distribution, BadFramesGoToNobodyButStillCostTheirPause) {
    const std::int64_t before = clock.now;
    queue({0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04}, FrameStatus::bad_checksum);
    queue({0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x05}, FrameStatus::bad_length);
    queue(kFrame, FrameStatus::valid);
    distribute_to_clients(gw);
    EXPECT_EQ(clock.pauses, (std::vector<std::int32_t>{2, 2, 2}));
    EXPECT_EQ(clock.now - before, 6);
    EXPECT_EQ(net.peer(a).received_bytes(), kFrame);
    EXPECT_EQ(net.peer(b).received_bytes(), kFrame);
    EXPECT_TRUE(gw.net_bound.empty());
}

TEST_F(Distribution, EmptyQueueCostsNoPause) {
    distribute_to_clients(gw);
    EXPECT_TRUE(clock.pauses.empty());
    EXPECT_TRUE(net.peer(a).sent.empty());
}

TEST_F(Distribution, EchoCopyGoesToEveryBusClientButItsSender) {
    queue(kFrame, FrameStatus::echo_copy, a, "888");
    // A copy of a bad-checksum frame is echoed the same way.
    queue(kOther, FrameStatus::echo_copy, b, "889#");
    distribute_to_clients(gw);
    EXPECT_EQ(net.peer(a).received_bytes(), kOther);
    EXPECT_EQ(net.peer(b).received_bytes(), kFrame);
}

TEST_F(Distribution, ClientsWithTheSamePortOnOtherHostsAreToldApart) {
    const ConnectionHandle twin = net.connect("192.168.1.99", 888);
    run_pass(gw);
    net.client_sends(a, kFrame);
    run_pass(gw);
    EXPECT_TRUE(net.peer(a).sent.empty());
    EXPECT_EQ(net.peer(twin).received_bytes(), kFrame);
    EXPECT_EQ(net.peer(b).received_bytes(), kFrame);
}

TEST_F(Distribution, StalledClientIsDroppedPastTheBacklogLimitWhileOthersKeepReceiving) {
    net.peer(b).stalled = true;
    net.peer(b).pending = max_client_backlog_bytes - kFrame.size();
    queue(kFrame, FrameStatus::valid);
    distribute_to_clients(gw);
    EXPECT_EQ(net.pending_output_bytes(b), max_client_backlog_bytes);  // at the limit: kept
    EXPECT_TRUE(net.peer(b).open);

    const std::size_t lines = analyzer_lines();
    queue(kOther, FrameStatus::valid);
    distribute_to_clients(gw);
    EXPECT_FALSE(net.peer(b).open);
    EXPECT_TRUE(net.peer(b).reset_by_gateway);  // the kernel keeps nothing for it
    ASSERT_EQ(analyzer_lines(), lines + 1);
    const std::string del = net.peer(analyzer).received_lines().back();
    EXPECT_EQ(del.rfind("DEL IP,192.168.1.21:889,", 0), 0u) << del;
    for (const ClientRecord& c : gw.clients) {
        if (c.handle == b) {
            EXPECT_FALSE(c.live());
        }
    }

    queue(kFrame, FrameStatus::valid);
    distribute_to_clients(gw);
    EXPECT_EQ(net.peer(a).sent, (std::vector<Bytes>{kFrame, kOther, kFrame}));
    EXPECT_EQ(net.pending_output_bytes(b), max_client_backlog_bytes + kOther.size());
}

}  // namespace
}  // namespace quillon::testing
