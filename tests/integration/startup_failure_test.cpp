// What the gateway does when it cannot start as configured.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

using StartupFailure = GatewayTest;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(StartupFailure, SerialPortThatDoesNotExistEndsWithStatusOne) {
    const std::string name = (dir_.path() / "no-such-module").string();
    write_settings(name);
    start_program();
    EXPECT_EQ(gateway_->wait_exit(patience), 1);
    EXPECT_TRUE(contains(gateway_->errors(), "Serial Error: Error : Not able To communicate With " +
                                                 name + "|" + name +
                                                 ": No such file or directory: look under "
                                                 "/dev/serial/by-id/"))
        << gateway_->errors();
}

// A device the gateway's account may not open, as a module is to an account
// outside the dialout group.
TEST_F(StartupFailure, ASerialPortItsAccountMayNotOpenNamesTheGroupItNeeds) {
    write_settings(bus_->slave_path());
    std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
    std::vector<std::string> argv{QUILLON_PROGRAM, "--headless"};
    if (::geteuid() == 0) {
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    ASSERT_EQ(::chmod(bus_->slave_path().c_str(), 0600), 0);
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(bus_->slave_path().c_str(), 0), 0);
    }
    gateway_ = std::make_unique<ChildProcess>(argv, dir_.path());
    ASSERT_TRUE(gateway_->started());
    EXPECT_EQ(gateway_->wait_exit(patience), 1);
    EXPECT_TRUE(contains(gateway_->errors(),
                         "|" + bus_->slave_path() +
                             ": Permission denied: the account that runs Quillon needs the dialout "
                             "group (sudo adduser ACCOUNT dialout, then log in again)"))
        << gateway_->errors();
}

TEST_F(StartupFailure, TakenTcpPortEndsWithStatusOne) {
    PortHolder taken(PortHolder::Kind::tcp_listener, port_);
    ASSERT_TRUE(taken.holding());
    write_settings(bus_->slave_path());
    start_program();
    EXPECT_EQ(gateway_->wait_exit(patience), 1);
    EXPECT_TRUE(contains(gateway_->errors(),
                         "NOT ABLE TO CREATE SERVER: Can't start Quillon on this "
                         "port|on 127.0.0.1|TCP port " +
                             std::to_string(port_) +
                             " on 127.0.0.1 is in use (Address already in use): "
                             "another program listens there; set IPPort"))
        << gateway_->errors();
}

TEST_F(StartupFailure, TakenAnalyzerPortIsReportedAndClientsAreStillServed) {
    const auto udp_port = static_cast<std::uint16_t>(port_ + 1);
    PortHolder taken(PortHolder::Kind::udp, udp_port);
    ASSERT_TRUE(taken.holding());
    start_gateway();
    EXPECT_TRUE(gateway_->wait_errors(
        [&](const std::string& e) {
            return contains(e,
                            "Analyzer UDP Port not Free: Standard server may works...|"
                            "Analyzer UDP port " +
                                std::to_string(udp_port) + " Not enable");
        },
        patience))
        << gateway_->errors();

    auto client = connect_client();
    ASSERT_TRUE(client);
    const Bytes frame = make_frame(0xFB, 0x05, {0xFF, 0x05});
    write_bus(frame);
    EXPECT_TRUE(client->wait_bytes(frame.size(), patience));
    EXPECT_EQ(hex_text(client->received()), hex_text(frame));
    EXPECT_FALSE(gateway_->wait_exit(0ms)) << "the gateway ended";
}

}  // namespace
}  // namespace quillon::integration
