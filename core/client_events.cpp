#include "core/client_events.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "core/reporting.hpp"

namespace quillon {
namespace {

constexpr Rgb refusal_colour{200, 50, 50};

ClientRecord* live_any(ClientTable& table, ConnectionHandle handle) {
    if (ClientRecord* c = table.live(handle, ClientKind::bus_client)) return c;
    return table.live(handle, ClientKind::analyzer);
}

void client_connected(Gateway& gw, ConnectionHandle handle, ClientKind kind, const PassTime& t) {
    ClientRecord c;
    c.ip_text = gw.network.peer_address(handle);
    c.port = gw.network.peer_port(handle);
    c.handle = handle;
    c.connect_date = t.date;
    c.last_activity = t.date;
    c.kind = kind;
    const ClientRecord& added = gw.clients.add(std::move(c));
    send_line(gw, client_line("ADD IP,", added));
    redraw_clients(gw, true);
    if (added.is_analyzer()) {
        show_analyzer_count(gw);
    } else {
        journal_client_came(gw, added, t);
    }
}

Door door_of(Server server) {
    return server == Server::tls ? Door::tls : Door::tcp;
}

// A datagram's arrival keeps the analyzer alive. Its content means nothing,
// unless a key is required: then only the key subscribes, and anything else
// from a peer that is no analyzer yet is refused, never answered.
void analyzer_datagram(Gateway& gw, ConnectionHandle handle, const PassTime& t) {
    auto& buffer = gw.clients.receive_buffer();
    const std::int64_t got = gw.network.receive(handle, buffer.data(), buffer.size());
    const std::string_view content(reinterpret_cast<const char*>(buffer.data()),
                                   static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
    const bool known = gw.clients.live(handle, ClientKind::analyzer) != nullptr;
    const std::string address = gw.network.peer_address(handle);
    const auto turn_away = [&](RefusalReason reason) {
        const std::uint16_t port = gw.network.peer_port(handle);
        if (!known) gw.network.close_connection(handle);  // forget the peer
        count_refusal(gw, {Door::analyzer, reason, address, port}, t);
    };
    if (gw.refusals.blocked(address, t.ms)) {
        turn_away(RefusalReason::blocked);
        return;
    }
    if (gw.admission.required() && !gw.admission.is_key(content)) {
        if (!known) turn_away(RefusalReason::wrong_key);
        return;
    }
    if (!known) {
        // One host cannot take every place, nor one datagram with a forged
        // sender more than a few.
        if (gw.clients.live_analyzer_count() >= max_live_analyzers ||
            gw.clients.live_analyzer_count(address) >= max_live_analyzers_per_address) {
            gw.network.close_connection(handle);  // forget the peer
            return;
        }
        client_connected(gw, handle, ClientKind::analyzer, t);
    }
    if (ClientRecord* c = gw.clients.find(handle)) c->last_activity = t.date;
}

Intake bus_client_data(Gateway& gw, ConnectionHandle handle, const PassTime& t) {
    Intake intake =
        client_intake(gw.clients, gw.network, handle, t.ms, t.stamp, gw.bus_bound, gw.net_bound);
    if (!intake.queued.empty()) {
        gw.view.set_status_field(StatusField::client_frames,
                                 "N:" + std::to_string(intake.queued.size()));
        if (ClientRecord* c = gw.clients.find(handle)) c->last_activity = t.date;
    }
    if (intake.bad != 0) redraw_clients(gw);
    return intake;
}

}  // namespace

void count_refusal(Gateway& gw, const Refusal& refusal, const PassTime& t) {
    RefusalTable::Outcome out;
    gw.refusals.refuse(refusal, t.ms, out);
    show_access(gw, out, t);
}

void tick_refusals(Gateway& gw, const PassTime& t) {
    if (t.ms < gw.refusals.next_due_ms()) return;
    RefusalTable::Outcome out;
    gw.refusals.tick(t.ms, out);
    show_access(gw, out, t);
}

void show_access(Gateway& gw, const RefusalTable::Outcome& out, const PassTime& t) {
    // The key never appears: only who was refused, and why.
    for (const RefusalTable::Row& row : out.rows)
        show_notice(gw, t.date, "- access -", row.text, refusal_colour, row.alarm);
    for (const std::string& address : out.blocked)
        gw.network.set_blocked(address, true);
    for (const std::string& address : out.unblocked)
        gw.network.set_blocked(address, false);
}

namespace {

// Bytes from a connection that has not given the whole key yet.
Intake key_data(Gateway& gw, ConnectionHandle handle, const PassTime& t) {
    const Admission::Outcome outcome = gw.admission.read_key(handle, gw.network);
    switch (outcome.kind) {
        case Admission::Outcome::Kind::waiting:
            return {};
        case Admission::Outcome::Kind::refused:
            gw.network.close_connection(handle);
            count_refusal(gw, outcome.refusal, t);
            return {};
        case Admission::Outcome::Kind::admitted:
            break;
    }
    client_connected(gw, handle, ClientKind::bus_client, t);
    if (ClientRecord* c = gw.clients.live(handle, ClientKind::bus_client))
        c->after_key = KeyLineEnd::may_follow;
    // Frames may have come in the key's own segment.
    return bus_client_data(gw, handle, t);
}

void new_connection(Gateway& gw, const NetworkEvent& e, const PassTime& t) {
    const std::string address = gw.network.peer_address(e.connection);
    const std::uint16_t port = gw.network.peer_port(e.connection);
    // Accepted before the doors heard of the block: shut out at once.
    if (gw.refusals.blocked(address, t.ms)) {
        gw.network.close_connection(e.connection);
        count_refusal(gw, {door_of(e.server), RefusalReason::blocked, address, port}, t);
        return;
    }
    if (!gw.admission.required()) {
        client_connected(gw, e.connection, ClientKind::bus_client, t);
        return;
    }
    gw.admission.begin(e.connection, door_of(e.server), address, port, t.ms);
}

}  // namespace

void handle_network_event(Gateway& gw, const NetworkEvent& event, const PassTime& t,
                          std::vector<QueueEntry>& queued) {
    const auto take = [&queued](Intake intake) {
        std::move(intake.queued.begin(), intake.queued.end(), std::back_inserter(queued));
    };
    switch (event.code) {
        case NetworkEventCode::data:
            if (event.server == Server::analyzer) {
                analyzer_datagram(gw, event.connection, t);
            } else if (gw.admission.waiting(event.connection)) {
                take(key_data(gw, event.connection, t));
            } else {
                take(bus_client_data(gw, event.connection, t));
            }
            return;
        case NetworkEventCode::connection:
            new_connection(gw, event, t);
            return;
        case NetworkEventCode::refusal:
            count_refusal(gw, {event.door, event.reason, event.address, event.port}, t);
            return;
        case NetworkEventCode::disconnection:
            if (gw.admission.waiting(event.connection)) {
                if (const auto refused = gw.admission.closed(event.connection))
                    count_refusal(gw, refused->refusal, t);
                return;
            }
            client_disconnected(gw, event.connection, t);
            return;
        default:
            return;
    }
}

void refuse_late_keys(Gateway& gw, const PassTime& t) {
    for (const Admission::Outcome& refused : gw.admission.expire(t.ms)) {
        gw.network.close_connection(refused.handle);
        count_refusal(gw, refused.refusal, t);
    }
}

void give_up_and_show(Gateway& gw, ClientRecord& record, const PassTime& t) {
    // Shown at once: the client is leaving, and its record may be forgotten
    // before the pass ends.
    std::vector<QueueEntry> queued;
    give_up_held_piece(gw.clients, gw.network, record, t.stamp, gw.bus_bound, gw.net_bound, queued);
    if (queued.empty()) return;
    publish_frames(gw, queued);
    for (const QueueEntry& e : queued)
        gw.counters.from_clients.count(e);
    redraw_clients(gw);
}

void give_up_stale_pieces(Gateway& gw, const PassTime& t, std::vector<QueueEntry>& queued) {
    std::vector<ConnectionHandle> stale;
    for (const ConnectionHandle h : gw.clients.holding()) {
        const ClientRecord* c = gw.clients.find(h);
        // A paused client is not read, so the rest of its piece may well be waiting.
        if (c != nullptr && c->live() && !c->reading_paused && c->cutter.give_up_due(t.ms))
            stale.push_back(h);
    }
    for (ConnectionHandle h : stale) {
        ClientRecord* c = gw.clients.live(h, ClientKind::bus_client);
        if (c == nullptr) continue;
        const std::size_t before = queued.size();
        give_up_held_piece(gw.clients, gw.network, *c, t.stamp, gw.bus_bound, gw.net_bound, queued);
        if (queued.size() != before) redraw_clients(gw);
    }
}

void purge_clients(Gateway& gw, const PassTime& t) {
    gw.clients.purge(t.date);
    redraw_clients(gw, false);
}

void client_disconnected(Gateway& gw, ConnectionHandle handle, const PassTime& t, ClientEnd how) {
    if (ClientRecord* c = live_any(gw.clients, handle)) {
        if (!c->is_analyzer()) give_up_and_show(gw, *c, t);
        if (const ClientRecord* ended = gw.clients.end(handle, t.date)) {
            send_line(gw, client_line("DEL IP,", *ended));
            if (ended->is_analyzer()) {
                show_analyzer_count(gw);
            } else {
                journal_client_left(gw, *ended, how, t);
            }
        }
    }
    purge_clients(gw, t);
}

void disconnect_client(Gateway& gw, ConnectionHandle handle, const PassTime& t,
                       std::int32_t requester) {
    if (handle == 0) {
        tell(gw, requester, "Error",
             "No client selected.|Select a raw before clicking on this button", MessageIcon::error);
        return;
    }
    ClientRecord* c = gw.clients.find(handle);
    if (c == nullptr || !c->live()) {
        tell(gw, requester, "Info", "No client to remove.", MessageIcon::information);
        return;
    }
    if (!c->is_analyzer()) give_up_and_show(gw, *c, t);
    // Ended by the operator: no "DEL IP," line for it.
    if (const ClientRecord* ended = gw.clients.end(handle, t.date)) {
        if (ended->is_analyzer()) {
            show_analyzer_count(gw);
        } else {
            journal_client_left(gw, *ended, ClientEnd::by_operator, t);
        }
    }
    gw.network.close_connection(handle);
    purge_clients(gw, t);
}

void drop_client(Gateway& gw, ConnectionHandle handle, const PassTime& t) {
    if (handle == 0 || live_any(gw.clients, handle) == nullptr) return;
    client_disconnected(gw, handle, t, ClientEnd::dropped);
    // It has not taken what it was sent; nothing is kept for it.
    gw.network.reset_connection(handle);
}

void expire_analyzers(Gateway& gw, const PassTime& t) {
    std::vector<ConnectionHandle> silent;
    for (const ClientRecord& c : gw.clients.records()) {
        if (c.live() && c.is_analyzer() && t.date - c.last_activity > analyzer_silence_limit_s)
            silent.push_back(c.handle);
    }
    for (ConnectionHandle h : silent)
        drop_client(gw, h, t);
}

}  // namespace quillon
