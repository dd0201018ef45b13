#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clients/network.hpp"
#include "core/date_text.hpp"

namespace quillon {

// One connection, live (disconnect_date 0) or ended within the last hour.
struct ClientRecord {
    std::string ip_text;
    ConnectionHandle handle = 0;
    std::uint16_t port = 0;
    Date connect_date = 0;
    Date disconnect_date = 0;
    std::int32_t error_count = 0;  // frames with a bad checksum or a bad length it sent
    std::int32_t connect_ms = 0;   // low 32 bits of the clock when made
    Date last_activity = 0;
    std::int32_t server = 0;  // 1 bus client, 2 analyzer

    // A frame split across reads: the bytes of its start, at most 20.
    std::vector<std::uint8_t> held_bytes;
    std::int64_t held_since_ms = 0;  // when bytes last came for the held piece
    // Its frames in the bus-bound queue; reading pauses above a limit.
    std::int32_t frames_waiting = 0;
    bool reading_paused = false;

    bool live() const { return disconnect_date == 0; }
    bool is_analyzer() const { return server == 2; }
};

}  // namespace quillon
