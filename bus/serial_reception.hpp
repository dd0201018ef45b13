#pragma once

#include <cstdint>
#include <string>

namespace quillon {

struct Gateway;

// Longest time the start of a frame waits for the rest of it before it is
// judged as it stands (a 21-byte frame takes under 6 ms at 38400 baud).
inline constexpr std::int64_t serial_hold_limit_ms = 50;

// Reads what the bus interface module delivered, cuts it into frames and
// appends one net-bound entry per candidate; returns the number appended.
std::int32_t receive_from_bus(Gateway& gw);

// "%hh:%ii:%ss.cc": the wall-clock time with hundredths counted from the
// moment the loop saw the second change.
std::string frame_time_text(Gateway& gw);

// The serial link: opening with the settings, and the retries after a failure.
bool open_serial_link(Gateway& gw);
void serial_link_failed(Gateway& gw);
void retry_serial_link(Gateway& gw, std::int64_t now_ms);

}  // namespace quillon
