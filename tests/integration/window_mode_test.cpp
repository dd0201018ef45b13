// The gateway with its operator window (on Qt's offscreen platform) serves
// clients like the headless one and ends cleanly on SIGTERM.
#include <csignal>
#include <cstdlib>

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

class WindowMode : public GatewayTest {};

TEST_F(WindowMode, ForwardsBusFramesAndEndsCleanlyOnSigterm) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    write_settings(bus_->slave_path());
    gateway_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{QUILLON_PROGRAM, "--listen", "127.0.0.1"}, dir_.path());
    ASSERT_TRUE(gateway_->started());

    auto client = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(client) << gateway_->errors();
    // The client is taken in on a later pass than its connection: repeat the
    // frame until it arrives.
    const Bytes frame = make_frame(0xFB, 0x08, {0xFB, 0x01});
    bool arrived = false;
    for (int attempt = 0; attempt < 50 && !arrived; ++attempt) {
        write_bus(frame);
        arrived = client->wait_bytes(frame.size(), 200ms);
    }
    ASSERT_TRUE(arrived);
    EXPECT_EQ(
        hex_text(Bytes(client->received().begin(),
                       client->received().begin() + static_cast<std::ptrdiff_t>(frame.size()))),
        hex_text(frame));

    gateway_->send_signal(SIGTERM);
    EXPECT_EQ(gateway_->wait_exit(patience), 0);
    EXPECT_TRUE(client->wait_closed(patience));
}

}  // namespace
}  // namespace quillon::integration
