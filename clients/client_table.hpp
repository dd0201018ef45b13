#pragma once

#include <cstdint>

#include "clients/network.hpp"

namespace quillon {

struct Gateway;

// An analyzer keeps its place by sending a datagram more often than this.
inline constexpr std::int64_t analyzer_silence_limit_s = 300;
// Ended records stay in the table for this long.
inline constexpr std::int64_t ended_record_keep_s = 3600;
// Bounds against a peer that reconnects in a loop or sends datagrams from
// ever new ports: the table, and with it the list's rebuilds, stay small.
inline constexpr std::size_t max_ended_records = 200;
inline constexpr std::int32_t max_live_analyzers = 64;

// Handles the one network event of the pass; returns the number of bus-bound
// entries that client intake added (0 for anything but TCP data).
std::int32_t handle_network_event(Gateway& gw, const NetworkEvent& event);

void client_connected(Gateway& gw, ConnectionHandle handle, std::int32_t server);

// Ends the live record of `handle` (0 matches none), drops records ended more
// than an hour ago, and redraws the client list.
void client_disconnected(Gateway& gw, ConnectionHandle handle);

// Shows the client list again as it stands, so that a changed error count is seen.
void refresh_client_rows(Gateway& gw);

// The "Disconnect" button: closes the client of the selected row.
void disconnect_selected(Gateway& gw);

// Ends a live client the gateway gives up on, with its "DEL IP," line, and
// closes its connection.
void drop_client(Gateway& gw, ConnectionHandle handle);

// Ends analyzer records that have been silent for more than five minutes.
void expire_analyzers(Gateway& gw);

std::int32_t live_analyzer_count(const Gateway& gw);

}  // namespace quillon
