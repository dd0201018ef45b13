// Settings files as people write them: known keys, the optional keys of the
// secure and service set-ups among them, in any order and spelling, with any
// values, separators and line ends, and a group line now and then. Reading
// must neither crash nor misbehave, and a key that is there must be found.
//
// Input: a program of lines, each a key choice, a shape choice and a value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/settings.hpp"

namespace {

constexpr std::string_view keys[] = {
    "IPPort",  "SerialPort", "SerialType", "SerialModule",   "AuthKey",
    "TLSPort", "WebPort",    "Listen",     "TLSCertificate", "TLSPrivateKey",
    "ipport",  "SERIALPORT", "Auth Key",   "[Quillon]",
};

constexpr std::string_view separators[] = {"=", " = ", "\t=\t", " =", "= ", "=="};
constexpr std::string_view line_ends[] = {"\r\n", "\n", "\r", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    const auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };

    std::string file;
    if (next() & 1) file += "\xEF\xBB\xBF";  // a byte-order mark, as some editors write
    while (at < size) {
        const std::string_view key = keys[next() % std::size(keys)];
        const std::uint8_t shape = next();
        std::string value;
        for (std::size_t n = next() % 40; n > 0 && at < size; --n)
            value += static_cast<char>(next());
        file += key;
        file += separators[shape % std::size(separators)];
        file += value;
        file += line_ends[(shape >> 4) % std::size(line_ends)];
    }

    const quillon::Settings state = quillon::read_settings(file);
    for (const std::string_view key : keys) {
        if (const auto found = quillon::find_setting(file, key)) {
            volatile std::int32_t integer = quillon::settings_integer(*found);
            (void)integer;
        }
    }
    // The first-configuration file reads back as what was written.
    const std::string port = std::to_string(state.tcp_port & 0xFFFF);
    const std::string written = quillon::first_configuration_file(port, state.serial.name, false);
    const quillon::Settings again = quillon::read_settings(written);
    if (again.tcp_port != (state.tcp_port & 0xFFFF)) std::abort();
    return 0;
}
