#include "core/client_events.hpp"

#include <vector>

#include "core/reporting.hpp"

namespace quillon {
namespace {

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
}

// Its datagram's content means nothing; its arrival keeps the analyzer alive.
void analyzer_datagram(Gateway& gw, ConnectionHandle handle, const PassTime& t) {
    auto& buffer = gw.clients.receive_buffer();
    gw.network.receive(handle, buffer.data(), buffer.size());
    if (gw.clients.live(handle, ClientKind::analyzer) == nullptr) {
        if (gw.clients.live_analyzer_count() >= max_live_analyzers) {
            gw.network.close_connection(handle);  // forget the peer
            return;
        }
        client_connected(gw, handle, ClientKind::analyzer, t);
    }
    if (ClientRecord* c = gw.clients.find(handle)) c->last_activity = t.date;
}

}  // namespace

Intake handle_network_event(Gateway& gw, const NetworkEvent& event, const PassTime& t) {
    switch (event.code) {
        case NetworkEventCode::data:
            if (event.server == Server::analyzer) {
                analyzer_datagram(gw, event.connection, t);
                return {};
            } else {
                const Intake intake = client_intake(gw.clients, gw.network, event.connection, t.ms,
                                                    t.stamp, gw.bus_bound, gw.net_bound);
                if (intake.added != 0) {
                    gw.view.set_status_field(status_field::client_frames,
                                             "N:" + std::to_string(intake.added));
                    if (ClientRecord* c = gw.clients.find(event.connection))
                        c->last_activity = t.date;
                }
                if (intake.bad != 0) redraw_clients(gw);
                return intake;
            }
        case NetworkEventCode::connection:
            client_connected(
                gw, event.connection,
                event.server == Server::analyzer ? ClientKind::analyzer : ClientKind::bus_client,
                t);
            return {};
        case NetworkEventCode::disconnection:
            client_disconnected(gw, event.connection, t);
            return {};
        default:
            return {};
    }
}

void give_up_and_show(Gateway& gw, ClientRecord& record, const PassTime& t) {
    const std::int32_t added =
        give_up_held_piece(gw.clients, gw.network, record, t.stamp, gw.bus_bound, gw.net_bound);
    if (added == 0) return;
    const auto n = static_cast<std::size_t>(added);
    publish_frames(gw, gw.bus_bound.entries(), gw.bus_bound.size() - n, n);
    redraw_clients(gw);
}

void give_up_stale_pieces(Gateway& gw, const PassTime& t) {
    std::vector<ConnectionHandle> stale;
    for (const ConnectionHandle h : gw.clients.holding()) {
        const ClientRecord* c = gw.clients.find(h);
        // A paused client is not read, so the rest of its piece may well be waiting.
        if (c != nullptr && c->live() && !c->reading_paused && c->cutter.give_up_due(t.ms))
            stale.push_back(h);
    }
    for (ConnectionHandle h : stale) {
        if (ClientRecord* c = gw.clients.live(h, ClientKind::bus_client))
            give_up_and_show(gw, *c, t);
    }
}

void purge_clients(Gateway& gw, const PassTime& t) {
    gw.clients.purge(t.date);
    redraw_clients(gw, false);
}

void client_disconnected(Gateway& gw, ConnectionHandle handle, const PassTime& t) {
    if (ClientRecord* c = live_any(gw.clients, handle)) {
        if (!c->is_analyzer()) give_up_and_show(gw, *c, t);
        if (const ClientRecord* ended = gw.clients.end(handle, t.date))
            send_line(gw, client_line("DEL IP,", *ended));
    }
    purge_clients(gw, t);
}

void disconnect_client(Gateway& gw, ConnectionHandle handle, const PassTime& t) {
    if (handle == 0) {
        gw.view.message_box("Error",
                            "No client selected.|Select a raw before clicking on this button",
                            MessageIcon::error);
        return;
    }
    ClientRecord* c = gw.clients.find(handle);
    if (c == nullptr || !c->live()) {
        gw.view.message_box("Info", "No client to remove.", MessageIcon::information);
        return;
    }
    if (!c->is_analyzer()) give_up_and_show(gw, *c, t);
    // Ended by the operator: no "DEL IP," line for it.
    gw.clients.end(handle, t.date);
    gw.network.close_connection(handle);
    purge_clients(gw, t);
}

void drop_client(Gateway& gw, ConnectionHandle handle, const PassTime& t) {
    if (handle == 0 || live_any(gw.clients, handle) == nullptr) return;
    client_disconnected(gw, handle, t);
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
