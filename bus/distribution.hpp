#pragma once

#include <cstddef>

namespace quillon {

struct Gateway;

// A client that has not taken this many bytes is disconnected rather than fed
// broken frames (minutes of full bus traffic).
inline constexpr std::size_t max_client_backlog_bytes = 256 * 1024;

// Sends each net-bound frame to the bus clients that should have it, pausing
// 2 ms after each entry, then empties the queue.
void distribute_to_clients(Gateway& gw);

}  // namespace quillon
