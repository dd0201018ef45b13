#include "core/gateway_loop.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "analyzer/debug_log.hpp"
#include "bus/distribution.hpp"
#include "bus/frame_processing.hpp"
#include "bus/serial_reception.hpp"
#include "bus/transmit_queue.hpp"
#include "clients/client_intake.hpp"
#include "clients/client_table.hpp"
#include "core/first_configuration.hpp"
#include "core/gateway.hpp"
#include "core/settings.hpp"
#include "ui/control_events.hpp"
#include "ui/statistics.hpp"

namespace quillon {
namespace {

bool read_settings_file(Gateway& gw) {
    if (gw.settings_text) {
        read_settings(*gw.settings_text, gw.state);
        return true;
    }
    std::ifstream in(gw.working_directory / settings_file_name, std::ios::binary);
    if (!in) return false;
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    read_settings(bytes, gw.state);
    return true;
}

// The wait ends no later than the next paced write falls due, so that frames
// leave 51 to 53 ms apart rather than on the next 20 ms tick. The clock counts
// whole milliseconds, so waking at the due reading could come a fraction of a
// millisecond after the 50th; one more millisecond keeps the gap above 51 ms.
std::int32_t event_wait_timeout(const Gateway& gw, std::int64_t now) {
    if (gw.bus_bound.empty()) return event_wait_ms;
    const std::int64_t until_due = ms_until_transmit_due(gw, now);
    if (until_due == 0) return 0;
    return static_cast<std::int32_t>(std::min<std::int64_t>(event_wait_ms, until_due + 1));
}

}  // namespace

StartOutcome start_gateway(Gateway& gw) {
    GatewayState& s = gw.state;
    s = GatewayState{};
    gw.bus_bound.clear();
    gw.net_bound.clear();
    gw.clients.clear();
    gw.bandwidth_history.assign(bandwidth_history_samples, BandwidthSample{});

    if (!gw.network.initialise()) {
        gw.view.message_box("Network Error", "Not ABLE To FOUND ETHERNET HARDWARE",
                            MessageIcon::error);
        return StartOutcome::network_failed;
    }

    if (!read_settings_file(gw)) {
        gw.view.message_box(
            "Quillon.ini NOT FOUND",
            "Quillon.ini NOT FOUND : please enter settings (port=8080, serial=COM1)",
            MessageIcon::information);
        switch (first_configuration(gw)) {
            case FirstConfigurationAnswer::Action::ok:
                break;
            case FirstConfigurationAnswer::Action::quit:
                return StartOutcome::configuration_quit;
            case FirstConfigurationAnswer::Action::unavailable:
                return StartOutcome::configuration_unavailable;
        }
    }

    gw.view.create_main_window();
    gw.view.set_status_field(status_field::ethernet, "Ethernet port " + std::to_string(s.tcp_port));

    if (!open_serial_link(gw)) {
        gw.view.message_box("Serial Error",
                            "Error : Not able To communicate With " + s.serial_port_name,
                            MessageIcon::error);
        return StartOutcome::serial_failed;
    }

    gw.view.set_status_field(status_field::serial, "Velbus serial " + s.serial_port_name);
    gw.view.set_title("Quillon " + s.version_text);
    const std::int64_t now = gw.clock.now_ms();
    s.last_purge_ms = now;
    s.last_stats_ms = now;
    s.last_bus_rx_ms = now;
    s.second_text.clear();

    // Computed in 64 bits: a port of 65535 names 65536 here, which cannot be bound.
    const std::int64_t udp_port = std::int64_t{s.tcp_port} + 1;
    gw.analyzer_server_open = gw.network.create_udp_server(analyzer_server, udp_port);
    if (!gw.analyzer_server_open) {
        gw.view.message_box("Analyzer UDP Port not Free",
                            "Standard server may works...|Analyzer UDP port " +
                                std::to_string(udp_port) + " Not enable",
                            MessageIcon::error);
    }

    if (!gw.network.create_tcp_server(tcp_server, s.tcp_port, tcp_backlog)) {
        gw.view.message_box("NOT ABLE TO CREATE SERVER", "Can't start Quillon on this port",
                            MessageIcon::error);
        shutdown(gw);
        return StartOutcome::tcp_server_failed;
    }

    s.start_date = gw.clock.local_date();
    gw.running = true;
    return StartOutcome::running;
}

bool run_pass(Gateway& gw) {
    GatewayState& s = gw.state;

    WindowEvent event;
    for (;;) {
        const std::int32_t timeout = event_wait_timeout(gw, gw.clock.now_ms());
        event = gw.view.wait_event(timeout);
        // Arriving bytes and a paced write that has fallen due end the wait,
        // even close to a statistics refresh: waiting on would hold them back.
        if (event.code != event_none || event.input_ready || timeout == 0 ||
            gw.clock.now_ms() - s.stats_started_ms > 5)
            break;
    }
    s.last_event = event.code;

    const std::string second = format_date(time_of_day_pattern, gw.clock.local_date());
    if (second != s.second_text) {
        s.second_text = second;
        s.second_start_ms = gw.clock.now_ms();
    }

    if (event.code == event_control) {
        on_control_event(gw, event.control);
        if (!gw.running) return false;
    }

    if (gw.clock.now_ms() - s.last_stats_ms > statistics_period_ms) {
        refresh_statistics(gw);
        refresh_uptime(gw);
        expire_analyzers(gw);
        gw.view.set_status_field(status_field::analyzers,
                                 "A:" + std::to_string(live_analyzer_count(gw)));
    }

    retry_serial_link(gw, gw.clock.now_ms());

    const auto bus_start = static_cast<std::int32_t>(gw.bus_bound.size());
    const std::int32_t bus_count = handle_network_event(gw, gw.network.poll());
    give_up_stale_pieces(gw, gw.clock.now_ms());
    const auto net_start = static_cast<std::int32_t>(gw.net_bound.size());
    const std::int32_t net_count = receive_from_bus(gw);
    gw.view.set_status_field(status_field::bus_frames, "V:" + std::to_string(net_count));

    process_new_frames(gw, bus_start, bus_count, net_start, net_count);
    if (transmit_due(gw, gw.clock.now_ms())) transmit_to_bus(gw);
    distribute_to_clients(gw);

    if (gw.clock.now_ms() - s.last_purge_ms > purge_period_ms) {
        s.last_purge_ms = gw.clock.now_ms();
        client_disconnected(gw, 0);
    }

    if (event.code == event_close) shutdown(gw);
    return gw.running;
}

void run_main_loop(Gateway& gw) {
    while (gw.running && run_pass(gw)) {
    }
}

void shutdown(Gateway& gw) {
    gw.serial.close();
    gw.serial_link = SerialLinkState::closed;
    gw.network.close_server(tcp_server);
    if (gw.analyzer_server_open) gw.network.close_server(analyzer_server);
    gw.analyzer_server_open = false;
    set_debug_logging(gw, false);
    gw.running = false;
}

void restart_server(Gateway& gw) {
    for (ClientRecord& c : gw.clients) {
        if (c.live()) give_up_held_piece(gw, c);
        // Analyzer peers are forgotten too; their next datagram makes a new record.
        if (c.is_analyzer() && c.live()) gw.network.close_connection(c.handle);
    }
    gw.clients.clear();
    gw.client_rows.clear();
    gw.client_row_records.clear();
    gw.view.show_clients({});
    gw.network.close_server(tcp_server);
    gw.clock.pause_ms(500);
    if (!gw.network.create_tcp_server(tcp_server, gw.state.tcp_port, tcp_backlog)) {
        gw.view.message_box("Network Error", "Couldn't restart connexion's server",
                            MessageIcon::error);
        shutdown(gw);
    }
}

}  // namespace quillon
