// The decoder sees every bus candidate and every piece of client data, bad ones
// included: it must never read past the bytes it is given and must always give
// valid UTF-8. Input: one selector byte, then the frame bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "analyzer/message_decoder.hpp"

namespace {

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t extra = 0;
        char32_t cp = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            cp = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            cp = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            cp = lead & 0x07u;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0u) != 0x80u) return false;
            cp = (cp << 6) | (b & 0x3Fu);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

void check(const std::string& text) {
    if (!valid_utf8(text)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t selector = data[0];
    const std::uint8_t* rest = data + 1;
    const std::size_t available = size - 1;

    // Low two bits: the source tag; the rest: how many of the remaining bytes the
    // decoder is told about (0..63), never more than there are.
    static constexpr std::string_view sources[] = {"IP", "VMB", "ip", ""};
    const std::string_view source = sources[selector & 3u];
    const std::size_t length = std::min<std::size_t>(selector >> 2, available);

    // Exactly sized, so that AddressSanitizer catches a read past the end.
    std::vector<std::uint8_t> frame(rest, rest + length);
    const std::string text =
        quillon::decode_message(source, frame.empty() ? nullptr : frame.data(), frame.size());
    check(text);
    if (source == "IP" && (text.size() < 4 || text[0] != '$' || text[3] != ' ')) std::abort();

    const int value = available > 0 ? static_cast<std::int8_t>(rest[0]) : selector;
    const int count = static_cast<int>(selector >> 4) - 2;  // -2..13, outside 0..8 too
    const auto style = static_cast<quillon::ChannelStyle>(selector % 3);
    check(quillon::format_channels(value, count, style));
    check(quillon::format_channel_map(value, count));
    return 0;
}
