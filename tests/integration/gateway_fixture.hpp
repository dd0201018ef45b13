#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "loopback.hpp"
#include "pseudo_terminal.hpp"
#include "temp_dir.hpp"
#include "velbus_frames.hpp"

namespace quillon::integration {

using namespace std::chrono_literals;

// Generous: the machine is shared, and a test that waits longer only when
// something is wrong costs nothing when all is well.
inline constexpr auto patience = 10s;

// The TLS server's time for a handshake (TlsListener::handshake_limit_ms; its
// header brings Qt, which these tests do without).
inline constexpr std::int64_t tls_handshake_limit_ms = 5000;

// Under AddressSanitizer freed memory waits in a quarantine of hundreds of
// megabytes before it is used again; a gateway started within this scope
// reuses it at once, so that its resident size means what it means without
// the sanitizer.
class ImmediateReuse {
  public:
    ImmediateReuse();
    ~ImmediateReuse();
    ImmediateReuse(const ImmediateReuse&) = delete;
    ImmediateReuse& operator=(const ImmediateReuse&) = delete;

  private:
    std::optional<std::string> saved_;
};

// What a process holds: its open descriptors, and a figure of
// /proc/PID/status in KiB ("VmRSS", "VmHWM"; -1 when not found).
std::size_t open_descriptors(pid_t pid);
std::int64_t status_kib(pid_t pid, const std::string& key);
inline std::int64_t resident_kib(pid_t pid) {
    return status_kib(pid, "VmRSS");
}

// One row of the traffic list as the headless gateway prints it.
struct ShownRow {
    std::string marker;  // "<-  ", "<-! ", "->  ", "->! " or "--  "
    std::string time;
    std::string hex;
    std::string ln;
    std::string cs;
    std::string source;
};

// Every complete line of standard output, in the order printed (oldest first).
std::vector<ShownRow> parse_rows(const std::string& output);

// The real gateway, headless, listening on 127.0.0.1 only, in a temporary
// working directory, with a pseudo-terminal as its bus interface module.
// TearDown kills whatever is still running and removes the directory.
class GatewayTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Quillon.ini with this test's port and the given serial port name.
    void write_settings(const std::string& serial_port_name);
    // From the next start on, the program's limits on peers that have not
    // proved themselves (the key's wait, the TLS handshake, the web monitor's
    // request heads, keys and linger) are this factor of its own
    // (base/time_limit_scale.hpp): a test sees what happens at a limit
    // without waiting for the whole of it.
    void shorten_time_limits(double scale) { time_scale_ = scale; }
    // One of those limits, as the program started by this test has it.
    Milliseconds limit(std::int64_t default_ms) const;

    // Starts the program; the caller waits for what it expects.
    void start_program();
    // Settings on the test's pseudo-terminal (unless written already), start,
    // and wait until the gateway has opened its port and created its servers.
    void start_gateway();

    // A client that the gateway has taken into its client table.
    std::unique_ptr<TcpClient> connect_client();
    // Asks the gateway for its client list until every port is listed in the
    // state ("live" or "ended"); a test failure when that does not happen in time.
    void wait_clients_listed(const std::vector<std::uint16_t>& ports, const std::string& state);
    bool clients_listed(const std::vector<std::uint16_t>& ports, const std::string& state,
                        std::chrono::milliseconds how_long);

    void command(const std::string& line);
    std::vector<ShownRow> rows() const;
    // Waits until the rows printed so far satisfy `done`.
    bool wait_rows(const std::function<bool(const std::vector<ShownRow>&)>& done);
    // Waits until `count` rows with this marker have been printed.
    bool wait_row_count(const std::string& marker, std::size_t count);

    void write_bus(const Bytes& bytes);

    TempDir dir_;
    std::uint16_t port_ = 0;
    std::unique_ptr<PseudoTerminal> bus_;
    std::unique_ptr<ChildProcess> gateway_;
    double time_scale_ = 1.0;
};

std::vector<ShownRow> rows_with_marker(const std::vector<ShownRow>& rows,
                                       const std::string& marker);

}  // namespace quillon::integration
