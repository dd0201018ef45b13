#pragma once

#include <string_view>

namespace quillon {

struct Gateway;

// Sends one feed line, as Windows-1252 bytes in one datagram, to every live
// analyzer record. Nothing is kept: a later analyzer does not get earlier lines.
void send_to_analyzers(Gateway& gw, std::string_view line);

}  // namespace quillon
