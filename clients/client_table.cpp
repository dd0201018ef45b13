#include "clients/client_table.hpp"

#include "analyzer/feed.hpp"
#include "clients/client_intake.hpp"
#include "core/gateway.hpp"

namespace quillon {
namespace {

std::string client_line(const char* prefix, const ClientRecord& c) {
    return std::string(prefix) + c.ip_text + ":" + std::to_string(c.port) + "," +
           format_date(date_time_pattern, c.connect_date) + "," +
           format_date(date_time_pattern, c.disconnect_date);
}

ClientRow client_row(const ClientRecord& c, bool after_connection) {
    ClientRow row;
    row.icon = c.live() ? icon_client_live : icon_client_ended;
    row.cells[1] = c.ip_text + " (" + std::to_string(c.port) + ")";
    if (after_connection) row.cells[1] += " ";
    if (c.is_analyzer()) row.cells[1] += "[Analyzer]";
    row.cells[2] = format_date(date_time_pattern, c.connect_date);
    if (!c.live()) row.cells[3] = format_date(date_time_pattern, c.disconnect_date);
    row.cells[4] = std::to_string(c.error_count);
    row.client = c.handle;
    row.address = c.ip_text;
    row.port = c.port;
    row.live = c.live();
    return row;
}

// Rows are inserted at the top in table order: the newest record shows first.
void show_client_rows(Gateway& gw, bool after_connection) {
    gw.client_rows_after_connection = after_connection;
    gw.client_rows.clear();
    gw.client_row_records.clear();
    for (std::size_t i = gw.clients.size(); i-- > 0;) {
        gw.client_rows.push_back(client_row(gw.clients[i], after_connection));
        gw.client_row_records.push_back(i);
    }
    gw.view.show_clients(gw.client_rows);
}

void touch_records(Gateway& gw, ConnectionHandle handle) {
    const Date now = gw.clock.local_date();
    for (ClientRecord& c : gw.clients) {
        if (c.handle == handle) c.last_activity = now;
    }
}

bool has_live_record(const Gateway& gw, ConnectionHandle handle, std::int32_t server) {
    for (const ClientRecord& c : gw.clients) {
        if (c.handle == handle && c.server == server && c.live()) return true;
    }
    return false;
}

}  // namespace

void refresh_client_rows(Gateway& gw) {
    show_client_rows(gw, gw.client_rows_after_connection);
}

std::int32_t handle_network_event(Gateway& gw, const NetworkEvent& event) {
    switch (event.code) {
        case NetworkEventCode::data:
            if (event.server == analyzer_server) {
                // The datagram's content means nothing; its arrival keeps the analyzer alive.
                gw.network.receive(event.connection, gw.network_buffer.data(),
                                   gw.network_buffer.size());
                if (!has_live_record(gw, event.connection, analyzer_server)) {
                    if (live_analyzer_count(gw) >= max_live_analyzers) {
                        gw.network.close_connection(event.connection);  // forget the peer
                        return 0;
                    }
                    client_connected(gw, event.connection, analyzer_server);
                }
                touch_records(gw, event.connection);
                return 0;
            } else {
                const std::int32_t n = client_intake(gw, event.connection);
                if (n != 0) {
                    gw.view.set_status_field(status_field::client_frames, "N:" + std::to_string(n));
                    touch_records(gw, event.connection);
                }
                return n;
            }
        case NetworkEventCode::connection:
            client_connected(gw, event.connection, event.server);
            return 0;
        case NetworkEventCode::disconnection:
            client_disconnected(gw, event.connection);
            return 0;
        default:
            return 0;
    }
}

void client_connected(Gateway& gw, ConnectionHandle handle, std::int32_t server) {
    ClientRecord c;
    c.ip_text = gw.network.peer_address(handle);
    c.port = gw.network.peer_port(handle);
    c.handle = handle;
    c.connect_date = gw.clock.local_date();
    c.disconnect_date = 0;
    c.error_count = 0;
    c.connect_ms = static_cast<std::int32_t>(static_cast<std::uint32_t>(gw.clock.now_ms()));
    c.last_activity = c.connect_date;
    c.server = server;
    gw.clients.push_back(std::move(c));
    send_to_analyzers(gw, client_line("ADD IP,", gw.clients.back()));
    show_client_rows(gw, true);
}

void client_disconnected(Gateway& gw, ConnectionHandle handle) {
    const Date now = gw.clock.local_date();
    for (std::size_t i = 0; i < gw.clients.size();) {
        ClientRecord& c = gw.clients[i];
        if (handle != 0 && c.handle == handle && c.live()) {
            give_up_held_piece(gw, c);
            c.disconnect_date = now;
            send_to_analyzers(gw, client_line("DEL IP,", c));
        }
        if (c.disconnect_date > 0 && now - c.disconnect_date > ended_record_keep_s) {
            gw.clients.erase(gw.clients.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
    std::size_t ended = 0;
    for (const ClientRecord& c : gw.clients)
        ended += c.live() ? 0 : 1;
    for (std::size_t i = 0; i < gw.clients.size() && ended > max_ended_records;) {
        if (gw.clients[i].live()) {
            ++i;
            continue;
        }
        gw.clients.erase(gw.clients.begin() + static_cast<std::ptrdiff_t>(i));
        --ended;
    }
    show_client_rows(gw, false);
}

void disconnect_selected(Gateway& gw) {
    const int row = gw.view.selected_client_row();
    if (row < 0 || static_cast<std::size_t>(row) >= gw.client_row_records.size()) {
        gw.view.message_box("Error",
                            "No client selected.|Select a raw before clicking on this button",
                            MessageIcon::error);
        return;
    }
    const std::size_t index = gw.client_row_records[static_cast<std::size_t>(row)];
    if (index >= gw.clients.size() || !gw.clients[index].live()) {
        gw.view.message_box("Info", "No client to remove.", MessageIcon::information);
        return;
    }
    ClientRecord& c = gw.clients[index];
    const ConnectionHandle handle = c.handle;
    give_up_held_piece(gw, c);
    // Ended here, so the pass below sends no "DEL IP," line for it.
    c.disconnect_date = gw.clock.local_date();
    gw.network.close_connection(handle);
    client_disconnected(gw, handle);
}

void drop_client(Gateway& gw, ConnectionHandle handle) {
    if (handle == 0) return;
    for (const ClientRecord& c : gw.clients) {
        if (c.handle == handle && c.live()) {
            client_disconnected(gw, handle);
            // A client given up on has not taken what it was sent; nothing is kept for it.
            gw.network.reset_connection(handle);
            return;
        }
    }
}

void expire_analyzers(Gateway& gw) {
    const Date now = gw.clock.local_date();
    std::vector<ConnectionHandle> silent;
    for (const ClientRecord& c : gw.clients) {
        if (c.live() && c.is_analyzer() && now - c.last_activity > analyzer_silence_limit_s) {
            silent.push_back(c.handle);
        }
    }
    for (ConnectionHandle h : silent)
        drop_client(gw, h);
}

std::int32_t live_analyzer_count(const Gateway& gw) {
    std::int32_t n = 0;
    for (const ClientRecord& c : gw.clients) {
        if (c.live() && c.is_analyzer()) ++n;
    }
    return n;
}

}  // namespace quillon
