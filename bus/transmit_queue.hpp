#pragma once

#include <cstdint>

namespace quillon {

struct Gateway;

// A client with more frames than this waiting for the bus is not read from
// until the queue drains; TCP flow control holds it back meanwhile.
inline constexpr std::int32_t max_frames_waiting_per_client = 200;

// Whether the pacing delay has run out: strictly more than pacing_delay_ms
// since the last transmit step.
bool transmit_due(const Gateway& gw, std::int64_t now_ms);

// Milliseconds until the next transmit step may run; 0 when it may run now.
std::int64_t ms_until_transmit_due(const Gateway& gw, std::int64_t now_ms);

// Writes at most one bus-bound frame to the serial port.
void transmit_to_bus(Gateway& gw);

}  // namespace quillon
