#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "child_process.hpp"
#include "temp_dir.hpp"

namespace quillon::integration {

struct MqttBrokerOptions {
    // Set: this user with this password is the only one let in.
    std::string user{};
    std::string password{};
    // Sessions of clients that keep them survive a stop and a start, and
    // hold the messages published while they are away, QoS 0 too.
    bool keep_sessions = false;
    // The listener speaks TLS only, with a certificate for "localhost" and
    // 127.0.0.1 signed by a CA of the broker's own (ca_file()).
    bool tls = false;
};

// A real mosquitto broker on 127.0.0.1, with a configuration of its own in a
// directory of its own, on a port no other test run takes. Nothing of it is
// left running once the object goes.
class MqttBroker {
  public:
    explicit MqttBroker(MqttBrokerOptions options = {});
    ~MqttBroker();
    MqttBroker(const MqttBroker&) = delete;
    MqttBroker& operator=(const MqttBroker&) = delete;

    // Starts the broker (again after stop(), on the same port) and waits
    // until it takes connections. False when it does not within `patience`;
    // errors() then says why.
    bool start(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // SIGTERM, as a service manager stops it, and waits for its end.
    void stop();
    // SIGKILL: gone at once, saying nothing to anyone.
    void kill_hard();
    bool running() const;

    std::uint16_t port() const { return port_; }
    // The CA that signed the server certificate, as PEM; empty without TLS.
    const std::filesystem::path& ca_file() const { return ca_file_; }
    // What the broker logged so far (it logs to standard error).
    std::string errors() const;

  private:
    bool launch(std::chrono::steady_clock::time_point deadline);
    bool write_configuration();

    MqttBrokerOptions options_;
    TempDir dir_;
    std::filesystem::path ca_file_;
    std::string setup_error_;
    std::uint16_t port_ = 0;
    bool ever_started_ = false;
    // Kept after the broker ends, for what it said.
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace quillon::integration
