#pragma once

#include <optional>
#include <vector>

#include "bus/queue_entry.hpp"

namespace quillon {

// What one pass took in, owned by the pass: the frames from the bus, those
// the clients queued for it, and what became of the pass's write to the bus.
// The queues hand their own entries on; these are shown once the frames due
// have gone out, and end with the pass.
struct PassArrivals {
    std::vector<QueueEntry> from_bus;
    std::vector<QueueEntry> from_clients;
    std::vector<QueueEntry> from_clock;  // the frames that set the modules' clocks
    std::vector<QueueEntry> from_mqtt;   // taken from the broker's send topic
    // A frame the link could not take: not kept for later, since a command
    // replayed minutes late could undo what someone has since done by hand.
    std::optional<QueueEntry> unsent;
    bool link_lost_on_write = false;
    bool module_flow_changed = false;
};

}  // namespace quillon
