// Client data intake: cutting a client's byte stream into frames, and how the
// frames of one client reach the bus and the other clients.
#include <algorithm>

#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Bytes relay_on = make_frame(0xF8, 0x01, {0x02, 0x01});
const Bytes relay_off = make_frame(0xF8, 0x02, {0x01, 0x04});

class ClientTraffic : public GatewayHarness {
  protected:
    ConnectionHandle a = 0;

    void SetUp() override {
        GatewayHarness::SetUp();
        ASSERT_EQ(start(), StartOutcome::running);
        a = net.connect("192.168.1.20", 888);
        run_pass(gw);
    }
    void passes(int n) {
        for (int i = 0; i < n; ++i)
            run_pass(gw);
    }
    // Passes until the bus-bound queue has run dry: what reached the bus, frame by frame.
    std::vector<Bytes> bus_frames() {
        std::int64_t last_write = clock.now;
        for (int guard = 0; guard < 100000 && clock.now - last_write < 1000; ++guard) {
            const std::size_t before = serial.writes.size();
            run_pass(gw);
            if (serial.writes.size() != before) last_write = clock.now;
        }
        std::vector<Bytes> frames;
        for (const auto& w : serial.writes)
            frames.push_back(w.bytes);
        return frames;
    }
    // The "Nb Err" cell of the client at this address, as the list shows it.
    std::string errors_shown(const std::string& address) const {
        const ClientRow* row = view.client_row(address);
        return row != nullptr ? row->cell(ClientColumn::errors) : "no row";
    }
};

// One client sends, another one watches what is echoed to it.
class ClientIntake : public ClientTraffic {
  protected:
    ConnectionHandle b = 0;

    void SetUp() override {
        ClientTraffic::SetUp();
        b = net.connect("192.168.1.21", 889);
        run_pass(gw);
    }
    // One read of what `a` sent, in one pass: the traffic rows it added, top first.
    std::vector<TrafficRow> read_from_a(const Bytes& bytes) {
        const std::size_t before = view.traffic.size();
        net.client_sends(a, bytes);
        run_pass(gw);
        const auto added = static_cast<std::ptrdiff_t>(view.traffic.size() - before);
        return {view.traffic.begin(), view.traffic.begin() + added};
    }
};

TEST_F(ClientIntake, TwoFramesBackToBackGiveTwoEntriesAndTwoEchoCopies) {
    const auto rows = read_from_a(join({relay_on, relay_off}));

    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].cell(TrafficColumn::hex), hex_dump(relay_on));
    EXPECT_EQ(rows[0].cell(TrafficColumn::hex), hex_dump(relay_off));
    for (const TrafficRow& row : rows) {
        EXPECT_EQ(row.icon, icon_client_frame);
        EXPECT_EQ(row.cell(TrafficColumn::length), "8");
        EXPECT_TRUE(row.cell(TrafficColumn::source).ends_with(" from 192.168.1.20:888"))
            << row.cell(TrafficColumn::source);
    }
    run_pass(gw);  // the second echo goes out 2 ms after the first
    EXPECT_EQ(net.peer(b).sent, (std::vector<Bytes>{relay_on, relay_off}));
    EXPECT_EQ(view.status[StatusField::client_frames], "N:2");
    EXPECT_EQ(bus_frames(), (std::vector<Bytes>{relay_on, relay_off}));
}

TEST_F(ClientIntake, NoiseBeforeAFrameLeavesNoTrace) {
    const auto rows = read_from_a(join({{0x01, 0x02, 0x03}, relay_on}));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].cell(TrafficColumn::hex), hex_dump(relay_on));
    EXPECT_EQ(rows[0].icon, icon_client_frame);
    EXPECT_EQ(net.peer(b).received_bytes(), relay_on);
    EXPECT_EQ(bus_frames(), std::vector<Bytes>{relay_on});
}

TEST_F(ClientIntake, ABadChecksumIsQueuedAsItCameAndEchoedToTheOthersButNotToTheSender) {
    Bytes frame = relay_on;
    frame[6] = 0x00;
    const auto rows = read_from_a(frame);

    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].cell(TrafficColumn::source),
              "$01 (RelOn N°1 (%00000001)) from 192.168.1.20:888»Bad CSum F3");
    EXPECT_EQ(rows[0].icon, icon_client_frame_bad);
    EXPECT_TRUE(net.peer(a).sent.empty());
    EXPECT_EQ(net.peer(b).sent, std::vector<Bytes>{frame});
    EXPECT_EQ(bus_frames(), std::vector<Bytes>{frame});
    EXPECT_EQ(errors_shown("192.168.1.20"), "1");
}

TEST_F(ClientIntake, TheRtrFlagIsIgnoredInTheLengthByte) {
    const Bytes rtr = make_frame(0xFB, 0x05, {1, 2, 3, 4, 5, 6, 7, 8}, true);
    const auto rows = read_from_a(rtr);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].cell(TrafficColumn::length), "14");
    EXPECT_EQ(rows[0].icon, icon_client_frame);
    EXPECT_EQ(net.peer(b).sent, std::vector<Bytes>{rtr});
}

TEST_F(ClientIntake, AStartByteInsideAValidFrameDoesNotCutIt) {
    const Bytes frame = make_frame(0xFB, 0x0F, {0x0F, 0x0F});
    const auto rows = read_from_a(frame);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].cell(TrafficColumn::hex), hex_dump(frame));
    EXPECT_EQ(net.peer(b).sent, std::vector<Bytes>{frame});
}

TEST_F(ClientIntake, AStartByteEndingAReadIsHeldAndCompletedByTheNext) {
    EXPECT_EQ(read_from_a(relay_off).size(), 1u);
    EXPECT_TRUE(read_from_a({0x33, 0x44, relay_on[0]}).empty());
    EXPECT_EQ(view.status[StatusField::client_frames], "N:1");

    const auto rows = read_from_a(Bytes(relay_on.begin() + 1, relay_on.end()));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].cell(TrafficColumn::hex), hex_dump(relay_on));
    EXPECT_EQ(rows[0].icon, icon_client_frame);
    run_pass(gw);  // its echo takes its turn
    EXPECT_EQ(net.peer(b).sent, (std::vector<Bytes>{relay_off, relay_on}));
    EXPECT_EQ(bus_frames(), (std::vector<Bytes>{relay_off, relay_on}));
}

TEST_F(ClientIntake, AHeldStartWithAWrongEndByteIsABadLengthRunUpToTheNextStartByte) {
    EXPECT_TRUE(read_from_a({0x0F}).empty());
    const Bytes rest{0xFB, 0x05, 0x01, 0x0A, 0xEA, 0x00};  // 0x00 where 0x04 belongs
    const auto rows = read_from_a(join({rest, relay_on}));

    ASSERT_EQ(rows.size(), 2u);
    const TrafficRow& piece = rows[1];
    EXPECT_EQ(piece.cell(TrafficColumn::time), "");  // a piece carries no time
    EXPECT_EQ(piece.cell(TrafficColumn::hex), hex_dump(join({{0x0F}, rest})));
    EXPECT_EQ(piece.cell(TrafficColumn::length), "7");
    EXPECT_TRUE(
        piece.cell(TrafficColumn::source).ends_with(" from 192.168.1.20:888»Bad Len 7 bytes"))
        << piece.cell(TrafficColumn::source);
    EXPECT_EQ(piece.icon, icon_client_frame_bad);
    EXPECT_EQ(rows[0].cell(TrafficColumn::hex), hex_dump(relay_on));
    EXPECT_EQ(net.peer(b).sent, std::vector<Bytes>{relay_on});  // no echo copy of the run
    EXPECT_EQ(bus_frames(), (std::vector<Bytes>{join({{0x0F}, rest}), relay_on}));
}

TEST_F(ClientIntake, BytesWithoutAStartByteAddNothingAndChangeNothing) {
    EXPECT_EQ(read_from_a(relay_on).size(), 1u);
    clock.advance(10000);

    EXPECT_TRUE(read_from_a({0x01, 0x02, 0x04, 0xFF}).empty());
    EXPECT_EQ(net.peer(b).sent, std::vector<Bytes>{relay_on});
    EXPECT_EQ(view.status[StatusField::client_frames], "N:1");
    EXPECT_EQ(errors_shown("192.168.1.20"), "0");
    EXPECT_EQ(bus_frames(), std::vector<Bytes>{relay_on});
}

TEST_F(ClientIntake, AFrameSplitAtAnyByteAcrossTwoReadsGivesOneValidEntry) {
    const Bytes longest =
        make_frame(0xFB, 0x21, {0xF0, 'K', 'i', 't', 'c', 'h', 'e', 'n', 1, 2, 3, 4, 5, 6, 7});
    ASSERT_EQ(longest.size(), 21u);
    for (std::size_t cut = 1; cut < longest.size(); ++cut) {
        SCOPED_TRACE("cut after byte " + std::to_string(cut));
        const auto at = static_cast<std::ptrdiff_t>(cut);
        EXPECT_TRUE(read_from_a(Bytes(longest.begin(), longest.begin() + at)).empty());
        const auto rows = read_from_a(Bytes(longest.begin() + at, longest.end()));
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].cell(TrafficColumn::hex), hex_dump(longest));
        EXPECT_EQ(rows[0].icon, icon_client_frame);
        run_pass(gw);  // its echo takes its turn
        EXPECT_EQ(net.peer(b).sent.back(), longest);
    }
    EXPECT_EQ(net.peer(b).sent.size(), 20u);
    EXPECT_EQ(bus_frames(), std::vector<Bytes>(20, longest));
    EXPECT_EQ(errors_shown("192.168.1.20"), "0");
}

// --- several clients, through whole passes of the loop ---

TEST_F(ClientTraffic, AnEchoNeverReachesItsSenderAndSamePortClientsAreToldApart) {
    const ConnectionHandle b = net.connect("192.168.1.21", 888);
    const ConnectionHandle c = net.connect("192.168.1.22", 889);
    passes(2);

    net.client_sends(a, relay_on);
    passes(1);
    EXPECT_TRUE(net.peer(a).sent.empty());
    EXPECT_EQ(net.peer(b).received_bytes(), relay_on);
    EXPECT_EQ(net.peer(c).received_bytes(), relay_on);
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::source),
              "$01 (RelOn N°1 (%00000001)) from 192.168.1.20:888");

    net.client_sends(b, relay_off);
    passes(4);  // its echo waits its turn, 2 ms after the last one
    EXPECT_EQ(net.peer(a).received_bytes(), relay_off);
    EXPECT_EQ(net.peer(b).received_bytes(), relay_on);
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::source).substr(0, 6), "$02 (R");
    EXPECT_NE(view.traffic.front().cell(TrafficColumn::source).find(" from 192.168.1.21:888"),
              std::string::npos);
}

TEST_F(ClientTraffic, AFloodPausesReadingAbove200WaitingFramesAndNothingIsDropped) {
    const ConnectionHandle b = net.connect("192.168.1.21", 889);
    passes(1);
    Bytes flood;
    for (int k = 0; k < 700; ++k) {
        const Bytes f = make_frame(0xFB, static_cast<std::uint8_t>(k % 200 + 1), {});
        flood.insert(flood.end(), f.begin(), f.end());
    }
    net.client_sends(a, flood);  // 4200 bytes: more than one read can take
    passes(1);
    EXPECT_TRUE(net.peer(a).paused);
    EXPECT_FALSE(net.peer(a).incoming.empty());

    // Another client is served as usual meanwhile.
    net.client_sends(b, relay_on);
    passes(1);
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::source),
              "$01 (RelOn N°1 (%00000001)) from 192.168.1.21:889");

    int guard = 0;
    while (net.peer(a).paused && ++guard < 5000)
        run_pass(gw);
    EXPECT_FALSE(net.peer(a).paused);
    // Every frame of `a` read so far was echoed to `b`; those not written yet still wait.
    const auto written_from_a = std::count_if(serial.writes.begin(), serial.writes.end(),
                                              [](const auto& w) { return w.bytes != relay_on; });
    EXPECT_EQ(static_cast<std::ptrdiff_t>(net.peer(b).sent.size()) - written_from_a, 200);

    const std::vector<Bytes> written = bus_frames();
    EXPECT_TRUE(net.peer(a).incoming.empty());
    ASSERT_EQ(written.size(), 701u);
    EXPECT_EQ(written[0], Bytes(flood.begin(), flood.begin() + 6));
    Bytes from_a;
    for (const Bytes& w : written) {
        if (w != relay_on) from_a.insert(from_a.end(), w.begin(), w.end());
    }
    EXPECT_EQ(from_a, flood);
    EXPECT_EQ(net.peer(b).received_bytes(), flood);  // every echo copy, in order
}

TEST_F(ClientTraffic, SilentGarbledAndVanishingClientsChangeNothingForTheOthers) {
    const ConnectionHandle silent = net.connect("192.168.1.21", 901);
    const ConnectionHandle garbler = net.connect("192.168.1.22", 902);
    const ConnectionHandle leaver = net.connect("192.168.1.23", 903);
    passes(3);

    net.client_sends(garbler, {0x01, 0x02, 0x03, 0xFE, 0x04});
    passes(1);
    const Bytes half(relay_off.begin(), relay_off.begin() + 5);
    net.client_sends(leaver, half);
    passes(1);
    EXPECT_TRUE(view.traffic.empty());
    net.client_closes(leaver);
    passes(1);
    // What it sent before leaving is not lost without a trace: a bad-length row.
    ASSERT_EQ(view.traffic.size(), 1u);
    EXPECT_EQ(view.traffic[0].cell(TrafficColumn::hex), hex_dump(half));
    EXPECT_TRUE(view.traffic[0]
                    .cell(TrafficColumn::source)
                    .ends_with(" from 192.168.1.23:903»Bad Len 5 bytes"));
    EXPECT_EQ(errors_shown("192.168.1.23"), "1");

    const Bytes from_bus = make_frame(0xFB, 0x30, {0x0A});
    serial.deliver(from_bus);
    net.client_sends(a, relay_on);
    passes(5);

    ASSERT_EQ(view.traffic.size(), 3u);
    EXPECT_EQ(bus_frames(), (std::vector<Bytes>{half, relay_on}));
    EXPECT_EQ(net.peer(a).received_bytes(), from_bus);
    // The echo copy is queued before the bus is read in the same pass.
    EXPECT_EQ(net.peer(silent).received_bytes(), join({relay_on, from_bus}));
    EXPECT_EQ(net.peer(garbler).received_bytes(), join({relay_on, from_bus}));
    EXPECT_TRUE(net.peer(leaver).sent.empty());
    EXPECT_EQ(errors_shown("192.168.1.22"), "0");
}

TEST_F(ClientTraffic, APieceNothingMoreComesForIsGivenUpAfterASecond) {
    net.client_sends(a, {0x0F});
    passes(1);
    clock.advance(600);
    net.client_sends(a, {0xF8, 0x01});
    passes(1);
    clock.advance(900);  // each pass waits a little too
    passes(1);
    EXPECT_TRUE(view.traffic.empty());

    clock.advance(200);
    passes(1);
    ASSERT_EQ(view.traffic.size(), 1u);
    EXPECT_EQ(view.traffic[0].cell(TrafficColumn::hex), "0FF801");
    EXPECT_EQ(view.traffic[0].icon, icon_client_frame_bad);
    EXPECT_EQ(errors_shown("192.168.1.20"), "1");

    // The rest, come too late, starts no frame.
    net.client_sends(a, {0x02, 0x01, 0xF5, 0x04});
    passes(3);
    EXPECT_EQ(view.traffic.size(), 1u);
}

}  // namespace
}  // namespace quillon::testing
