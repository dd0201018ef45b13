#pragma once

#include <functional>
#include <memory>
#include <string>

#include "clients/broker.hpp"
#include "platform/mqtt/mosquitto_link.hpp"

class QSocketNotifier;

namespace quillon {

class EventWaiter;

// The plugin that holds the MQTT link and its library, beside the program:
// PROGRAM_DIR/../lib/quillon/quillon-mqtt.so.
std::string mqtt_plugin_path(const std::string& program_dir);

// The MQTT link as the program holds it: its code is loaded at the first
// opening, so that a gateway without MqttBroker never loads it. Its socket is
// watched by the loop's wait, which it wakes when the socket has something
// or can take what waits.
class MqttPlugin : public BrokerLink {
  public:
    MqttPlugin(EventWaiter& waiter, std::string path);
    ~MqttPlugin() override;

    std::string open(const BrokerOpening& opening) override;
    // Only when there is work: the socket woke the loop, or something is due.
    void service(std::int64_t now_ms) override;
    BrokerEvent poll() override;
    bool publish(const BrokerMessage& message) override;
    std::int64_t next_due_ms() const override;
    void close(const BrokerMessage& farewell) override;

  private:
    void watch_socket();

    EventWaiter& waiter_;
    std::string path_;
    std::unique_ptr<SocketBrokerLink> link_;
    int watched_fd_ = -1;
    bool socket_ready_ = false;  // the socket woke the loop since the link's last work
    std::unique_ptr<QSocketNotifier> read_notifier_;
    std::unique_ptr<QSocketNotifier> write_notifier_;
};

}  // namespace quillon
