// Distribution: who gets each net-bound frame, at least 2 ms after the
// previous one, and the client that stops taking what it is sent.
#include <algorithm>
#include <string>
#include <vector>

#include "clients/distribution.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

const Bytes kFrame{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};
const Bytes kOther{0x0F, 0xF8, 0x00, 0x01, 0x0C, 0xEC, 0x04};

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

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
        ASSERT_EQ(view.clients.size(), 4u);
        clock.pauses.clear();
    }
    // What the bus delivers, and the passes that send it out, one entry at a time.
    void from_bus(const Bytes& bytes) {
        serial.deliver(bytes);
        passes(8);
    }
    void passes(int n) {
        for (int k = 0; k < n; ++k)
            run_pass(gw);
    }
    // The gaps between the sends to a client, in ms.
    std::vector<std::int64_t> gaps(ConnectionHandle h) {
        std::vector<std::int64_t> g;
        const auto& at = net.peer(h).sent_at;
        for (std::size_t k = 1; k < at.size(); ++k)
            g.push_back(at[k] - at[k - 1]);
        return g;
    }
};

TEST_F(Distribution, BusFramesReachEveryLiveBusClientEachInItsOwnWrite2MsApart) {
    const std::size_t lines = net.peer(analyzer).sent.size();
    from_bus(join({kFrame, kOther, kFrame}));
    for (ConnectionHandle h : {a, b}) {
        EXPECT_EQ(net.peer(h).sent, (std::vector<Bytes>{kFrame, kOther, kFrame}));
        EXPECT_EQ(gaps(h), (std::vector<std::int64_t>{2, 2}));
    }
    EXPECT_TRUE(net.peer(ended).sent.empty());
    // An analyzer gets the frames' feed lines, never the frames themselves.
    const auto feed = net.peer(analyzer).received_lines();
    ASSERT_EQ(feed.size(), lines + 3);
    for (std::size_t k = lines; k < feed.size(); ++k)
        EXPECT_TRUE(feed[k].starts_with("V->N,")) << feed[k];
}

TEST_F(Distribution, ABacklogPastItsAllowanceGoesOutBackToBackAndItsLastEntriesKeepTheSpacing) {
    constexpr std::size_t burst = spaced_backlog_entries + 36;
    std::vector<Bytes> frames;
    for (std::size_t n = 0; n < burst; ++n)
        frames.push_back(make_frame(0xFB, static_cast<std::uint8_t>(n), {0x55}));
    Bytes all;
    for (const Bytes& f : frames)
        all.insert(all.end(), f.begin(), f.end());
    serial.deliver(all);
    for (int k = 0; k < 1000 && net.peer(a).sent.size() < burst; ++k)
        run_pass(gw);

    EXPECT_EQ(net.peer(a).sent, frames) << "each frame in a send of its own, in order";
    EXPECT_EQ(net.peer(b).sent, frames);
    const auto& at = net.peer(a).sent_at;
    ASSERT_EQ(at.size(), burst);
    // The surplus in the pass that read it; the entries left, 2 ms apart.
    const std::size_t surplus = burst - spaced_backlog_entries;
    EXPECT_EQ(std::count(at.begin(), at.end(), at.front()), static_cast<std::ptrdiff_t>(surplus));
    for (std::size_t k = surplus; k < at.size(); ++k)
        EXPECT_EQ(at[k] - at[k - 1], 2) << "entry " << k;
}

TEST_F(Distribution, BadFramesGoToNobodyButStillTakeTheirTurn) {
    const std::int64_t came = clock.now;
    from_bus(join({{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04},  // bad checksum
                   {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x05},  // bad length
                   kFrame}));
    ASSERT_EQ(view.traffic.size(), 3u);  // one entry each
    EXPECT_EQ(net.peer(a).sent, std::vector<Bytes>{kFrame});
    EXPECT_EQ(net.peer(b).sent, std::vector<Bytes>{kFrame});
    // Two turns of 2 ms went to the bad frames.
    ASSERT_EQ(net.peer(a).sent_at.size(), 1u);
    EXPECT_EQ(net.peer(a).sent_at[0] - came, 4);
    EXPECT_TRUE(clock.pauses.empty()) << "the loop was held";
}

TEST_F(Distribution, EchoCopyGoesToEveryBusClientButItsSenderToldApartFromSamePortClients) {
    const ConnectionHandle twin = net.connect("192.168.1.99", 888);
    run_pass(gw);
    net.client_sends(a, kFrame);
    run_pass(gw);
    // A copy of a bad-checksum frame is echoed the same way.
    Bytes bad = kOther;
    bad[5] = 0x00;
    net.client_sends(b, bad);
    passes(3);

    EXPECT_EQ(net.peer(a).sent, std::vector<Bytes>{bad});
    EXPECT_EQ(net.peer(b).sent, std::vector<Bytes>{kFrame});
    EXPECT_EQ(net.peer(twin).sent, (std::vector<Bytes>{kFrame, bad}));
    EXPECT_EQ(gaps(twin), std::vector<std::int64_t>{2});
    EXPECT_TRUE(net.peer(ended).sent.empty());
}

TEST_F(Distribution, StalledClientIsDroppedPastTheBacklogLimitWhileOthersKeepReceiving) {
    net.peer(b).stalled = true;
    net.peer(b).pending = max_client_backlog_bytes - kFrame.size();
    from_bus(kFrame);
    EXPECT_EQ(net.peer(b).pending, max_client_backlog_bytes);  // at the limit: kept
    EXPECT_TRUE(net.peer(b).open);

    from_bus(kOther);
    EXPECT_FALSE(net.peer(b).open);
    EXPECT_TRUE(net.peer(b).reset_by_gateway);  // the kernel keeps nothing for it
    const auto lines = net.peer(analyzer).received_lines();
    EXPECT_EQ(std::count_if(
                  lines.begin(), lines.end(),
                  [](const std::string& l) { return l.starts_with("DEL IP,192.168.1.21:889,"); }),
              1);
    ASSERT_NE(view.client_row("192.168.1.21"), nullptr);
    EXPECT_FALSE(view.client_row("192.168.1.21")->live);

    from_bus(kFrame);
    EXPECT_EQ(net.peer(a).sent, (std::vector<Bytes>{kFrame, kOther, kFrame}));
    EXPECT_EQ(net.peer(b).pending, max_client_backlog_bytes + kOther.size());
}

}  // namespace
}  // namespace quillon::testing
