#pragma once

#include <cstdint>

#include "clients/network.hpp"

namespace quillon {

struct Gateway;

// Reads what a bus client sent, cuts it into frames and queues each for the bus
// (and, when its end byte is in place, as an echo copy for the other clients).
// Returns the number of bus-bound entries added.
std::int32_t client_intake(Gateway& gw, ConnectionHandle handle);

}  // namespace quillon
