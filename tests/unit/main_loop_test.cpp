// One pass of the main loop, its rhythm, and the ways the loop ends.
#include <algorithm>

#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

const Bytes relay_on = make_frame(0xF8, 0x01, {0x02, 0x01});
const Bytes bus_frame = make_frame(0xFB, 0x05, {0x0A});

Bytes join_frames(std::initializer_list<Bytes> frames) {
    Bytes all;
    for (const Bytes& f : frames)
        all.insert(all.end(), f.begin(), f.end());
    return all;
}

Bytes burst_of(int count) {
    Bytes burst;
    for (int k = 0; k < count; ++k) {
        const Bytes f = make_frame(0xF8, static_cast<std::uint8_t>(k + 1), {0x02, 0x01});
        burst.insert(burst.end(), f.begin(), f.end());
    }
    return burst;
}

class MainLoop : public GatewayHarness {
  protected:
    void passes(int n) {
        for (int i = 0; i < n; ++i)
            run_pass(gw);
    }
    // A pass that takes no time: an event that does nothing ends its wait at once.
    void instant_pass() {
        view.click(Control::filter_text);
        run_pass(gw);
    }
};

TEST_F(MainLoop, AnIdleLoopSleepsUntilTheNextRefreshAndShowsV0) {
    ASSERT_EQ(start(), StartOutcome::running);
    const std::int64_t t0 = clock.now;
    passes(3);
    // Nothing but the statistics is due: one pass a refresh, more than a second apart.
    EXPECT_EQ(view.wait_timeouts, std::vector<std::int32_t>(3, 1001));
    EXPECT_EQ(clock.now, t0 + 3003);
    EXPECT_EQ(view.status[StatusField::bus_frames], "V:0");

    serial.deliver(join_frames({bus_frame, bus_frame}));
    run_pass(gw);
    EXPECT_EQ(view.status[StatusField::bus_frames], "V:2");
    run_pass(gw);
    // The count is put back without the loop sleeping on it until the next refresh.
    EXPECT_LE(view.wait_timeouts.back(), 21);
    EXPECT_EQ(view.status[StatusField::bus_frames], "V:0");

    clock.now = 2500;
    run_pass(gw);
    EXPECT_EQ(view.status[StatusField::analyzers], "A:0");
}

TEST_F(MainLoop, ControlsAreHandledBeforeTheNetworkAndTheBusInTheSamePass) {
    ASSERT_EQ(start(), StartOutcome::running);
    const ConnectionHandle a = net.connect("192.168.1.20", 888);
    passes(1);
    serial.deliver(bus_frame);
    passes(1);
    ASSERT_EQ(view.traffic.size(), 1u);

    // "Clear" and a new frame in one pass: the new frame's row stays.
    serial.deliver(bus_frame);
    view.click(Control::clear);
    run_pass(gw);
    EXPECT_EQ(view.traffic.size(), 1u);

    // "Disconnect" and data from the selected client in one pass: the data is never read.
    net.client_sends(a, relay_on);
    view.disconnect(a);
    passes(5);
    EXPECT_TRUE(net.peer(a).closed_by_gateway);
    EXPECT_EQ(view.traffic.size(), 1u);
    EXPECT_TRUE(serial.writes.empty());
}

TEST_F(MainLoop, TheCloseButtonFinishesThePassThenShutsDownWithoutAQuestion) {
    ASSERT_EQ(start(), StartOutcome::running);
    const ConnectionHandle a = net.connect("192.168.1.20", 888);
    const ConnectionHandle b = net.connect("192.168.1.21", 889);
    passes(2);
    clock.advance(100);
    net.client_sends(a, relay_on);
    serial.deliver(bus_frame);
    view.close_window();

    EXPECT_FALSE(run_pass(gw));

    EXPECT_TRUE(view.questions.empty());
    EXPECT_EQ(view.traffic.size(), 2u);
    ASSERT_EQ(serial.writes.size(), 1u);
    EXPECT_EQ(serial.writes[0].bytes, relay_on);
    // The echo went out; the bus frame's turn, 2 ms later, never came.
    EXPECT_EQ(net.peer(b).received_bytes(), relay_on);
    EXPECT_FALSE(serial.open_now);
    EXPECT_TRUE(net.servers.empty());
    EXPECT_TRUE(net.peer(a).closed_by_gateway);
    EXPECT_TRUE(net.peer(b).closed_by_gateway);
}

TEST_F(MainLoop, TheQuitQuestionEndsTheLoopOnlyOnYes) {
    ASSERT_EQ(start(), StartOutcome::running);
    view.answers = {false};
    view.click(Control::quit);
    EXPECT_TRUE(run_pass(gw));
    EXPECT_EQ(view.questions,
              (std::vector<std::string>{"Quit Quillon|Do you want to close Quillon ?"}));
    EXPECT_TRUE(serial.open_now);
    EXPECT_TRUE(run_pass(gw));

    view.answers = {true};
    view.click(Control::quit);
    EXPECT_FALSE(run_pass(gw));
    EXPECT_EQ(view.questions.size(), 2u);
    EXPECT_FALSE(serial.open_now);
    EXPECT_TRUE(net.servers.empty());
}

TEST_F(MainLoop, DisconnectAllForgetsEveryClientSilentlyAndReopensTheServer) {
    ASSERT_EQ(start(), StartOutcome::running);
    const ConnectionHandle a = net.connect("192.168.1.20", 888);
    const ConnectionHandle b = net.connect("192.168.1.21", 889);
    const ConnectionHandle analyzer = net.datagram("192.168.1.30", 5000, "hello");
    passes(3);
    const auto lines_before = net.peer(analyzer).received_lines().size();

    view.click(Control::disconnect_all);
    EXPECT_TRUE(run_pass(gw));

    EXPECT_TRUE(net.peer(a).closed_by_gateway);
    EXPECT_TRUE(net.peer(b).closed_by_gateway);
    EXPECT_TRUE(net.peer(analyzer).closed_by_gateway);  // its next datagram makes a new record
    EXPECT_TRUE(view.clients.empty());
    EXPECT_EQ(net.peer(analyzer).received_lines().size(), lines_before);
    EXPECT_EQ(clock.pauses, std::vector<std::int32_t>{500});
    EXPECT_EQ(net.servers.at(Server::tcp), 8080);
    EXPECT_EQ(net.servers.at(Server::analyzer), 8081);

    const ConnectionHandle c = net.connect("192.168.1.22", 890);
    passes(1);
    ASSERT_EQ(view.clients.size(), 1u);
    EXPECT_EQ(view.clients[0].cell(ClientColumn::address), "192.168.1.22 (890) ");
    EXPECT_TRUE(net.peer(c).open);
}

TEST_F(MainLoop, AServerThatCannotBeReopenedEndsTheProgram) {
    ASSERT_EQ(start(), StartOutcome::running);
    net.taken_ports = {8080};  // another program takes the port during the pause
    view.click(Control::disconnect_all);

    EXPECT_FALSE(run_pass(gw));
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].title, "Network Error");
    EXPECT_EQ(view.messages[0].text, "Couldn't restart connexion's server");
    EXPECT_FALSE(serial.open_now);
    EXPECT_TRUE(net.servers.empty());
}

TEST_F(MainLoop, TheHourlyPurgeIsStrictAndKeepsItsPeriodPast2To31Ms) {
    ASSERT_EQ(start(), StartOutcome::running);  // the purge clock starts at 1000
    const ConnectionHandle a = net.connect("192.168.1.20", 888);
    passes(1);
    net.client_closes(a);
    passes(1);
    int rebuilds = view.client_list_rebuilds;

    clock.now = 1000 + 3600000;
    instant_pass();
    EXPECT_EQ(view.client_list_rebuilds, rebuilds);
    clock.advance(1);
    instant_pass();
    EXPECT_EQ(view.client_list_rebuilds, ++rebuilds);
    EXPECT_EQ(view.clients.size(), 1u);  // ended exactly an hour ago: it stays

    clock.now = (std::int64_t{1} << 31) + 5000;
    instant_pass();
    EXPECT_EQ(view.client_list_rebuilds, ++rebuilds);
    EXPECT_TRUE(view.clients.empty());
    clock.advance(3600000);
    instant_pass();
    EXPECT_EQ(view.client_list_rebuilds, rebuilds);
    clock.advance(1);
    instant_pass();
    EXPECT_EQ(view.client_list_rebuilds, ++rebuilds);
}

// A client that reconnects in a loop cannot flood the journal.
TEST_F(MainLoop, PastTwentyClientLinesAMinuteOneLineAMinuteCountsTheRest) {
    ASSERT_EQ(start(), StartOutcome::running);
    const auto client_lines = [&] {
        return std::count_if(view.journal_lines.begin(), view.journal_lines.end(),
                             [](const std::string& l) { return l.starts_with("client "); });
    };
    for (std::uint16_t k = 0; k < 15; ++k) {
        const ConnectionHandle h = net.connect("192.168.1.20", static_cast<std::uint16_t>(900 + k));
        instant_pass();
        net.client_closes(h);
        instant_pass();
    }
    EXPECT_EQ(client_lines(), 20);
    EXPECT_EQ(view.journal_lines.back(), "client 192.168.1.20:909 left after 0 s, 0 frames sent");

    clock.now += 60000;
    run_pass(gw);
    EXPECT_EQ(view.journal_lines.back(),
              "10 more client connects and disconnects in the last minute");
    net.connect("192.168.1.20", 999);
    instant_pass();
    EXPECT_EQ(view.journal_lines.back(), "client 192.168.1.20:999 connected");
}

TEST_F(MainLoop, TheWaitEndsWhenTheNextPacedWriteFallsDue) {
    ASSERT_EQ(start(), StartOutcome::running);
    const ConnectionHandle a = net.connect("192.168.1.20", 888);
    passes(1);
    net.client_sends(a, burst_of(3));
    for (int guard = 0; guard < 50 && serial.writes.size() < 3; ++guard)
        run_pass(gw);
    ASSERT_EQ(serial.writes.size(), 3u);
    // A millisecond past the delay, counted to the microsecond: never closer
    // than 51 ms, and the wait ends just then.
    EXPECT_EQ(serial.writes[1].time_ms - serial.writes[0].time_ms, 51);
    EXPECT_EQ(serial.writes[2].time_ms - serial.writes[1].time_ms, 51);

    run_pass(gw);
    EXPECT_GT(view.wait_timeouts.back(), 52);  // nothing waits for the bus any more
}

// A view that gets the clock moving again if the loop keeps asking for a wait
// of no time at all, so that such a loop shows up as a count, not a hang.
class SpinCountingView : public FakeView {
  public:
    using FakeView::FakeView;
    FakeClock* clock = nullptr;
    int zero_waits = 0;
    OperatorEvent wait_event(std::int32_t timeout_ms) override {
        if (timeout_ms == 0 && ++zero_waits % 1000 == 0) clock->advance(1);
        return FakeView::wait_event(timeout_ms);
    }
};

// A gateway on its own doubles with a view of the test's making, started
// with a settings file in `dir`.
template <typename View>
struct GatewayWithView {
    FakeClock clock;
    FakeSerialPort serial{clock};
    FakeNetwork net;
    View view{clock};
    NoViewWatcher watcher;
    PosixFiles files;
    Gateway gw{{clock, serial, net, view, watcher, view, view, view, files}};

    StartOutcome start(const std::filesystem::path& dir) {
        view.clock = &clock;
        gw.setup.settings_file = dir / "Quillon.ini";
        gw.setup.data_directory = dir;
        std::ofstream(dir / "Quillon.ini", std::ios::binary)
            << "SerialPort = COM1,38400,0,8,1,0\r\n";
        return start_gateway(gw);
    }
    ~GatewayWithView() { shutdown(gw); }
};

TEST_F(MainLoop, APacedWriteDueRightAfterAStatisticsRefreshIsNotDelayed) {
    GatewayWithView<SpinCountingView> t;
    ASSERT_EQ(t.start(dir), StartOutcome::running);
    auto& [c, s, n, v, w, f, g] = t;
    v.input_pending = [&n] { return n.has_pending(); };
    const ConnectionHandle a = n.connect("192.168.1.20", 888);
    run_pass(g);

    c.now = 1940;  // the writes at 1940, 1991, 2042 and a statistics refresh at 2001 among them
    n.client_sends(a, burst_of(3));
    v.rates.clear();
    for (int guard = 0; guard < 20 && s.writes.size() < 3; ++guard)
        run_pass(g);
    ASSERT_EQ(s.writes.size(), 3u);
    EXPECT_EQ(s.writes[0].time_ms, 1940);
    EXPECT_EQ(s.writes[1].time_ms, 1991);
    EXPECT_EQ(s.writes[2].time_ms, 2042);
    EXPECT_EQ(v.rates.count(Control::rx_rate), 1u);  // the refresh came between
    EXPECT_LE(v.zero_waits, 1);
}

TEST_F(MainLoop, TheTimeOfAFrameIsTheWallClocksWithHundredthsAlsoAtMidnight) {
    clock.date_at_zero = 1796688000 - 2;  // 2026-12-07 23:59:59 at 1000 ms
    ASSERT_EQ(start(), StartOutcome::running);
    const ConnectionHandle a = net.connect("192.168.1.20", 888);
    run_pass(gw);
    clock.now = 1997;
    net.client_sends(a, relay_on);
    run_pass(gw);
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::time), "23:59:59.99");
    clock.now = 2068;
    net.client_sends(a, relay_on);
    run_pass(gw);
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::time), "00:00:00.06");
}

TEST_F(MainLoop, ArrivingInputEndsTheWaitRightAfterAStatisticsRefresh) {
    ASSERT_EQ(start(), StartOutcome::running);  // the statistics count from 1000
    clock.now = 2001;
    run_pass(gw);  // refreshes the statistics
    ASSERT_EQ(view.status.count(StatusField::uptime), 1u);

    serial.deliver(make_frame(0xFB, 0x05, {0x0A}));
    OperatorEvent input;
    input.input_ready = true;  // comes at once, with no time gone
    view.events.push_back(input);
    const std::size_t waits = view.wait_timeouts.size();
    run_pass(gw);
    EXPECT_EQ(view.wait_timeouts.size(), waits + 1);  // not held until 5 ms past the refresh
    EXPECT_EQ(view.traffic.size(), 1u);
}

}  // namespace
}  // namespace quillon::testing
