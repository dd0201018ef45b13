#pragma once

#include <cstdint>
#include <string_view>

namespace quillon {

// Every way in that asks for the key or a handshake. Refusals at all of them
// are counted in one table per address, so that guessing at one door blocks
// the address at every door.
enum class Door : std::uint8_t {
    tcp,        // the plain client server
    tls,        // the TLS client server
    analyzer,   // the analyzer datagrams
    web,        // the web monitor's port itself (its TLS handshake)
    websocket,  // the web monitor's live view
    metrics,    // "/metrics"
    save,       // "/save"
};
inline constexpr int door_count = 7;

// The door's name in rows and in the figures' labels.
constexpr std::string_view door_name(Door door) {
    switch (door) {
        case Door::tcp:
            return "tcp";
        case Door::tls:
            return "tls";
        case Door::analyzer:
            return "analyzer";
        case Door::web:
            return "web";
        case Door::websocket:
            return "websocket";
        case Door::metrics:
            return "metrics";
        case Door::save:
            return "save";
    }
    return "tcp";
}

enum class RefusalReason : std::uint8_t {
    wrong_key,
    no_key,            // nothing, or not all of it, within its time
    no_tls_handshake,  // the handshake did not end within its time
    blocked,           // the address is blocked: turned away at once
};

}  // namespace quillon
