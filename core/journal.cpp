#include "core/journal.hpp"

#include "base/version.hpp"
#include "core/gateway.hpp"

namespace quillon {

std::string duration_text(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const auto part = [](std::int64_t n, const char* unit) {
        return std::to_string(n) + " " + unit;
    };
    if (seconds < 60) return part(seconds, "s");
    if (seconds < 3600) return part(seconds / 60, "min") + " " + part(seconds % 60, "s");
    if (seconds < 86400) return part(seconds / 3600, "h") + " " + part(seconds / 60 % 60, "min");
    return part(seconds / 86400, "d") + " " + part(seconds / 3600 % 24, "h");
}

std::string server_addresses(const Gateway& gw, std::int64_t port) {
    const std::vector<std::string> addresses = gw.listen_addresses();
    if (addresses.empty()) return "0.0.0.0:" + std::to_string(port);
    std::string text;
    for (const std::string& a : addresses) {
        if (!text.empty()) text += ", ";
        text += (a.find(':') != std::string::npos ? "[" + a + "]" : a) + ":" + std::to_string(port);
    }
    return text;
}

namespace {

std::string key_text(const Settings& s) {
    return s.auth_key.empty() ? ", no key: anyone who reaches it may use it" : ", key required";
}

std::string serial_text(const Gateway& gw) {
    if (!gw.serial.searches())
        return "serial port " + gw.serial.port_name() +
               " (named in the settings: " + gw.settings.serial_settings + ")";
    if (gw.serial.state() == LinkState::open)
        return "serial port " + gw.serial.port_name() +
               " (found by looking for a Velbus USB interface)";
    return "serial port: no Velbus interface module found yet (SerialPort = auto), looking "
           "every 2 seconds";
}

}  // namespace

void journal_version(Gateway& gw) {
    gw.log.journal(std::string("Quillon ") + version_text +
                   (gw.setup.settings_text ? ", on the demo's own settings"
                                           : ", settings " + gw.setup.settings_file.string()));
}

void journal_start(Gateway& gw) {
    const Settings& s = gw.settings;
    gw.log.journal(serial_text(gw));
    if (s.plain_server())
        gw.log.journal("plain TCP server on " + server_addresses(gw, s.tcp_port) + key_text(s));
    if (s.tls_server())
        gw.log.journal("TLS server on " + server_addresses(gw, s.tls_port) + key_text(s));
    if (gw.servers.analyzer) {
        gw.log.journal("analyzer feed on UDP " + server_addresses(gw, s.analyzer_port()) +
                       (s.auth_key.empty() ? ", no key: anyone who reaches it gets the traffic"
                                           : ", key required"));
    } else if (!s.analyzer_server()) {
        gw.log.journal("analyzer feed off (AnalyzerPort = 0)");
    }
    if (s.tls_server() && gw.setup.certificates != nullptr) {
        const std::string fingerprint =
            gw.setup.certificates->fingerprint(gw.servers.tls_files.certificate);
        gw.log.journal("TLS certificate " + gw.servers.tls_files.certificate + ", SHA-256 " +
                       (fingerprint.empty() ? "unreadable" : fingerprint));
    }
    if (gw.servers.outlet) {
        gw.log.journal(std::string("web monitor on ") + (s.tls_server() ? "https" : "http") +
                       "://" + server_addresses(gw, s.web_port) + "/" +
                       (s.auth_key.empty() ? ", no key: read-only for everyone who reaches it"
                                           : ", key required"));
    }
}

void journal_client_came(Gateway& gw, const ClientRecord& c, const PassTime& t) {
    tick_journal(gw, t);
    if (gw.client_lines.take(t.ms)) gw.log.journal("client " + c.label() + " connected");
}

void journal_client_left(Gateway& gw, const ClientRecord& c, ClientEnd how, const PassTime& t) {
    tick_journal(gw, t);
    if (!gw.client_lines.take(t.ms)) return;
    const char* ended = "left";
    switch (how) {
        case ClientEnd::left:
            break;
        case ClientEnd::dropped:
            ended = "dropped (it stopped reading)";
            break;
        case ClientEnd::by_operator:
            ended = "disconnected by the operator";
            break;
        case ClientEnd::all_disconnected:
            ended = "disconnected with all clients";
            break;
    }
    const Date end = c.live() ? t.date : c.disconnect_date;
    gw.log.journal("client " + c.label() + " " + ended + " after " +
                   duration_text(end - c.connect_date) + ", " + std::to_string(c.frames_sent) +
                   (c.frames_sent == 1 ? " frame" : " frames") + " sent");
}

void tick_journal(Gateway& gw, const PassTime& t) {
    if (const std::uint64_t held = gw.client_lines.end_minute(t.ms); held > 0) {
        gw.log.journal(std::to_string(held) + " more client " +
                       (held == 1 ? "connect or disconnect" : "connects and disconnects") +
                       " in the last minute");
    }
}

}  // namespace quillon
