#include "core/settings.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <limits>
#include <span>
#include <system_error>
#include <utility>

#include "base/code_page.hpp"
#include "bus/serial_device_finder.hpp"

namespace quillon {
namespace {

constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";

constexpr std::string_view default_port = "8080";
constexpr std::string_view default_serial = "COM1,38400,0,8,1,0";
constexpr std::string_view default_module = "USB";

// What the dialog adds to the serial port name: 38400 baud, no parity, 8 data
// bits, 1 stop bit, no handshake.
constexpr std::string_view dialog_line_settings = ",38400,0,8,1,0";
constexpr std::string_view search_line_settings = "auto,38400,0,8,1,0";

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view trim_leading(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && is_blank(s[i]))
        ++i;
    return s.substr(i);
}

std::string_view trim_trailing(std::string_view s) {
    std::size_t n = s.size();
    while (n > 0 && is_blank(s[n - 1]))
        --n;
    return s.substr(0, n);
}

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_key(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

// The file as UTF-8 text: a byte-order mark says it already is, anything else
// is Latin-1. A UTF-8 file is taken as it stands, malformed bytes included.
std::string file_text(std::string_view bytes) {
    if (bytes.starts_with(utf8_bom)) return std::string(bytes.substr(utf8_bom.size()));
    return latin1_to_utf8(bytes);
}

// Every value of the key, in file order, up to the first group line.
std::vector<std::string> lookup_all(std::string_view text, std::string_view key) {
    std::vector<std::string> values;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = trim_leading(text.substr(pos, end - pos));
        pos = end;
        if (pos < text.size()) {
            const bool crlf = text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n';
            pos += crlf ? 2 : 1;
        }
        if (line.empty() || line.front() == ';') continue;
        // The gateway uses no group: whatever follows the first one is not its.
        if (line.front() == '[') break;
        const std::size_t equals = line.find('=');
        // Not an entry; skipping it keeps a stray line from hiding a later key.
        if (equals == std::string_view::npos) continue;
        if (same_key(trim_trailing(line.substr(0, equals)), key)) {
            values.emplace_back(trim_trailing(trim_leading(line.substr(equals + 1))));
        }
    }
    return values;
}

std::optional<std::string> lookup(std::string_view text, std::string_view key) {
    std::vector<std::string> values = lookup_all(text, key);
    if (values.empty()) return std::nullopt;
    return std::move(values.front());
}

std::string setting_or(std::string_view text, std::string_view key, std::string_view fallback) {
    if (auto value = lookup(text, key)) return std::move(*value);
    return std::string(fallback);
}

// Field `index` (0-based) of a comma-separated value; empty beyond the last comma.
std::string_view field(std::string_view value, int index) {
    for (int i = 0; i < index; ++i) {
        const std::size_t comma = value.find(',');
        if (comma == std::string_view::npos) return {};
        value.remove_prefix(comma + 1);
    }
    return value.substr(0, value.find(','));
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether a number that does not fit a float is too large (rather than too
// small): the decimal order of its first significant digit is positive.
// `number` is digits, an optional "." and digits, an optional exponent.
bool too_large(std::string_view number) {
    constexpr std::int64_t exponent_cap = 1'000'000'000'000;
    std::int64_t order = 0;
    bool found = false;
    std::size_t i = 0;
    for (; i < number.size() && is_digit(number[i]); ++i) {
        if (found) ++order;
        if (!found && number[i] != '0') found = true;
    }
    if (i < number.size() && number[i] == '.') {
        ++i;
        std::int64_t place = 0;
        for (; i < number.size() && is_digit(number[i]); ++i) {
            --place;
            if (!found && number[i] != '0') {
                found = true;
                order = place;
            }
        }
    }
    if (!found) return false;
    std::int64_t exponent = 0;
    if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < number.size() && (number[i] == '+' || number[i] == '-')) {
            negative = number[i] == '-';
            ++i;
        }
        for (; i < number.size() && is_digit(number[i]); ++i) {
            if (exponent < exponent_cap) exponent = exponent * 10 + (number[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return order + exponent > 0;
}

// The keys the gateway reads; the numbers among them.
constexpr std::string_view known_keys[] = {
    "IPPort",    "SerialPort",   "SerialType",     "SerialModule",  "AuthKey",
    "TLSPort",   "WebPort",      "TLSCertificate", "TLSPrivateKey", "Listen",
    "WebOrigin", "AnalyzerPort", "ClockSync",      "MqttBroker",    "MqttCA",
    "MqttUser",  "MqttPassword", "MqttTopic",      "MqttSend",      "MqttDiscovery"};
constexpr std::string_view number_keys[] = {"IPPort", "TLSPort", "WebPort", "AnalyzerPort"};
constexpr std::string_view switch_keys[] = {"ClockSync", "MqttSend", "MqttDiscovery"};

bool is_one_of(std::string_view key, std::span<const std::string_view> keys) {
    return std::any_of(keys.begin(), keys.end(),
                       [key](std::string_view k) { return same_key(k, key); });
}

// Whether the whole text is a number as settings_integer reads one.
bool whole_number(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    int base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == '%')) {
        base = text[i] == '$' ? 16 : 2;
        ++i;
    }
    if (i == text.size()) return false;
    for (; i < text.size(); ++i) {
        const int digit = digit_value(text[i]);
        if (digit < 0 || digit >= base) return false;
    }
    return true;
}

}  // namespace

bool is_search_name(std::string_view name) {
    return same_key(name, search_port_name);
}

std::vector<SettingsWarning> settings_warnings(std::string_view file_bytes) {
    const std::string text = file_text(file_bytes);
    std::vector<SettingsWarning> warnings;
    std::size_t pos = 0;
    int line_number = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        const std::string_view line = trim_leading(std::string_view(text).substr(pos, end - pos));
        ++line_number;
        pos = end;
        if (pos < text.size()) {
            const bool crlf = text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n';
            pos += crlf ? 2 : 1;
        }
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') break;  // what follows is not the gateway's
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = trim_trailing(line.substr(0, equals));
        const std::string_view value = trim_trailing(trim_leading(line.substr(equals + 1)));
        if (!is_one_of(key, known_keys)) {
            warnings.push_back({line_number, "unknown key \"" + std::string(key) + "\", ignored"});
        } else if (is_one_of(key, number_keys) && !whole_number(value)) {
            warnings.push_back({line_number, std::string(key) + " = " + std::string(value) +
                                                 " is not a number; read as " +
                                                 std::to_string(settings_integer(value))});
        } else if (is_one_of(key, switch_keys) && !same_key(value, "on") &&
                   !same_key(value, "off")) {
            warnings.push_back({line_number, std::string(key) + " = " + std::string(value) +
                                                 " is neither on nor off; read as off"});
        }
    }
    return warnings;
}

std::optional<std::string> find_setting(std::string_view file_bytes, std::string_view key) {
    return lookup(file_text(file_bytes), key);
}

Settings read_settings(std::string_view file_bytes) {
    const std::string text = file_text(file_bytes);
    Settings s;
    s.tcp_port = settings_integer(setting_or(text, "IPPort", default_port));

    s.serial_settings = setting_or(text, "SerialPort", default_serial);
    std::string_view serial = s.serial_settings;
    // A search for the module needs no line settings: the module's own are taken.
    if (is_search_name(serial)) serial = search_line_settings;
    s.serial.name = std::string(field(serial, 0));
    if (is_search_name(s.serial.name)) s.serial.name = search_port_name;
    s.serial.baud = settings_integer(field(serial, 1));
    s.serial.parity = settings_integer(field(serial, 2));
    s.serial.data_bits = settings_integer(field(serial, 3));
    s.serial.stop_bits = settings_decimal(field(serial, 4));
    s.serial.handshake = settings_integer(field(serial, 5));

    // The dialog writes the module kind under "SerialModule"; "SerialType"
    // still takes precedence when a file has it.
    if (auto type = lookup(text, "SerialType")) {
        s.module_type = std::move(*type);
    } else {
        s.module_type = setting_or(text, "SerialModule", default_module);
    }

    // The secure access, all optional.
    s.auth_key = setting_or(text, "AuthKey", "");
    s.tls_port = settings_integer(setting_or(text, "TLSPort", "0"));
    s.web_port = settings_integer(setting_or(text, "WebPort", "0"));
    s.tls_certificate = setting_or(text, "TLSCertificate", "");
    s.tls_private_key = setting_or(text, "TLSPrivateKey", "");
    if (auto analyzer = lookup(text, "AnalyzerPort"))
        s.analyzer_port_setting = settings_integer(*analyzer);
    s.clock_sync = same_key(setting_or(text, "ClockSync", "off"), "on");
    s.mqtt.broker = setting_or(text, "MqttBroker", "");
    s.mqtt.ca_file = setting_or(text, "MqttCA", "");
    s.mqtt.user = setting_or(text, "MqttUser", "");
    s.mqtt.password = setting_or(text, "MqttPassword", "");
    s.mqtt.topic = lookup(text, "MqttTopic");
    s.mqtt.send = same_key(setting_or(text, "MqttSend", "off"), "on");
    s.mqtt.discovery = same_key(setting_or(text, "MqttDiscovery", "off"), "on");
    // Repeatable, each a comma-separated list.
    for (const std::string& value : lookup_all(text, "Listen")) {
        for (std::string& address : address_list(value))
            s.listen.push_back(std::move(address));
    }
    for (const std::string& value : lookup_all(text, "WebOrigin")) {
        for (std::string& origin : address_list(value))
            s.web_origins.push_back(std::move(origin));
    }
    return s;
}

std::vector<std::string> address_list(std::string_view text) {
    std::vector<std::string> addresses;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view address = trim_trailing(trim_leading(text.substr(0, comma)));
        if (!address.empty()) addresses.emplace_back(address);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return addresses;
}

std::int32_t settings_integer(std::string_view text) {
    text = trim_leading(text);
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i < text.size() && text[i] == '%') {
        base = 2;
        ++i;
    }
    // Accumulated modulo 2^32 and read back as two's complement, so a number
    // too large for 32 bits wraps (4294967297 gives 1, 2147483648 gives
    // -2147483648) instead of overflowing.
    std::uint32_t value = 0;
    for (; i < text.size(); ++i) {
        const int digit = digit_value(text[i]);
        if (digit < 0 || digit >= base) break;
        value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

float settings_decimal(std::string_view text) {
    text = trim_leading(text);
    if (text.starts_with("+Infinity") || text.starts_with("Infinity")) {
        return std::numeric_limits<float>::infinity();
    }
    if (text.starts_with("-Infinity")) return -std::numeric_limits<float>::infinity();
    if (text.starts_with("NaN")) return std::numeric_limits<float>::quiet_NaN();

    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t start = i;
    std::size_t digits = 0;
    for (; i < text.size() && is_digit(text[i]); ++i)
        ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        for (; i < text.size() && is_digit(text[i]); ++i)
            ++digits;
    }
    if (digits == 0) return 0.0f;
    // An exponent counts only when digits follow its "e" and sign.
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < text.size() && is_digit(text[j])) {
            while (j < text.size() && is_digit(text[j]))
                ++j;
            i = j;
        }
    }
    const std::string_view number = text.substr(start, i - start);

    // from_chars never looks at the locale; on a range error it leaves the
    // value alone, so infinity or zero is chosen here.
    float value = 0.0f;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        value = too_large(number) ? std::numeric_limits<float>::infinity() : 0.0f;
    } else if (result.ec != std::errc{}) {
        value = 0.0f;
    }
    return negative ? -value : value;
}

std::string first_configuration_file(std::string_view port_text, std::string_view serial_port_name,
                                     bool rs_module) {
    std::string out;
    out += utf8_bom;
    out += "\r\n";
    out += "IPPort = ";
    out += port_text;
    out += "\r\n";
    out += "SerialPort = ";
    out += serial_port_name;
    out += dialog_line_settings;
    out += "\r\n";
    out += "SerialModule = ";
    out += rs_module ? "RS" : "USB";
    out += "\r\n";
    return out;
}

std::string service_settings_template() {
    return "; Quillon settings, written at the first start without anyone to ask.\r\n"
           "; Lines starting with ; are comments. See the user guide for every key.\r\n"
           ";\r\n"
           "; auto: the Velbus USB interface, found by itself. To name the port by hand,\r\n"
           "; use its stable path on Linux: SerialPort = /dev/serial/by-id/...,38400,0,8,1,0\r\n"
           "SerialPort = auto\r\n"
           "; The TCP port of the clients; analyzers use the UDP port one above it.\r\n"
           "IPPort = 8080\r\n"
           ";\r\n"
           "; Secure access. AuthKey: every client must begin with exactly this text.\r\n"
           "; AuthKey = a-long-random-text\r\n"
           "; TLSPort: a TLS server (a self-signed certificate is made when none is named).\r\n"
           "; TLSPort = 27015\r\n"
           "; Listen: the local addresses the servers bind to (default: all).\r\n"
           "; Listen = 192.168.1.10\r\n"
           ";\r\n"
           "; WebPort: the live bus monitor in a browser, http://this-box:8088/\r\n"
           "; (read-only for everyone without AuthKey).\r\n"
           "; WebPort = 8088\r\n"
           ";\r\n"
           "; ClockSync: on sets the modules' clocks from this machine's, at start and hourly.\r\n"
           "; ClockSync = on\r\n";
}

}  // namespace quillon
