#include "core/metrics.hpp"

#include <algorithm>
#include <map>

#include "base/version.hpp"
#include "core/gateway.hpp"

namespace quillon {
namespace {

class MetricsText {
  public:
    void family(const char* name, const char* type, const char* help) {
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void value(const std::string& name, std::uint64_t v) {
        out_ += name + " " + std::to_string(v) + "\n";
    }
    void one(const char* name, const char* type, const char* help, std::uint64_t v) {
        family(name, type, help);
        value(name, v);
    }
    std::string take() { return std::move(out_); }

  private:
    std::string out_;
};

// A label value: backslash, quote and line end escaped.
std::string label(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace

std::string metrics_text(Gateway& gw, const ProcessFigures& process) {
    const GatewayCounters& c = gw.counters;
    MetricsText m;
    m.family("quillon_build_info", "gauge", "The gateway's version; always 1.");
    m.value("quillon_build_info{version=\"" + label(version_text) + "\"}", 1);
    m.one("quillon_start_time_seconds", "gauge", "When the gateway started, in Unix time.",
          static_cast<std::uint64_t>(std::max<std::int64_t>(process.start_time_s, 0)));
    m.family("quillon_frames_total", "counter", "Frames received, by where they came from.");
    m.value(R"(quillon_frames_total{from="bus"})", c.from_bus.frames);
    m.value(R"(quillon_frames_total{from="clients"})", c.from_clients.frames);
    m.family("quillon_bytes_total", "counter", "Bytes of those frames, by where they came from.");
    m.value(R"(quillon_bytes_total{from="bus"})", c.from_bus.bytes);
    m.value(R"(quillon_bytes_total{from="clients"})", c.from_clients.bytes);
    m.one("quillon_bus_written_frames_total", "counter", "Frames written to the bus.",
          c.written_frames);
    m.one("quillon_bus_written_bytes_total", "counter", "Bytes written to the bus.",
          c.written_bytes);
    m.family("quillon_bad_frames_total", "counter", "Bad frames, by where they came from and why.");
    m.value(R"(quillon_bad_frames_total{from="bus",kind="checksum"})", c.from_bus.bad_checksum);
    m.value(R"(quillon_bad_frames_total{from="bus",kind="length"})", c.from_bus.bad_length);
    m.value(R"(quillon_bad_frames_total{from="clients",kind="checksum"})",
            c.from_clients.bad_checksum);
    m.value(R"(quillon_bad_frames_total{from="clients",kind="length"})", c.from_clients.bad_length);

    std::uint64_t clients = 0;
    std::uint64_t analyzers = 0;
    for (const ClientRecord& r : gw.clients.records()) {
        if (!r.live()) continue;
        ++(r.is_analyzer() ? analyzers : clients);
    }
    m.one("quillon_clients", "gauge", "TCP clients connected (plain and TLS).", clients);
    m.one("quillon_analyzers", "gauge", "Analyzers fed.", analyzers);
    m.one("quillon_browsers", "gauge",
          "Browsers watching the live view (with the key, if one is set).", process.browsers);
    m.family("quillon_refused_total", "counter",
             "Peers refused (a wrong or missing key, no TLS handshake, a blocked address), by "
             "door.");
    for (int d = 0; d < door_count; ++d) {
        const auto door = static_cast<Door>(d);
        m.value("quillon_refused_total{door=\"" + std::string(door_name(door)) + "\"}",
                gw.refusals.refused_total(door));
    }
    m.one("quillon_serial_link_up", "gauge", "1 while the serial link to the module is open.",
          gw.serial.state() == LinkState::open ? 1 : 0);
    m.one("quillon_serial_reconnects_total", "counter", "Times the lost serial link came back.",
          c.serial_reconnects);
    m.family("quillon_module_flow", "gauge",
             "The interface module's flow control: 1 for its state.");
    const ModuleFlow flow = gw.bus_bound.module_flow();
    m.value(R"(quillon_module_flow{state="accepting"})", flow == ModuleFlow::accepting ? 1 : 0);
    m.value(R"(quillon_module_flow{state="buffer_full"})", flow == ModuleFlow::buffer_full ? 1 : 0);
    m.value(R"(quillon_module_flow{state="bus_off"})", flow == ModuleFlow::bus_off ? 1 : 0);
    m.one("quillon_mqtt_connected", "gauge", "1 while the MQTT broker is connected.",
          gw.mqtt.connected ? 1 : 0);
    m.one("quillon_mqtt_dropped_total", "counter",
          "MQTT messages dropped, the oldest first, while 1,000 waited for the broker.",
          gw.mqtt.outbox.dropped());
    m.family("quillon_queue_frames", "gauge", "Frames waiting in the gateway's queues.");
    m.value(R"(quillon_queue_frames{queue="to_bus"})", gw.bus_bound.size());
    m.value(R"(quillon_queue_frames{queue="to_clients"})", gw.net_bound.size());
    // By address alone: a client that reconnects from a new port stays in its series.
    std::map<std::string, std::uint64_t> waiting;
    for (const ClientRecord& r : gw.clients.records()) {
        if (!r.live() || r.is_analyzer()) continue;
        waiting[r.ip_text] += gw.network.pending_output_bytes(r.handle);
    }
    m.family("quillon_client_output_bytes", "gauge",
             "Bytes waiting for the clients of each address to take them.");
    for (const auto& [address, bytes] : waiting)
        m.value("quillon_client_output_bytes{client=\"" + label(address) + "\"}", bytes);
    return m.take();
}

std::string health_problem(const Gateway& gw) {
    // While the gateway runs, its client servers listen: a server that cannot
    // be opened again ends it.
    if (!gw.loop.running) return "the gateway is not running";
    if (gw.serial.state() == LinkState::open) return {};
    if (gw.serial.searches() && gw.serial.port_name() == search_port_name)
        return "no Velbus interface module found";
    return "serial link down: " + gw.serial.port_name();
}

}  // namespace quillon
