// The operator's commands on standard input, and the signals that end the gateway.

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

using OperatorCommands = GatewayTest;

std::string file_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The saved traffic lists in the directory.
std::vector<std::filesystem::path> saved_lists(const std::filesystem::path& dir) {
    static const std::regex name(R"(Quillon_\d{4}-\d\d-\d\d_\d\d-\d\d\.log)");
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (std::regex_match(entry.path().filename().string(), name)) found.push_back(entry.path());
    return found;
}

TEST_F(OperatorCommands, SaveWritesTheRowsShownNewestFirst) {
    start_gateway();
    auto client = connect_client();
    ASSERT_TRUE(client);

    write_bus(make_frame(0xFB, 0x01, {0xFF, 0x11}));
    write_bus({0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xEE, 0x04});  // bad checksum: "»" in its row
    write_bus(make_frame(0xF8, 0x02, {0x0A}));
    ASSERT_TRUE(wait_row_count("<-  ", 2) && wait_row_count("<-! ", 1)) << gateway_->output();
    ASSERT_TRUE(client->send(
        joined({make_frame(0xFB, 0x03, {0xFA, 0x01}), make_frame(0xF8, 0x04, {0x02, 0x01})})));
    ASSERT_TRUE(wait_row_count("->  ", 2)) << gateway_->output();

    const auto shown = rows();
    ASSERT_EQ(shown.size(), 5u) << gateway_->output();
    std::string expected;
    for (auto r = shown.rbegin(); r != shown.rend(); ++r)
        expected +=
            r->time + "\t" + r->hex + "\t" + r->ln + "\t" + r->cs + "\t" + r->source + "\t\r\n";

    command("save");
    std::string saved;
    const auto deadline = SteadyClock::now() + patience;
    while (SteadyClock::now() < deadline) {
        const auto files = saved_lists(dir_.path());
        ASSERT_LE(files.size(), 1u);
        if (files.size() == 1 && (saved = file_text(files.front())) == expected) break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(saved, expected);
}

TEST_F(OperatorCommands, DisconnectClosesThatClientOnly) {
    start_gateway();
    auto first = connect_client();
    auto second = connect_client();
    auto third = connect_client();
    ASSERT_TRUE(first && second && third);

    command("disconnect 127.0.0.1:" + std::to_string(second->local_port()));
    EXPECT_TRUE(second->wait_closed(patience)) << "the connection is still open";
    wait_clients_listed({second->local_port()}, "ended");

    const Bytes frame = make_frame(0xFB, 0x07, {0xFB, 0x00});
    write_bus(frame);
    for (TcpClient* c : {first.get(), third.get()}) {
        EXPECT_TRUE(c->wait_bytes(frame.size(), patience));
        EXPECT_EQ(hex_text(c->received()), hex_text(frame));
        EXPECT_FALSE(c->closed_by_peer());
    }
    EXPECT_TRUE(second->received().empty());
}

TEST_F(OperatorCommands, DisconnectAllClosesEveryClientAndNewOnesCanConnect) {
    start_gateway();
    auto first = connect_client();
    auto second = connect_client();
    ASSERT_TRUE(first && second);

    command("disconnect-all");
    EXPECT_TRUE(first->wait_closed(patience));
    EXPECT_TRUE(second->wait_closed(patience));

    // A connection made while the old server is closing is dropped with it, and
    // the port refuses while the server is made anew: try until one is listed.
    std::unique_ptr<TcpClient> later;
    const auto deadline = SteadyClock::now() + patience;
    while (!later && SteadyClock::now() < deadline) {
        later = TcpClient::connect_to(port_, patience);
        if (later && !clients_listed({later->local_port()}, "live", 1s)) later.reset();
    }
    ASSERT_TRUE(later) << gateway_->errors();
    const Bytes frame = make_frame(0xFB, 0x08, {0xFB, 0x01});
    write_bus(frame);
    EXPECT_TRUE(later->wait_bytes(frame.size(), patience));
    EXPECT_EQ(hex_text(later->received()), hex_text(frame));
}

class EndingSignal : public GatewayTest, public ::testing::WithParamInterface<int> {};

TEST_P(EndingSignal, EndsTheGatewayWithStatusZeroAndNothingLeftRunning) {
    start_gateway();
    auto client = connect_client();
    ASSERT_TRUE(client);

    const pid_t pid = gateway_->pid();
    gateway_->send_signal(GetParam());
    EXPECT_EQ(gateway_->wait_exit(patience), 0);
    errno = 0;
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH) << "process " << pid << " is still there";
    EXPECT_TRUE(client->wait_closed(patience));
}

std::string signal_name(const ::testing::TestParamInfo<int>& signal_number) {
    return signal_number.param == SIGTERM ? "Sigterm" : "Sigint";
}

INSTANTIATE_TEST_SUITE_P(OperatorCommands, EndingSignal, ::testing::Values(SIGTERM, SIGINT),
                         signal_name);

}  // namespace
}  // namespace quillon::integration
