#pragma once

#include <vector>

#include "clients/client_intake.hpp"
#include "clients/network.hpp"
#include "core/gateway.hpp"
#include "core/journal.hpp"
#include "core/pass_time.hpp"

namespace quillon {

// One network event: a connection, data from a bus client or an analyzer, a
// refusal, or a disconnection. What client intake queued for the bus is
// appended to `queued`, for the pass to show.
void handle_network_event(Gateway& gw, const NetworkEvent& event, const PassTime& time,
                          std::vector<QueueEntry>& queued);

// Closes the connections whose key has not come in time, each with its row.
void refuse_late_keys(Gateway& gw, const PassTime& time);

// A peer refused at one of the doors: counted against its address, shown as
// the refusal table says, and its address turned away at every door once
// blocked.
void count_refusal(Gateway& gw, const Refusal& refusal, const PassTime& time);
// Ends the blocks that have run out and closes the minute of refusal rows.
void tick_refusals(Gateway& gw, const PassTime& time);
void show_access(Gateway& gw, const RefusalTable::Outcome& outcome, const PassTime& time);

// Ends the live record of the connection, with its "DEL IP," line; the piece
// of a frame it left is shown first. Then drops old records and redraws.
void client_disconnected(Gateway& gw, ConnectionHandle handle, const PassTime& time,
                         ClientEnd how = ClientEnd::left);

// "Disconnect": closes the client of the selected row (0: none selected).
// What it has to say goes to whoever asked (0: the operator here).
void disconnect_client(Gateway& gw, ConnectionHandle handle, const PassTime& time,
                       std::int32_t requester = 0);

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
