// The program's own modes: the demo on the bus simulator, --help and --version.
#include <filesystem>
#include <set>
#include <thread>

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

class ProgramModes : public GatewayTest {};

TEST_F(ProgramModes, DemoLetsAClientScanTheSimulatedModulesAndTouchesNoSettingsFile) {
    gateway_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{QUILLON_PROGRAM, "--demo", "--headless", "--port",
                                 std::to_string(port_), "--listen", "127.0.0.1"},
        dir_.path());
    ASSERT_TRUE(gateway_->started());
    ASSERT_TRUE(gateway_->wait_errors(
        [](const std::string& e) { return e.find(" server on ") != std::string::npos; }, patience))
        << gateway_->errors();
    auto client = connect_client();
    ASSERT_TRUE(client);

    // A scan as client libraries make it: an RTR frame without data to each
    // address, about 60 ms apart; each module answers with its type (command FF).
    for (std::uint8_t address = 1; address <= 4; ++address) {
        ASSERT_TRUE(client->send(make_frame(0xFB, address, {}, true)));
        std::this_thread::sleep_for(60ms);
    }
    std::set<std::uint8_t> found;
    const auto deadline = SteadyClock::now() + patience;
    while (found.size() < 4 && SteadyClock::now() < deadline) {
        client->read_for(200ms);
        for (const FoundFrame& f : find_frames(client->received())) {
            if (f.bytes.size() > 5 && f.bytes[4] == 0xFF) found.insert(f.bytes[2]);
        }
    }
    EXPECT_EQ(found, (std::set<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Quillon.ini"));

    gateway_->send_signal(SIGTERM);
    EXPECT_EQ(gateway_->wait_exit(patience), 0);
}

TEST_F(ProgramModes, HelpAndVersionAnswerAndEnd) {
    ChildProcess help({QUILLON_PROGRAM, "--help"}, dir_.path());
    EXPECT_EQ(help.wait_exit(patience), 0);
    EXPECT_NE(help.output().find("--headless"), std::string::npos);
    EXPECT_NE(help.output().find("--demo"), std::string::npos);

    ChildProcess version({QUILLON_PROGRAM, "--version"}, dir_.path());
    EXPECT_EQ(version.wait_exit(patience), 0);
    EXPECT_EQ(version.output(), "quillon 3.25\n");

    EXPECT_NE(help.output().find("--connection-info"), std::string::npos);
    EXPECT_NE(help.output().find("(man quillon)"), std::string::npos);
    // The window's program, beside it, names itself.
    const std::string window =
        (std::filesystem::path(QUILLON_PROGRAM).parent_path() / "quillon-window").string();
    ChildProcess window_help({window, "--help"}, dir_.path());
    EXPECT_EQ(window_help.wait_exit(patience), 0);
    EXPECT_TRUE(window_help.output().starts_with("Usage: quillon-window ")) << window_help.output();
    EXPECT_NE(window_help.output().find("(man quillon-window)"), std::string::npos);

    ChildProcess wrong({QUILLON_PROGRAM, "--frobnicate"}, dir_.path());
    EXPECT_EQ(wrong.wait_exit(patience), 2);
    EXPECT_NE(wrong.errors().find("unknown argument"), std::string::npos);

    ChildProcess no_value({QUILLON_PROGRAM, "--demo", "--port"}, dir_.path());
    EXPECT_EQ(no_value.wait_exit(patience), 2);
    EXPECT_EQ(no_value.errors(), "quillon: --port needs a number\n");
}

}  // namespace
}  // namespace quillon::integration
