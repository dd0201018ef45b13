// The interface module's flow control, on the bus simulator: while its receive
// buffer is full the gateway holds its writes, and loses none of them.
#include <thread>

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

using ModuleFlowControl = GatewayTest;

// The hex dumps that the simulator logged as received, in order.
std::vector<std::string> logged_frames(const std::string& log) {
    std::vector<std::string> hex;
    std::size_t start = 0;
    for (std::size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = log.substr(start, end - start);
        const auto at = line.find("  ");  // after the time
        if (at != std::string::npos) hex.push_back(line.substr(at + 2));
    }
    return hex;
}

TEST_F(ModuleFlowControl, FramesWrittenWhileTheBufferIsFullReachTheModuleOnlyAfterReady) {
    ChildProcess bussim({QUILLON_BUSSIM_PROGRAM, "--rate", "0"}, dir_.path());
    ASSERT_TRUE(bussim.started());
    std::string pty;
    ASSERT_TRUE(bussim.wait_output(
        [&](const std::string& out) {
            const auto end = out.find('\n');
            if (end != std::string::npos) pty = out.substr(0, end);
            return end != std::string::npos;
        },
        patience));
    write_settings(pty);
    start_gateway();
    auto client = connect_client();
    ASSERT_TRUE(client);
    const std::size_t log_start = bussim.output().size();

    ASSERT_TRUE(bussim.write_input("buffer-full\n"));
    ASSERT_TRUE(wait_rows([](const std::vector<ShownRow>& shown) {
        for (const ShownRow& r : shown)
            if (r.hex == "0FF800010BED04") return true;
        return false;
    })) << gateway_->output();
    std::size_t mark = gateway_->errors().size();
    command("status");
    EXPECT_TRUE(gateway_->wait_errors(
        [&](const std::string& e) {
            return e.find("Velbus buffer full", mark) != std::string::npos;
        },
        patience))
        << gateway_->errors().substr(mark);

    std::vector<Bytes> frames;
    for (std::uint8_t k = 1; k <= 5; ++k)
        frames.push_back(make_frame(0xF8, 0x20, {0x02, k}));
    ASSERT_TRUE(client->send(joined(frames)));
    // A dozen of the pacing's 50 ms: written by then, were they not held.
    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(logged_frames(bussim.output().substr(log_start)).empty())
        << "written into a full buffer: " << bussim.output().substr(log_start);

    ASSERT_TRUE(bussim.write_input("buffer-ready\n"));
    std::vector<std::string> expected;
    for (const Bytes& f : frames)
        expected.push_back(hex_text(f));
    EXPECT_TRUE(bussim.wait_output(
        [&](const std::string& out) {
            return logged_frames(out.substr(log_start)).size() >= expected.size();
        },
        patience));
    EXPECT_EQ(logged_frames(bussim.output().substr(log_start)), expected);
    mark = gateway_->errors().size();
    command("status");
    EXPECT_TRUE(gateway_->wait_errors(
        [&](const std::string& e) {
            return e.find("Velbus serial " + pty, mark) != std::string::npos;
        },
        patience))
        << gateway_->errors().substr(mark);
}

}  // namespace
}  // namespace quillon::integration
