// Frame processing: the traffic row of every new frame (texts, colours, icons,
// the filter, the 500-row cap), the analyzer and debug lines, and the bus-silence watch.
#include <string>
#include <vector>

#include "bus/frame_processing.hpp"
#include "bus/serial_reception.hpp"
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
    // Reads the bytes from the bus and processes what came, as one pass does.
    std::int32_t process_bus(const Bytes& bytes) {
        serial.deliver(bytes);
        const auto net_start = static_cast<std::int32_t>(gw.net_bound.size());
        const std::int32_t n = receive_from_bus(gw);
        process_new_frames(gw, 0, 0, net_start, n);
        return n;
    }
    // Processes one client entry as if the intake had just queued it.
    void process_client(const Bytes& bytes, FrameStatus status, ConnectionHandle sender,
                        const std::string& origin) {
        QueueEntry e;
        e.origin = origin;
        e.length = static_cast<std::int32_t>(bytes.size());
        e.time = "10:20:01.00";
        e.bytes = bytes;
        e.status = status;
        e.sender = sender;
        gw.bus_bound.push_back(e);
        process_new_frames(gw, static_cast<std::int32_t>(gw.bus_bound.size()) - 1, 1,
                           static_cast<std::int32_t>(gw.net_bound.size()), 0);
    }
    std::vector<std::string> shown_hex() const {
        std::vector<std::string> hex;
        for (auto it = view.traffic.rbegin(); it != view.traffic.rend(); ++it)
            hex.push_back(it->cells[2]);
        return hex;
    }
};

// ---- Colours and icons ----

struct LookCase {
    const char* name;
    bool from_bus;
    Bytes bytes;
    FrameStatus client_status;  // for client entries
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
        ASSERT_EQ(process_bus(c.bytes), 1);
    } else {
        process_client(c.bytes, c.client_status, 42, "888");
    }
    ASSERT_EQ(view.traffic.size(), 1u);
    EXPECT_EQ(view.traffic.front().colour, c.colour);
    EXPECT_FALSE(view.traffic.front().colour_is_background);
    EXPECT_EQ(view.traffic.front().icon, c.icon);
    EXPECT_EQ(view.traffic.front().cells[0], "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowLook,
    ::testing::Values(
        LookCase{"BusPriorityFB", true, kFBFrame, {}, {20, 150, 20}, icon_bus_frame},
        LookCase{"BusPriorityF8", true, kF8Frame, {}, {150, 190, 30}, icon_bus_frame},
        LookCase{"BusBadChecksum",
                 true,
                 {0x0F, 0xFB, 0x00, 0x01, 0x0B, 0xEE, 0x04},
                 {},
                 {255, 127, 0},
                 icon_bus_frame_bad},
        LookCase{"BusBadLength",
                 true,
                 {0x0F, 0xFB, 0x00, 0x01, 0x0B, 0xEA, 0x05},
                 {},
                 {200, 50, 50},
                 icon_bus_frame_bad},
        LookCase{
            "ClientValid", false, kFBFrame, FrameStatus::valid, {50, 50, 200}, icon_client_frame},
        LookCase{"ClientBadChecksum",
                 false,
                 {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04},
                 FrameStatus::bad_checksum,
                 {255, 127, 0},
                 icon_client_frame_bad},
        LookCase{"ClientBadLengthPiece",
                 false,
                 {0x0F, 0xF8, 0x00},
                 FrameStatus::bad_length,
                 {200, 50, 50},
                 icon_client_frame_bad}),
    [](const ::testing::TestParamInfo<LookCase>& p) { return std::string(p.param.name); });

// ---- Texts of the columns ----

TEST_F(FrameProcessing, BusBadChecksumRowShowsCarriedAndExpectedChecksumAndIsSentToNobody) {
    const ConnectionHandle client = net.connect("192.168.1.20", 888);
    run_pass(gw);
    serial.deliver({0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04});
    run_pass(gw);
    ASSERT_EQ(view.traffic.size(), 1u);
    const TrafficRow& row = view.traffic.front();
    EXPECT_EQ(row.cells[2], "0FF800010BEE04");
    EXPECT_EQ(row.cells[3], "7");
    EXPECT_EQ(row.cells[4], "EE");
    EXPECT_EQ(row.cells[5].rfind("$00 ", 0), 0u) << row.cells[5];
    EXPECT_TRUE(row.cells[5].ends_with(" from VelBUS»Bad CSum ED")) << row.cells[5];
    EXPECT_TRUE(net.peer(client).sent.empty());
}

TEST_F(FrameProcessing, BusBadLengthRowNamesTheCandidateSizeAndVerdict) {
    // n = 3, so the end byte belongs at position 8; a 05 stands there.
    ASSERT_EQ(process_bus({0x0F, 0xFB, 0x05, 0x03, 0x01, 0x02, 0x03, 0xAB, 0x05}), 1);
    const TrafficRow& row = view.traffic.front();
    EXPECT_EQ(row.cells[3], "9");
    EXPECT_EQ(row.cells[4], "AB");
    EXPECT_TRUE(row.cells[5].ends_with(" from VelBUS»Bad Len 9 bytes (-3)")) << row.cells[5];
}

TEST_F(FrameProcessing, ValidBusRowCarriesTimeHexLengthChecksumAndOrigin) {
    gw.state.second_start_ms = clock.now - 340;
    ASSERT_EQ(process_bus(kFBFrame), 1);
    const TrafficRow& row = view.traffic.front();
    EXPECT_EQ(row.cells[1], "10:20:01.34");
    EXPECT_EQ(row.cells[2], "0FFB05010AE604");
    EXPECT_EQ(row.cells[3], "7");
    EXPECT_EQ(row.cells[4], "E6");
    EXPECT_EQ(row.cells[5], gw.net_bound.front().origin);
}

TEST_F(FrameProcessing, ClientRowsNameTheSenderOrAnUnknownOrigin) {
    const ConnectionHandle client = net.connect("192.168.1.20", 888);
    run_pass(gw);
    process_client(kFBFrame, FrameStatus::valid, client, "888");
    EXPECT_TRUE(view.traffic.front().cells[5].ends_with(" from 192.168.1.20:888"))
        << view.traffic.front().cells[5];
    EXPECT_EQ(view.traffic.front().cells[1], "10:20:01.00");

    process_client({0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04}, FrameStatus::bad_checksum, client,
                   "888#");
    EXPECT_TRUE(view.traffic.front().cells[5].ends_with(" from 192.168.1.20:888»Bad CSum ED"))
        << view.traffic.front().cells[5];

    process_client({0x0F, 0xF8, 0x00}, FrameStatus::bad_length, client, "888 ");
    EXPECT_TRUE(view.traffic.front().cells[5].ends_with(" from 192.168.1.20:888»Bad Len 3 bytes"))
        << view.traffic.front().cells[5];
    EXPECT_EQ(view.traffic.front().cells[4], "F8");

    process_client({0x0F}, FrameStatus::bad_length, 0, "4321 ");
    EXPECT_TRUE(view.traffic.front().cells[5].ends_with(" from unknown 4321 »Bad Len 1 bytes"))
        << view.traffic.front().cells[5];
    EXPECT_EQ(view.traffic.front().cells[4], "");
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
    view.filter_down = c.filter_down;
    view.invert_down = c.invert_down;
    view.filter = c.text;
    view.debug = true;
    ASSERT_EQ(process_bus(kF8Frame), 1);
    ASSERT_EQ(process_bus(kFBFrame), 1);
    ASSERT_EQ(process_bus(kFBInData), 1);
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
    view.debug = true;
    gw.state.second_start_ms = clock.now;
    ASSERT_EQ(process_bus({0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04}), 1);
    const std::string expected = "10:20:01.00,0FF800010BEE04,7,EE," +
                                 utf8_to_cp1252(gw.net_bound.front().origin) +
                                 "\xBB"
                                 "Bad CSum ED\r\n";
    EXPECT_EQ(file_text("Quillon_debug.log"), expected);
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
            0xFB, 0x01, 0x02, {static_cast<std::uint8_t>(k >> 8), static_cast<std::uint8_t>(k)});
        burst.insert(burst.end(), f.begin(), f.end());
        hex.push_back(hex_dump(f));
    }
    ASSERT_EQ(process_bus(burst), 501);
    ASSERT_EQ(view.traffic.size(), 500u);
    EXPECT_EQ(gw.traffic_rows.size(), 500u);
    EXPECT_EQ(view.traffic.front().cells[2], hex[500]);
    EXPECT_EQ(view.traffic.back().cells[2], hex[1]);
    EXPECT_EQ(gw.traffic_rows.back().cells[2], hex[1]);
}

// ---- The bus-silence watch ----

int silence_rows(const FakeView& v) {
    int n = 0;
    for (const TrafficRow& r : v.traffic)
        n += r.cells[2] == "- timeout -" ? 1 : 0;
    return n;
}

TEST_F(FrameProcessing, SilentBusIsReportedOncePerSilenceAndRearmedByAByte) {
    const std::int64_t started = clock.now;
    clock.now = started + 120000;  // equal to the limit: not yet
    process_new_frames(gw, 0, 0, 0, 0);
    EXPECT_EQ(silence_rows(view), 0);

    clock.now = started + 120001;
    process_new_frames(gw, 0, 0, 0, 0);
    ASSERT_EQ(silence_rows(view), 1);
    const TrafficRow& row = view.traffic.front();
    EXPECT_EQ(row.cells,
              (std::array<std::string, traffic_column_count>{"", "10:22:01.00", "- timeout -", "",
                                                             "", "No communication with Velbus"}));
    EXPECT_EQ(row.icon, no_icon);
    EXPECT_TRUE(row.colour_is_background);
    EXPECT_EQ(row.colour, (Rgb{200, 50, 50}));

    clock.advance(500000);
    process_new_frames(gw, 0, 0, 0, 0);
    EXPECT_EQ(silence_rows(view), 1);

    EXPECT_EQ(process_bus({0x55}), 0);  // one byte of noise re-arms the watch
    const std::int64_t byte_at = clock.now;
    clock.now = byte_at + 120000;
    process_new_frames(gw, 0, 0, 0, 0);
    EXPECT_EQ(silence_rows(view), 1);
    clock.now = byte_at + 120001;
    process_new_frames(gw, 0, 0, 0, 0);
    EXPECT_EQ(silence_rows(view), 2);
}

}  // namespace
}  // namespace quillon::testing
