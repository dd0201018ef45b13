#include "core/servers.hpp"

#include <filesystem>
#include <string>
#include <system_error>

#include "core/client_events.hpp"
#include "core/journal.hpp"
#include "core/reporting.hpp"

namespace quillon {
namespace {

// The self-signed pair made when the settings name no certificate.
constexpr std::string_view made_certificate_name = "Quillon.crt";
constexpr std::string_view made_key_name = "Quillon.key";

// Files named in the settings are found from the settings file's folder.
std::string beside_settings(const Gateway& gw, const std::string& name) {
    const std::filesystem::path path(name);
    return (path.is_absolute() ? path : gw.setup.settings_folder() / path).string();
}

std::string in_data_directory(const Gateway& gw, std::string_view name) {
    return (gw.setup.data_directory / name).string();
}

void show_tls_error(Gateway& gw, const std::string& text) {
    gw.dialogs.message_box("TLS Error", text, MessageIcon::error);
}

// The files the TLS server works with; made once when the settings name none.
std::optional<TlsFiles> tls_files(Gateway& gw) {
    const Settings& s = gw.settings;
    if (!s.tls_certificate.empty() || !s.tls_private_key.empty()) {
        if (s.tls_certificate.empty() || s.tls_private_key.empty()) {
            show_tls_error(gw,
                           "TLSCertificate and TLSPrivateKey go together: set both, or "
                           "neither for a self-signed certificate");
            return std::nullopt;
        }
        return TlsFiles{beside_settings(gw, s.tls_certificate),
                        beside_settings(gw, s.tls_private_key)};
    }
    TlsFiles made{in_data_directory(gw, made_certificate_name),
                  in_data_directory(gw, made_key_name)};
    if (gw.files.exists(made.certificate) && gw.files.exists(made.private_key)) return made;
    std::string error = "no way to make certificates here";
    if (gw.setup.certificates == nullptr ||
        !gw.setup.certificates->make_self_signed(made.certificate, made.private_key, error)) {
        show_tls_error(gw, "Can't make the TLS certificate " + made.certificate + ": " + error);
        return std::nullopt;
    }
    return made;
}

std::string listen_text(const Gateway& gw) {
    std::string text;
    for (const std::string& address : gw.listen_addresses()) {
        text += text.empty() ? "|on " : ", ";
        text += address;
    }
    return text;
}

// What went wrong with a port and what to do about it, e.g. "TCP port 8080 on
// 0.0.0.0 is in use (Address already in use): another program listens there;
// set IPPort".
std::string listen_problem(const Gateway& gw, const char* protocol, std::int64_t port,
                           const char* key) {
    const std::string what = std::string(protocol) + " port " + std::to_string(port);
    if (port < 1 || port > 65535) return what + " is not a port number (1 to 65535); set " + key;
    const ListenFailure f = gw.network.last_listen_failure();
    const std::string where = what + " on " + f.address;
    if (f.in_use)
        return where + " is in use (" + f.reason + "): another program listens there; set " + key;
    if (f.denied)
        return where + " cannot be used (" + f.reason +
               "): ports below 1024 need privileges; set " + key + " to 1024 or above";
    return where + " cannot be used (" + f.reason + "); set " + key + ", or Listen";
}

bool open_plain_server(Gateway& gw) {
    if (!gw.settings.plain_server()) return true;
    if (gw.network.create_tcp_server(Server::tcp, gw.settings.tcp_port, tcp_backlog)) return true;
    gw.dialogs.message_box("NOT ABLE TO CREATE SERVER",
                           "Can't start Quillon on this port" + listen_text(gw) + "|" +
                               listen_problem(gw, "TCP", gw.settings.tcp_port, "IPPort"),
                           MessageIcon::error);
    return false;
}

bool open_tls_server(Gateway& gw) {
    if (!gw.settings.tls_server()) return true;
    const std::optional<TlsFiles> files = tls_files(gw);
    if (!files) return false;
    gw.servers.tls_files = *files;
    switch (gw.network.create_tls_server(Server::tls, gw.settings.tls_port, tls_backlog, *files)) {
        case ServerStart::ok:
            return true;
        case ServerStart::unavailable:
            gw.dialogs.message_box("NOT ABLE TO CREATE SERVER",
                                   "Can't start Quillon's TLS server on port " +
                                       std::to_string(gw.settings.tls_port) + listen_text(gw) +
                                       "|" +
                                       listen_problem(gw, "TCP", gw.settings.tls_port, "TLSPort"),
                                   MessageIcon::error);
            return false;
        case ServerStart::certificate_unreadable:
            show_tls_error(gw, "Can't read the TLS certificate " + files->certificate +
                                   " (a PEM certificate is expected)");
            return false;
        case ServerStart::key_unreadable:
            show_tls_error(gw, "Can't read the TLS private key " + files->private_key +
                                   " (a PEM private key is expected)");
            return false;
        case ServerStart::key_mismatch:
            show_tls_error(gw, "The TLS private key " + files->private_key +
                                   " is not the key of the certificate " + files->certificate);
            return false;
    }
    return false;
}

// The live view in a browser, on WebPort over the same addresses as the
// other servers, over TLS when the gateway has a TLS server. Without it the
// gateway goes on: the bus and its clients come first.
bool open_outlet(Gateway& gw) {
    const Settings& s = gw.settings;
    if (gw.setup.outlet == nullptr || s.web_port == 0) return false;
    OutletStart start;
    if (s.web_port >= 1 && s.web_port <= 65535) {
        OutletOpening o;
        o.port = static_cast<std::uint16_t>(s.web_port);
        o.addresses = gw.listen_addresses();
        if (s.tls_server()) o.tls = gw.servers.tls_files;
        o.key = s.auth_key;
        o.origins = s.web_origins;
        start = gw.setup.outlet->open(o);
    }
    if (start.open) return true;
    gw.dialogs.message_box("Web Monitor Error",
                           "Can't start Quillon's web monitor on port " +
                               std::to_string(s.web_port) +
                               (start.problem.empty() ? "" : " (" + start.problem + ")") +
                               ": the gateway runs without it",
                           MessageIcon::error);
    return false;
}

}  // namespace

bool open_servers(Gateway& gw) {
    const Settings& s = gw.settings;
    if (!s.plain_server() && !s.tls_server()) {
        gw.dialogs.message_box("NOT ABLE TO CREATE SERVER",
                               "IPPort and TLSPort are both 0: there is no server to start",
                               MessageIcon::error);
        return false;
    }
    gw.network.listen_on(gw.listen_addresses());
    gw.admission.set_key(s.auth_key);

    // Computed in 64 bits: a port of 65535 names 65536 here, which cannot be bound.
    const std::int64_t udp_port = s.analyzer_port();
    gw.servers.analyzer =
        s.analyzer_server() && gw.network.create_udp_server(Server::analyzer, udp_port);
    if (s.analyzer_server() && !gw.servers.analyzer) {
        gw.dialogs.message_box("Analyzer UDP Port not Free",
                               "Standard server may works...|Analyzer UDP port " +
                                   std::to_string(udp_port) + " Not enable|" +
                                   listen_problem(gw, "UDP", udp_port, "AnalyzerPort") +
                                   " (AnalyzerPort = 0 goes without the analyzer feed)",
                               MessageIcon::error);
    }
    if (!open_plain_server(gw) || !open_tls_server(gw)) return false;
    gw.servers.outlet = open_outlet(gw);
    // Without browsers to come, nothing is kept for them.
    if (!gw.servers.outlet && gw.setup.outlet != nullptr) gw.setup.outlet->close();
    return true;
}

void close_client_servers(Gateway& gw) {
    gw.network.close_server(Server::tcp);
    gw.network.close_server(Server::tls);
    gw.admission.forget_waiting();
}

bool reopen_client_servers(Gateway& gw) {
    const Settings& s = gw.settings;
    if (s.plain_server() && !gw.network.create_tcp_server(Server::tcp, s.tcp_port, tcp_backlog))
        return false;
    return !s.tls_server() || gw.network.create_tls_server(Server::tls, s.tls_port, tls_backlog,
                                                           gw.servers.tls_files) == ServerStart::ok;
}

void shutdown(Gateway& gw) {
    stop_mqtt(gw);
    gw.serial.close();
    close_client_servers(gw);
    if (gw.servers.analyzer) gw.network.close_server(Server::analyzer);
    gw.servers.analyzer = false;
    if (gw.servers.outlet) gw.setup.outlet->close();
    gw.servers.outlet = false;
    gw.debug_log.set_on(false);
    gw.loop.running = false;
}

void restart_server(Gateway& gw, const PassTime& t, std::int32_t requester) {
    std::vector<ConnectionHandle> analyzers;
    for (const ClientRecord& c : gw.clients.records()) {
        if (c.live() && c.is_analyzer()) analyzers.push_back(c.handle);
    }
    // What the clients leave of a frame is shown before they are forgotten.
    std::vector<ConnectionHandle> bus_clients;
    for (const ClientRecord& c : gw.clients.records()) {
        if (c.live() && !c.is_analyzer()) bus_clients.push_back(c.handle);
    }
    for (ConnectionHandle h : bus_clients) {
        if (ClientRecord* c = gw.clients.live(h, ClientKind::bus_client)) {
            give_up_and_show(gw, *c, t);
            journal_client_left(gw, *c, ClientEnd::all_disconnected, t);
        }
    }
    // Analyzer peers are forgotten too; their next datagram makes a new record.
    for (ConnectionHandle h : analyzers)
        gw.network.close_connection(h);
    gw.clients.clear();
    gw.view.show_clients({});
    show_analyzer_count(gw);
    close_client_servers(gw);
    gw.clock.pause_ms(500);
    if (!reopen_client_servers(gw)) {
        constexpr std::string_view failed = "Couldn't restart connexion's server";
        // Asked from afar, the gateway still ends: the operator's log says why.
        if (requester != 0) gw.log.log_line(failed);
        tell(gw, requester, "Network Error", failed, MessageIcon::error);
        shutdown(gw);
    }
}

}  // namespace quillon
