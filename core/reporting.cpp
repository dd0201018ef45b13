#include "core/reporting.hpp"

#include "analyzer/feed.hpp"
#include "analyzer/frame_report.hpp"

namespace quillon {

std::string sender_label(const Gateway& gw, const QueueEntry& entry) {
    if (entry.other_source == OtherSource::clock) return "Quillon clock";
    if (entry.other_source == OtherSource::mqtt) return "MQTT";
    if (entry.from_bus()) return {};
    const ClientRecord* c = gw.clients.find(entry.sender);
    return c != nullptr ? c->label() : std::string();
}

void publish_report(Gateway& gw, const FrameReport& report) {
    gw.traffic.add_frame_row(report.row, gw.view, gw.watcher);
    gw.debug_log.write(report.line);
    send_line(gw, "V->N," + report.line);
}

void publish_frames(Gateway& gw, std::span<const QueueEntry> entries) {
    for (const QueueEntry& e : entries) {
        publish_report(gw, report_frame(e, sender_label(gw, e)));
        publish_mqtt_frame(gw, e);
    }
}

void show_notice(Gateway& gw, Date now, std::string_view tag, std::string_view text, Rgb colour,
                 bool as_background) {
    gw.traffic.add_notice(notice_row(now, tag, text, colour, as_background), gw.view, gw.watcher);
}

void tell(Gateway& gw, std::int32_t requester, std::string_view title, std::string_view text,
          MessageIcon icon) {
    if (requester == 0) {
        gw.dialogs.message_box(title, text, icon);
    } else {
        gw.watcher.answer(requester, title, text, icon);
    }
}

void show_analyzer_count(Gateway& gw) {
    gw.view.set_status_field(StatusField::analyzers,
                             "A:" + std::to_string(gw.clients.live_analyzer_count()));
}

void send_line(Gateway& gw, std::string_view line) {
    send_to_analyzers(gw.clients, gw.network, line);
}

void redraw_clients(Gateway& gw, bool after_connection) {
    gw.client_list.changed = true;
    gw.client_list.after_connection = after_connection;
}

void redraw_clients(Gateway& gw) {
    gw.client_list.changed = true;
}

void draw_clients_if_changed(Gateway& gw) {
    if (!gw.client_list.changed) return;
    gw.view.show_clients(gw.client_list.after_connection
                             ? gw.clients.rebuild_rows(*gw.client_list.after_connection)
                             : gw.clients.rebuild_rows());
    gw.client_list.changed = false;
    gw.client_list.after_connection.reset();
}

}  // namespace quillon
