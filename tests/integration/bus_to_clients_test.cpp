// Frames from the bus interface module to the bus clients.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <thread>

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

using BusFramesToClients = GatewayTest;

Bytes random_frame(std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> size(0, 8);
    Bytes data(static_cast<std::size_t>(size(rng)));
    for (auto& b : data)
        b = static_cast<std::uint8_t>(byte(rng));  // 0F and 04 included: they are data here
    const std::uint8_t priority = byte(rng) % 2 == 0 ? 0xFB : 0xF8;
    return make_frame(priority, static_cast<std::uint8_t>(byte(rng)), data);
}

// A frame whose checksum is off by one; no start byte inside it.
Bytes bad_checksum_frame(std::uint8_t address) {
    Bytes f = make_frame(0xFB, address, {0xFA, 0x01});
    f[f.size() - 2] = static_cast<std::uint8_t>(f[f.size() - 2] + 1);
    return f;
}

// A frame with another byte where the end byte belongs; no start byte inside it.
Bytes wrong_end_frame(std::uint8_t address) {
    Bytes f = make_frame(0xF8, address, {0x02, 0x03});
    f.back() = 0x05;
    return f;
}

TEST_F(BusFramesToClients, EveryGoodFrameReachesEveryClientIntactAndInOrder) {
    start_gateway();
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(connect_client());
    for (const auto& c : clients)
        ASSERT_NE(c, nullptr);

    std::mt19937 rng(20240611);
    std::vector<Bytes> good;
    std::vector<Bytes> bad;
    Bytes stream;
    std::vector<std::size_t> frame_ends;  // where each frame, good or bad, ends in the stream
    for (int i = 0; i < 60; ++i) {
        if (i % 10 == 5) {
            // Bad frames between good ones: shown, but sent to nobody.
            bad.push_back(i % 20 == 5 ? bad_checksum_frame(0x20) : wrong_end_frame(0x21));
            stream.insert(stream.end(), bad.back().begin(), bad.back().end());
            frame_ends.push_back(stream.size());
        }
        good.push_back(random_frame(rng));
        stream.insert(stream.end(), good.back().begin(), good.back().end());
        frame_ends.push_back(stream.size());
    }

    // Writes of 1 to 40 bytes: several frames in one write, frames cut across
    // writes. Each write waits until the gateway has shown the frames that the
    // earlier ones completed, so that every write is a read of its own.
    std::uniform_int_distribution<std::size_t> piece(1, 40);
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min(piece(rng), stream.size() - at);
        write_bus(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                        stream.begin() + static_cast<std::ptrdiff_t>(at + n)));
        at += n;
        const auto complete = static_cast<std::size_t>(std::count_if(
            frame_ends.begin(), frame_ends.end(), [&](std::size_t end) { return end <= at; }));
        ASSERT_TRUE(wait_rows([&](const std::vector<ShownRow>& shown) {
            return rows_with_marker(shown, "<-  ").size() +
                       rows_with_marker(shown, "<-! ").size() >=
                   complete;
        })) << gateway_->output();
    }

    const Bytes expected = joined(good);
    for (const auto& c : clients) {
        EXPECT_TRUE(c->wait_bytes(expected.size(), patience))
            << "client " << c->local_port() << " got " << c->received().size() << " of "
            << expected.size() << " bytes";
        EXPECT_EQ(hex_text(c->received()), hex_text(expected)) << "client " << c->local_port();
    }

    ASSERT_TRUE(wait_row_count("<-  ", good.size()) && wait_row_count("<-! ", bad.size()))
        << gateway_->output();
    const auto good_rows = rows_with_marker(rows(), "<-  ");
    const auto bad_rows = rows_with_marker(rows(), "<-! ");
    ASSERT_EQ(good_rows.size(), good.size());
    ASSERT_EQ(bad_rows.size(), bad.size());
    for (std::size_t i = 0; i < good.size(); ++i) {
        EXPECT_EQ(good_rows[i].hex, hex_text(good[i])) << "row " << i;
        EXPECT_EQ(good_rows[i].ln, std::to_string(good[i].size()));
        EXPECT_NE(good_rows[i].source.find(" from VelBUS"), std::string::npos)
            << good_rows[i].source;
    }
    for (std::size_t i = 0; i < bad.size(); ++i)
        EXPECT_EQ(bad_rows[i].hex, hex_text(bad[i])) << "row " << i;
}

// Disabled while serial reception judges a held start stale before reading
// the bytes already waiting for it: the frame is then shown as a bad-length
// piece and its rest dropped. Enable it with that fixed.
TEST_F(BusFramesToClients, FrameCutAfterALongBurstIsKeptWhole) {
    start_gateway();
    auto client = connect_client();
    ASSERT_TRUE(client);

    // Thirty frames keep the gateway busy for longer than a held start may
    // wait (2 ms a frame to the clients); the rest of the cut frame is on the
    // line all the while.
    std::vector<Bytes> frames;
    for (int i = 0; i < 31; ++i)
        frames.push_back(make_frame(0xFB, static_cast<std::uint8_t>(0x40 + i), {0xFB, 0x00}));
    const Bytes all = joined(frames);
    const std::size_t cut = all.size() - frames.back().size() + 4;
    write_bus(Bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(cut)));
    std::this_thread::sleep_for(5ms);
    write_bus(Bytes(all.begin() + static_cast<std::ptrdiff_t>(cut), all.end()));

    EXPECT_TRUE(client->wait_bytes(all.size(), patience));
    EXPECT_EQ(hex_text(client->received()), hex_text(all));
    EXPECT_TRUE(rows_with_marker(rows(), "<-! ").empty()) << gateway_->output();
}

TEST_F(BusFramesToClients, BadFramesReachNobodyButShowTheirRows) {
    start_gateway();
    auto first = connect_client();
    auto second = connect_client();
    ASSERT_TRUE(first && second);

    const Bytes bad_checksum{0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04};  // should carry ED
    Bytes wrong_end = make_frame(0xFB, 0x20, {0xAA, 0xBB});
    wrong_end.back() = 0x05;
    const Bytes good = make_frame(0xFB, 0x21, {0xFB, 0x01, 0x00});

    write_bus(bad_checksum);
    std::this_thread::sleep_for(20ms);
    write_bus(wrong_end);
    std::this_thread::sleep_for(20ms);
    write_bus(good);

    for (TcpClient* c : {first.get(), second.get()}) {
        EXPECT_TRUE(c->wait_bytes(good.size(), patience));
        c->read_for(200ms);
        EXPECT_EQ(hex_text(c->received()), hex_text(good));
    }

    ASSERT_TRUE(wait_row_count("<-  ", 1)) << gateway_->output();
    const auto shown = rows();
    ASSERT_EQ(shown.size(), 3u) << gateway_->output();
    EXPECT_EQ(shown[0].marker, "<-! ");
    EXPECT_EQ(shown[0].hex, "0FF800010BEE04");
    EXPECT_EQ(shown[0].cs, "EE");
    EXPECT_TRUE(
        shown[0].source.ends_with("\xC2\xBB"
                                  "Bad CSum ED"))
        << shown[0].source;
    EXPECT_EQ(shown[1].marker, "<-! ");
    EXPECT_EQ(shown[1].hex, hex_text(wrong_end));
    EXPECT_TRUE(
        shown[1].source.ends_with("\xC2\xBB"
                                  "Bad Len 8 bytes (-3)"))
        << shown[1].source;
    EXPECT_EQ(shown[2].marker, "<-  ");
    EXPECT_EQ(shown[2].hex, hex_text(good));
}

TEST_F(BusFramesToClients, ANameFromTheBusBringsNoControlCharacterToAnyOutput) {
    start_gateway();
    UdpClient analyzer;
    std::optional<std::string> hello;
    for (const auto until = SteadyClock::now() + patience; !hello && SteadyClock::now() < until;) {
        analyzer.send_to(static_cast<std::uint16_t>(port_ + 1), "hi");
        hello = analyzer.receive(300ms);
    }
    ASSERT_TRUE(hello);
    // Channel 1, "K", 0x9B (a terminal's CSI read as Latin-1), "2J", ESC, 0x81 (undefined).
    write_bus(make_frame(0xFB, 0x31, {0xF0, 0x01, 'K', 0x9B, '2', 'J', 0x1B, 0x81}));
    const std::string name =
        "(Name [ K\xE2\x80\xBA"
        "2J ?])";
    ASSERT_TRUE(wait_rows([&](const std::vector<ShownRow>& shown) {
        return !shown.empty() && shown.back().source.find(name) != std::string::npos;
    })) << gateway_->output();
    std::optional<std::string> line;
    while (!line || !line->starts_with("V->N,"))
        if (!(line = analyzer.receive(patience))) break;
    ASSERT_TRUE(line);
    EXPECT_NE(line->find("(Name [ K\x9B"
                         "2J ?])"),
              std::string::npos)
        << *line;  // Windows-1252
    command("save");
    std::string saved;
    for (const auto until = SteadyClock::now() + patience;
         saved.find("Name") == std::string::npos && SteadyClock::now() < until;) {
        std::this_thread::sleep_for(50ms);
        for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
            if (e.path().filename().string().starts_with("Quillon_")) {
                std::ifstream in(e.path(), std::ios::binary);
                saved.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
    }
    EXPECT_NE(saved.find(name), std::string::npos) << saved;
    for (const std::string& out : {gateway_->output(), gateway_->errors(), saved}) {
        EXPECT_EQ(out.find('\x1B'), std::string::npos);
        EXPECT_EQ(out.find("\xC2\x9B"), std::string::npos);  // U+009B
        EXPECT_EQ(out.find("\xC2\x81"), std::string::npos);
    }
}

// Far faster than a real bus can go: the clients' 2 ms spacing would fall
// behind by three frames in four.
TEST_F(BusFramesToClients, AFloodReachesAReadingClientWholeAndInOrderSoonAfterItEnds) {
    {
        const ImmediateReuse reuse;
        start_gateway();
    }
    auto client = connect_client();
    ASSERT_TRUE(client);
    const pid_t pid = gateway_->pid();
    const std::size_t descriptors_before = open_descriptors(pid);
    const std::int64_t resident_before = status_kib(pid, "VmRSS");

    // 2,000 frames a second for 2.5 seconds, written 20 every 10 ms: were the
    // clients' frames 2 ms apart, they would come 7.5 s after the end.
    constexpr int total = 5000;
    constexpr int per_chunk = 20;
    constexpr auto chunk_every = 10ms;
    std::vector<Bytes> frames;
    for (int n = 0; n < total; ++n) {
        const auto hi = static_cast<std::uint8_t>(n >> 8);
        const auto lo = static_cast<std::uint8_t>(n & 0xFF);
        frames.push_back(make_frame(0xFB, lo, {hi, lo, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
    }
    const Bytes expected = joined(frames);

    const auto began = SteadyClock::now();
    for (int chunk = 0; chunk * per_chunk < total; ++chunk) {
        const auto due = began + chunk * chunk_every;
        // The client reads all the while, as a client that keeps up does.
        client->read_for(std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(due - SteadyClock::now(), SteadyClock::duration::zero())));
        const auto first = frames.begin() + chunk * per_chunk;
        write_bus(joined(std::vector<Bytes>(first, first + per_chunk)));
    }
    const auto ended = SteadyClock::now();
    const std::size_t at_end = client->received().size();
    RecordProperty("flood_seconds", static_cast<int>((ended - began) / 1s));
    RecordProperty("bytes_at_flood_end", static_cast<int>(at_end));

    const auto deadline = ended + 5s;
    const bool all_came = client->wait_bytes(
        expected.size(), std::chrono::duration_cast<std::chrono::milliseconds>(std::max(
                             deadline - SteadyClock::now(), SteadyClock::duration::zero())));
    const Bytes& got = client->received();
    RecordProperty("last_byte_after_end_ms", static_cast<int>((SteadyClock::now() - ended) / 1ms));
    RecordProperty("bytes_5s_after_end", static_cast<int>(got.size()));
    EXPECT_TRUE(all_came) << "the client had " << at_end << " of " << expected.size()
                          << " bytes at the flood's end and " << got.size() << " 5 s later";
    const auto differ = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    EXPECT_TRUE(differ.first == got.end() && got.size() == expected.size())
        << "the bytes differ from byte " << (differ.first - got.begin()) << " of "
        << expected.size() << " on (" << got.size() << " came)";

    const std::int64_t peak = status_kib(pid, "VmHWM");
    RecordProperty("memory_growth_kib", static_cast<int>(peak - resident_before));
    // Some 0.2 MiB grow in all; 4 MiB would be 800 bytes a frame.
    EXPECT_LT(peak - resident_before, 4 * 1024) << "KiB resident before: " << resident_before;
    EXPECT_EQ(open_descriptors(pid), descriptors_before);
}

}  // namespace
}  // namespace quillon::integration
