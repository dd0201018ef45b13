#include "core/mqtt_bridge.hpp"

#include <limits>

#include "analyzer/frame_json.hpp"
#include "base/code_page.hpp"
#include "base/version.hpp"
#include "bus/frame_text.hpp"
#include "core/gateway.hpp"
#include "core/pass_arrivals.hpp"
#include "core/pass_time.hpp"
#include "core/reporting.hpp"

namespace quillon {
namespace {

constexpr Rgb connected_colour{20, 150, 20};
constexpr Rgb trouble_colour{200, 50, 50};
constexpr int max_broker_events_per_pass = 200;
// Frames from the broker waiting for the bus, as many as a client may have.
constexpr std::size_t max_mqtt_frames_waiting = max_frames_waiting_per_client;

// A row, and a line in a service's journal.
void say(Gateway& gw, Date now, const std::string& text, Rgb colour) {
    show_notice(gw, now, "- mqtt -", text, colour, false);
    gw.log.log_line(text);
}

std::string broker_text(const Gateway& gw) {
    return "MQTT broker " + gw.mqtt.address.text();
}

// Letters, digits and "_" only: the name Home Assistant's topics and ids take.
std::string node_id(std::string_view prefix) {
    std::string id;
    for (const char c : prefix) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        id += plain ? c : '_';
    }
    return id;
}

std::string topic(const Gateway& gw, std::string_view leaf) {
    return gw.mqtt.prefix + "/" + std::string(leaf);
}

void publish_now(Gateway& gw, BrokerMessage message) {
    // Right after the link came up it takes these first; should it not, they wait in turn.
    if (!gw.setup.broker->publish(message)) gw.mqtt.outbox.push(std::move(message));
}

// Home Assistant's discovery: the serial link, the bus rates and the clients,
// all of one device.
void publish_discovery(Gateway& gw) {
    const std::string node = node_id(gw.mqtt.prefix);
    const std::string device =
        R"(,"availability_topic":)" + json_string(topic(gw, "status")) +
        R"(,"device":{"identifiers":[)" + json_string(node) + R"(],"name":)" +
        json_string("Quillon " + gw.setup.host_name) +
        R"(,"manufacturer":"Quillon","model":"Velbus gateway","sw_version":)" +
        json_string(version_text) + "}}";
    const auto config = [&](std::string_view component, std::string_view key, std::string_view name,
                            const std::string& extra) {
        publish_now(gw, {"homeassistant/" + std::string(component) + "/" + node + "/" +
                             std::string(key) + "/config",
                         R"({"name":)" + json_string(name) + R"(,"unique_id":)" +
                             json_string(node + "_" + std::string(key)) + R"(,"state_topic":)" +
                             json_string(topic(gw, "health/" + std::string(key))) + extra + device,
                         true});
    };
    config("binary_sensor", "serial_link", "Serial link",
           R"(,"device_class":"connectivity","payload_on":"ON","payload_off":"OFF")");
    const std::string rate =
        R"(,"device_class":"data_rate","unit_of_measurement":"bit/s","state_class":"measurement")";
    config("sensor", "bus_rx_rate", "Bus receive rate", rate);
    config("sensor", "bus_tx_rate", "Bus transmit rate", rate);
    config("sensor", "clients", "Clients",
           R"(,"state_class":"measurement","icon":"mdi:lan-connect")");
}

void on_connected(Gateway& gw, Date now) {
    gw.mqtt.connected = true;
    say(gw, now, broker_text(gw) + " connected", connected_colour);
    publish_now(gw, {topic(gw, "status"), "online", true});
    if (gw.settings.mqtt.discovery) {
        publish_discovery(gw);
        gw.mqtt.health_sent.reset();
        publish_mqtt_health(gw);
    }
}

void refuse_sent(Gateway& gw, Date now, std::string_view why, std::string_view payload) {
    // Enough of what came to recognise it, in one line.
    std::string shown;
    for (const char c : payload.substr(0, 64))
        shown += (c >= ' ' && c != 0x7F) ? c : '.';
    if (payload.size() > 64) shown += "...";
    show_notice(gw, now, "- mqtt -",
                "MQTT send refused (" + std::string(why) + "): \"" + shown + "\"", trouble_colour,
                false);
}

// A frame from the send topic goes to the bus as a client's does: paced,
// echoed to the clients, shown from MQTT.
void take_sent_frame(Gateway& gw, const PassTime& t, std::string_view payload, PassArrivals& in) {
    FrameFromText read = frame_from_text(payload);
    if (!read.good()) return refuse_sent(gw, t.date, read.problem, payload);
    if (gw.mqtt.waiting_for_bus >= max_mqtt_frames_waiting)
        return refuse_sent(gw, t.date, "the bus is behind", payload);
    QueueEntry entry{std::move(read.bytes), FrameStatus::valid, t.stamp, 0, 0, OtherSource::mqtt};
    QueueEntry echo = entry;
    echo.status = FrameStatus::echo_copy;
    gw.net_bound.push(std::move(echo));
    in.from_mqtt.push_back(entry);
    gw.bus_bound.push(std::move(entry));
    ++gw.mqtt.waiting_for_bus;
}

std::string sender_of(const Gateway& gw, const QueueEntry& e) {
    switch (e.other_source) {
        case OtherSource::clock:
            return "clock";
        case OtherSource::mqtt:
            return "mqtt";
        case OtherSource::none:
            break;
    }
    if (e.from_bus()) return "bus";
    const std::string label = sender_label(gw, e);
    return "client " + (label.empty() ? "unknown:" + std::to_string(e.sender_port) : label);
}

}  // namespace

void start_mqtt(Gateway& gw) {
    const MqttSettings& m = gw.settings.mqtt;
    if (m.broker.empty()) return;
    const Date now = gw.clock.local_date();
    const std::optional<BrokerAddress> address = broker_address(m.broker);
    if (!address) {
        say(gw, now,
            "MqttBroker = " + m.broker +
                " is neither mqtt://HOST[:PORT] nor mqtts://HOST[:PORT]; no MQTT",
            trouble_colour);
        return;
    }
    gw.mqtt.address = *address;
    if (gw.setup.broker == nullptr) {
        say(gw, now, broker_text(gw) + ": this program has no MQTT; no MQTT", trouble_colour);
        return;
    }
    std::string prefix = m.topic.value_or("quillon/" + gw.setup.host_name);
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    if (prefix.empty()) prefix = "quillon/" + gw.setup.host_name;
    gw.mqtt.prefix = prefix;

    BrokerOpening opening;
    opening.address = *address;
    if (!m.ca_file.empty()) {
        const std::filesystem::path ca(m.ca_file);
        opening.ca_file = (ca.is_absolute() ? ca : gw.setup.settings_folder() / ca).string();
    }
    opening.user = m.user;
    opening.password = m.password;
    opening.client_id = "quillon-" + node_id(prefix);
    opening.will = {topic(gw, "status"), "offline", true};
    if (m.send) opening.subscriptions.push_back(topic(gw, "send"));
    const std::string problem = gw.setup.broker->open(opening);
    if (!problem.empty()) {
        say(gw, now, broker_text(gw) + " can't be used: " + problem, trouble_colour);
        return;
    }
    gw.mqtt.on = true;
    gw.log.journal("MQTT to " + address->text() + (address->tls ? " over TLS" : "") +
                   ", topics under " + prefix + "/" +
                   (m.send ? ", frames taken from " + topic(gw, "send") : ""));
}

void take_mqtt(Gateway& gw, const PassTime& t, PassArrivals& in) {
    if (!gw.mqtt.on) return;
    BrokerLink& link = *gw.setup.broker;
    link.service(t.ms);
    for (int k = 0; k < max_broker_events_per_pass; ++k) {
        BrokerEvent e = link.poll();
        switch (e.kind) {
            case BrokerEventKind::none:
                return;
            case BrokerEventKind::connected:
                on_connected(gw, t.date);
                break;
            case BrokerEventKind::lost:
                gw.mqtt.connected = false;
                say(gw, t.date, broker_text(gw) + " lost: " + e.reason, trouble_colour);
                break;
            case BrokerEventKind::refused:
                gw.mqtt.connected = false;
                say(gw, t.date, broker_text(gw) + " refused: " + e.reason, trouble_colour);
                break;
            case BrokerEventKind::message:
                if (gw.settings.mqtt.send && e.message.topic == topic(gw, "send"))
                    take_sent_frame(gw, t, e.message.payload, in);
                break;
        }
    }
}

void publish_mqtt_frame(Gateway& gw, const QueueEntry& entry) {
    if (!gw.mqtt.on) return;
    gw.mqtt.outbox.push({topic(gw, "frame"),
                         frame_json(entry, sender_of(gw, entry), gw.clock.utc_offset_s()), false});
}

void publish_mqtt_health(Gateway& gw) {
    if (!gw.mqtt.on || !gw.mqtt.connected || !gw.settings.mqtt.discovery) return;
    MqttHealth h;
    h.link_up = gw.serial.state() == LinkState::open;
    h.rx_bps = gw.statistics.rx_bps();
    h.tx_bps = gw.statistics.tx_bps();
    for (const ClientRecord& c : gw.clients.records())
        h.clients += c.live() && !c.is_analyzer();
    const std::optional<MqttHealth>& sent = gw.mqtt.health_sent;
    if (!sent || sent->link_up != h.link_up)
        gw.mqtt.outbox.push({topic(gw, "health/serial_link"), h.link_up ? "ON" : "OFF", true});
    if (!sent || sent->rx_bps != h.rx_bps)
        gw.mqtt.outbox.push({topic(gw, "health/bus_rx_rate"), std::to_string(h.rx_bps), true});
    if (!sent || sent->tx_bps != h.tx_bps)
        gw.mqtt.outbox.push({topic(gw, "health/bus_tx_rate"), std::to_string(h.tx_bps), true});
    if (!sent || sent->clients != h.clients)
        gw.mqtt.outbox.push({topic(gw, "health/clients"), std::to_string(h.clients), true});
    gw.mqtt.health_sent = h;
}

void flush_mqtt(Gateway& gw) {
    if (gw.mqtt.on && gw.mqtt.connected) gw.mqtt.outbox.flush(*gw.setup.broker);
}

void stop_mqtt(Gateway& gw) {
    if (!gw.mqtt.on) return;
    gw.setup.broker->close({topic(gw, "status"), "offline", true});
    gw.mqtt.on = false;
    gw.mqtt.connected = false;
}

std::int64_t mqtt_next_due_ms(const Gateway& gw) {
    return gw.mqtt.on ? gw.setup.broker->next_due_ms() : std::numeric_limits<std::int64_t>::max();
}

}  // namespace quillon
