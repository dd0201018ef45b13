#pragma once

#include <vector>

#include "clients/client_intake.hpp"
#include "clients/network.hpp"
#include "core/gateway.hpp"
#include "core/pass_time.hpp"

namespace quillon {

// The one network event of the pass: a connection, data from a bus client or
// an analyzer, or a disconnection. Returns what client intake queued.
Intake handle_network_event(Gateway& gw, const NetworkEvent& event, const PassTime& time);

// Closes the connections whose key has not come in time, each with its row.
void refuse_late_keys(Gateway& gw, const PassTime& time);

// A browser of the web monitor gave a wrong key: counted and shown like a
// refused connection.
void show_browser_refusal(Gateway& gw, const std::string& address, Date now);

// Ends the live record of the connection, with its "DEL IP," line; the piece
// of a frame it left is shown first. Then drops old records and redraws.
void client_disconnected(Gateway& gw, ConnectionHandle handle, const PassTime& time);

// "Disconnect": closes the client of the selected row (0: none selected).
void disconnect_client(Gateway& gw, ConnectionHandle handle, const PassTime& time);

// Ends a live client the gateway gives up on, with its "DEL IP," line, and
// resets its connection.
void drop_client(Gateway& gw, ConnectionHandle handle, const PassTime& time);

// Ends analyzers that have been silent for more than five minutes.
void expire_analyzers(Gateway& gw, const PassTime& time);

// Gives up the pieces of frames that nothing more has come for in time; what
// they queued for the bus is appended to `queued`, for the pass to show.
void give_up_stale_pieces(Gateway& gw, const PassTime& time, std::vector<QueueEntry>& queued);
// Gives up the piece of a client that leaves, and shows it at once.
void give_up_and_show(Gateway& gw, ClientRecord& record, const PassTime& time);

// Drops records ended more than an hour ago and redraws the list.
void purge_clients(Gateway& gw, const PassTime& time);

}  // namespace quillon
