#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bus/queue_entry.hpp"
#include "clients/broker.hpp"
#include "clients/broker_outbox.hpp"

namespace quillon {

struct Gateway;
struct PassTime;
struct PassArrivals;

// The gateway's health as Home Assistant's discovery offers it.
struct MqttHealth {
    bool link_up = false;
    std::int64_t rx_bps = 0;
    std::int64_t tx_bps = 0;
    std::uint64_t clients = 0;
    bool operator==(const MqttHealth&) const = default;
};

// The bridge to an MQTT broker: every frame shown goes out as JSON under the
// prefix, the gateway's status is kept there retained, and (when allowed)
// frames come in to be sent to the bus.
struct MqttState {
    bool on = false;
    bool connected = false;
    BrokerAddress address;
    std::string prefix;  // without a trailing "/"
    BrokerOutbox outbox;
    std::optional<MqttHealth> health_sent;
    std::size_t waiting_for_bus = 0;  // frames from the send topic not yet written
};

// At start: the link opened when MqttBroker names a broker.
void start_mqtt(Gateway& gw);
// The link's work, what it brought (a frame to send goes to the bus as a
// client's does, and is shown from MQTT), and the messages waiting.
void take_mqtt(Gateway& gw, const PassTime& t, PassArrivals& in);
// A frame that got its row, for the subscribers.
void publish_mqtt_frame(Gateway& gw, const QueueEntry& entry);
// After the figures' refresh: the health, when it changed.
void publish_mqtt_health(Gateway& gw);
// At the pass's end: what waits, as far as the link takes it.
void flush_mqtt(Gateway& gw);
// The retained "offline", then the broker is left.
void stop_mqtt(Gateway& gw);
std::int64_t mqtt_next_due_ms(const Gateway& gw);

}  // namespace quillon
