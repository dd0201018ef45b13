#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bus/serial_port.hpp"

namespace quillon {

// The settings file, in the working directory unless the command line names
// another. Read at start-up and again at SIGHUP; written only when it is
// missing, by the first configuration or as a template for a service.
inline constexpr std::string_view settings_file_name = "Quillon.ini";

// The MQTT bridge; without a broker, none.
struct MqttSettings {
    std::string broker;    // "MqttBroker": mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string ca_file;   // "MqttCA": PEM file, relative to the settings; empty, the system's
    std::string user;      // "MqttUser"
    std::string password;  // "MqttPassword"
    std::optional<std::string> topic;  // "MqttTopic": the prefix; absent, quillon/HOST
    bool send = false;                 // "MqttSend = on": frames taken from PREFIX/send
    bool discovery = false;            // "MqttDiscovery = on": Home Assistant's discovery

    bool operator==(const MqttSettings&) const = default;
};

// What the settings file says.
struct Settings {
    std::int32_t tcp_port = 8080;  // "IPPort"; 0 turns the plain server off
    std::string serial_settings;   // the whole "SerialPort" value
    SerialLineSettings serial;     // its six fields
    std::string module_type;       // "RS" (exactly) selects the RS-232 module

    // Secure access; a file without these keys gives today's open gateway.
    std::string auth_key;             // "AuthKey": what every client must send first
    std::int32_t tls_port = 0;        // "TLSPort": 0, no TLS server
    std::string tls_certificate;      // "TLSCertificate": PEM file, relative to the settings
    std::string tls_private_key;      // "TLSPrivateKey": PEM file, relative to the settings
    std::vector<std::string> listen;  // "Listen": the local addresses; none, all of them
    std::int32_t web_port = 0;        // "WebPort": the monitor in a browser; 0, none
    // "WebOrigin" (repeatable): pages served elsewhere that may open the live
    // view, as "scheme://host[:port]"; the monitor's own page always may.
    std::vector<std::string> web_origins;
    // "AnalyzerPort": absent, above the client server's port; 0, no analyzer server.
    std::optional<std::int32_t> analyzer_port_setting;
    // "ClockSync = on": the modules' clocks are set from this machine's.
    bool clock_sync = false;
    MqttSettings mqtt;

    bool rs_module() const { return module_type == "RS"; }
    bool plain_server() const { return tcp_port != 0; }
    bool tls_server() const { return tls_port != 0; }
    // The analyzers' UDP port: as set, else above the plain server's, else
    // above the TLS one's; 0, none.
    std::int64_t analyzer_port() const {
        if (analyzer_port_setting) return *analyzer_port_setting;
        return std::int64_t{plain_server() ? tcp_port : tls_port} + 1;
    }
    bool analyzer_server() const { return analyzer_port() != 0; }
};

// Reads the file's raw bytes. Missing keys give the defaults; nothing is
// validated here, a bad serial setting shows up when the port is opened.
Settings read_settings(std::string_view file_bytes);

// What a person should hear about a settings file: a key the gateway does not
// know (a misspelling is otherwise silent), or a number that is not one (it
// still reads as settings_integer reads it).
struct SettingsWarning {
    int line = 0;  // counted from 1
    std::string text;
};
std::vector<SettingsWarning> settings_warnings(std::string_view file_bytes);

// The addresses of a comma-separated list, blanks around them dropped.
std::vector<std::string> address_list(std::string_view text);

// The value of `key` (UTF-8), or std::nullopt when the key does not occur
// before the first group line.
std::optional<std::string> find_setting(std::string_view file_bytes, std::string_view key);

// "$" hex, "%" binary or decimal, optionally signed; stops at the first stray
// character; no digits give 0.
std::int32_t settings_integer(std::string_view text);

// "." is the decimal point whatever the locale; "+Infinity", "-Infinity" and
// "NaN" are understood; stops at the first stray character; no digits give 0.
float settings_decimal(std::string_view text);

// "auto" in any letter case: the module is to be looked for.
bool is_search_name(std::string_view name);

// The exact bytes of the file the first-configuration dialog writes.
std::string first_configuration_file(std::string_view port_text, std::string_view serial_port_name,
                                     bool rs_module);

// The file written when none was found and no one is there to ask: the
// interface module found by itself, the default port, the secure-access keys
// explained but left off.
std::string service_settings_template();

}  // namespace quillon
