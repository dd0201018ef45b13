// The analyzer feed, the saved traffic list and the debug log.
#include <filesystem>

#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

const Bytes relay_on = make_frame(0xF8, 0x01, {0x02, 0x01});  // 0FF801020201F304
const Bytes relay_off = make_frame(0xF8, 0x02, {0x01, 0x04});

// The RelOn row's Source, with its degree sign in the given encoding.
std::string relay_on_source(const std::string& degree) {
    return "$01 (RelOn N" + degree + "1 (%00000001)) from 192.168.1.20:888";
}

class AnalyzerFeed : public GatewayHarness {
  protected:
    ConnectionHandle a = 0;

    void SetUp() override {
        GatewayHarness::SetUp();
        ASSERT_EQ(start(), StartOutcome::running);  // 10:20:01.000
        a = net.connect("192.168.1.20", 888);
        run_pass(gw);  // input was waiting: the pass comes at once, at 10:20:01.00
    }
    void sends(ConnectionHandle h, const Bytes& bytes) {
        net.client_sends(h, bytes);
        run_pass(gw);
    }
    // The operator clicks; the pass that handles it takes no time.
    void click(Control control) {
        view.click(control);
        run_pass(gw);
    }
    void tick_debug(bool on) {
        view.set_checked(Control::debug_check, on);
        run_pass(gw);
    }
};

TEST_F(AnalyzerFeed, LinesGoOnlyToLiveAnalyzersInWindows1252) {
    const ConnectionHandle b = net.connect("192.168.1.21", 889);
    run_pass(gw);
    sends(a, relay_off);  // nobody listens: the line is dropped
    const ConnectionHandle analyzer = net.datagram("192.168.1.30", 5000, "hello");
    run_pass(gw);
    clock.now = 1070;
    sends(a, relay_on);
    Bytes bad = relay_on;
    bad[6] = 0x00;
    sends(a, bad);
    run_pass(gw);  // its echo goes out 2 ms after the previous one

    const auto lines = net.peer(analyzer).received_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "ADD IP,192.168.1.30:5000,2026-12-07 10:20:01,1970-01-01 00:00:00");
    EXPECT_EQ(lines[1], "V->N,10:20:01.07,0FF801020201F304,8,F3," + relay_on_source("\xB0"));
    const std::string tail =
        "from 192.168.1.20:888\xBB"
        "Bad CSum F3";
    ASSERT_GE(lines[2].size(), tail.size());
    EXPECT_EQ(lines[2].substr(lines[2].size() - tail.size()), tail);
    EXPECT_EQ(lines[2].rfind("V->N,", 0), 0u);
    for (const std::string& line : lines)
        EXPECT_EQ(line.find('\xC2'), std::string::npos) << line;

    // Bus clients get raw frames only, never a feed line.
    EXPECT_EQ(net.peer(b).received_bytes(), [&] {
        Bytes all = relay_off;
        all.insert(all.end(), relay_on.begin(), relay_on.end());
        all.insert(all.end(), bad.begin(), bad.end());
        return all;
    }());
}

TEST_F(AnalyzerFeed, AnAnalyzerHearsOfItselfFirstAndOfFramesFromTheBus) {
    const ConnectionHandle analyzer = net.datagram("192.168.1.30", 5000, "hello");
    run_pass(gw);
    net.connect("192.168.1.22", 900);
    run_pass(gw);
    // A module name that holds a comma.
    clock.now = 1060;
    serial.deliver(make_frame(0xFB, 0x10, {0xF0, 'A', ',', 'B', 'C', 'D', 'E', 'F'}));
    run_pass(gw);

    const auto lines = net.peer(analyzer).received_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("ADD IP,192.168.1.30:5000,", 0), 0u);
    EXPECT_EQ(lines[1].rfind("ADD IP,192.168.1.22:900,", 0), 0u);
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (int k = 0; k < 5; ++k) {
        const std::size_t comma = lines[2].find(',', from);
        ASSERT_NE(comma, std::string::npos);
        fields.push_back(lines[2].substr(from, comma - from));
        from = comma + 1;
    }
    EXPECT_EQ(fields, (std::vector<std::string>{"V->N", "10:20:01.06",
                                                "0FFB1008F0412C42434445462D04", "14", "2D"}));
    EXPECT_EQ(lines[2].substr(from), "$10 (Name [A,BCDEF]) from VelBUS");
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::source), lines[2].substr(from));
}

TEST_F(AnalyzerFeed, TheSavedListHoldsEveryRowTopFirstInUtf8WithTabs) {
    clock.now = 1020;
    sends(a, relay_on);                                    // 10:20:01.02
    sends(a, {0x0F, 0xFB, 0x05, 0x01, 0x0A, 0x00, 0x00});  // a bad-length piece
    clock.now = 125000;                                    // the bus has been silent
    run_pass(gw);                                          // 10:22:05
    click(Control::save);

    const std::string expected =
        "10:22:05.00\t- timeout -\t\t\tNo communication with Velbus\t\r\n"
        "\t0FFB05010A0000\t7\t00\t$05  from 192.168.1.20:888\xC2\xBB"
        "Bad Len 7 bytes\t\r\n"
        "10:20:01.02\t0FF801020201F304\t8\tF3\t" +
        relay_on_source("\xC2\xB0") + "\t\r\n";
    EXPECT_EQ(file_text("Quillon_2026-12-07_10-22.log"), expected);
    EXPECT_EQ(view.traffic.size(), 3u);  // the list is left as it was
}

TEST_F(AnalyzerFeed, SavingAnEmptyListMakesAnEmptyDatedFile) {
    sends(a, relay_on);
    click(Control::clear);
    click(Control::save);

    const auto path = dir / "Quillon_2026-12-07_10-20.log";
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    ASSERT_FALSE(clock.pauses.empty());
    EXPECT_EQ(clock.pauses.back(), 10);
}

TEST_F(AnalyzerFeed, TheDebugLogTakesFrameLinesWhileItsBoxIsTicked) {
    std::ofstream(dir / "Quillon_debug.log", std::ios::binary) << "earlier\r\n";
    tick_debug(true);
    clock.now = 1020;
    sends(a, relay_on);  // 10:20:01.02
    const std::string first =
        "10:20:01.02,0FF801020201F304,8,F3," + relay_on_source("\xB0") + "\r\n";
    EXPECT_EQ(file_text("Quillon_debug.log"), "earlier\r\n" + first);

    tick_debug(false);
    sends(a, relay_off);
    EXPECT_EQ(file_text("Quillon_debug.log"), "earlier\r\n" + first);

    tick_debug(true);
    Bytes bad = relay_on;
    bad[6] = 0x00;
    sends(a, bad);
    const std::string text = file_text("Quillon_debug.log");
    ASSERT_EQ(text.rfind("earlier\r\n" + first, 0), 0u);
    const std::string tail =
        "\xBB"
        "Bad CSum F3\r\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

}  // namespace
}  // namespace quillon::testing
