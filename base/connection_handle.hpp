#pragma once

#include <cstdint>

namespace quillon {

// Identifies a TCP connection or a UDP peer. Never 0 (0 means "no client") and
// never reused while the gateway runs, so a late event cannot reach a newer client.
using ConnectionHandle = std::int32_t;

}  // namespace quillon
