// Start-up: the settings or the first-configuration dialog, the window, the
// serial port and the two servers, with every failure's message.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

using Action = FirstConfigurationAnswer::Action;
using Servers = std::map<Server, std::int64_t>;

FirstConfigurationAnswer ok(const std::string& serial_name, const std::string& port,
                            bool rs = false) {
    return {Action::ok, serial_name, port, rs};
}

class Startup : public GatewayHarness {
  protected:
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& m : view.messages)
            out.push_back(m.title + " / " + m.text);
        return out;
    }
    bool settings_file_exists() const { return std::filesystem::exists(dir / "Quillon.ini"); }
};

const std::string not_found =
    "Quillon.ini NOT FOUND / Quillon.ini NOT FOUND : please enter settings (port=8080, "
    "serial=COM1)";

TEST_F(Startup, ANetworkThatCannotStartEndsItBeforeTheWindow) {
    net.initialise_ok = false;
    EXPECT_EQ(start(), StartOutcome::network_failed);
    EXPECT_EQ(messages(),
              (std::vector<std::string>{"Network Error / Not ABLE To FOUND ETHERNET HARDWARE"}));
    EXPECT_FALSE(view.window_created);
    EXPECT_TRUE(serial.opened.empty());
}

TEST_F(Startup, QuittingTheDialogWritesNoFile) {
    view.configuration_answers.push_back({Action::quit, "COM4", "8080", false});
    EXPECT_EQ(start_gateway(gw), StartOutcome::configuration_quit);
    EXPECT_EQ(messages(), (std::vector<std::string>{not_found}));
    EXPECT_FALSE(settings_file_exists());
    EXPECT_FALSE(view.window_created);
    EXPECT_TRUE(net.servers.empty());
}

TEST_F(Startup, TheDialogAsksAgainUntilThePortAndTheSerialPortBothWork) {
    net.taken_ports = {8080};
    serial.missing = {"COM9"};
    view.configuration_answers = {ok("COM4", "8080"), ok("COM9", "9000"), ok("COM9", "8080"),
                                  ok("COM4", "70000"), ok("COM4", "9000", true)};

    ASSERT_EQ(start_gateway(gw), StartOutcome::running);

    const std::string port_taken =
        "Ethernet Port error / This network port (8080) isn't available !";
    const std::string serial_missing =
        "Serial Port error / This Serial port (COM9) isn't available !";
    EXPECT_EQ(messages(),
              (std::vector<std::string>{
                  not_found, port_taken, serial_missing, port_taken, serial_missing,
                  "Ethernet Port error / This network port (70000) isn't available !"}));
    EXPECT_EQ(file_text("Quillon.ini"),
              "\xEF\xBB\xBF\r\nIPPort = 9000\r\nSerialPort = COM4,38400,0,8,1,0\r\n"
              "SerialModule = RS\r\n");
    EXPECT_EQ(view.first_configuration_closed, 1);

    // Every click tested the serial port at 115200 baud and closed it again.
    ASSERT_EQ(serial.opened.size(), 6u);
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(serial.opened[k].baud, 115200);
        EXPECT_EQ(serial.opened[k].data_bits, 8);
        EXPECT_EQ(serial.opened[k].stop_bits, 1.0f);
        EXPECT_EQ(serial.opened[k].handshake, 0);
    }
    // Then the gateway runs on what the dialog wrote.
    const SerialLineSettings& line = serial.opened.back();
    EXPECT_EQ(line.name, "COM4");
    EXPECT_EQ(line.baud, 38400);
    EXPECT_EQ(line.parity, 0);
    EXPECT_EQ(line.data_bits, 8);
    EXPECT_EQ(line.stop_bits, 1.0f);
    EXPECT_EQ(line.handshake, 0);
    EXPECT_EQ(serial.line_calls, (std::vector<std::string>{"rts:1", "dtr:0"}));
    EXPECT_EQ(net.servers, (Servers{{Server::tcp, 9000}, {Server::analyzer, 9001}}));
    EXPECT_EQ(view.status[StatusField::ethernet], "Ethernet port 9000");
    EXPECT_EQ(view.status[StatusField::serial], "Velbus serial COM4");
    EXPECT_TRUE(view.window_created);
}

TEST_F(Startup, AutoInTheDialogIsWrittenWithoutTestingAPort) {
    view.configuration_answers = {ok("auto", "9000")};
    ASSERT_EQ(start_gateway(gw), StartOutcome::running);
    EXPECT_EQ(messages(), (std::vector<std::string>{not_found}));
    EXPECT_EQ(file_text("Quillon.ini"),
              "\xEF\xBB\xBF\r\nIPPort = 9000\r\nSerialPort = auto,38400,0,8,1,0\r\n"
              "SerialModule = USB\r\n");
    EXPECT_TRUE(serial.opened.empty());
}

TEST_F(Startup, ASerialPortThatCannotBeOpenedEndsIt) {
    serial.missing = {"COM7"};
    EXPECT_EQ(start("SerialPort = COM7,38400,0,8,1,0\r\n"), StartOutcome::serial_failed);
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "Serial Error / Error : Not able To communicate With COM7|COM7: No "
                              "such file or directory: look under /dev/serial/by-id/ for the "
                              "module's stable name, or set SerialPort = auto to find it"}));
    EXPECT_TRUE(view.window_created);
    EXPECT_EQ(view.status[StatusField::ethernet], "Ethernet port 8080");
    EXPECT_EQ(view.status.count(StatusField::serial), 0u);
    EXPECT_TRUE(net.server_attempts.empty());
    // A device the account may not open: the group it needs.
    serial.open_error = {SerialOpenProblem::permission, "Permission denied"};
    view.messages.clear();
    EXPECT_EQ(start("SerialPort = COM7,38400,0,8,1,0\r\n"), StartOutcome::serial_failed);
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "Serial Error / Error : Not able To communicate With COM7|COM7: "
                              "Permission denied: the account that runs Quillon needs the dialout "
                              "group (sudo adduser ACCOUNT dialout, then log in again), or another "
                              "program holds the port"}));
}

TEST_F(Startup, ATakenAnalyzerPortIsReportedAndTheGatewayRunsWithoutIt) {
    net.taken_ports = {8081};
    ASSERT_EQ(start(), StartOutcome::running);
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "Analyzer UDP Port not Free / Standard server may works...|Analyzer "
                              "UDP port 8081 Not enable|UDP port 8081 on 0.0.0.0 is in use "
                              "(Address already in use): another program listens there; set "
                              "AnalyzerPort (AnalyzerPort = 0 goes without the analyzer feed)"}));
    EXPECT_EQ(net.servers, (Servers{{Server::tcp, 8080}}));
    EXPECT_TRUE(run_pass(gw));
}

TEST_F(Startup, PortOf65535NamesAnAnalyzerPortOf65536) {
    ASSERT_EQ(start("IPPort = 65535\r\n"), StartOutcome::running);
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "Analyzer UDP Port not Free / Standard server may works...|Analyzer "
                              "UDP port 65536 Not enable|UDP port 65536 is not a port number (1 "
                              "to 65535); set AnalyzerPort (AnalyzerPort = 0 goes without the "
                              "analyzer feed)"}));
    EXPECT_EQ(net.servers, (Servers{{Server::tcp, 65535}}));
    EXPECT_EQ(view.status[StatusField::ethernet], "Ethernet port 65535");
    EXPECT_TRUE(run_pass(gw));
}

// Settings a person can get wrong end in the messages the gateway has for them, never a crash.
TEST_F(Startup, WrongSettingsEndInTheirMessages) {
    struct Case {
        std::string settings;
        StartOutcome outcome;
        std::vector<std::string> messages;
    };
    const std::string analyzer =
        "Analyzer UDP Port not Free / Standard server may works...|Analyzer UDP port ";
    // A port number out of range, for the analyzer, then the plain server.
    const auto out_of_range = [&](const std::string& tcp, const std::string& udp) {
        return std::vector<std::string>{
            analyzer + udp + " Not enable|UDP port " + udp +
                " is not a port number (1 to 65535); set AnalyzerPort (AnalyzerPort = 0 goes "
                "without the analyzer feed)",
            "NOT ABLE TO CREATE SERVER / Can't start Quillon on this port|TCP port " + tcp +
                " is not a port number (1 to 65535); set IPPort"};
    };
    const std::vector<Case> cases = {
        {"IPPort = 70000\r\n", StartOutcome::tcp_server_failed, out_of_range("70000", "70001")},
        {"IPPort = 2147483647\r\n", StartOutcome::tcp_server_failed,
         out_of_range("2147483647", "2147483648")},
        {"IPPort = -5\r\n", StartOutcome::tcp_server_failed, out_of_range("-5", "-4")},
        // Not a number: 0, the plain server off, and no TLS server either.
        {"IPPort = eighty\r\n",
         StartOutcome::tcp_server_failed,
         {"NOT ABLE TO CREATE SERVER / IPPort and TLSPort are both 0: there is no server to "
          "start"}},
        {"SerialPort =\r\n",
         StartOutcome::serial_failed,
         {"Serial Error / Error : Not able To communicate With |SerialPort names no port: set "
          "SerialPort = auto to find the module, or its device (look under /dev/serial/by-id/)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        view.messages.clear();
        net.servers.clear();
        serial.missing = {""};
        EXPECT_EQ(start(c.settings), c.outcome);
        EXPECT_EQ(messages(), c.messages);
        EXPECT_TRUE(net.servers.empty());
    }
}

TEST_F(Startup, ATakenTcpPortShutsTheGatewayDown) {
    net.taken_ports = {8080};
    EXPECT_EQ(start(), StartOutcome::tcp_server_failed);
    EXPECT_EQ(
        messages(),
        (std::vector<std::string>{
            "NOT ABLE TO CREATE SERVER / Can't start Quillon on this port|TCP port 8080 on 0.0.0.0 "
            "is in use (Address already in use): another program listens there; set IPPort"}));
    EXPECT_FALSE(serial.open_now);
    EXPECT_TRUE(net.servers.empty());
}

TEST_F(Startup, OnlyTheExactModuleTypeRsSetsTheLines) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"RS", {"rts:1", "dtr:0"}}, {"rs", {}}, {"Rs", {}}, {"RS232", {}}, {"USB", {}}};
    for (const auto& [type, calls] : cases) {
        SCOPED_TRACE("SerialType = " + type);
        serial.line_calls.clear();
        ASSERT_EQ(start("SerialType = " + type + "\r\n"), StartOutcome::running);
        EXPECT_EQ(serial.line_calls, calls);
        shutdown(gw);
    }
}

TEST_F(Startup, TitleAndStatusFieldsNameTheVersionAndPorts) {
    ASSERT_EQ(start("IPPort = 9000\r\nSerialPort = COM3,38400,0,8,1,0\r\n"), StartOutcome::running);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.title, "Quillon 3.25");
    EXPECT_EQ(view.status[StatusField::serial], "Velbus serial COM3");
    EXPECT_EQ(view.status[StatusField::ethernet], "Ethernet port 9000");
    EXPECT_EQ(net.servers, (Servers{{Server::tcp, 9000}, {Server::analyzer, 9001}}));
    ASSERT_EQ(serial.opened.size(), 1u);
    EXPECT_EQ(serial.opened[0].name, "COM3");
    EXPECT_TRUE(serial.line_calls.empty());
}

}  // namespace
}  // namespace quillon::testing

namespace quillon::testing {
namespace {

// The TLS server's files are found from the settings' folder, and each
// problem with them names the file.
TEST_F(Startup, TlsFilesComeFromTheSettingsFolderAndTheirProblemsNameThem) {
    const std::string settings =
        "IPPort = 0\r\nSerialPort = COM1,38400,0,8,1,0\r\nTLSPort = 27015\r\n"
        "TLSCertificate = certs/gw.crt\r\nTLSPrivateKey = /etc/gw.key\r\nListen = 10.0.0.2, "
        "10.0.0.3\r\nListen = ::1\r\n";
    ASSERT_EQ(start(settings), StartOutcome::running);
    EXPECT_EQ(net.tls_files.certificate, (dir / "certs/gw.crt").string());
    EXPECT_EQ(net.tls_files.private_key, "/etc/gw.key");
    EXPECT_EQ(net.listen_addresses, (std::vector<std::string>{"10.0.0.2", "10.0.0.3", "::1"}));
    EXPECT_EQ(net.servers, (Servers{{Server::tls, 27015}, {Server::analyzer, 27016}}));
    shutdown(gw);

    const std::string crt = (dir / "certs/gw.crt").string();
    const std::vector<std::pair<ServerStart, std::string>> problems = {
        {ServerStart::certificate_unreadable,
         "Can't read the TLS certificate " + crt + " (a PEM certificate is expected)"},
        {ServerStart::key_unreadable,
         "Can't read the TLS private key /etc/gw.key (a PEM private key is expected)"},
        {ServerStart::key_mismatch,
         "The TLS private key /etc/gw.key is not the key of the certificate " + crt},
    };
    for (const auto& [problem, text] : problems) {
        view.messages.clear();
        net.tls_start = problem;
        EXPECT_EQ(start(settings), StartOutcome::tcp_server_failed);
        EXPECT_EQ(messages(), (std::vector<std::string>{"TLS Error / " + text}));
        EXPECT_TRUE(net.servers.empty());
    }
}

}  // namespace
}  // namespace quillon::testing
