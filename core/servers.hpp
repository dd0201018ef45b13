#pragma once

#include "core/gateway.hpp"

namespace quillon {

// Opens what the settings ask for, on the listen addresses: the analyzer
// socket (a failure there is shown, and the gateway goes on without it), the
// plain server and the TLS server. False when a client server cannot start;
// its message has been shown.
bool open_servers(Gateway& gw);

// Closes the client servers and every connection they hold, those still
// waiting for their key included.
void close_client_servers(Gateway& gw);
// Opens them again ("Disconnect All"), with the files of the start; false when one fails.
bool reopen_client_servers(Gateway& gw);

}  // namespace quillon
