// Frame processing: the traffic row of every new frame (texts, colours, icons,
// the filter, the 500-row cap), the analyzer and debug lines, and the bus-silence watch.
#include <sstream>
#include <string>
#include <vector>

#include "analyzer/traffic_list_file.hpp"
#include "base/code_page.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

const Bytes kF8Frame{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};            // "0FF800010BED04"
const Bytes kFBFrame{0x0F, 0xFB, 0x05, 0x01, 0x0A, 0xE6, 0x04};            // "0FFB05010AE604"
const Bytes kFBInData = {0x0F, 0xF8, 0x06, 0x02, 0x02, 0xFB, 0xF4, 0x04};  // "...02FBF404"

class FrameProcessing : public GatewayHarness {
  protected:
    void SetUp() override {
        GatewayHarness::SetUp();
        ASSERT_EQ(start(), StartOutcome::running);
    }
    // The bus sends the bytes; one pass reads and shows them.
    void bus_sends(const Bytes& bytes) {
        serial.deliver(bytes);
        run_pass(gw);
    }
    ConnectionHandle connected_client() {
        const ConnectionHandle c = net.connect("192.168.1.20", 888);
        run_pass(gw);
        return c;
    }
    // The client sends the bytes; passes run until a row is added (a piece
    // waits a second before it is given up).
    const TrafficRow& client_row(ConnectionHandle c, const Bytes& bytes) {
        const std::size_t before = view.traffic.size();
        net.client_sends(c, bytes);
        for (int k = 0; k < 100 && view.traffic.size() == before; ++k)
            run_pass(gw);
        EXPECT_EQ(view.traffic.size(), before + 1);
        return view.traffic.front();
    }
    // A pass whose clock reading is `ms`: a click on the traffic list, which
    // does nothing, ends the pass's wait at once.
    void pass_at(std::int64_t ms) {
        clock.now = ms;
        view.click(Control::traffic_list);
        run_pass(gw);
        EXPECT_EQ(clock.now, ms);
    }
    std::vector<std::string> shown_hex() const {
        std::vector<std::string> hex;
        for (auto it = view.traffic.rbegin(); it != view.traffic.rend(); ++it)
            hex.push_back(it->cell(TrafficColumn::hex));
        return hex;
    }
};

// ---- Colours and icons ----

struct LookCase {
    const char* name;
    bool from_bus;
    Bytes bytes;
    Rgb colour;
    int icon;
};
void PrintTo(const LookCase& c, std::ostream* os) {
    *os << c.name;
}

class RowLook : public FrameProcessing, public ::testing::WithParamInterface<LookCase> {};

TEST_P(RowLook, FollowsSideStatusAndPriority) {
    const LookCase& c = GetParam();
    if (c.from_bus) {
        bus_sends(c.bytes);
    } else {
        client_row(connected_client(), c.bytes);
    }
    ASSERT_EQ(view.traffic.size(), 1u);
    EXPECT_EQ(view.traffic.front().colour, c.colour);
    EXPECT_FALSE(view.traffic.front().colour_is_background);
    EXPECT_EQ(view.traffic.front().icon, c.icon);
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::direction), "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowLook,
    ::testing::Values(LookCase{"BusPriorityFB", true, kFBFrame, {20, 150, 20}, icon_bus_frame},
                      LookCase{"BusPriorityF8", true, kF8Frame, {150, 190, 30}, icon_bus_frame},
                      LookCase{"BusBadChecksum",
                               true,
                               {0x0F, 0xFB, 0x00, 0x01, 0x0B, 0xEE, 0x04},
                               {255, 127, 0},
                               icon_bus_frame_bad},
                      LookCase{"BusBadLength",
                               true,
                               {0x0F, 0xFB, 0x00, 0x01, 0x0B, 0xEA, 0x05},
                               {200, 50, 50},
                               icon_bus_frame_bad},
                      LookCase{"ClientValid", false, kFBFrame, {50, 50, 200}, icon_client_frame},
                      LookCase{"ClientBadChecksum",
                               false,
                               {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04},
                               {255, 127, 0},
                               icon_client_frame_bad},
                      LookCase{"ClientBadLengthPiece",
                               false,
                               {0x0F, 0xF8, 0x00},
                               {200, 50, 50},
                               icon_client_frame_bad}),
    [](const ::testing::TestParamInfo<LookCase>& p) { return std::string(p.param.name); });

// ---- Texts of the columns ----

TEST_F(FrameProcessing, BusBadChecksumRowShowsCarriedAndExpectedChecksumAndIsSentToNobody) {
    const ConnectionHandle client = connected_client();
    bus_sends({0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04});
    ASSERT_EQ(view.traffic.size(), 1u);
    const TrafficRow& row = view.traffic.front();
    EXPECT_EQ(row.cell(TrafficColumn::hex), "0FF800010BEE04");
    EXPECT_EQ(row.cell(TrafficColumn::length), "7");
    EXPECT_EQ(row.cell(TrafficColumn::checksum), "EE");
    EXPECT_EQ(row.cell(TrafficColumn::source).rfind("$00 ", 0), 0u)
        << row.cell(TrafficColumn::source);
    EXPECT_TRUE(row.cell(TrafficColumn::source).ends_with(" from VelBUS»Bad CSum ED"))
        << row.cell(TrafficColumn::source);
    EXPECT_TRUE(net.peer(client).sent.empty());
}

TEST_F(FrameProcessing, BusBadLengthRowNamesTheCandidateSizeAndVerdict) {
    // n = 3, so the end byte belongs at position 8; a 05 stands there.
    bus_sends({0x0F, 0xFB, 0x05, 0x03, 0x01, 0x02, 0x03, 0xAB, 0x05});
    ASSERT_EQ(view.traffic.size(), 1u);
    const TrafficRow& row = view.traffic.front();
    EXPECT_EQ(row.cell(TrafficColumn::length), "9");
    EXPECT_EQ(row.cell(TrafficColumn::checksum), "AB");
    EXPECT_TRUE(row.cell(TrafficColumn::source).ends_with(" from VelBUS»Bad Len 9 bytes (-3)"))
        << row.cell(TrafficColumn::source);
}

TEST_F(FrameProcessing, ValidBusRowCarriesTimeHexLengthChecksumAndOrigin) {
    clock.now = 1340;  // 10:20:01.340
    bus_sends(kFBFrame);
    ASSERT_EQ(view.traffic.size(), 1u);
    const TrafficRow& row = view.traffic.front();
    EXPECT_EQ(row.cell(TrafficColumn::time), "10:20:01.34");
    EXPECT_EQ(row.cell(TrafficColumn::hex), "0FFB05010AE604");
    EXPECT_EQ(row.cell(TrafficColumn::length), "7");
    EXPECT_EQ(row.cell(TrafficColumn::checksum), "E6");
    EXPECT_EQ(row.cell(TrafficColumn::source).rfind("$05 ", 0), 0u)
        << row.cell(TrafficColumn::source);
    EXPECT_TRUE(row.cell(TrafficColumn::source).ends_with(" from VelBUS"))
        << row.cell(TrafficColumn::source);
}

TEST_F(FrameProcessing, ClientRowsNameTheSender) {
    const ConnectionHandle client = connected_client();
    clock.now = 2000;  // the frame comes at 10:20:02.00
    const TrafficRow& valid = client_row(client, kFBFrame);
    EXPECT_TRUE(valid.cell(TrafficColumn::source).ends_with(" from 192.168.1.20:888"))
        << valid.cell(TrafficColumn::source);
    EXPECT_EQ(valid.cell(TrafficColumn::time), "10:20:02.00");

    const TrafficRow& bad_checksum = client_row(client, {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04});
    EXPECT_TRUE(
        bad_checksum.cell(TrafficColumn::source).ends_with(" from 192.168.1.20:888»Bad CSum ED"))
        << bad_checksum.cell(TrafficColumn::source);

    const TrafficRow& piece = client_row(client, {0x0F, 0xF8, 0x00});
    EXPECT_TRUE(
        piece.cell(TrafficColumn::source).ends_with(" from 192.168.1.20:888»Bad Len 3 bytes"))
        << piece.cell(TrafficColumn::source);
    EXPECT_EQ(piece.cell(TrafficColumn::checksum), "F8");
    EXPECT_EQ(piece.cell(TrafficColumn::time), "");

    const TrafficRow& start_byte = client_row(client, {0x0F});
    EXPECT_TRUE(
        start_byte.cell(TrafficColumn::source).ends_with(" from 192.168.1.20:888»Bad Len 1 bytes"))
        << start_byte.cell(TrafficColumn::source);
    EXPECT_EQ(start_byte.cell(TrafficColumn::checksum), "");
}

// A frame still queued when "Disconnect All" forgets its client, then not sent.
TEST_F(FrameProcessing, NotSentRowOfAForgottenClientNamesAnUnknownSender) {
    const ConnectionHandle client = connected_client();
    bus_sends({0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04});  // the module's "buffer full"
    client_row(client, kFBFrame);
    view.click(Control::disconnect_all);
    run_pass(gw);
    serial.failed = true;
    const auto not_sent = [&] {
        return view.traffic.front().cell(TrafficColumn::source).find("Not sent") !=
               std::string::npos;
    };
    for (int k = 0; k < 300 && !not_sent(); ++k)
        run_pass(gw);
    const TrafficRow& row = view.traffic.front();
    ASSERT_EQ(row.cell(TrafficColumn::hex), "0FFB05010AE604");
    EXPECT_NE(row.cell(TrafficColumn::source).find(" from unknown"), std::string::npos)
        << row.cell(TrafficColumn::source);
    EXPECT_TRUE(row.cell(TrafficColumn::source).ends_with("»Not sent, serial link down"))
        << row.cell(TrafficColumn::source);
}

// ---- The filter ----

struct FilterCase {
    const char* name;
    bool filter_down;
    bool invert_down;
    const char* text;
    std::vector<std::string> shown;
};
void PrintTo(const FilterCase& c, std::ostream* os) {
    *os << c.name;
}

class TrafficFilter : public FrameProcessing, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(TrafficFilter, DecidesWhichRowsAreListed) {
    const FilterCase& c = GetParam();
    const ConnectionHandle analyzer = net.datagram("192.168.1.30", 5000, "hi");
    run_pass(gw);
    view.set_checked(Control::filter_toggle, c.filter_down);
    view.set_checked(Control::invert_toggle, c.invert_down);
    view.type_filter(c.text);
    view.set_checked(Control::debug_check, true);
    for (int k = 0; k < 4; ++k)
        run_pass(gw);
    bus_sends(kF8Frame);
    bus_sends(kFBFrame);
    bus_sends(kFBInData);
    EXPECT_EQ(shown_hex(), c.shown);
    // Analyzers and the debug log get every frame, whatever the list shows.
    EXPECT_EQ(net.peer(analyzer).sent.size(), 1u + 3u);
    const std::string log = file_text("Quillon_debug.log");
    EXPECT_NE(log.find(",0FF800010BED04,7,ED,"), std::string::npos);
    EXPECT_NE(log.find(",0FFB05010AE604,7,E6,"), std::string::npos);
    EXPECT_NE(log.find(",0FF8060202FBF404,8,F4,"), std::string::npos);
}

const std::string kHexF8 = "0FF800010BED04";
const std::string kHexFB = "0FFB05010AE604";
const std::string kHexFBInData = "0FF8060202FBF404";

INSTANTIATE_TEST_SUITE_P(
    Cases, TrafficFilter,
    ::testing::Values(
        FilterCase{"ToggleUpShowsAll", false, false, "FB", {kHexF8, kHexFB, kHexFBInData}},
        FilterCase{"ToggleUpIgnoresInvert", false, true, "", {kHexF8, kHexFB, kHexFBInData}},
        FilterCase{"LowerCasePrefix0ff8", true, false, "0ff8", {kHexF8, kHexFBInData}},
        FilterCase{"F8IsNeverAPrefix", true, false, "F8", {}},
        FilterCase{"InvertedFBLeavesOutEveryFrameContainingIt", true, true, "FB", {kHexF8}},
        FilterCase{"EmptyTextInvertUpShowsNothing", true, false, "", {}},
        FilterCase{"EmptyTextInvertDownShowsAll", true, true, "", {kHexF8, kHexFB, kHexFBInData}}),
    [](const ::testing::TestParamInfo<FilterCase>& p) { return std::string(p.param.name); });

TEST_F(FrameProcessing, DebugLineIsTheRowJoinedByCommasInCodePageWithCrLf) {
    // Read in the pass that sees the second begin, the frame's time ends in ".00".
    serial.deliver({0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04});
    view.set_checked(Control::debug_check, true);
    run_pass(gw);
    ASSERT_EQ(view.traffic.size(), 1u);
    const std::string& source = view.traffic.front().cell(TrafficColumn::source);
    ASSERT_TRUE(source.ends_with("»Bad CSum ED")) << source;
    const std::string log = file_text("Quillon_debug.log");
    EXPECT_EQ(log, "10:20:01.00,0FF800010BEE04,7,EE," + utf8_to_cp1252(source) + "\r\n");
    EXPECT_TRUE(
        log.ends_with("\xBB"
                      "Bad CSum ED\r\n"));
}

TEST_F(FrameProcessing, AnalyzerGetsVToNLinesForBothDirections) {
    const ConnectionHandle client = net.connect("192.168.1.20", 888);
    const ConnectionHandle analyzer = net.datagram("192.168.1.30", 5000, "hi");
    run_pass(gw);
    run_pass(gw);
    net.client_sends(client, kF8Frame);
    run_pass(gw);
    serial.deliver({0x0F, 0xFB, 0x05, 0x01, 0x0A, 0xE5, 0x04});
    run_pass(gw);
    const auto lines = net.peer(analyzer).received_lines();
    ASSERT_GE(lines.size(), 3u);
    const std::string& from_client = lines[lines.size() - 2];
    const std::string& from_bus = lines.back();
    EXPECT_EQ(from_client.rfind("V->N,", 0), 0u) << from_client;
    EXPECT_TRUE(from_client.ends_with(" from 192.168.1.20:888")) << from_client;
    EXPECT_EQ(from_bus.rfind("V->N,", 0), 0u) << from_bus;
    EXPECT_NE(from_bus.find(",0FFB05010AE504,7,E5,$05 "), std::string::npos) << from_bus;
    EXPECT_TRUE(
        from_bus.ends_with(" from VelBUS\xBB"
                           "Bad CSum E6"))
        << from_bus;
}

// ---- The 500-row list ----

TEST_F(FrameProcessing, The501stRowPushesTheOldestOut) {
    Bytes burst;
    std::vector<std::string> hex;
    for (int k = 0; k < 501; ++k) {
        const Bytes f = make_frame(
            0xFB, 0x01, {static_cast<std::uint8_t>(k >> 8), static_cast<std::uint8_t>(k)});
        burst.insert(burst.end(), f.begin(), f.end());
        hex.push_back(hex_dump(f));
    }
    bus_sends(burst);
    ASSERT_EQ(view.traffic.size(), 500u);
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::hex), hex[500]);
    EXPECT_EQ(view.traffic.back().cell(TrafficColumn::hex), hex[1]);

    // What "Save" writes is what the list kept, top row first.
    const std::string file = traffic_list_file_name(clock.local_date());
    view.click(Control::save);
    run_pass(gw);
    std::istringstream saved(file_text(file));
    std::vector<std::string> lines;
    for (std::string line; std::getline(saved, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 500u);
    EXPECT_NE(lines.front().find("\t" + hex[500] + "\t"), std::string::npos) << lines.front();
    EXPECT_NE(lines.back().find("\t" + hex[1] + "\t"), std::string::npos) << lines.back();
}

// ---- The bus-silence watch ----

int silence_rows(const FakeView& v) {
    int n = 0;
    for (const TrafficRow& r : v.traffic)
        n += r.cell(TrafficColumn::hex) == "- timeout -" ? 1 : 0;
    return n;
}

TEST_F(FrameProcessing, SilentBusIsReportedOncePerSilenceAndRearmedByAByte) {
    const std::int64_t started = clock.now;
    pass_at(started + 120000);  // equal to the limit: not yet
    EXPECT_EQ(silence_rows(view), 0);

    pass_at(started + 120001);
    ASSERT_EQ(silence_rows(view), 1);
    const TrafficRow& row = view.traffic.front();
    EXPECT_EQ(row.cells,
              (std::array<std::string, traffic_column_count>{"", "10:22:01.00", "- timeout -", "",
                                                             "", "No communication with Velbus"}));
    EXPECT_EQ(row.icon, no_icon);
    EXPECT_TRUE(row.colour_is_background);
    EXPECT_EQ(row.colour, (Rgb{200, 50, 50}));

    pass_at(clock.now + 500000);
    EXPECT_EQ(silence_rows(view), 1);

    bus_sends({0x55});  // one byte of noise re-arms the watch
    const std::int64_t byte_at = clock.now;
    pass_at(byte_at + 120000);
    EXPECT_EQ(silence_rows(view), 1);
    pass_at(byte_at + 120001);
    EXPECT_EQ(silence_rows(view), 2);
}

}  // namespace
}  // namespace quillon::testing
