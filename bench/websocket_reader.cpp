#include "bench/websocket_reader.hpp"

#include <cstdlib>
#include <string_view>

namespace quillon::bench {

void WebSocketReader::feed(const std::uint8_t* bytes, std::size_t count) {
    pending.append(reinterpret_cast<const char*>(bytes), count);
    std::size_t at = 0;
    while (!broken) {
        const std::size_t left = pending.size() - at;
        const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(pending[at + k]); };
        if (left < 2) break;
        if ((byte(1) & 0x80) != 0) {
            broken = true;
            break;
        }
        std::uint64_t length = byte(1) & 0x7FU;
        std::size_t header = 2;
        if (length == 126) {
            header = 4;
        } else if (length == 127) {
            header = 10;
        }
        if (left < header) break;
        if (header > 2) {
            length = 0;
            for (std::size_t k = 2; k < header; ++k)
                length = length << 8 | byte(k);
        }
        // Far past any message the monitor sends, a state with every row included.
        if (length > 256 * 1024 * 1024) {
            broken = true;
            break;
        }
        if (left - header < length) break;
        const bool fin = (byte(0) & 0x80) != 0;
        const unsigned opcode = byte(0) & 0x0FU;
        const std::string_view payload(pending.data() + at + header,
                                       static_cast<std::size_t>(length));
        at += header + static_cast<std::size_t>(length);
        if (opcode == 0x1 || opcode == 0x2) {
            message.assign(payload);
        } else if (opcode == 0x0) {
            message.append(payload);
        } else if (opcode == 0x8) {
            closed = true;
            continue;
        } else if (opcode == 0x9 || opcode == 0xA) {
            continue;
        } else {
            broken = true;
            break;
        }
        if (fin) on_message();
    }
    pending.erase(0, at);
}

void WebSocketReader::on_message() {
    ++messages;
    const auto is = [this](std::string_view type) {
        return message.rfind("{\"type\":\"" + std::string(type) + "\"", 0) == 0;
    };
    if (messages == 2) greeted = is("state");
    if (messages == 1 && !is("hello")) broken = true;
    if (!is("row")) return;
    ++rows;
    // The frame's bytes in hex, no spaces: the command byte is the fifth.
    const std::string_view key = "\"hex\":\"";
    const std::size_t at = message.find(key);
    if (at == std::string::npos || message.size() < at + key.size() + 10) return;
    const unsigned long command =
        std::strtoul(message.substr(at + key.size() + 8, 2).c_str(), nullptr, 16);
    if (command >= phase_sync && command <= phase_last) ++rows_by_phase[command - phase_sync];
}

}  // namespace quillon::bench
