#include "gateway_fixture.hpp"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/time_limit_scale.hpp"

namespace quillon::integration {

std::size_t open_descriptors(pid_t pid) {
    std::size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

std::int64_t status_kib(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key + ":", 0) == 0) return std::stoll(line.substr(key.size() + 1));
    }
    return -1;
}

ImmediateReuse::ImmediateReuse() {
    if (const char* old = std::getenv("ASAN_OPTIONS")) saved_ = old;
    const std::string options =
        saved_.value_or("") + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
}

ImmediateReuse::~ImmediateReuse() {
    if (saved_) {
        ::setenv("ASAN_OPTIONS", saved_->c_str(), 1);
    } else {
        ::unsetenv("ASAN_OPTIONS");
    }
}
namespace {

std::string trimmed(const std::string& cell) {
    const auto end = cell.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : cell.substr(0, end + 1);
}

std::string cell(const std::string& line, std::size_t at, std::size_t width) {
    return at < line.size() ? trimmed(line.substr(at, width)) : std::string();
}

}  // namespace

std::vector<ShownRow> parse_rows(const std::string& output) {
    // Marker, then Time padded to 12, Frame Hex Code to 43, Ln and Cs to 3, then Source.
    std::vector<ShownRow> rows;
    std::size_t start = 0;
    for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = output.substr(start, end - start);
        ShownRow row;
        row.marker = line.substr(0, 4);
        row.time = cell(line, 4, 12);
        row.hex = cell(line, 16, 43);
        row.ln = cell(line, 59, 3);
        row.cs = cell(line, 62, 3);
        row.source = line.size() > 65 ? line.substr(65) : std::string();
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<ShownRow> rows_with_marker(const std::vector<ShownRow>& rows,
                                       const std::string& marker) {
    std::vector<ShownRow> found;
    for (const ShownRow& r : rows)
        if (r.marker == marker) found.push_back(r);
    return found;
}

void GatewayTest::SetUp() {
    std::signal(SIGPIPE, SIG_IGN);
    ASSERT_FALSE(dir_.path().empty()) << "no temporary directory";
    port_ = pick_free_port_pair();
    ASSERT_NE(port_, 0) << "no free port pair on 127.0.0.1";
    bus_ = std::make_unique<PseudoTerminal>();
    ASSERT_TRUE(bus_->is_open()) << "no pseudo-terminal";
}

void GatewayTest::TearDown() {
    gateway_.reset();  // killed and reaped first, so that it lets go of the port and the line
    bus_.reset();
}

void GatewayTest::write_settings(const std::string& serial_port_name) {
    std::ofstream ini(dir_.path() / "Quillon.ini", std::ios::binary);
    ini << "IPPort = " << port_ << "\r\nSerialPort = " << serial_port_name << ",38400,0,8,1,0\r\n";
}

Milliseconds GatewayTest::limit(std::int64_t default_ms) const {
    return Milliseconds(scaled_limit_ms(default_ms, time_scale_));
}

void GatewayTest::start_program() {
    // Given always, so that a variable of the test's own changes nothing.
    const std::vector<std::string> environment = {std::string(time_limit_scale_variable) + "=" +
                                                  std::to_string(time_scale_)};
    gateway_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{QUILLON_PROGRAM, "--headless", "--log-traffic", "--listen",
                                 "127.0.0.1"},
        dir_.path(), environment);
    ASSERT_TRUE(gateway_->started()) << "could not start " << QUILLON_PROGRAM;
}

void GatewayTest::start_gateway() {
    if (!std::filesystem::exists(dir_.path() / "Quillon.ini")) write_settings(bus_->slave_path());
    start_program();
    // The journal names the servers once they listen.
    ASSERT_TRUE(gateway_->wait_errors(
        [](const std::string& e) { return e.find(" server on ") != std::string::npos; }, patience))
        << "the gateway did not start; standard error:\n"
        << gateway_->errors();
}

std::unique_ptr<TcpClient> GatewayTest::connect_client() {
    auto client = TcpClient::connect_to(port_, patience);
    EXPECT_NE(client, nullptr) << "no connection to port " << port_;
    if (client) wait_clients_listed({client->local_port()}, "live");
    return client;
}

void GatewayTest::wait_clients_listed(const std::vector<std::uint16_t>& ports,
                                      const std::string& state) {
    if (!clients_listed(ports, state, patience)) {
        ADD_FAILURE() << "the gateway does not list the clients as " << state
                      << "; standard error:\n"
                      << gateway_->errors();
    }
}

bool GatewayTest::clients_listed(const std::vector<std::uint16_t>& ports, const std::string& state,
                                 std::chrono::milliseconds how_long) {
    const auto deadline = SteadyClock::now() + how_long;
    do {
        const std::size_t mark = gateway_->errors().size();
        bool found = false;
        command("clients");
        // The list comes in one write; a request that finds the clients not
        // yet listed is asked again a little later.
        gateway_->wait_errors(
            [&](const std::string& e) {
                found = true;
                for (std::uint16_t p : ports) {
                    const std::string line = state + (state == "live" ? "   " : "  ") +
                                             "127.0.0.1 (" + std::to_string(p) + ")";
                    if (e.find(line, mark) == std::string::npos) found = false;
                }
                return found || (e.size() > mark && e.back() == '\n');
            },
            200ms);
        if (found) return true;
        std::this_thread::sleep_for(20ms);
    } while (SteadyClock::now() < deadline);
    return false;
}

void GatewayTest::command(const std::string& line) {
    EXPECT_TRUE(gateway_->write_input(line + "\n")) << "the gateway no longer reads commands";
}

std::vector<ShownRow> GatewayTest::rows() const {
    return parse_rows(gateway_->output());
}

bool GatewayTest::wait_rows(const std::function<bool(const std::vector<ShownRow>&)>& done) {
    return gateway_->wait_output([&](const std::string& out) { return done(parse_rows(out)); },
                                 patience);
}

bool GatewayTest::wait_row_count(const std::string& marker, std::size_t count) {
    return wait_rows([&](const std::vector<ShownRow>& shown) {
        return rows_with_marker(shown, marker).size() >= count;
    });
}

void GatewayTest::write_bus(const Bytes& bytes) {
    EXPECT_TRUE(bus_->write(bytes)) << "could not write on the pseudo-terminal";
}

}  // namespace quillon::integration
