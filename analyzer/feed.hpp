#pragma once

#include <string_view>

#include "clients/client_table.hpp"
#include "clients/network.hpp"

namespace quillon {

// Sends one feed line, as Windows-1252 bytes in one datagram, to every live
// analyzer. Nothing is kept: a later analyzer does not get earlier lines.
void send_to_analyzers(const ClientTable& table, Network& network, std::string_view line);

}  // namespace quillon
