#pragma once

#include <cstddef>
#include <vector>

#include "base/clock.hpp"
#include "bus/queue_entry.hpp"
#include "clients/client_table.hpp"
#include "clients/network.hpp"

namespace quillon {

// A client that has not taken this many bytes is disconnected rather than fed
// broken frames (minutes of full bus traffic).
inline constexpr std::size_t max_client_backlog_bytes = 256 * 1024;
// The pause after each net-bound entry.
inline constexpr std::int32_t distribution_pause_ms = 2;

// Sends each net-bound frame that is forwardable to the live bus clients that
// should have it (bus frames to all, an echo copy to all but its sender), each
// frame in its own write, pausing after each entry; then empties the queue.
// Returns the clients that passed the backlog limit, for the caller to drop.
std::vector<ConnectionHandle> distribute_to_clients(FrameQueue& net_bound,
                                                    const ClientTable& table, Network& network,
                                                    Clock& clock);

}  // namespace quillon
