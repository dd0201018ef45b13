// The gateway as a service: its settings file and data folder given on the
// command line, a template when no one is there to ask, readiness told to the
// service manager, the journal spared the traffic, SIGHUP.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "gateway_fixture.hpp"

namespace quillon::integration {
namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes bytes_of(const std::string& text) {
    return {text.begin(), text.end()};
}

class Service : public GatewayTest {
  protected:
    // The headless gateway with these arguments after --headless.
    void run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{QUILLON_PROGRAM, "--headless", "--listen", "127.0.0.1"};
        argv.insert(argv.end(), args.begin(), args.end());
        gateway_ = std::make_unique<ChildProcess>(argv, dir_.path());
        ASSERT_TRUE(gateway_->started());
    }
    bool wait_errors_with(const std::string& part) {
        return gateway_->wait_errors([&](const std::string& e) { return contains(e, part); },
                                     patience);
    }
    std::string settings(const std::string& more = "") const {
        return "IPPort = " + std::to_string(port_) + "\r\nSerialPort = " + bus_->slave_path() +
               ",38400,0,8,1,0\r\n" + more;
    }
};

TEST_F(Service, SettingsAndDataFoldersComeFromTheCommandLineRelativeToTheWorkingDirectory) {
    fs::create_directories(dir_.path() / "etc");
    const std::uint16_t tls_port = pick_free_port_pair();
    std::ofstream(dir_.path() / "etc" / "gateway.ini", std::ios::binary)
        << settings("TLSPort = " + std::to_string(tls_port) + "\r\n");
    run({"--config", "etc/gateway.ini", "--data-dir", "var/lib", "--log-traffic"});
    ASSERT_TRUE(wait_errors_with(" server on ")) << gateway_->errors();
    ASSERT_TRUE(connect_client());

    command("save");
    std::vector<std::string> written;
    for (const auto until = SteadyClock::now() + patience;
         written.size() < 3 && SteadyClock::now() < until;) {
        std::this_thread::sleep_for(50ms);
        written.clear();
        for (const auto& e : fs::directory_iterator(dir_.path() / "var" / "lib"))
            written.push_back(e.path().filename().string());
    }
    std::sort(written.begin(), written.end());
    ASSERT_EQ(written.size(), 3u) << gateway_->errors();
    EXPECT_EQ(written[0], "Quillon.crt");
    EXPECT_EQ(written[1], "Quillon.key");
    EXPECT_TRUE(written[2].starts_with("Quillon_")) << written[2];
    EXPECT_FALSE(fs::exists(dir_.path() / "etc" / "Quillon.crt"));
    EXPECT_FALSE(fs::exists(dir_.path() / "Quillon.ini"));

    // What it writes is for its own account and group alone.
    const auto mode = [&](const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
        return st.st_mode & 07777;
    };
    const fs::path data = dir_.path() / "var" / "lib";
    EXPECT_EQ(mode(dir_.path() / "var"), 0750u);
    EXPECT_EQ(mode(data), 0750u);
    EXPECT_EQ(mode(data / written[0]), 0640u);
    EXPECT_EQ(mode(data / written[1]), 0600u);
    EXPECT_EQ(mode(data / written[2]), 0640u);
}

TEST_F(Service, TheJournalSaysWhatRunsWhoCameAndWhatTheSettingsGotWrong) {
    const fs::path file = dir_.path() / "Quillon.ini";
    std::ofstream(file, std::ios::binary) << settings("IPPrt = 9000\r\nWebPort = yes\r\n");
    run({});
    ASSERT_TRUE(wait_errors_with(" server on ")) << gateway_->errors();
    auto client = connect_client();
    ASSERT_TRUE(client);
    const std::uint16_t client_port = client->local_port();
    ASSERT_TRUE(client->send(make_frame(0xFB, 0x10, {0xFB, 0x00})));
    ASSERT_TRUE(bus_->wait_frames(1, patience));
    client.reset();
    const std::string left = "client 127.0.0.1:" + std::to_string(client_port) + " left after ";
    ASSERT_TRUE(wait_errors_with(left)) << gateway_->errors();

    const std::string port = std::to_string(port_);
    const std::vector<std::string> lines = {
        "Quillon 3.25, settings " + file.string() + "\n",
        file.string() + " line 3: unknown key \"IPPrt\", ignored\n",
        file.string() + " line 4: WebPort = yes is not a number; read as 0\n",
        "serial port " + bus_->slave_path() + " (named in the settings: ",
        "plain TCP server on 127.0.0.1:" + port + ", no key: anyone who reaches it may use it\n",
        "analyzer feed on UDP 127.0.0.1:" + std::to_string(port_ + 1) + ", no key",
        "client 127.0.0.1:" + std::to_string(client_port) + " connected\n",
        left,
    };
    const std::string journal = gateway_->errors();
    std::size_t at = 0;
    for (const std::string& line : lines) {
        const std::size_t found = journal.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << journal;
        at = found + line.size();
    }
    // Whole seconds of the wall clock: a short stay may straddle one.
    const std::string stay = journal.substr(at, journal.find('\n', at) - at);
    EXPECT_TRUE(stay == "0 s, 1 frame sent" || stay == "1 s, 1 frame sent") << journal;
}

TEST_F(Service, ConnectionInfoGivesWhatHomeAssistantNeedsAndTheJournalsFingerprint) {
    const std::uint16_t tls_port = pick_free_port_pair();
    const std::uint16_t web_port = pick_free_port_pair();
    const std::string key = "Kv3x9TqLmZ2wRb7YpN4sJd8HfA6cGe1U";
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary)
        << settings("AuthKey = " + key + "\r\nTLSPort = " + std::to_string(tls_port) +
                    "\r\nWebPort = " + std::to_string(web_port) + "\r\nListen = 127.0.0.1\r\n");
    run({});
    ASSERT_TRUE(wait_errors_with("web monitor on ")) << gateway_->errors();
    const std::string journal = gateway_->errors();
    const std::size_t sha = journal.find(", SHA-256 ");
    ASSERT_NE(sha, std::string::npos) << journal;
    const std::string fingerprint = journal.substr(sha + 10, journal.find('\n', sha) - sha - 10);
    EXPECT_EQ(fingerprint.size(), 95u) << fingerprint;  // 32 bytes as XX:XX:...
    EXPECT_TRUE(contains(
        journal, "TLS server on 127.0.0.1:" + std::to_string(tls_port) + ", key required\n"))
        << journal;
    EXPECT_TRUE(contains(journal, "web monitor on https://127.0.0.1:" + std::to_string(web_port) +
                                      "/, key required\n"))
        << journal;

    ChildProcess info({QUILLON_PROGRAM, "--connection-info"}, dir_.path());
    EXPECT_EQ(info.wait_exit(patience), 0) << info.errors();
    const std::string at = "127.0.0.1:";
    EXPECT_EQ(info.output(), "Settings: " + (dir_.path() / "Quillon.ini").string() +
                                 "\nKey (AuthKey): " + key + "\nHome Assistant: tls://" + key +
                                 "@" + at + std::to_string(tls_port) + "\nHome Assistant: " + key +
                                 "@" + at + std::to_string(port_) + "\nWeb monitor: https://" + at +
                                 std::to_string(web_port) +
                                 "/\nCertificate SHA-256: " + fingerprint + "\n");
}

TEST_F(Service, FoldersThatCannotBeUsedEndTheStartNamingThem) {
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary) << settings();
    std::ofstream(dir_.path() / "plain-file") << "x";
    run({"--data-dir", "plain-file/data"});
    EXPECT_EQ(gateway_->wait_exit(patience), 1);
    EXPECT_TRUE(contains(gateway_->errors(), "plain-file/data")) << gateway_->errors();

    run({"--config", "no-such-folder/Quillon.ini"});
    EXPECT_EQ(gateway_->wait_exit(patience), 1);
    EXPECT_TRUE(contains(gateway_->errors(), "no-such-folder/Quillon.ini not found"))
        << gateway_->errors();

    // A settings path that is a folder, or that cannot be read: status 1 and
    // the system's reason, never a signal.
    fs::create_directories(dir_.path() / "etc");
    run({"--config", "etc"});
    EXPECT_EQ(gateway_->wait_exit(patience), 1);
    EXPECT_TRUE(contains(
        gateway_->errors(),
        "Can't read the settings file " + (dir_.path() / "etc").string() + ": Is a directory"))
        << gateway_->errors();
    run({"--config", "plain-file/Quillon.ini"});
    EXPECT_EQ(gateway_->wait_exit(patience), 1);
    EXPECT_TRUE(contains(gateway_->errors(), "plain-file/Quillon.ini: Not a directory"))
        << gateway_->errors();
}

// The settings file locked away from the account that runs the gateway, as
// "chmod 600" on a root-owned file does to the service.
TEST_F(Service, ASettingsFileItsAccountCannotReadSaysSoAndHowToLetItRead) {
    const fs::path file = dir_.path() / "Quillon.ini";
    std::ofstream(file, std::ios::binary) << settings();
    fs::permissions(dir_.path(), fs::perms(0755));
    fs::permissions(file, fs::perms(::geteuid() == 0 ? 0600 : 0));
    std::vector<std::string> argv{QUILLON_PROGRAM, "--headless"};
    if (::geteuid() == 0)
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    gateway_ = std::make_unique<ChildProcess>(argv, dir_.path());
    ASSERT_TRUE(gateway_->started());
    EXPECT_EQ(gateway_->wait_exit(patience), 1);
    EXPECT_TRUE(contains(gateway_->errors(),
                         "Settings Error: Can't read the settings file " + file.string() +
                             ": Permission denied|The account that runs Quillon must be able to "
                             "read it: for the service, sudo chown root:quillon " +
                             file.string() + " && sudo chmod 640 " + file.string()))
        << gateway_->errors();
}

// Standard input is a pipe here: no one to ask.
TEST_F(Service, AMissingSettingsFileWithoutATerminalBecomesATemplateToStartWith) {
    run({});
    ASSERT_TRUE(wait_errors_with("No Velbus interface module found")) << gateway_->errors();
    const fs::path file = dir_.path() / "Quillon.ini";
    EXPECT_TRUE(contains(gateway_->errors(), "Wrote " + file.string())) << gateway_->errors();
    const std::string text = read_file(file);
    EXPECT_TRUE(contains(text, "\r\nSerialPort = auto\r\n")) << text;
    EXPECT_TRUE(contains(text, "\r\nIPPort = 8080\r\n")) << text;
    EXPECT_TRUE(contains(text, "\r\n; AuthKey = ")) << text;
}

TEST_F(Service, ReadinessIsToldOnceTheServersListenAndTheJournalGetsNoTrafficRows) {
    const fs::path socket_path = dir_.path() / "notify";
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval wait{10, 0};
    ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary) << settings("AuthKey = k\r\n");
    ::setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
    run({});
    ::unsetenv("NOTIFY_SOCKET");
    char said[64] = {};
    const ssize_t n = ::recv(listener, said, sizeof said - 1, 0);
    ::close(listener);
    ASSERT_GT(n, 0) << gateway_->errors();
    EXPECT_STREQ(said, "READY=1");
    // Told only once the port listens: the first try connects.
    auto client = TcpClient::connect_to(port_, 0ms);
    ASSERT_TRUE(client) << "not listening when ready was said";

    ASSERT_TRUE(client->send(bytes_of("x")));
    ASSERT_TRUE(client->wait_closed(patience));
    EXPECT_TRUE(wait_errors_with("- access - refused 127.0.0.1 (" +
                                 std::to_string(client->local_port()) + "): wrong key"))
        << gateway_->errors();
    write_bus(make_frame(0xFB, 0x10, {0xFB, 0x00}));
    auto admitted = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(admitted && admitted->send(bytes_of("k")));
    const Bytes frame = make_frame(0xFB, 0x11, {0xFB, 0x00});
    write_bus(frame);
    ASSERT_TRUE(admitted->wait_bytes(frame.size(), patience));
    EXPECT_EQ(gateway_->output(), "") << "traffic rows in the journal";
}

TEST_F(Service, AReadinessThatCannotBeToldIsSaidInTheJournalAndTheGatewayGoesOn) {
    const fs::path socket_path = dir_.path() / "nobody-listens";
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary) << settings("");
    ::setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
    run({});
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_TRUE(
        wait_errors_with("can't tell the service manager that Quillon is ready "
                         "(NOTIFY_SOCKET " +
                         socket_path.string() + ")"))
        << gateway_->errors();
    EXPECT_TRUE(TcpClient::connect_to(port_, patience)) << "the gateway did not go on";
}

TEST_F(Service, SighupAppliesANewKeyToTheNextConnectionsAndKeepsTheClients) {
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary) << settings("AuthKey = old\r\n");
    start_gateway();
    auto kept = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(kept && kept->send(bytes_of("old")));
    wait_clients_listed({kept->local_port()}, "live");

    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary | std::ios::trunc)
        << "IPPort = 1\r\nSerialPort = " << bus_->slave_path() << ",38400,0,8,1,0\r\n"
        << "AuthKey = new\r\n";
    gateway_->send_signal(SIGHUP);
    ASSERT_TRUE(wait_rows([](const std::vector<ShownRow>& shown) {
        for (const ShownRow& r : shown)
            if (r.hex == "- settings -") return true;
        return false;
    })) << gateway_->output();
    EXPECT_TRUE(contains(gateway_->output(),
                         "AuthKey applied to new connections; IPPort changed, "
                         "applied at the next start"))
        << gateway_->output();

    auto with_old = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(with_old && with_old->send(bytes_of("old")));
    EXPECT_TRUE(with_old->wait_closed(patience)) << "the old key still admits";
    auto with_new = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(with_new && with_new->send(bytes_of("new")));
    wait_clients_listed({kept->local_port(), with_new->local_port()}, "live");
    const Bytes frame = make_frame(0xFB, 0x12, {0xFB, 0x00});
    write_bus(frame);
    EXPECT_TRUE(kept->wait_bytes(frame.size(), patience));
    EXPECT_TRUE(with_new->wait_bytes(frame.size(), patience));
    EXPECT_FALSE(kept->closed_by_peer());
}

TEST_F(Service, ACutOrEmptiedSettingsFileAtSighupLeavesTheKeyInForce) {
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary) << settings("AuthKey = old\r\n");
    start_gateway();
    const std::string kept_row = "AuthKey missing from " + (dir_.path() / "Quillon.ini").string() +
                                 ": the key in force stays until the next start";
    // Emptied, cut before the key, and the key behind a group line.
    const std::string cut = settings().substr(0, 10);
    std::size_t said = 0;
    for (const std::string& text :
         {std::string(), cut, "[Quillon]\r\n" + settings("AuthKey = x\r\n")}) {
        std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary | std::ios::trunc) << text;
        gateway_->send_signal(SIGHUP);
        ++said;
        ASSERT_TRUE(wait_rows([&](const std::vector<ShownRow>& shown) {
            return static_cast<std::size_t>(std::count_if(
                       shown.begin(), shown.end(),
                       [&](const ShownRow& r) { return r.source == kept_row; })) == said;
        })) << gateway_->output();
    }
    // No one gets in without the key; the key still admits.
    auto keyless = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(keyless && keyless->send(make_frame(0xF8, 0x21, {0x02, 0x01})));
    EXPECT_TRUE(keyless->wait_closed(patience));
    auto with_key = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(with_key && with_key->send(bytes_of("old")));
    wait_clients_listed({with_key->local_port()}, "live");
    EXPECT_TRUE(bus_->received().empty());
}

}  // namespace
}  // namespace quillon::integration
