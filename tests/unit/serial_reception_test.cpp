// Serial reception: cutting the bytes the bus interface module delivers into
// queued frames, holding a frame that arrives in pieces, and surviving a lost port.
#include <random>
#include <string>
#include <vector>

#include "bus/serial_link.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

const Bytes kValidF8{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};
const Bytes kValidF8b{0x0F, 0xF8, 0x00, 0x01, 0x0C, 0xEC, 0x04};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A 21-byte frame whose data holds start and end bytes, which must not confuse the scan.
Bytes longest_frame() {
    return make_frame(
        0xFB, 0x0F,
        {0x0F, 0x04, 0x0F, 0x00, 0x04, 0x0F, 0x0F, 0x04, 0x11, 0x22, 0x33, 0x04, 0x0F, 0x44, 0x55},
        true);
}

// The serial link alone on a fake port, opened and watching from the clock's reading.
class SerialReception : public ::testing::Test {
  protected:
    FakeClock clock;
    FakeSerialPort port{clock};
    SerialLink link{port};
    std::vector<QueueEntry> received;
    const std::vector<QueueEntry>& out = received;

    void SetUp() override {
        link.configure({"COM1", 38400, 0, 8, 1.0f, 0}, false);
        ASSERT_TRUE(link.open());
        link.start_watch(clock.now);
    }
    std::int32_t receive() { return link.receive(clock.now, {}, received).frames; }
    std::int32_t receive(const Bytes& bytes) {
        port.deliver(bytes);
        return receive();
    }
    // Nothing is held: a give-up after the limit adds no piece.
    bool holds_nothing() {
        const std::size_t before = out.size();
        clock.advance(serial_hold_limit_ms + 1);
        receive();
        return out.size() == before;
    }
};

// The gateway around the link, started on "COM1".
class SerialReceptionInTheLoop : public GatewayHarness {
  protected:
    void SetUp() override {
        GatewayHarness::SetUp();
        ASSERT_EQ(start(), StartOutcome::running);
    }
    int rows_tagged(const std::string& tag, const std::string& text_part) const {
        int n = 0;
        for (const TrafficRow& r : view.traffic)
            n += r.cell(TrafficColumn::hex) == tag &&
                         r.cell(TrafficColumn::source).find(text_part) != std::string::npos
                     ? 1
                     : 0;
        return n;
    }
    // Passes until the once-a-second figures are shown again.
    void run_until_rates_shown() {
        view.rates.clear();
        for (int k = 0; k < 100 && view.rates.empty(); ++k)
            run_pass(gw);
    }
};

// ---- Scanning one read ----

struct Expected {
    FrameStatus status;
    std::size_t length;
};

struct ScanCase {
    const char* name;
    Bytes bytes;
    std::vector<Expected> entries;
};
void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.name;
}

class ScanningOneRead : public SerialReception, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(ScanningOneRead, QueuesOneEntryPerCandidateInOrder) {
    const ScanCase& c = GetParam();
    EXPECT_EQ(receive(c.bytes), static_cast<std::int32_t>(c.entries.size()));
    ASSERT_EQ(out.size(), c.entries.size());
    for (std::size_t k = 0; k < c.entries.size(); ++k) {
        const QueueEntry& e = out[k];
        EXPECT_EQ(e.status, c.entries[k].status) << "entry " << k;
        EXPECT_EQ(e.bytes.size(), c.entries[k].length) << "entry " << k;
        EXPECT_EQ(e.bytes.front(), BusFrame::start_byte) << "entry " << k;
    }
    EXPECT_TRUE(holds_nothing());
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, ScanningOneRead,
    ::testing::Values(
        ScanCase{"TwoValidFramesBackToBack",
                 cat({kValidF8, kValidF8b}),
                 {{FrameStatus::valid, 7}, {FrameStatus::valid, 7}}},
        ScanCase{"StartBytesInsideValidFrame",
                 make_frame(0xFB, 0x0F, {0x0F, 0x0F}),
                 {{FrameStatus::valid, 8}}},
        ScanCase{"WrongEndByteThenValid",
                 cat({{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x05}, kValidF8}),
                 {{FrameStatus::bad_length, 7}, {FrameStatus::valid, 7}}},
        // The 0F at position 2 of the rejected bytes starts a 6-byte candidate of its own.
        ScanCase{
            "StartInsideRejectedCandidate",
            cat({{0x0F, 0xF8, 0x0F, 0x01, 0x00, 0x00, 0x05}, kValidF8}),
            {{FrameStatus::bad_length, 7}, {FrameStatus::bad_length, 6}, {FrameStatus::valid, 7}}},
        // A bad-checksum frame's bytes, its 0F included, are not scanned again.
        ScanCase{"BadChecksumSkipsItsOwnBytes",
                 cat({{0x0F, 0xF8, 0x00, 0x01, 0x0F, 0x00, 0x04}, kValidF8}),
                 {{FrameStatus::bad_checksum, 7}, {FrameStatus::valid, 7}}},
        ScanCase{"BadChecksumAndBadEndIsBadLength",
                 {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x05},
                 {{FrameStatus::bad_length, 7}}},
        ScanCase{"NoiseBeforeFirstStartIsSkipped",
                 cat({{0x00, 0x11, 0x04, 0xFF}, kValidF8}),
                 {{FrameStatus::valid, 7}}},
        ScanCase{"NoiseAloneGivesNothing", {0x00, 0x11, 0x04, 0xFF, 0x0E, 0x10}, {}},
        ScanCase{"LengthNibble15IsA21ByteFrame", longest_frame(), {{FrameStatus::valid, 21}}},
        ScanCase{"LengthNibble15WithWrongEnd",
                 [] {
                     Bytes b = make_frame(0xFB, 0x01, Bytes(15, 0x22), true);
                     b.back() = 0x05;
                     return b;
                 }(),
                 {{FrameStatus::bad_length, 21}}},
        // A rejected candidate's length byte 0F is a start byte of its own.
        ScanCase{"RejectedLengthByte0FStartsACandidate",
                 [] {
                     Bytes b = make_frame(0xFB, 0x01, Bytes(15, 0x22));
                     b.back() = 0x05;
                     return b;
                 }(),
                 {{FrameStatus::bad_length, 21}, {FrameStatus::bad_length, 8}}},
        ScanCase{"RtrWithoutData", make_frame(0xFB, 0x05, {}, true), {{FrameStatus::valid, 6}}},
        ScanCase{"HighNibbleIgnoredInLength",
                 frame_with_length_byte(0xF8, 0x05, 0xA1, {0x55}),
                 {{FrameStatus::valid, 7}}}),
    [](const ::testing::TestParamInfo<ScanCase>& p) { return std::string(p.param.name); });

TEST_F(SerialReception, NothingWaitingChangesNothing) {
    clock.advance(100000);
    EXPECT_EQ(receive(), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(link.take_received_bytes(), 0);
    // The watch still counts from the start, and a silence is reported once.
    clock.advance(20001);
    EXPECT_TRUE(link.silence_begins(clock.now));
    clock.advance(500);
    EXPECT_EQ(receive(), 0);
    EXPECT_FALSE(link.silence_begins(clock.now));
}

TEST_F(SerialReception, AnyByteReadCountsAndRearmsTheSilenceWatch) {
    clock.advance(130000);
    ASSERT_TRUE(link.silence_begins(clock.now));
    EXPECT_EQ(receive({0x55, 0x66, 0x77}), 0);
    EXPECT_EQ(link.take_received_bytes(), 3);
    EXPECT_EQ(link.take_received_bytes(), 0);
    EXPECT_FALSE(link.silence_begins(clock.now + bus_silence_limit_ms));
    EXPECT_TRUE(link.silence_begins(clock.now + bus_silence_limit_ms + 1));
}

TEST_F(SerialReception, EntryCarriesThePassStampAndACopyOfTheBytes) {
    const Bytes frame = make_frame(0xFB, 0x05, {0x0A});
    port.deliver(frame);
    const FrameTime stamp{clock.local_date(), 7};
    ASSERT_EQ(link.receive(clock.now, stamp, received).frames, 1);
    ASSERT_EQ(receive(kValidF8), 1);  // the next read reuses the link's buffer
    const QueueEntry& e = out.front();
    EXPECT_EQ(e.time.second, stamp.second);
    EXPECT_EQ(e.time.hundredths, 7);
    EXPECT_EQ(e.bytes, frame);
    EXPECT_TRUE(e.from_bus());
}

// ---- Frames that arrive in pieces ----

struct SplitCase {
    Bytes frame;
    std::size_t cut;
};
void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << c.frame.size() << " bytes cut after " << c.cut;
}

class SplitFrame : public SerialReception, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SplitFrame, IsJudgedWholeWhenTheRestArrives) {
    const auto& [frame, cut] = GetParam();
    const auto split = frame.begin() + static_cast<std::ptrdiff_t>(cut);
    const Bytes first = cat({{0x00, 0x04, 0x33}, Bytes(frame.begin(), split)});
    const Bytes rest = cat({Bytes(split, frame.end()), kValidF8});

    EXPECT_EQ(receive(first), 0);
    clock.advance(20);
    ASSERT_EQ(receive(rest), 2);
    EXPECT_EQ(out[0].status, FrameStatus::valid);
    EXPECT_EQ(out[0].bytes, frame);
    EXPECT_EQ(out[1].bytes, kValidF8);
    EXPECT_TRUE(holds_nothing());
}

std::vector<SplitCase> every_cut() {
    std::vector<SplitCase> cases;
    for (const Bytes& f : {kValidF8, longest_frame()}) {
        for (std::size_t cut = 1; cut < f.size(); ++cut)
            cases.push_back({f, cut});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryPosition, SplitFrame, ::testing::ValuesIn(every_cut()),
                         [](const ::testing::TestParamInfo<SplitCase>& p) {
                             return std::to_string(p.param.frame.size()) + "BytesCutAfter" +
                                    std::to_string(p.param.cut);
                         });

TEST_F(SerialReception, FrameDeliveredByteByByteGivesOneValidEntry) {
    const Bytes frame = longest_frame();
    for (std::size_t k = 0; k + 1 < frame.size(); ++k) {
        EXPECT_EQ(receive({frame[k]}), 0) << "byte " << k;
        clock.advance(2);
    }
    ASSERT_EQ(receive({frame.back()}), 1);
    EXPECT_EQ(out.front().status, FrameStatus::valid);
    EXPECT_EQ(out.front().bytes, frame);
}

TEST_F(SerialReception, ShortReadIsScannedAndItsTailHeld) {
    port.short_read_by = 3;
    EXPECT_EQ(receive(cat({kValidF8, kValidF8b})), 1);
    EXPECT_EQ(out.back().bytes, kValidF8);
    port.short_read_by = 0;
    ASSERT_EQ(receive(), 1);
    EXPECT_EQ(out.back().bytes, kValidF8b);
    EXPECT_EQ(out.back().status, FrameStatus::valid);
}

TEST_F(SerialReception, HeldStartWaitsFiftyMsThenBecomesABadLengthPiece) {
    EXPECT_EQ(receive({0x0F, 0xF8, 0x00, 0x01}), 0);
    clock.advance(50);
    EXPECT_EQ(receive(), 0);  // equal to the limit: still waiting
    clock.advance(1);
    ASSERT_EQ(receive(), 1);
    EXPECT_EQ(out.front().status, FrameStatus::bad_length);
    EXPECT_EQ(out.front().bytes, (Bytes{0x0F, 0xF8, 0x00, 0x01}));
    // The late rest holds no start byte: it is skipped like any noise.
    EXPECT_EQ(receive({0x0B, 0xED, 0x04}), 0);
    EXPECT_EQ(out.size(), 1u);
}

TEST_F(SerialReception, TricklingStartWaitsFiftyMsFromItsFirstByte) {
    EXPECT_EQ(receive({0x0F}), 0);
    clock.advance(30);
    EXPECT_EQ(receive({0xF8}), 0);
    clock.advance(21);  // 51 ms after the start byte came
    ASSERT_EQ(receive(), 1);
    EXPECT_EQ(out.front().bytes, (Bytes{0x0F, 0xF8}));
    EXPECT_EQ(out.front().status, FrameStatus::bad_length);
}

TEST_F(SerialReception, ALateLoopStillJoinsAHeldStartWithTheRestAlreadyWaiting) {
    EXPECT_EQ(receive({0x0F, 0xF8, 0x00, 0x01}), 0);
    clock.advance(120);  // a pass held up by a long distribution
    ASSERT_EQ(receive({0x0C, 0xEC, 0x04}), 1);
    EXPECT_EQ(out.front().bytes, kValidF8b);
    EXPECT_EQ(out.front().status, FrameStatus::valid);
}

TEST_F(SerialReception, StartByteAsLastByteOfAReadWaitsForItsFrame) {
    EXPECT_EQ(receive(cat({kValidF8, {0x0F}})), 1);
    clock.advance(10);
    ASSERT_EQ(receive({0xF8, 0x00, 0x01, 0x0C, 0xEC, 0x04}), 1);
    EXPECT_EQ(out.back().bytes, kValidF8b);
}

TEST_F(SerialReceptionInTheLoop, LoneStartByteIsShownAsOneBytePieceWithEmptyCs) {
    const ConnectionHandle client = net.connect("192.168.1.20", 888);
    run_pass(gw);
    serial.deliver({0x0F});
    run_pass(gw);
    EXPECT_TRUE(view.traffic.empty());
    run_pass(gw);
    run_pass(gw);
    run_pass(gw);  // 60 ms after the byte came
    ASSERT_EQ(view.traffic.size(), 1u);
    const TrafficRow& row = view.traffic.front();
    EXPECT_EQ(row.cell(TrafficColumn::hex), "0F");
    EXPECT_EQ(row.cell(TrafficColumn::length), "1");
    EXPECT_EQ(row.cell(TrafficColumn::checksum), "");
    EXPECT_TRUE(row.cell(TrafficColumn::source).rfind("$00 ", 0) == 0)
        << row.cell(TrafficColumn::source);
    EXPECT_TRUE(row.cell(TrafficColumn::source).ends_with(" from VelBUS»Bad Len 1 bytes (-3)"))
        << row.cell(TrafficColumn::source);
    EXPECT_EQ(row.icon, icon_bus_frame_bad);
    EXPECT_TRUE(net.peer(client).sent.empty());
}

// ---- The buffer's bounds ----

TEST_F(SerialReceptionInTheLoop, ReadNeverExceedsTheBufferAndTheRestWaits) {
    run_until_rates_shown();
    serial.deliver(Bytes(5000, 0x00));
    run_pass(gw);
    EXPECT_EQ(serial.max_read_request, serial_buffer_bytes);
    EXPECT_EQ(serial.incoming.size(), 5000u - serial_buffer_bytes);
    run_pass(gw);
    EXPECT_TRUE(serial.incoming.empty());
    EXPECT_TRUE(view.traffic.empty());
    run_until_rates_shown();
    EXPECT_EQ(view.rates[Control::rx_rate], "40000.0");  // every byte counted, in one second
}

TEST_F(SerialReception, HeldBytesAndReadTogetherFitTheBuffer) {
    EXPECT_EQ(receive({0x0F, 0xF8, 0x00, 0x01, 0x0B}), 0);
    port.deliver({0xED, 0x04});
    port.deliver(Bytes(5000, 0x00));
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(port.max_read_request, serial_buffer_bytes - 5);
    EXPECT_EQ(out.front().bytes, kValidF8);
}

TEST_F(SerialReceptionInTheLoop, RandomGarbageShowsEveryCandidateAndForwardsOnlyValidFrames) {
    const ConnectionHandle client = net.connect("192.168.1.20", 888);
    run_pass(gw);
    std::mt19937 rng(20240611);
    Bytes garbage(serial_buffer_bytes);
    for (auto& b : garbage)
        b = static_cast<std::uint8_t>(rng() % 16 == 0 ? 0x0F : rng() & 0xFF);
    for (std::size_t at = 300; at < 4000; at += 450)  // real frames amid the noise
        std::copy(kValidF8.begin(), kValidF8.end(), garbage.begin() + static_cast<long>(at));
    serial.deliver(garbage);
    run_for(100);  // the last held start is judged after 50 ms
    EXPECT_LE(serial.max_read_request, serial_buffer_bytes);
    const std::size_t rows = view.traffic.size();
    run_for(2000);  // every entry takes its 2 ms turn to the clients
    EXPECT_EQ(view.traffic.size(), rows) << "a start was still held";

    Bytes forwarded;
    int frames_forwarded = 0;
    ASSERT_GT(view.traffic.size(), 100u);
    ASSERT_LT(view.traffic.size(), traffic_list_max_rows);  // every row still listed
    for (auto it = view.traffic.rbegin(); it != view.traffic.rend(); ++it) {
        const TrafficRow& row = *it;
        EXPECT_EQ(row.cell(TrafficColumn::hex).rfind("0F", 0), 0u) << row.cell(TrafficColumn::hex);
        const std::size_t length = std::stoul(row.cell(TrafficColumn::length));
        EXPECT_EQ(row.cell(TrafficColumn::hex).size(), 2 * length);
        EXPECT_LE(length, BusFrame::max_size);
        if (row.icon == icon_bus_frame) {
            Bytes bytes;
            for (std::size_t i = 0; i < length; ++i)
                bytes.push_back(static_cast<std::uint8_t>(
                    std::stoul(row.cell(TrafficColumn::hex).substr(2 * i, 2), nullptr, 16)));
            EXPECT_EQ(judge_frame(bytes.data()), FrameStatus::valid)
                << row.cell(TrafficColumn::hex);
            forwarded.insert(forwarded.end(), bytes.begin(), bytes.end());
            ++frames_forwarded;
        } else {
            EXPECT_EQ(row.icon, icon_bus_frame_bad);
            EXPECT_NE(row.cell(TrafficColumn::source).find("»Bad "), std::string::npos)
                << row.cell(TrafficColumn::source);
        }
    }
    EXPECT_GE(frames_forwarded, 4);
    EXPECT_EQ(net.peer(client).received_bytes(), forwarded);
    EXPECT_EQ(net.peer(client).sent.size(), static_cast<std::size_t>(frames_forwarded));
}

// ---- A lost serial port ----

TEST_F(SerialReceptionInTheLoop, LostPortShowsOneRowIsRetriedAndTrafficResumesWithClientsKept) {
    const ConnectionHandle client = net.connect("192.168.1.20", 888);
    run_pass(gw);
    const std::size_t opens_before = serial.opened.size();

    serial.failed = true;
    run_pass(gw);
    EXPECT_FALSE(serial.open_now);
    ASSERT_EQ(rows_tagged("- serial -", "COM1 lost"), 1);
    EXPECT_TRUE(view.traffic.front().colour_is_background);
    EXPECT_EQ(view.traffic.front().colour, (Rgb{200, 50, 50}));

    run_for(3000);  // one failed attempt to open again
    EXPECT_EQ(rows_tagged("- serial -", "COM1 lost"), 1);
    EXPECT_EQ(serial.opened.size(), opens_before + 1);

    serial.failed = false;
    for (int k = 0; k < 10 && !serial.open_now; ++k)
        run_pass(gw);
    ASSERT_TRUE(serial.open_now);
    EXPECT_EQ(rows_tagged("- serial -", "COM1 open again"), 1);

    serial.deliver(kValidF8);
    run_pass(gw);
    EXPECT_TRUE(net.peer(client).open);
    EXPECT_EQ(net.peer(client).received_bytes(), kValidF8);
    EXPECT_EQ(view.status[StatusField::bus_frames], "V:1");
}

TEST_F(SerialReception, LostPortIsTriedAgainOnlyAfterMoreThan2000Ms) {
    port.failed = true;
    const SerialLink::Received r = link.receive(clock.now, {}, received);
    EXPECT_TRUE(r.lost);
    EXPECT_EQ(r.frames, 0);
    EXPECT_EQ(link.state(), LinkState::lost);
    const std::int64_t lost_at = clock.now;
    const std::size_t opens = port.opened.size();
    EXPECT_FALSE(link.retry(lost_at + 2000));
    EXPECT_EQ(port.opened.size(), opens);
    EXPECT_FALSE(link.retry(lost_at + 2001));
    EXPECT_EQ(port.opened.size(), opens + 1);
    EXPECT_EQ(link.state(), LinkState::lost);
    EXPECT_FALSE(link.retry(lost_at + 4001));
    EXPECT_EQ(port.opened.size(), opens + 1);
    port.failed = false;
    EXPECT_TRUE(link.retry(lost_at + 4002));
    EXPECT_EQ(link.state(), LinkState::open);
}

TEST_F(SerialReceptionInTheLoop, SilenceWatchGoesOnWhileThePortIsLost) {
    serial.failed = true;
    run_pass(gw);
    clock.advance(120001);
    run_pass(gw);
    EXPECT_EQ(rows_tagged("- timeout -", "No communication with Velbus"), 1);
}

TEST_F(SerialReceptionInTheLoop,
       ClientFramesWhileThePortIsLostShowAsNotSentAndAreNeitherCountedNorKept) {
    const ConnectionHandle client = net.connect("192.168.1.20", 888);
    const ConnectionHandle analyzer = net.datagram("192.168.1.30", 5000, "hi");
    run_pass(gw);
    run_pass(gw);
    serial.failed = true;
    run_pass(gw);

    net.client_sends(client, kValidF8);
    for (int k = 0; k < 10; ++k)
        run_pass(gw);
    ASSERT_GE(view.traffic.size(), 2u);
    const TrafficRow& unsent = view.traffic.front();
    EXPECT_EQ(unsent.cell(TrafficColumn::hex), hex_dump(kValidF8));
    EXPECT_TRUE(unsent.cell(TrafficColumn::source)
                    .ends_with("from 192.168.1.20:888»Not sent, serial link down"))
        << unsent.cell(TrafficColumn::source);
    const std::string line = net.peer(analyzer).received_lines().back();
    EXPECT_TRUE(line.starts_with("V->N,")) << line;
    EXPECT_NE(line.find("Not sent, serial link down"), std::string::npos) << line;

    clock.advance(1001);
    run_pass(gw);
    EXPECT_EQ(view.rates[Control::tx_rate], "0.0");

    serial.failed = false;
    for (int k = 0; k < 150; ++k)
        run_pass(gw);
    ASSERT_TRUE(serial.open_now);
    EXPECT_TRUE(serial.writes.empty()) << "a frame from before was replayed";
}

}  // namespace
}  // namespace quillon::testing
