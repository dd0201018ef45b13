// The client list: its rows, the connection lines of the analyzer feed, the
// removal of old records, "Disconnect", analyzer records, and the bounds.
#include <algorithm>

#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

class ClientList : public GatewayHarness {
  protected:
    void SetUp() override {
        GatewayHarness::SetUp();
        ASSERT_EQ(start(), StartOutcome::running);
    }
    // A pass within the local second 10:20:00 + `second`.
    void pass_at(std::int64_t second) {
        clock.now = std::max(clock.now, second * 1000);
        run_pass(gw);
    }
    ConnectionHandle connect_at(std::int64_t second, const std::string& ip, std::uint16_t port) {
        const ConnectionHandle h = net.connect(ip, port);
        pass_at(second);
        return h;
    }
    void close_at(std::int64_t second, ConnectionHandle h) {
        net.client_closes(h);
        pass_at(second);
    }
    // A datagram from the analyzer 192.168.1.30:5000: it joins, or keeps its place.
    ConnectionHandle analyzer_at(std::int64_t second) {
        const ConnectionHandle h = net.datagram("192.168.1.30", 5000, "hello");
        pass_at(second);
        return h;
    }
    std::string cell(std::size_t row, std::size_t column) const {
        return view.clients.at(row).cells.at(column);
    }
    std::vector<std::string> lines(ConnectionHandle h) { return net.peer(h).received_lines(); }
};

TEST_F(ClientList, NewestClientIsTheTopRowAndTheOldestTheBottomRow) {
    connect_at(2, "192.168.1.1", 1001);
    connect_at(3, "192.168.1.2", 1002);
    connect_at(4, "192.168.1.3", 1003);

    ASSERT_EQ(view.clients.size(), 3u);
    EXPECT_EQ(cell(0, 1), "192.168.1.3 (1003) ");
    EXPECT_EQ(cell(1, 1), "192.168.1.2 (1002) ");
    EXPECT_EQ(cell(2, 1), "192.168.1.1 (1001) ");
    EXPECT_EQ(cell(2, 0), "");
    EXPECT_EQ(cell(2, 2), "2026-12-07 10:20:02");
    EXPECT_EQ(cell(2, 3), "");
    EXPECT_EQ(cell(2, 4), "0");
    for (const ClientRow& row : view.clients)
        EXPECT_EQ(row.icon, icon_client_live);
}

TEST_F(ClientList, AnalyzerLabelHasABlankAfterAConnectionAndNoneAfterADisconnection) {
    analyzer_at(1);
    ASSERT_EQ(view.clients.size(), 1u);
    EXPECT_EQ(cell(0, 1), "192.168.1.30 (5000) [Analyzer]");

    const ConnectionHandle a = connect_at(2, "192.168.1.20", 888);
    EXPECT_EQ(cell(0, 1), "192.168.1.20 (888) ");
    EXPECT_EQ(cell(1, 1), "192.168.1.30 (5000) [Analyzer]");

    close_at(3, a);
    EXPECT_EQ(cell(0, 1), "192.168.1.20 (888)");
    EXPECT_EQ(cell(1, 1), "192.168.1.30 (5000)[Analyzer]");
}

TEST_F(ClientList, ConnectionLinesCarryTheExactDates) {
    const ConnectionHandle analyzer = analyzer_at(1);
    const ConnectionHandle a = connect_at(5, "192.168.1.20", 888);
    analyzer_at(300);  // the analyzer keeps its place meanwhile
    analyzer_at(600);
    close_at(700, a);  // 10:31:40

    EXPECT_EQ(lines(analyzer),
              (std::vector<std::string>{
                  "ADD IP,192.168.1.30:5000,2026-12-07 10:20:01,1970-01-01 00:00:00",
                  "ADD IP,192.168.1.20:888,2026-12-07 10:20:05,1970-01-01 00:00:00",
                  "DEL IP,192.168.1.20:888,2026-12-07 10:20:05,2026-12-07 10:31:40"}));
}

TEST_F(ClientList, AnEndedClientKeepsItsPlaceWithTheEndIconAndDate) {
    connect_at(2, "192.168.1.1", 1001);
    const ConnectionHandle b = connect_at(3, "192.168.1.2", 1002);
    connect_at(4, "192.168.1.3", 1003);
    close_at(65, b);

    ASSERT_EQ(view.clients.size(), 3u);
    EXPECT_EQ(cell(1, 1), "192.168.1.2 (1002)");
    EXPECT_EQ(view.clients[1].icon, icon_client_ended);
    EXPECT_EQ(cell(1, 3), "2026-12-07 10:21:05");
    EXPECT_EQ(view.clients[0].icon, icon_client_live);
    EXPECT_EQ(view.clients[2].icon, icon_client_live);
}

TEST_F(ClientList, AnEndedRecordStays3600SecondsAndGoesAfter3601) {
    const ConnectionHandle a = connect_at(10, "192.168.1.20", 888);
    const ConnectionHandle x = connect_at(11, "192.168.1.21", 1001);
    const ConnectionHandle y = connect_at(12, "192.168.1.22", 1002);
    close_at(20, a);

    close_at(20 + 3600, x);  // every disconnection drops the records ended long enough ago
    ASSERT_NE(view.client_row("192.168.1.20"), nullptr);
    EXPECT_EQ(view.client_row("192.168.1.20")->icon, icon_client_ended);

    close_at(20 + 3601, y);
    EXPECT_EQ(view.client_row("192.168.1.20"), nullptr);
    EXPECT_EQ(view.clients.size(), 2u);
}

TEST_F(ClientList, RemovingTheOldestRecordStillTestsTheNextOne) {
    const ConnectionHandle a = connect_at(1, "192.168.1.1", 1001);
    const ConnectionHandle b = connect_at(2, "192.168.1.2", 1002);
    close_at(3, a);
    const ConnectionHandle analyzer = analyzer_at(3 + 3600);

    close_at(3 + 3601, b);

    ASSERT_EQ(view.clients.size(), 2u);
    EXPECT_EQ(cell(0, 1), "192.168.1.30 (5000)[Analyzer]");
    EXPECT_EQ(cell(1, 1), "192.168.1.2 (1002)");
    EXPECT_EQ(view.clients[1].icon, icon_client_ended);
    EXPECT_EQ(cell(1, 3), "2026-12-07 11:20:04");
    EXPECT_EQ(lines(analyzer).back(),
              "DEL IP,192.168.1.2:1002,2026-12-07 10:20:02,2026-12-07 11:20:04");
}

TEST_F(ClientList, ADisconnectionOfAnUnknownHandleSendsNoLineButRedrawsTheList) {
    const ConnectionHandle analyzer = analyzer_at(1);
    const int rebuilds = view.client_list_rebuilds;
    net.events.push_back({NetworkEventCode::disconnection, Server::tcp, 999});
    run_pass(gw);
    EXPECT_EQ(lines(analyzer).size(), 1u);
    EXPECT_EQ(view.client_list_rebuilds, rebuilds + 1);
    EXPECT_EQ(cell(0, 1), "192.168.1.30 (5000)[Analyzer]");
}

TEST_F(ClientList, APeerWithoutAddressOrPortShowsZeros) {
    // A handle the network cannot tell the address or port of.
    net.events.push_back({NetworkEventCode::connection, Server::tcp, 77});
    run_pass(gw);
    EXPECT_EQ(cell(0, 1), "0.0.0.0 (0) ");
}

TEST_F(ClientList, DisconnectWithoutASelectedRowShowsAnError) {
    const ConnectionHandle a = connect_at(2, "192.168.1.20", 888);
    view.disconnect(0);
    run_pass(gw);

    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].title, "Error");
    EXPECT_EQ(view.messages[0].text,
              "No client selected.|Select a raw before clicking on this button");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::error);
    EXPECT_TRUE(net.peer(a).open);
    EXPECT_EQ(view.clients[0].icon, icon_client_live);
}

TEST_F(ClientList, DisconnectClosesTheClientOfTheSelectedRowAmongTwoWithTheSamePort) {
    const ConnectionHandle analyzer = analyzer_at(1);
    const ConnectionHandle older = connect_at(2, "192.168.1.20", 888);
    const ConnectionHandle newer = connect_at(3, "192.168.1.21", 888);
    ASSERT_EQ(cell(0, 1), "192.168.1.21 (888) ");

    clock.now = 9000;
    view.disconnect(view.clients[0].client);
    run_pass(gw);

    EXPECT_TRUE(net.peer(newer).closed_by_gateway);
    EXPECT_FALSE(net.peer(newer).reset_by_gateway);  // the button closes normally
    EXPECT_TRUE(net.peer(older).open);
    EXPECT_EQ(view.clients[0].icon, icon_client_ended);
    EXPECT_EQ(cell(0, 3), "2026-12-07 10:20:09");
    EXPECT_EQ(view.clients[1].icon, icon_client_live);
    EXPECT_EQ(lines(analyzer).size(), 3u);  // its own ADD and the two clients' ADD lines only

    view.disconnect(view.clients[1].client);
    run_pass(gw);
    EXPECT_TRUE(net.peer(older).closed_by_gateway);
    EXPECT_EQ(view.clients[1].icon, icon_client_ended);
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(ClientList, SelectingAnEndedRecordGivesNoClientToRemove) {
    const ConnectionHandle a = connect_at(2, "192.168.1.20", 888);
    const ConnectionHandle b = connect_at(3, "192.168.1.21", 889);
    close_at(4, a);
    const std::vector<ClientRow> before = view.clients;

    ASSERT_EQ(cell(1, 1), "192.168.1.20 (888)");
    view.disconnect(view.clients[1].client);  // the ended record of port 888
    run_pass(gw);

    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].title, "Info");
    EXPECT_EQ(view.messages[0].text, "No client to remove.");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::information);
    EXPECT_TRUE(net.peer(b).open);
    ASSERT_EQ(view.clients.size(), before.size());
    for (std::size_t r = 0; r < before.size(); ++r)
        EXPECT_EQ(view.clients[r].cells, before[r].cells);
}

TEST_F(ClientList, NbErrCountsTheBadFramesTheClientSent) {
    const ConnectionHandle a = connect_at(2, "192.168.1.20", 888);
    Bytes bad_checksum = make_frame(0xFB, 0x05, {0x0A});
    bad_checksum[5] ^= 0xFF;
    const Bytes bad_length{0x0F, 0xFB, 0x05, 0x01, 0x0A, 0x00, 0x00};
    Bytes sent = make_frame(0xFB, 0x05, {0x0A});
    sent.insert(sent.end(), bad_checksum.begin(), bad_checksum.end());
    sent.insert(sent.end(), bad_length.begin(), bad_length.end());
    net.client_sends(a, sent);
    pass_at(3);
    EXPECT_EQ(view.traffic.size(), 3u);
    EXPECT_EQ(cell(0, 4), "2");  // shown at once, the row otherwise as it was
    EXPECT_EQ(cell(0, 1), "192.168.1.20 (888) ");

    connect_at(4, "192.168.1.21", 889);
    EXPECT_EQ(cell(1, 4), "2");
    EXPECT_EQ(cell(0, 4), "0");
}

// Analyzer records: made by the first datagram, ended after more than 300
// seconds without one, counted in status-bar field 6.
TEST_F(ClientList, AnAnalyzerEndsAfterMoreThan300SilentSecondsAndComesBackWithItsNextDatagram) {
    const ConnectionHandle x = net.datagram("192.168.1.30", 5000, "hello");
    run_pass(gw);  // 10:20:01
    net.datagram("192.168.1.30", 5000, "again");
    run_pass(gw);
    EXPECT_EQ(view.clients.size(), 1u);
    EXPECT_EQ(lines(x).size(), 1u);

    clock.now = 200000;
    const ConnectionHandle y = net.datagram("192.168.1.31", 5001, "hello");
    run_pass(gw);
    clock.now = 300980;  // the pass runs at 10:25:01: 300 s of silence
    run_pass(gw);
    EXPECT_EQ(view.status[StatusField::analyzers], "A:2");
    EXPECT_EQ(view.clients.back().icon, icon_client_live);

    clock.now = 302000;  // 10:25:02: 301 s
    run_pass(gw);
    EXPECT_EQ(view.status[StatusField::analyzers], "A:1");
    EXPECT_EQ(lines(y).back(), "DEL IP,192.168.1.30:5000,2026-12-07 10:20:01,2026-12-07 10:25:02");
    EXPECT_EQ(lines(x).back().rfind("ADD IP,192.168.1.31:5001,", 0), 0u);
    EXPECT_EQ(view.clients.back().icon, icon_client_ended);

    const ConnectionHandle x2 = net.datagram("192.168.1.30", 5000, "back");
    run_pass(gw);
    EXPECT_EQ(lines(x2), (std::vector<std::string>{"ADD IP,192.168.1.30:5000,2026-12-07 "
                                                   "10:25:02,1970-01-01 00:00:00"}));
    EXPECT_EQ(lines(y).back(), lines(x2).front());
}

// Bounds against peers that misbehave: the table stays small.
TEST_F(ClientList, AClientReconnectingInALoopLeavesAtMost200EndedRecords) {
    const ConnectionHandle steady = net.connect("192.168.1.2", 2000);
    run_pass(gw);
    for (int k = 0; k < 220; ++k) {
        const ConnectionHandle h =
            net.connect("192.168.1.20", static_cast<std::uint16_t>(3000 + k));
        run_pass(gw);
        net.client_closes(h);
        run_pass(gw);
    }
    const auto ended = std::count_if(view.clients.begin(), view.clients.end(),
                                     [](const ClientRow& r) { return !r.live; });
    EXPECT_EQ(ended, 200);
    ASSERT_EQ(view.clients.size(), 201u);
    EXPECT_EQ(view.clients[200].client, steady);  // live records are never dropped
    EXPECT_EQ(view.clients[199].port, 3020);      // the oldest ended ones went first
}

TEST_F(ClientList, DatagramsFromEverNewPortsMakeAtMostFourAnalyzersAnAddressAnd64InAll) {
    for (int k = 0; k < 10; ++k) {
        net.datagram("192.168.1.30", static_cast<std::uint16_t>(5000 + k), "hi");
        run_pass(gw);
    }
    for (int k = 0; k < 70; ++k) {
        net.datagram("10.0.1." + std::to_string(k), 5000, "hi");
        run_pass(gw);
    }
    clock.advance(1000);
    run_pass(gw);
    EXPECT_EQ(view.status[StatusField::analyzers], "A:64");
    EXPECT_EQ(view.clients.size(), 64u);
    EXPECT_EQ(std::count_if(view.clients.begin(), view.clients.end(),
                            [](const ClientRow& r) { return r.address == "192.168.1.30"; }),
              4);
    const ConnectionHandle refused = net.datagram("192.168.1.31", 6000, "hi");
    run_pass(gw);
    EXPECT_TRUE(net.peer(refused).closed_by_gateway);  // forgotten, not answered
    EXPECT_TRUE(net.peer(refused).sent.empty());
    EXPECT_EQ(view.clients.size(), 64u);
}

TEST_F(ClientList, ACrowdConnectingAtOnceIsListedWithOneDrawing) {
    const int before = view.client_list_rebuilds;
    for (std::uint16_t k = 0; k < 50; ++k)
        net.connect("192.168.1.40", static_cast<std::uint16_t>(5000 + k));
    run_pass(gw);
    EXPECT_EQ(view.clients.size(), 50u);
    EXPECT_EQ(view.client_list_rebuilds, before + 1);
    EXPECT_EQ(view.clients.front().cell(ClientColumn::address),
              "192.168.1.40 (5049) ");  // newest on top
}

}  // namespace
}  // namespace quillon::testing
