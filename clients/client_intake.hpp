#pragma once

#include <cstdint>

#include "clients/client_record.hpp"
#include "clients/network.hpp"

namespace quillon {

struct Gateway;

// Reads what a bus client sent, cuts it into frames and queues each for the bus
// (and, when its end byte is in place, as an echo copy for the other clients).
// Returns the number of bus-bound entries added.
std::int32_t client_intake(Gateway& gw, ConnectionHandle handle);

// A client's piece waits this long for the rest of its frame.
inline constexpr std::int64_t client_hold_limit_ms = 1000;

// Queues the piece held from this client as a bad-length entry for the bus,
// shows its row at once and counts it in the client's errors; nothing happens
// when none is held.
void give_up_held_piece(Gateway& gw, ClientRecord& record);

// Gives up the live clients' pieces that nothing more has come for in
// client_hold_limit_ms.
void give_up_stale_pieces(Gateway& gw, std::int64_t now_ms);

}  // namespace quillon
