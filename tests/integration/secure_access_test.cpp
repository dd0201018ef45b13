// The authorisation key and TLS, as a home-automation server's Velbus client
// speaks them: host:port, KEY@host:port, tls://host:port and tls://KEY@host:port.

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "clients/admission.hpp"
#include "gateway_fixture.hpp"
#include "tls_client.hpp"

namespace quillon::integration {
namespace {

// Longer than any frame, so that a frame sent instead of it is no key yet.
const std::string key = "Kx7-vQ2m-Lp9r-Zt4w-Hb8n-Cd3s-Yf6g-Ju1e";

Bytes bytes_of(const std::string& text) {
    return {text.begin(), text.end()};
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SecureAccess : public GatewayTest {
  protected:
    // The usual settings with these lines after them; IPPort 0 turns the plain server off.
    void start_with(const std::string& lines, bool plain = true) {
        std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary)
            << "IPPort = " << (plain ? port_ : 0) << "\r\nSerialPort = " << bus_->slave_path()
            << ",38400,0,8,1,0\r\n"
            << lines;
        start_gateway();
    }
    std::string tls_setting() const { return "TLSPort = " + std::to_string(tls_port_) + "\r\n"; }

    // Waits until the gateway lists the client as live, or fails.
    template <typename Client>
    std::unique_ptr<Client> admitted(std::unique_ptr<Client> client) {
        EXPECT_TRUE(client) << "no connection";
        if (client) wait_clients_listed({client->local_port()}, "live");
        return client;
    }

    // The rows about refused connections, in order.
    static std::vector<std::string> refusals_in(const std::vector<ShownRow>& shown) {
        std::vector<std::string> found;
        for (const ShownRow& r : shown)
            if (r.hex == "- access -") found.push_back(r.source);
        return found;
    }
    std::vector<std::string> refusals() const { return refusals_in(rows()); }
    bool wait_refusals(std::size_t count) {
        return wait_rows(
            [&](const std::vector<ShownRow>& shown) { return refusals_in(shown).size() >= count; });
    }
    std::string refused(std::uint16_t port, const std::string& reason) const {
        return "refused 127.0.0.1 (" + std::to_string(port) + "): " + reason;
    }

    // The servers open once the certificate is made: the analyzer says its
    // datagram until it is heard.
    static bool subscribed(UdpClient& analyzer, std::uint16_t port, const std::string& content) {
        for (const auto until = SteadyClock::now() + patience; SteadyClock::now() < until;) {
            if (!analyzer.send_to(port, content)) return false;
            if (analyzer.receive(300ms)) return true;
        }
        return false;
    }

    std::uint16_t tls_port_ = pick_free_port_pair();
};

// Each frame goes to the bus and to the other client, and a bus frame to both.
template <typename A, typename B>
void exchange_frames(PseudoTerminal& bus, A& a, B& b) {
    const Bytes from_a = make_frame(0xF8, 0x21, {0x02, 0x01});
    const Bytes from_b = make_frame(0xF8, 0x22, {0x02, 0x02});
    const Bytes from_bus = make_frame(0xFB, 0x23, {0xFB, 0x01, 0x00});
    const std::size_t a_had = a.received().size();
    const std::size_t b_had = b.received().size();
    const std::size_t bus_had = bus.received_frames().size();
    ASSERT_TRUE(a.send(from_a));
    ASSERT_TRUE(b.wait_bytes(b_had + from_a.size(), patience));
    ASSERT_TRUE(b.send(from_b));
    ASSERT_TRUE(a.wait_bytes(a_had + from_b.size(), patience));
    bus.write(from_bus);
    ASSERT_TRUE(a.wait_bytes(a_had + from_b.size() + from_bus.size(), patience));
    ASSERT_TRUE(b.wait_bytes(b_had + from_a.size() + from_bus.size(), patience));
    EXPECT_EQ(hex_text(Bytes(a.received().begin() + static_cast<std::ptrdiff_t>(a_had),
                             a.received().end())),
              hex_text(concat(from_b, from_bus)));
    EXPECT_EQ(hex_text(Bytes(b.received().begin() + static_cast<std::ptrdiff_t>(b_had),
                             b.received().end())),
              hex_text(concat(from_a, from_bus)));
    ASSERT_TRUE(bus.wait_frames(bus_had + 2, patience));
}

TEST_F(SecureAccess, WithoutAKeyPlainAndTlsClientsShareTheBus) {
    start_with("AuthKey =\r\n" + tls_setting());  // an empty key is no key
    auto plain = admitted(TcpClient::connect_to(port_, patience));
    auto tls = admitted(TlsClient::connect_to(tls_port_, patience));
    ASSERT_TRUE(plain && tls);
    exchange_frames(*bus_, *plain, *tls);
    EXPECT_TRUE(refusals().empty());
}

TEST_F(SecureAccess, WithAKeyClientsAreAdmittedHoweverTheKeyArrives) {
    start_with("AuthKey = " + key + "\r\n" + tls_setting());
    // The key and a frame in one segment.
    auto together = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(together);
    const Bytes first = make_frame(0xF8, 0x20, {0x02, 0x04});
    ASSERT_TRUE(together->send(concat(bytes_of(key), first)));
    ASSERT_TRUE(bus_->wait_frames(1, patience));
    EXPECT_EQ(hex_text(bus_->received()), hex_text(first));
    // The key in three segments.
    auto split = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(split);
    for (const auto& piece : {key.substr(0, 1), key.substr(1, 20), key.substr(21)}) {
        ASSERT_TRUE(split->send(bytes_of(piece)));
        std::this_thread::sleep_for(50ms);
    }
    split = admitted(std::move(split));
    // Over TLS, with the line end some clients put after it.
    auto tls = TlsClient::connect_to(tls_port_, patience);
    ASSERT_TRUE(tls);
    ASSERT_TRUE(tls->send(bytes_of(key + "\r\n")));
    tls = admitted(std::move(tls));
    ASSERT_TRUE(split && tls);
    exchange_frames(*bus_, *split, *tls);
    EXPECT_EQ(bus_->received_frames().size(), 3u);
    EXPECT_TRUE(refusals().empty());
    // Nothing the gateway writes shows the key, its client list included.
    EXPECT_TRUE(clients_listed({split->local_port(), tls->local_port()}, "live", patience));
    EXPECT_EQ(gateway_->output().find(key), std::string::npos);
    EXPECT_EQ(gateway_->errors().find(key), std::string::npos);
}

TEST_F(SecureAccess, WrongOrMissingKeysAndWrongProtocolsAreRefusedAndForwardNothing) {
    shorten_time_limits(0.3);  // the key's wait: 1.5 s
    start_with("AuthKey = " + key + "\r\n" + tls_setting());
    UdpClient analyzer;
    ASSERT_TRUE(subscribed(analyzer, static_cast<std::uint16_t>(port_ + 1), key + "\n"))
        << "the analyzer with the key is not fed";
    UdpClient stranger;
    ASSERT_TRUE(stranger.send_to(static_cast<std::uint16_t>(port_ + 1), "hello"));
    auto good = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(good);
    ASSERT_TRUE(good->send(bytes_of(key)));
    good = admitted(std::move(good));
    ASSERT_TRUE(good);

    // A set-up test: in and out at once, no refusal.
    auto tryer = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(tryer);
    tryer->close();
    const Bytes frame = make_frame(0xF8, 0x30, {0x02, 0x01});
    auto wrong = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(wrong && wrong->send(bytes_of(std::string(key.size(), 'x'))));
    EXPECT_TRUE(wrong->wait_closed(patience));
    // Frames with no key before them: not the key's length, so no key in time.
    auto keyless = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(keyless && keyless->send(frame));
    // A handshake on the plain port is no key; plain bytes on the TLS port no handshake.
    EXPECT_FALSE(TlsClient::connect_to(port_, 3s));
    auto plain_on_tls = TcpClient::connect_to(tls_port_, patience);
    ASSERT_TRUE(plain_on_tls && plain_on_tls->send(concat(bytes_of(key), frame)));
    EXPECT_TRUE(plain_on_tls->wait_closed(patience));
    EXPECT_TRUE(keyless->wait_closed(patience));

    ASSERT_TRUE(wait_refusals(4)) << gateway_->output();
    const std::vector<std::string> shown = refusals();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0], "refused 127.0.0.1 (" + std::to_string(stranger.local_port()) +
                            ", analyzer): wrong key");
    EXPECT_EQ(shown[1], refused(wrong->local_port(), "wrong key"));
    EXPECT_EQ(shown[2].substr(shown[2].size() - 11), ": wrong key");
    EXPECT_EQ(shown[3], refused(keyless->local_port(), "no key"));
    EXPECT_TRUE(bus_->received().empty()) << hex_text(bus_->received());
    EXPECT_TRUE(good->received().empty()) << hex_text(good->received());

    // The admitted client goes on as before; the analyzer heard of it alone.
    ASSERT_TRUE(good->send(frame));
    ASSERT_TRUE(bus_->wait_frames(1, patience));
    std::vector<std::string> lines;
    while (auto line = analyzer.receive(500ms))
        lines.push_back(*line);
    std::size_t adds = 0;
    for (const std::string& l : lines)
        adds += l.starts_with("ADD IP,127.0.0.1:" + std::to_string(good->local_port()) + ",");
    EXPECT_EQ(adds, 1u);
    for (const std::string& l : lines)
        EXPECT_TRUE(l.starts_with("V->N,") || l.starts_with("ADD IP,")) << l;
    EXPECT_FALSE(stranger.receive(100ms)) << "a datagram without the key was answered";
}

TEST_F(SecureAccess, SilentConnectionsAreClosedAfterFiveSecondsAndRefusalsBlockTheAddress) {
    shorten_time_limits(0.2);
    start_with("AuthKey = " + key + "\r\n");
    const Milliseconds key_wait = limit(key_wait_limit_ms);
    const std::size_t descriptors = open_descriptors(gateway_->pid());
    std::vector<std::unique_ptr<TcpClient>> silent;
    std::vector<SteadyClock::time_point> asked;  // no later than the gateway's clock starts
    for (int k = 0; k < 200; ++k) {
        // Half of them at a time: the listening socket's queue (100) never
        // overflows, so that none has to send its SYN again a second later.
        if (k == 100) {
            for (const auto until = SteadyClock::now() + patience;
                 open_descriptors(gateway_->pid()) < descriptors + 100 &&
                 SteadyClock::now() < until;)
                std::this_thread::sleep_for(5ms);
        }
        asked.push_back(SteadyClock::now());
        silent.push_back(TcpClient::connect_to(port_, patience));
        ASSERT_TRUE(silent.back());
    }
    EXPECT_FALSE(clients_listed({silent.front()->local_port()}, "live", 100ms));
    // Each is closed once its time is up, and not before.
    std::vector<std::optional<Milliseconds>> lasted(silent.size());
    for (const auto until = SteadyClock::now() + key_wait + patience; SteadyClock::now() < until;) {
        std::size_t open = 0;
        for (std::size_t k = 0; k < silent.size(); ++k) {
            if (lasted[k]) continue;
            silent[k]->read_for(0ms);
            if (silent[k]->closed_by_peer()) {
                lasted[k] = std::chrono::duration_cast<Milliseconds>(SteadyClock::now() - asked[k]);
            } else {
                ++open;
            }
        }
        if (open == 0) break;
        std::this_thread::sleep_for(10ms);
    }
    for (const auto& l : lasted) {
        ASSERT_TRUE(l) << "still open";
        EXPECT_GE(*l, key_wait) << "closed before its time";
    }
    // Five rows, one for the block; the other 195 refusals are only counted.
    ASSERT_TRUE(wait_refusals(6)) << refusals().size();
    std::this_thread::sleep_for(300ms);
    const std::vector<std::string> shown = refusals();
    ASSERT_EQ(shown.size(), 6u);
    for (std::size_t k = 0; k < 5; ++k)
        EXPECT_TRUE(shown[k].ends_with(": no key")) << shown[k];
    EXPECT_EQ(shown[5], "blocked 127.0.0.1 for a minute: 5 refusals within a minute");
    // Even the right key is shut out now, with no row of its own.
    auto late = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(late && late->send(bytes_of(key)));
    EXPECT_TRUE(late->wait_closed(patience));
    EXPECT_FALSE(clients_listed({late->local_port()}, "live", 300ms));
    EXPECT_EQ(refusals().size(), 6u);
}

TEST_F(SecureAccess, GarbageAndTruncatedHandshakesOnTheTlsPortLeaveNothingBehind) {
    start_with(tls_setting());
    // The first client makes sure the server is up; the count follows its end.
    auto first = admitted(TlsClient::connect_to(tls_port_, patience));
    ASSERT_TRUE(first);
    first->close();
    wait_clients_listed({first->local_port()}, "ended");
    std::this_thread::sleep_for(200ms);
    const std::size_t files_before = open_descriptors(gateway_->pid());

    std::vector<std::unique_ptr<TcpClient>> peers;
    for (int k = 0; k < 20; ++k) {
        auto c = TcpClient::connect_to(tls_port_, patience);
        ASSERT_TRUE(c);
        Bytes garbage(64 + static_cast<std::size_t>(k) * 13);
        for (std::size_t i = 0; i < garbage.size(); ++i)
            garbage[i] = static_cast<std::uint8_t>(i * 37 + static_cast<std::size_t>(k));
        ASSERT_TRUE(c->send(garbage));
        peers.push_back(std::move(c));
    }
    // A TLS record header and the start of a ClientHello, then nothing.
    for (int k = 0; k < 5; ++k) {
        auto c = TcpClient::connect_to(tls_port_, patience);
        ASSERT_TRUE(
            c && c->send(Bytes{0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03, 0x03}));
        peers.push_back(std::move(c));
    }
    for (auto& c : peers)
        EXPECT_TRUE(c->wait_closed(patience));
    peers.clear();

    auto tls = admitted(TlsClient::connect_to(tls_port_, patience));
    auto plain = admitted(TcpClient::connect_to(port_, patience));
    ASSERT_TRUE(tls && plain);
    exchange_frames(*bus_, *plain, *tls);
    tls->close();
    plain->close();
    wait_clients_listed({tls->local_port(), plain->local_port()}, "ended");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(open_descriptors(gateway_->pid()), files_before);
}

TEST_F(SecureAccess, SilentPeersOnTheTlsPortNeverStallAnotherAddressesHandshake) {
    shorten_time_limits(0.4);
    start_with(tls_setting());
    const Milliseconds handshake_limit = limit(tls_handshake_limit_ms);
    ASSERT_TRUE(TlsClient::connect_to(tls_port_, patience));
    // 200 silent connections from 127.0.0.2, renewed every four fifths of the
    // handshake's time: none reaches its limit while this goes on, and a
    // handshake stalled behind them would wait for the next renewal.
    std::atomic<bool> stop{false};
    std::vector<int> held;
    std::thread attacker([&] {
        while (!stop) {
            for (const int fd : held)
                ::close(fd);
            held.clear();
            const auto renewal = SteadyClock::now() + handshake_limit * 4 / 5;
            // A renewal is made whole: its silent ones are left at the end.
            for (int k = 0; k < 200; ++k) {
                const int fd = connect_loopback(tls_port_, SteadyClock::now() + 1s,
                                                [](int s) { bind_source(s, "127.0.0.2"); });
                if (fd >= 0) held.push_back(fd);
            }
            while (!stop && SteadyClock::now() < renewal)
                std::this_thread::sleep_for(20ms);
        }
    });
    // Ten handshakes over more than a renewal.
    int failed = 0;
    for (int k = 0; k < 10; ++k) {
        const auto began = SteadyClock::now();
        auto tls = TlsClient::connect_to(tls_port_, 1s);
        if (!tls) ++failed;
        if (tls) tls->close();
        std::this_thread::sleep_until(began + handshake_limit / 10);
    }
    stop = true;
    attacker.join();
    EXPECT_EQ(failed, 0) << "handshakes that took more than a second";
    // A last renewal, left alone, is refused when its time is up, and its
    // address blocked. Its connections are made once the gateway has let go
    // of the earlier ones: past its handshakes per address, it closes a new
    // one at once.
    for (const int fd : held)
        ::close(fd);
    held.clear();
    // On a slow machine the attack's own renewals may have run out their time already.
    const auto blocked = [&] {
        const std::vector<std::string> shown = refusals();
        return !shown.empty() && shown.back().starts_with("blocked 127.0.0.2 ");
    };
    for (const auto until = SteadyClock::now() + patience;
         held.size() < 6 && !blocked() && SteadyClock::now() < until;) {
        const int fd = connect_loopback(tls_port_, SteadyClock::now() + 1s,
                                        [](int s) { bind_source(s, "127.0.0.2"); });
        if (fd < 0) continue;
        pollfd closed{fd, POLLIN, 0};
        if (::poll(&closed, 1, 100) == 0) {
            held.push_back(fd);
        } else {
            ::close(fd);
        }
    }
    ASSERT_TRUE(held.size() == 6 || blocked()) << "the gateway kept too few silent connections";
    ASSERT_TRUE(wait_refusals(6)) << gateway_->output();
    for (const int fd : held)
        ::close(fd);
    std::size_t no_handshake = 0;
    for (const std::string& r : refusals())
        no_handshake += r.starts_with("refused 127.0.0.2 (") && r.ends_with("): no TLS handshake");
    EXPECT_EQ(no_handshake, 5u);
    EXPECT_EQ(refusals().back(), "blocked 127.0.0.2 for a minute: 5 refusals within a minute");
}

TEST_F(SecureAccess, TlsOneTwoOffersOnlyAuthenticatedEncryption) {
    start_with(tls_setting());
    ASSERT_TRUE(TlsClient::connect_to(tls_port_, patience)) << "TLS 1.3";
    for (const char* suite : {"ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES256-GCM-SHA384",
                              "ECDHE-ECDSA-CHACHA20-POLY1305"})
        EXPECT_TRUE(TlsClient::connect_tls12(tls_port_, patience, suite)) << suite;
    for (const char* suite : {"ECDHE-ECDSA-AES128-SHA", "ECDHE-ECDSA-AES256-SHA",
                              "ECDHE-ECDSA-AES128-SHA256", "ECDHE-ECDSA-AES256-SHA384"})
        EXPECT_FALSE(TlsClient::connect_tls12(tls_port_, 3s, suite)) << suite;
}

TEST_F(SecureAccess, GuessedAnalyzerKeysBlockTheirAddressAndFloodNothing) {
    start_with("AuthKey = " + key + "\r\n");
    const auto udp_port = static_cast<std::uint16_t>(port_ + 1);
    UdpClient analyzer;
    ASSERT_TRUE(subscribed(analyzer, udp_port, key)) << "the analyzer with the key is not fed";
    UdpClient guesser("127.0.0.2");
    ASSERT_NE(guesser.local_port(), 0);
    for (int k = 0; k < 2000; ++k)
        guesser.send_to(udp_port, "guess-" + std::to_string(k));
    ASSERT_TRUE(wait_refusals(6)) << gateway_->output();
    // Blocked: even the key is ignored from there now.
    guesser.send_to(udp_port, key);
    const Bytes frame = make_frame(0xFB, 0x23, {0xFB, 0x01, 0x00});
    write_bus(frame);
    std::optional<std::string> fed;
    while (auto line = analyzer.receive(patience)) {
        if (line->starts_with("V->N,")) {
            fed = line;
            break;
        }
    }
    EXPECT_TRUE(fed) << "the analyzer with the key is no longer fed";
    EXPECT_FALSE(guesser.receive(500ms)) << "a guesser was fed";
    const std::vector<std::string> shown = refusals();
    ASSERT_EQ(shown.size(), 6u);
    EXPECT_EQ(shown[0], "refused 127.0.0.2 (" + std::to_string(guesser.local_port()) +
                            ", analyzer): wrong key");
    EXPECT_EQ(shown[5], "blocked 127.0.0.2 for a minute: 5 refusals within a minute");
    std::size_t lines = 0;
    for (std::size_t at = gateway_->errors().find("127.0.0.2"); at != std::string::npos;
         at = gateway_->errors().find("127.0.0.2", at + 1))
        ++lines;
    EXPECT_EQ(lines, 6u) << "standard error says more than the rows";
}

TEST_F(SecureAccess, TheSelfSignedCertificateIsMadeOnceAndItsKeyKeptPrivate) {
    start_with(tls_setting(), false);
    const auto crt = dir_.path() / "Quillon.crt";
    const auto pem_key = dir_.path() / "Quillon.key";
    // Without the plain server, the analyzers are above the TLS port.
    UdpClient analyzer;
    ASSERT_TRUE(subscribed(analyzer, static_cast<std::uint16_t>(tls_port_ + 1), "hello"));
    ASSERT_TRUE(admitted(TlsClient::connect_to(tls_port_, patience)));
    struct stat st {};
    ASSERT_EQ(::stat(pem_key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "the key is readable by others";
    const auto read = [](const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    };
    const std::string made = read(crt);
    EXPECT_NE(made.find("-----BEGIN CERTIFICATE-----"), std::string::npos);
    EXPECT_TRUE(TcpClient::connect_to(port_, 1s) == nullptr) << "the plain server is on";

    gateway_.reset();
    start_program();
    ASSERT_TRUE(admitted(TlsClient::connect_to(tls_port_, patience)));
    EXPECT_EQ(read(crt), made);
}

TEST_F(SecureAccess, AnUnreadableCertificateStopsTheStartNamingTheFile) {
    std::ofstream(dir_.path() / "broken.pem") << "-----BEGIN CERTIFICATE-----\nnot one\n";
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary)
        << "IPPort = " << port_ << "\r\nSerialPort = " << bus_->slave_path() << ",38400,0,8,1,0\r\n"
        << tls_setting() << "TLSCertificate = broken.pem\r\nTLSPrivateKey = broken.pem\r\n";
    start_program();
    EXPECT_EQ(gateway_->wait_exit(patience), 1);
    EXPECT_NE(gateway_->errors().find("Can't read the TLS certificate " +
                                      (dir_.path() / "broken.pem").string()),
              std::string::npos)
        << gateway_->errors();
}

}  // namespace
}  // namespace quillon::integration
