#pragma once

#include <cstdint>
#include <string>

#include "base/connection_handle.hpp"
#include "base/date_text.hpp"
#include "bus/frame_cutter.hpp"
#include "clients/admission.hpp"

namespace quillon {

// A client's piece of a frame waits this long for its rest after its last bytes.
inline constexpr std::int64_t client_hold_limit_ms = 1000;

enum class ClientKind {
    bus_client,  // a TCP connection that exchanges frames
    analyzer,    // a UDP peer that receives the text feed
};

// One connection, live (disconnect_date 0) or ended not long ago.
struct ClientRecord {
    std::string ip_text;
    ConnectionHandle handle = 0;
    std::uint16_t port = 0;
    Date connect_date = 0;
    Date disconnect_date = 0;
    std::int32_t error_count = 0;   // frames with a bad checksum or a bad length it sent
    std::uint64_t frames_sent = 0;  // every frame it sent, good or bad
    Date last_activity = 0;
    ClientKind kind = ClientKind::bus_client;

    // The start of a frame that has come only in part.
    FrameCutter cutter{RejectedRun::to_next_start,
                       {client_hold_limit_ms, HoldLimit::Since::last_byte}};
    // Its frames in the bus-bound queue; reading pauses above a limit.
    std::int32_t frames_waiting = 0;
    bool reading_paused = false;
    // Admitted by its key: a line end may come before its first frame.
    KeyLineEnd after_key = KeyLineEnd::none;

    bool live() const { return disconnect_date == 0; }
    bool is_analyzer() const { return kind == ClientKind::analyzer; }
    // "a.b.c.d:port", as rows and lines name the client.
    std::string label() const { return ip_text + ":" + std::to_string(port); }
};

}  // namespace quillon
