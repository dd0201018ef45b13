// The Qt adapters on their own: the serial port on a pseudo-terminal and the
// network on loopback sockets.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "platform/openssl/certificate_maker.hpp"
#include "platform/qt/event_waiter.hpp"
#include "platform/qt/qt_network.hpp"
#include "platform/qt/qt_serial_port.hpp"
#include "real_io_support.hpp"
#include "tests/integration/tls_client.hpp"

namespace quillon {
namespace {

// Processes events until `done` holds, at most 5 s.
bool wait_until(EventWaiter& waiter, const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    for (;;) {
        if (done()) return true;  // asked once a turn: `done` may consume what it sees
        if (t.elapsed() >= 5000) return false;
        waiter.wait(20);
    }
}

class PseudoTerminalPort : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = testing::open_pseudo_terminal();
        ASSERT_GE(master_, 0);
        path_ = ::ptsname(master_);
    }
    void TearDown() override { ::close(master_); }
    SerialLineSettings line(int baud = 38400, int parity = 0, int data_bits = 8, float stop = 1.0f,
                            int handshake = 0) {
        SerialLineSettings s;
        s.name = path_;
        s.baud = baud;
        s.parity = parity;
        s.data_bits = data_bits;
        s.stop_bits = stop;
        s.handshake = handshake;
        return s;
    }

    EventWaiter waiter_;
    int master_ = -1;
    std::string path_;
};

TEST(SerialDevicePath, ComNamesMeanTheSerialDevicesWhereThereAreNoComPorts) {
    if (std::filesystem::exists("/dev/COM1")) GTEST_SKIP() << "this system has COM ports";
    EXPECT_EQ(serial_device_path("COM1"), "/dev/ttyS0");
    EXPECT_EQ(serial_device_path("COM12"), "/dev/ttyS11");
    EXPECT_EQ(serial_device_path("/dev/ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(serial_device_path("/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(serial_device_path("COM"), "COM");
    EXPECT_EQ(serial_device_path("COM0"), "COM0");
    EXPECT_EQ(serial_device_path("COMX"), "COMX");
}

TEST_F(PseudoTerminalPort, OpensWithTheModulesLineAndTakesTheLineControls) {
    QtSerialPort port(waiter_);
    for (int round = 0; round < 2; ++round) {  // and again after a close
        ASSERT_TRUE(port.open(line(38400, 0, 8, 1.0f, 0)));
        EXPECT_TRUE(port.is_open());
        port.set_rts(true);  // a pseudo-terminal has no modem lines: not a failure
        port.set_dtr(false);
        EXPECT_EQ(port.bytes_waiting(), 0);
        port.close();
        EXPECT_FALSE(port.is_open());
    }
}

TEST_F(PseudoTerminalPort, RefusesSettingsThatMakeNoLine) {
    QtSerialPort port(waiter_);
    EXPECT_FALSE(port.open(line(0, 0, 0, 0.0f, 0)));  // a port name alone
    EXPECT_FALSE(port.open(line(38400, 5)));
    EXPECT_FALSE(port.open(line(38400, 0, 9)));
    EXPECT_FALSE(port.open(line(38400, 0, 8, 1.0f, 4)));
    SerialLineSettings missing = line();
    missing.name = "/dev/quillon-no-such-port";
    EXPECT_FALSE(port.open(missing));
    EXPECT_FALSE(port.is_open());
}

TEST_F(PseudoTerminalPort, CarriesBytesBothWaysAndReportsAHangUp) {
    QtSerialPort port(waiter_);
    ASSERT_TRUE(port.open(line()));
    const std::uint8_t frame[] = {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04};
    ASSERT_EQ(::write(master_, frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    ASSERT_TRUE(wait_until(waiter_, [&] { return port.bytes_waiting() == sizeof frame; }));
    std::uint8_t got[16] = {};
    EXPECT_EQ(port.read(got, sizeof got), static_cast<std::int64_t>(sizeof frame));
    EXPECT_EQ(0, std::memcmp(got, frame, sizeof frame));

    EXPECT_EQ(port.write(frame, sizeof frame), static_cast<std::int64_t>(sizeof frame));
    std::uint8_t back[16] = {};
    std::size_t have = 0;
    ASSERT_TRUE(wait_until(waiter_, [&] {
        const ssize_t n = ::read(master_, back + have, sizeof back - have);
        if (n > 0) have += static_cast<std::size_t>(n);
        return have >= sizeof frame;
    }));
    EXPECT_EQ(0, std::memcmp(back, frame, sizeof frame));

    ::close(master_);  // the module is unplugged
    master_ = ::open("/dev/null", O_RDONLY);
    EXPECT_TRUE(wait_until(waiter_, [&] { return port.bytes_waiting() < 0; }));
    EXPECT_LT(port.write(frame, sizeof frame), 0);
}

// --- network ---

class LoopbackNetwork : public ::testing::Test {
  protected:
    LoopbackNetwork() { net_.listen_on({"127.0.0.1"}); }
    NetworkEvent next_event() {
        NetworkEvent e;
        wait_until(waiter_, [&] {
            if (e.code == NetworkEventCode::none) e = net_.poll();
            return e.code != NetworkEventCode::none;
        });
        return e;
    }
    EventWaiter waiter_;
    QtNetwork net_{waiter_};
};

TEST_F(LoopbackNetwork, ConnectionDataAndDisconnectionComeInOrderWithFreshHandles) {
    const std::uint16_t port = testing::free_port_pair();
    ASSERT_TRUE(net_.create_tcp_server(Server::tcp, port, 100));
    EXPECT_FALSE(net_.create_tcp_server(Server::port_test, port, 1));  // taken
    EXPECT_FALSE(net_.create_tcp_server(Server::port_test, 70000, 1));
    EXPECT_FALSE(net_.create_tcp_server(Server::port_test, 0, 1));

    std::set<ConnectionHandle> seen;
    for (int round = 0; round < 3; ++round) {
        const int s = testing::connect_loopback(port);
        ASSERT_GE(s, 0);
        const NetworkEvent connected = next_event();
        ASSERT_EQ(connected.code, NetworkEventCode::connection);
        EXPECT_EQ(connected.server, Server::tcp);
        EXPECT_NE(connected.connection, 0);
        EXPECT_TRUE(seen.insert(connected.connection).second) << "a handle came back";
        EXPECT_EQ(net_.peer_address(connected.connection), "127.0.0.1");
        EXPECT_NE(net_.peer_port(connected.connection), 0);

        // Bytes sent just before closing are read before the disconnection is told.
        ASSERT_EQ(::write(s, "\x0F\xF8", 2), 2);
        ::close(s);
        const NetworkEvent data = next_event();
        ASSERT_EQ(data.code, NetworkEventCode::data);
        std::uint8_t buf[16];
        EXPECT_EQ(net_.receive(data.connection, buf, sizeof buf), 2);
        const NetworkEvent gone = next_event();
        EXPECT_EQ(gone.code, NetworkEventCode::disconnection);
        EXPECT_EQ(gone.connection, connected.connection);
        EXPECT_EQ(net_.peer_address(gone.connection), "0.0.0.0");  // released
    }
}

TEST_F(LoopbackNetwork, ClosingTheServerClosesItsConnectionsWithoutEvents) {
    const std::uint16_t port = testing::free_port_pair();
    ASSERT_TRUE(net_.create_tcp_server(Server::tcp, port, 100));
    const int s = testing::connect_loopback(port);
    ASSERT_EQ(next_event().code, NetworkEventCode::connection);
    net_.close_server(Server::tcp);
    char b;
    ::fcntl(s, F_SETFL, O_NONBLOCK);
    EXPECT_TRUE(wait_until(waiter_, [&] { return ::read(s, &b, 1) == 0; }));
    waiter_.wait(50);
    EXPECT_EQ(net_.poll().code, NetworkEventCode::none);
    EXPECT_TRUE(net_.create_tcp_server(Server::tcp, port, 100));  // the port is free again
    ::close(s);
}

TEST_F(LoopbackNetwork, EachDatagramSenderGetsAHandleOfItsOwn) {
    const std::uint16_t port = testing::free_port_pair();
    ASSERT_TRUE(net_.create_udp_server(Server::analyzer, port));
    const int a = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int b = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = testing::loopback_address(port);
    const auto send = [&](int s) {
        ::sendto(s, "hi", 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    send(a);
    send(b);
    send(a);
    const NetworkEvent first = next_event();
    const NetworkEvent second = next_event();
    const NetworkEvent third = next_event();
    EXPECT_EQ(first.server, Server::analyzer);
    EXPECT_NE(first.connection, second.connection);
    EXPECT_EQ(first.connection, third.connection);
    std::uint8_t buf[8];
    EXPECT_EQ(net_.receive(first.connection, buf, sizeof buf), 2);

    // A line goes back as one datagram to the sender's address and port.
    net_.send(first.connection, reinterpret_cast<const std::uint8_t*>("V->N,x"), 6);
    char line[16] = {};
    ::fcntl(a, F_SETFL, O_NONBLOCK);
    EXPECT_TRUE(wait_until(waiter_, [&] { return ::recv(a, line, sizeof line, 0) == 6; }));
    EXPECT_STREQ(line, "V->N,x");

    // Its second datagram read too, nothing is left to judge: forgotten, its
    // next datagram makes a new peer.
    EXPECT_EQ(net_.receive(third.connection, buf, sizeof buf), 2);
    net_.close_connection(first.connection);
    send(a);
    EXPECT_NE(next_event().connection, first.connection);
    ::close(a);
    ::close(b);
}

TEST(NetworkAdapterLifetime, EndingWithLiveAndPausedConnectionsAndPeersClosesEachOnce) {
    EventWaiter waiter;
    auto net = std::make_unique<QtNetwork>(waiter);
    net->listen_on({"127.0.0.1"});
    const std::uint16_t port = testing::free_port_pair();
    ASSERT_TRUE(net->create_tcp_server(Server::tcp, port, 100));
    ASSERT_TRUE(net->create_udp_server(Server::analyzer, static_cast<std::int64_t>(port) + 1));
    const int live = testing::connect_loopback(port);
    const int paused = testing::connect_loopback(port);
    const int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in udp = testing::loopback_address(static_cast<std::uint16_t>(port + 1));
    ::sendto(peer, "hi", 2, 0, reinterpret_cast<const sockaddr*>(&udp), sizeof udp);
    std::vector<NetworkEvent> seen;
    ASSERT_TRUE(wait_until(waiter, [&] {
        const NetworkEvent e = net->poll();
        if (e.code != NetworkEventCode::none) seen.push_back(e);
        return seen.size() == 3;
    }));
    for (const NetworkEvent& e : seen) {
        if (e.code == NetworkEventCode::connection) net->set_reading_paused(e.connection, true);
    }

    net.reset();
    for (const int s : {live, paused}) {
        char b;
        ::fcntl(s, F_SETFL, O_NONBLOCK);
        EXPECT_TRUE(wait_until(waiter, [&] { return ::read(s, &b, 1) == 0; }));
        ::close(s);
    }
    ::close(peer);
}

// Reads until the peer ends the stream; the bytes and how it ended (0 or an errno).
std::pair<std::size_t, int> read_to_end(int s) {
    std::size_t got = 0;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else {
            return {got, n == 0 ? 0 : errno};
        }
    }
}

TEST_F(LoopbackNetwork, AClientGivenUpOnIsResetWhileAClosedOneGetsWhatWasSent) {
    const std::uint16_t port = testing::free_port_pair();
    ASSERT_TRUE(net_.create_tcp_server(Server::tcp, port, 100));
    const std::vector<std::uint8_t> block(256 * 1024, 0x0F);
    std::pair<std::size_t, int> ends[2];
    for (const bool reset : {false, true}) {
        const int s = testing::connect_loopback(port);
        ASSERT_GE(s, 0);
        const NetworkEvent connected = next_event();
        ASSERT_EQ(connected.code, NetworkEventCode::connection);
        // The peer reads nothing yet: most of it waits in the kernel and in the socket.
        net_.send(connected.connection, block.data(), block.size());
        waiter_.wait(50);
        const std::size_t unsent = net_.pending_output_bytes(connected.connection);
        if (reset) {
            net_.reset_connection(connected.connection);
        } else {
            net_.close_connection(connected.connection);
        }
        ends[reset ? 1 : 0] = read_to_end(s);
        ends[reset ? 1 : 0].first += unsent;  // the socket's own share, dropped by either close
        ::close(s);
    }
    EXPECT_EQ(ends[0].second, 0) << "a normal close ends the stream";
    EXPECT_EQ(ends[0].first, block.size());
    EXPECT_EQ(ends[1].second, ECONNRESET);
    EXPECT_LT(ends[1].first, block.size()) << "the kernel kept the rest for the peer";
}

// Encryption moves what is written below the TLS layer at once: it must
// still count as waiting, or a TLS client that stops reading would never
// reach the limit at which the gateway gives up on it.
TEST_F(LoopbackNetwork, WhatATlsClientDoesNotReadCountsAsWaitingUntilItIsReset) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("quillon-tls-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const TlsFiles files{(dir / "c.crt").string(), (dir / "c.key").string()};
    std::string error;
    ASSERT_TRUE(
        make_self_signed_certificate(files.certificate, files.private_key, "localhost", error))
        << error;
    const std::uint16_t port = testing::free_port_pair();
    ASSERT_EQ(net_.create_tls_server(Server::tls, port, 100, files), ServerStart::ok);
    std::filesystem::remove_all(dir);

    std::unique_ptr<integration::TlsClient> client;
    std::thread handshake(
        [&] { client = integration::TlsClient::connect_to(port, std::chrono::seconds(5)); });
    const NetworkEvent connected = next_event();
    handshake.join();
    ASSERT_EQ(connected.code, NetworkEventCode::connection);
    ASSERT_TRUE(client);

    const std::vector<std::uint8_t> block(1024, 0x0F);
    std::size_t waiting = 0;
    for (int sent = 0; sent < 64 * 1024 && waiting <= 256 * 1024; ++sent) {
        waiting = net_.send(connected.connection, block.data(), block.size());
        if (sent % 64 == 0) waiter_.wait(0);
    }
    EXPECT_GT(waiting, 256u * 1024) << "the unread output was not counted";
    net_.reset_connection(connected.connection);
    EXPECT_TRUE(client->wait_closed(std::chrono::seconds(5)));
}

TEST(AddressText, IPv4MappedAddressesReadAsIPv4AndIPv6KeepsItsText) {
    EXPECT_EQ(address_text(QHostAddress(QStringLiteral("::ffff:192.168.1.20"))), "192.168.1.20");
    EXPECT_EQ(address_text(QHostAddress(QStringLiteral("192.168.1.20"))), "192.168.1.20");
    EXPECT_EQ(address_text(QHostAddress(QStringLiteral("fd00::1:2"))), "fd00::1:2");
    EXPECT_EQ(address_text(QHostAddress()), "0.0.0.0");
}

}  // namespace
}  // namespace quillon
