#pragma once

#include <cstdint>
#include <span>

namespace quillon {

struct Gateway;

// A client with more frames than this waiting for the bus is not read from
// until the queue drains; TCP flow control holds it back meanwhile.
inline constexpr std::int32_t max_frames_waiting_per_client = 200;

// The longest the gateway waits for "receive buffer ready" or "bus active"
// after the module said "receive buffer full" or "bus off": a lost message
// cannot stop the writes for good.
inline constexpr std::int64_t module_hold_limit_ms = 5000;

// Notes a frame from the bus that may be the interface module's own flow
// control (priority F8, address 00, command 09 to 0C).
void note_module_frame(Gateway& gw, std::span<const std::uint8_t> frame);

// Whether the module's word holds paced writes back now; a hold that has run
// out ends here.
bool module_holds_writes(Gateway& gw, std::int64_t now_ms);

// Whether the pacing delay has run out: strictly more than pacing_delay_ms
// since the last transmit step.
// A module that holds writes back makes it not due.
bool transmit_due(Gateway& gw, std::int64_t now_ms);

// Milliseconds until the next transmit step may run; 0 when it may run now.
std::int64_t ms_until_transmit_due(const Gateway& gw, std::int64_t now_ms);

// Writes at most one bus-bound frame to the serial port.
void transmit_to_bus(Gateway& gw);

}  // namespace quillon
