// Clients that leave: after a burst, in the middle of a frame, over and over,
// and while the gateway itself shuts down.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "clients/client_table.hpp"
#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

using PeersLeaving = GatewayTest;

std::vector<Bytes> numbered_frames(int count) {
    std::vector<Bytes> frames;
    for (int i = 0; i < count; ++i) {
        frames.push_back(
            make_frame(0xF8, static_cast<std::uint8_t>(0x01 + i % 200),
                       {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i & 0xFF)}));
    }
    return frames;
}

// Connects and closes at once, `cycles` times, in batches that the gateway has
// ended (its analyzer has had their "DEL IP," lines) before the next batch.
void churn(std::uint16_t port, UdpClient& analyzer, int cycles) {
    constexpr int batch = 25;
    for (int done = 0; done < cycles; done += batch) {
        for (int i = 0; i < batch; ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            ::close(s);
        }
        for (int ended = 0; ended < batch;) {
            const auto line = analyzer.receive(patience);
            ASSERT_TRUE(line) << "no line after " << done + ended << " cycles";
            if (line->starts_with("DEL IP,")) ++ended;
        }
    }
}

TEST_F(PeersLeaving, EverythingSentBeforeClosingReachesTheBusInOrder) {
    start_gateway();
    command("delay off");  // 5 ms apart on the bus, not 50
    auto client = connect_client();
    ASSERT_TRUE(client);
    // Numbered frames of eight data bytes: the gateway's first read of them
    // queues more than it takes from one client before it stops reading it,
    // and the rest, with the end, wait unread meanwhile.
    constexpr std::size_t count = 400;
    constexpr std::size_t frame_size = 14;
    static_assert(network_buffer_bytes / frame_size > max_frames_waiting_per_client);
    static_assert(count * frame_size > network_buffer_bytes);
    std::vector<Bytes> frames;
    for (std::size_t i = 0; i < count; ++i) {
        const auto hi = static_cast<std::uint8_t>(i >> 8);
        const auto lo = static_cast<std::uint8_t>(i & 0xFF);
        frames.push_back(make_frame(0xF8, static_cast<std::uint8_t>(0x01 + i % 200),
                                    {hi, lo, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
        ASSERT_EQ(frames.back().size(), frame_size);
    }
    ASSERT_TRUE(client->send(joined(frames)));
    client->close();

    ASSERT_TRUE(bus_->wait_frames(frames.size(), 60s))
        << "the bus got " << bus_->received_frames().size() << " of " << frames.size();
    EXPECT_EQ(hex_text(bus_->received()), hex_text(joined(frames)));
    wait_clients_listed({client->local_port()}, "ended");
}

TEST_F(PeersLeaving, AFrameLeftUnfinishedShowsAsABadLengthRowCountedAgainstItsClient) {
    start_gateway();
    auto client = connect_client();
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->send(Bytes{0x0F}));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(client->send(Bytes{0xF8, 0x01}));
    std::this_thread::sleep_for(100ms);
    client->close();

    ASSERT_TRUE(wait_row_count("->! ", 1)) << gateway_->output();
    const ShownRow row = rows_with_marker(rows(), "->! ").front();
    EXPECT_EQ(row.hex, "0FF801");
    EXPECT_EQ(row.ln, "3");
    wait_clients_listed({client->local_port()}, "ended");
    const std::size_t mark = gateway_->errors().size();
    command("clients");
    EXPECT_TRUE(gateway_->wait_errors(
        [&](const std::string& e) { return e.find("errors 1", mark) != std::string::npos; },
        patience))
        << gateway_->errors().substr(mark);
}

TEST_F(PeersLeaving, ConnectionsThatComeAndGoLeaveNoDescriptorsOrMemoryBehind) {
    {
        const ImmediateReuse reuse;
        start_gateway();
    }
    ASSERT_TRUE(connect_client());  // the server is up
    UdpClient analyzer;
    ASSERT_TRUE(analyzer.send_to(static_cast<std::uint16_t>(port_ + 1), "hi"));
    const pid_t pid = gateway_->pid();
    // Warm-up: the table of ended clients fills up to its bound first.
    churn(port_, analyzer, 300);
    const std::size_t descriptors = open_descriptors(pid);
    const std::int64_t memory_kib = resident_kib(pid);

    churn(port_, analyzer, 2000);
    EXPECT_EQ(open_descriptors(pid), descriptors);
    // A socket kept after its close costs about 1.5 KiB: 2000 of them, 3 MiB.
    EXPECT_LT(resident_kib(pid) - memory_kib, 1024) << "from " << memory_kib << " KiB";
}

TEST_F(PeersLeaving, ShutdownWithLiveClientsAnalyzersAndAPausedClientEndsCleanly) {
    start_gateway();
    auto listener = connect_client();
    auto flooder = connect_client();
    ASSERT_TRUE(listener && flooder);
    UdpClient analyzer;
    ASSERT_TRUE(analyzer.send_to(static_cast<std::uint16_t>(port_ + 1), "hi"));
    ASSERT_TRUE(analyzer.receive(patience)) << "the analyzer got no line";

    // More than 200 frames waiting for the bus: the gateway stops reading this client.
    ASSERT_TRUE(flooder->send(joined(numbered_frames(1000))));
    ASSERT_TRUE(wait_row_count("->  ", 300)) << gateway_->output();

    gateway_->send_signal(SIGTERM);
    const auto status = gateway_->wait_exit(patience);
    ASSERT_TRUE(status.has_value()) << "still running";
    EXPECT_EQ(*status, 0) << gateway_->errors();
    EXPECT_EQ(gateway_->errors().find("Sanitizer"), std::string::npos) << gateway_->errors();
}

}  // namespace
}  // namespace quillon::integration
