#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "base/connection_handle.hpp"
#include "base/date_text.hpp"
#include "bus/bus_frame.hpp"

namespace quillon {

// When a frame arrived: the wall-clock second and its hundredths, as the
// pass that took the frame read the clock.
struct FrameTime {
    Date second = 0;
    std::int32_t hundredths = 0;
};

// Where a frame came from when neither the bus nor a client sent it.
enum class OtherSource : std::uint8_t {
    none,
    clock,  // made by the gateway to set the modules' clocks
    mqtt,   // taken from the MQTT broker's send topic
};

// One frame waiting in the bus-bound or the net-bound queue: what came and
// when, and from where. Texts are made from it when it is shown.
struct QueueEntry {
    std::vector<std::uint8_t> bytes;
    FrameStatus status = FrameStatus::valid;
    FrameTime time;
    // The client connection the frame came from; 0 for frames from the bus.
    ConnectionHandle sender = 0;
    // Its peer port, which names it when the client is no longer known.
    std::uint16_t sender_port = 0;
    OtherSource other_source = OtherSource::none;

    bool from_bus() const { return sender == 0 && other_source == OtherSource::none; }
};

using FrameQueue = std::deque<QueueEntry>;

}  // namespace quillon
