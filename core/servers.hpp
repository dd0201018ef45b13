#pragma once

#include <cstdint>

#include "core/gateway.hpp"
#include "core/pass_time.hpp"

namespace quillon {

// The listen queues of the client servers.
inline constexpr std::int32_t tcp_backlog = 100;
// The TLS server takes its peers before their handshake: a burst from one
// address must not fill the kernel's queue and make another's connection wait
// for a retransmission (a second).
inline constexpr std::int32_t tls_backlog = 1024;

// Opens what the settings ask for, on the listen addresses: the analyzer
// socket (a failure there is shown, and the gateway goes on without it), the
// plain server, the TLS server and then the web monitor (shown and gone
// without, too). False when a client server cannot start; its message has
// been shown.
[[nodiscard]] bool open_servers(Gateway& gw);

// Closes the client servers and every connection they hold, those still
// waiting for their key included.
void close_client_servers(Gateway& gw);
// Opens them again ("Disconnect All"), with the files of the start; false when one fails.
[[nodiscard]] bool reopen_client_servers(Gateway& gw);

// "Disconnect All": forgets every client and re-creates the TCP server. A
// failure is told to whoever asked (0: the operator here) and ends the gateway.
void restart_server(Gateway& gw, const PassTime& time, std::int32_t requester = 0);

// Closes the serial port, the servers and the web monitor (and so every
// connection) and the debug log.
void shutdown(Gateway& gw);

}  // namespace quillon
