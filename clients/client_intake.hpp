#pragma once

#include <cstdint>
#include <vector>

#include "bus/net_queue.hpp"
#include "bus/queue_entry.hpp"
#include "bus/transmit_queue.hpp"
#include "clients/client_table.hpp"
#include "clients/network.hpp"

namespace quillon {

// What one read of a client queued for the bus: copies of the entries, for
// the pass to show once the frames due have gone out.
struct Intake {
    std::vector<QueueEntry> queued;
    std::int32_t bad = 0;  // of which bad checksums and bad lengths
};

// Reads what a bus client sent, cuts it into frames and queues each for the
// bus, and, when its end byte is in place, as an echo copy for the other
// clients. The start of a frame left incomplete waits in the client's record.
// Counts the bad ones in its errors and pauses its reading past the limit.
Intake client_intake(ClientTable& table, Network& network, ConnectionHandle handle,
                     std::int64_t now_ms, FrameTime stamp, BusQueue& bus_bound,
                     NetBoundQueue& net_bound);

// Cuts the piece held from the client as it stands: its incomplete candidate
// becomes a bad-length entry counted in the client's errors (and the rest is
// cut on). Appends a copy of each entry queued for the bus to `queued`; none
// when nothing was held.
void give_up_held_piece(ClientTable& table, Network& network, ClientRecord& record, FrameTime stamp,
                        BusQueue& bus_bound, NetBoundQueue& net_bound,
                        std::vector<QueueEntry>& queued);

}  // namespace quillon
