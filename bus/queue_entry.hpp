#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "bus/bus_frame.hpp"
#include "clients/network.hpp"

namespace quillon {

// One frame waiting in the bus-bound or the net-bound queue; owns its bytes.
struct QueueEntry {
    std::string origin;  // bus: "$AA description from VelBUS"; client: its port, "#" or " " added
    std::int32_t length = 0;
    std::string time;  // "%hh:%ii:%ss.cc"; empty for a client's bad-length piece
    std::vector<std::uint8_t> bytes;
    FrameStatus status = FrameStatus::valid;
    // The client connection the frame came from; 0 for frames from the bus.
    ConnectionHandle sender = 0;
};

using FrameQueue = std::deque<QueueEntry>;

}  // namespace quillon
