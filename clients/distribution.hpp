#pragma once

#include <cstddef>
#include <vector>

#include "bus/net_queue.hpp"
#include "clients/client_table.hpp"
#include "clients/network.hpp"

namespace quillon {

// A client that has not taken this many bytes is disconnected rather than fed
// broken frames (minutes of full bus traffic).
inline constexpr std::size_t max_client_backlog_bytes = 256 * 1024;

// Sends the net-bound entries whose time has come (one, or a backlog's
// surplus back to back) to the live bus clients that should have them (a bus
// frame to all, an echo copy to all but its sender), each frame in a write of
// its own; a bad frame goes to none but takes its turn all the same. Returns
// the clients that passed the backlog limit, for the caller to drop; they get
// nothing more meanwhile.
std::vector<ConnectionHandle> distribute_due(NetBoundQueue& net_bound, const ClientTable& table,
                                             Network& network, std::int64_t now_us);

}  // namespace quillon
