// Client data intake: cutting a client's byte stream into frames, and how the
// frames of one client reach the bus and the other clients.
#include <stdexcept>

#include "clients/client_table.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class ClientIntake : public GatewayHarness {
  protected:
    ConnectionHandle a = 0;

    void SetUp() override {
        GatewayHarness::SetUp();
        ASSERT_EQ(start(), StartOutcome::running);
        a = net.connect("192.168.1.20", 888);
        handle_network_event(gw, net.poll());
    }
    // One read of what the client sent; the intake's count.
    std::int32_t read_from(ConnectionHandle h, const Bytes& bytes) {
        net.client_sends(h, bytes);
        return handle_network_event(gw, net.poll());
    }
    const ClientRecord& record_of(ConnectionHandle h) const {
        for (const ClientRecord& c : gw.clients) {
            if (c.handle == h) return c;
        }
        throw std::runtime_error("no record");
    }
};

const Bytes relay_on = make_frame(0xF8, 0x01, 0x02, {0x02, 0x01});
const Bytes relay_off = make_frame(0xF8, 0x02, 0x02, {0x01, 0x04});

TEST_F(ClientIntake, TwoFramesBackToBackGiveTwoEntriesAndTwoEchoCopies) {
    EXPECT_EQ(read_from(a, join({relay_on, relay_off})), 2);

    ASSERT_EQ(gw.bus_bound.size(), 2u);
    ASSERT_EQ(gw.net_bound.size(), 2u);
    EXPECT_EQ(gw.bus_bound[0].bytes, relay_on);
    EXPECT_EQ(gw.bus_bound[1].bytes, relay_off);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(gw.bus_bound[k].status, FrameStatus::valid);
        EXPECT_EQ(gw.bus_bound[k].origin, "888");
        EXPECT_EQ(gw.bus_bound[k].length, 8);
        EXPECT_EQ(gw.net_bound[k].status, FrameStatus::echo_copy);
        EXPECT_EQ(gw.net_bound[k].origin, "888");
        EXPECT_EQ(gw.net_bound[k].bytes, gw.bus_bound[k].bytes);
        EXPECT_EQ(gw.net_bound[k].time, gw.bus_bound[k].time);
    }
    EXPECT_EQ(view.status[status_field::client_frames], "N:2");
}

TEST_F(ClientIntake, NoiseBeforeAFrameLeavesNoTrace) {
    EXPECT_EQ(read_from(a, join({{0x01, 0x02, 0x03}, relay_on})), 1);
    ASSERT_EQ(gw.bus_bound.size(), 1u);
    EXPECT_EQ(gw.bus_bound[0].bytes, relay_on);
    EXPECT_EQ(gw.bus_bound[0].status, FrameStatus::valid);
}

TEST_F(ClientIntake, BadChecksumIsQueuedWithAHashAndStillEchoed) {
    Bytes frame = relay_on;
    frame[6] ^= 0x01;
    EXPECT_EQ(read_from(a, frame), 1);

    ASSERT_EQ(gw.bus_bound.size(), 1u);
    EXPECT_EQ(gw.bus_bound[0].status, FrameStatus::bad_checksum);
    EXPECT_EQ(gw.bus_bound[0].origin, "888#");
    ASSERT_EQ(gw.net_bound.size(), 1u);
    EXPECT_EQ(gw.net_bound[0].status, FrameStatus::echo_copy);
    EXPECT_EQ(gw.net_bound[0].origin, "888#");
    EXPECT_EQ(gw.net_bound[0].bytes, frame);
}

TEST_F(ClientIntake, TheRtrFlagIsIgnoredInTheLengthByte) {
    const Bytes rtr = make_frame(0xFB, 0x05, 0x48, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(read_from(a, rtr), 1);
    ASSERT_EQ(gw.bus_bound.size(), 1u);
    EXPECT_EQ(gw.bus_bound[0].length, 14);
    EXPECT_EQ(gw.bus_bound[0].status, FrameStatus::valid);
}

TEST_F(ClientIntake, AStartByteInsideAValidFrameDoesNotCutIt) {
    const Bytes frame = make_frame(0xFB, 0x0F, 0x02, {0x0F, 0x0F});
    EXPECT_EQ(read_from(a, frame), 1);
    ASSERT_EQ(gw.bus_bound.size(), 1u);
    EXPECT_EQ(gw.bus_bound[0].bytes, frame);
}

TEST_F(ClientIntake, AStartByteEndingAReadIsHeldAndCompletedByTheNext) {
    EXPECT_EQ(read_from(a, relay_off), 1);
    EXPECT_EQ(read_from(a, {0x33, 0x44, relay_on[0]}), 0);
    EXPECT_EQ(gw.bus_bound.size(), 1u);
    EXPECT_EQ(view.status[status_field::client_frames], "N:1");

    EXPECT_EQ(read_from(a, Bytes(relay_on.begin() + 1, relay_on.end())), 1);
    ASSERT_EQ(gw.bus_bound.size(), 2u);
    EXPECT_EQ(gw.bus_bound[1].bytes, relay_on);
    EXPECT_EQ(gw.bus_bound[1].status, FrameStatus::valid);
    EXPECT_EQ(gw.net_bound.size(), 2u);
}

TEST_F(ClientIntake, AHeldStartWithAWrongEndByteIsABadLengthRunUpToTheNextStartByte) {
    EXPECT_EQ(read_from(a, {0x0F}), 0);
    const Bytes rest{0xFB, 0x05, 0x01, 0x0A, 0xEA, 0x00};  // 0x00 where 0x04 belongs
    EXPECT_EQ(read_from(a, join({rest, relay_on})), 2);

    ASSERT_EQ(gw.bus_bound.size(), 2u);
    const QueueEntry& piece = gw.bus_bound[0];
    EXPECT_EQ(piece.status, FrameStatus::bad_length);
    EXPECT_EQ(piece.origin, "888 ");
    EXPECT_EQ(piece.time, "");
    EXPECT_EQ(piece.length, 7);
    EXPECT_EQ(piece.bytes, join({{0x0F}, rest}));
    EXPECT_EQ(gw.bus_bound[1].bytes, relay_on);
    ASSERT_EQ(gw.net_bound.size(), 1u);  // no echo copy of the bad-length run
    EXPECT_EQ(gw.net_bound[0].bytes, relay_on);
}

TEST_F(ClientIntake, BytesWithoutAStartByteAddNothingAndChangeNothing) {
    EXPECT_EQ(read_from(a, relay_on), 1);
    const Date activity = record_of(a).last_activity;
    clock.advance(10000);

    EXPECT_EQ(read_from(a, {0x01, 0x02, 0x04, 0xFF}), 0);
    EXPECT_EQ(gw.bus_bound.size(), 1u);
    EXPECT_EQ(gw.net_bound.size(), 1u);
    EXPECT_EQ(view.status[status_field::client_frames], "N:1");
    EXPECT_EQ(record_of(a).last_activity, activity);
    EXPECT_EQ(record_of(a).error_count, 0);
}

TEST_F(ClientIntake, AFrameSplitAtAnyByteAcrossTwoReadsGivesOneValidEntry) {
    const Bytes longest = make_frame(
        0xFB, 0x21, 0x0F, {0xF0, 'K', 'i', 't', 'c', 'h', 'e', 'n', 1, 2, 3, 4, 5, 6, 7});
    ASSERT_EQ(longest.size(), 21u);
    for (std::size_t cut = 1; cut < longest.size(); ++cut) {
        SCOPED_TRACE("cut after byte " + std::to_string(cut));
        gw.bus_bound.clear();
        gw.net_bound.clear();
        EXPECT_EQ(read_from(a, Bytes(longest.begin(),
                                     longest.begin() + static_cast<std::ptrdiff_t>(cut))),
                  0);
        EXPECT_EQ(
            read_from(a, Bytes(longest.begin() + static_cast<std::ptrdiff_t>(cut), longest.end())),
            1);
        ASSERT_EQ(gw.bus_bound.size(), 1u);
        EXPECT_EQ(gw.bus_bound[0].bytes, longest);
        EXPECT_EQ(gw.bus_bound[0].status, FrameStatus::valid);
        EXPECT_EQ(gw.net_bound.size(), 1u);
    }
    EXPECT_EQ(record_of(a).error_count, 0);
}

// --- through whole passes of the loop ---

class ClientTraffic : public ClientIntake {
  protected:
    void passes(int n) {
        for (int i = 0; i < n; ++i)
            run_pass(gw);
    }
    Bytes bus_writes() const {
        Bytes all;
        for (const auto& w : serial.writes)
            all.insert(all.end(), w.bytes.begin(), w.bytes.end());
        return all;
    }
    // The "Nb Err" cell of the client at this address, as the list shows it.
    std::string errors_shown(const std::string& address) const {
        for (const ClientRow& r : view.clients) {
            if (r.address == address) return r.cells[4];
        }
        return "no row";
    }
};

TEST_F(ClientTraffic, AnEchoNeverReachesItsSenderAndSamePortClientsAreToldApart) {
    const ConnectionHandle b = net.connect("192.168.1.21", 888);
    const ConnectionHandle c = net.connect("192.168.1.22", 889);
    passes(2);

    net.client_sends(a, relay_on);
    passes(1);
    EXPECT_TRUE(net.peer(a).sent.empty());
    EXPECT_EQ(net.peer(b).received_bytes(), relay_on);
    EXPECT_EQ(net.peer(c).received_bytes(), relay_on);
    EXPECT_EQ(view.traffic.front().cells[5], "$01 (RelOn N°1 (%00000001)) from 192.168.1.20:888");

    net.client_sends(b, relay_off);
    passes(1);
    EXPECT_EQ(net.peer(a).received_bytes(), relay_off);
    EXPECT_EQ(net.peer(b).received_bytes(), relay_on);
    EXPECT_EQ(view.traffic.front().cells[5].substr(0, 6), "$02 (R");
    EXPECT_NE(view.traffic.front().cells[5].find(" from 192.168.1.21:888"), std::string::npos);
}

TEST_F(ClientTraffic, ABadChecksumEchoGoesToTheOthersButNotToTheSender) {
    const ConnectionHandle b = net.connect("192.168.1.21", 889);
    passes(1);
    Bytes frame = relay_on;
    frame[6] = 0x00;
    net.client_sends(a, frame);
    passes(1);

    EXPECT_TRUE(net.peer(a).sent.empty());
    EXPECT_EQ(net.peer(b).received_bytes(), frame);
    EXPECT_EQ(view.traffic.front().cells[5],
              "$01 (RelOn N°1 (%00000001)) from 192.168.1.20:888»Bad CSum F3");
    EXPECT_EQ(view.traffic.front().icon, icon_client_frame_bad);
    passes(5);
    EXPECT_EQ(bus_writes(), frame);  // queued for the bus as it came
}

TEST_F(ClientTraffic, AFloodPausesReadingAbove200WaitingFramesAndNothingIsDropped) {
    const ConnectionHandle b = net.connect("192.168.1.21", 889);
    passes(1);
    Bytes flood;
    for (int k = 0; k < 700; ++k) {
        const Bytes f = make_frame(0xFB, static_cast<std::uint8_t>(k % 200 + 1), 0x00, {});
        flood.insert(flood.end(), f.begin(), f.end());
    }
    net.client_sends(a, flood);  // 4200 bytes: more than one read can take
    passes(1);
    EXPECT_TRUE(net.peer(a).paused);
    EXPECT_FALSE(net.peer(a).incoming.empty());

    // Another client is served as usual meanwhile.
    net.client_sends(b, relay_on);
    passes(1);
    EXPECT_EQ(view.traffic.front().cells[5], "$01 (RelOn N°1 (%00000001)) from 192.168.1.21:889");

    int guard = 0;
    while (net.peer(a).paused && ++guard < 5000)
        run_pass(gw);
    EXPECT_FALSE(net.peer(a).paused);
    EXPECT_LE(gw.bus_bound.size(), 201u);

    while (!gw.bus_bound.empty() && ++guard < 10000)
        run_pass(gw);
    EXPECT_TRUE(net.peer(a).incoming.empty());
    ASSERT_EQ(serial.writes.size(), 701u);
    EXPECT_EQ(serial.writes[0].bytes, Bytes(flood.begin(), flood.begin() + 6));
    Bytes from_a;
    for (const auto& w : serial.writes) {
        if (w.bytes != relay_on) from_a.insert(from_a.end(), w.bytes.begin(), w.bytes.end());
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
    EXPECT_EQ(view.traffic[0].cells[2], hex_dump(half));
    EXPECT_TRUE(view.traffic[0].cells[5].ends_with(" from 192.168.1.23:903»Bad Len 5 bytes"));
    EXPECT_EQ(errors_shown("192.168.1.23"), "1");

    const Bytes from_bus = make_frame(0xFB, 0x30, 0x01, {0x0A});
    serial.deliver(from_bus);
    net.client_sends(a, relay_on);
    passes(5);

    ASSERT_EQ(view.traffic.size(), 3u);
    EXPECT_EQ(bus_writes(), join({half, relay_on}));
    EXPECT_EQ(net.peer(a).received_bytes(), from_bus);
    // The echo copy is queued before the bus is read in the same pass.
    EXPECT_EQ(net.peer(silent).received_bytes(), join({relay_on, from_bus}));
    EXPECT_EQ(net.peer(garbler).received_bytes(), join({relay_on, from_bus}));
    EXPECT_TRUE(net.peer(leaver).sent.empty());
    EXPECT_EQ(record_of(garbler).error_count, 0);
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
    EXPECT_EQ(view.traffic[0].cells[2], "0FF801");
    EXPECT_EQ(view.traffic[0].icon, icon_client_frame_bad);
    EXPECT_EQ(errors_shown("192.168.1.20"), "1");

    // The rest, come too late, starts no frame.
    net.client_sends(a, {0x02, 0x01, 0xF5, 0x04});
    passes(3);
    EXPECT_EQ(view.traffic.size(), 1u);
}

}  // namespace
}  // namespace quillon::testing
