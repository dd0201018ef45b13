#include "bus/frame_processing.hpp"

#include <algorithm>
#include <cctype>

#include "analyzer/debug_log.hpp"
#include "analyzer/feed.hpp"
#include "analyzer/message_decoder.hpp"
#include "bus/serial_reception.hpp"
#include "core/gateway.hpp"

namespace quillon {
namespace {

constexpr Rgb bus_colour_fb{20, 150, 20};
constexpr Rgb bus_colour_other{150, 190, 30};
constexpr Rgb client_colour{50, 50, 200};
constexpr Rgb bad_checksum_colour{255, 127, 0};
constexpr Rgb bad_length_colour{200, 50, 50};
constexpr Rgb silence_colour{200, 50, 50};
constexpr Rgb not_sent_colour{200, 50, 50};

// The Cs cell: the byte before the last; empty for a piece too short to have one.
std::string checksum_cell(const QueueEntry& e) {
    if (e.length < 2) return {};
    return hex_byte(e.bytes[static_cast<std::size_t>(e.length - 2)]);
}

// The checksum the frame should carry, over all but its last two bytes.
std::string expected_checksum(const QueueEntry& e) {
    return hex_byte(frame_checksum(e.bytes.data(), e.length - 3));
}

TrafficRow frame_row(const QueueEntry& e) {
    TrafficRow row;
    row.cells[1] = e.time;
    row.cells[2] = hex_dump(e.bytes.data(), e.bytes.size());
    row.cells[3] = std::to_string(e.length);
    row.cells[4] = checksum_cell(e);
    return row;
}

// Shows the row (subject to the filter), logs it and feeds it to the analyzers.
void publish_frame_row(Gateway& gw, TrafficRow row) {
    const std::string line = row.cells[1] + "," + row.cells[2] + "," + row.cells[3] + "," +
                             row.cells[4] + "," + row.cells[5];
    const bool shown = filter_passes(gw.view.filter_on(), gw.view.filter_inverted(),
                                     gw.view.filter_text(), row.cells[2]);
    if (shown) insert_traffic_row(gw, std::move(row));
    if (gw.view.debug_ticked()) write_debug_line(gw, line);
    send_to_analyzers(gw, "V->N," + line);
}

std::string sender_label(const Gateway& gw, const QueueEntry& e) {
    for (auto it = gw.clients.rbegin(); it != gw.clients.rend(); ++it) {
        if (it->handle == e.sender) return it->ip_text + ":" + std::to_string(it->port);
    }
    return "unknown " + e.origin;
}

}  // namespace

bool filter_passes(bool filter_on, bool inverted, const std::string& filter_text,
                   const std::string& hex_code) {
    if (!filter_on) return true;
    std::string needle = filter_text;
    std::transform(needle.begin(), needle.end(), needle.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::size_t f = 0;  // position counted from 1; 0 when absent or either text is empty
    if (!needle.empty() && !hex_code.empty()) {
        const std::size_t at = hex_code.find(needle);
        if (at != std::string::npos) f = at + 1;
    }
    return inverted ? f == 0 : f == 1;
}

void insert_traffic_row(Gateway& gw, TrafficRow row) {
    gw.view.traffic_insert_top(row);
    gw.traffic_rows.push_front(std::move(row));
    if (gw.traffic_rows.size() > traffic_list_max_rows) {
        gw.traffic_rows.pop_back();
        gw.view.traffic_remove(static_cast<int>(traffic_list_max_rows));
    }
}

void show_notice_row(Gateway& gw, const std::string& tag, const std::string& text, Rgb colour,
                     bool as_background) {
    TrafficRow row;
    row.cells[1] = format_date(time_of_day_pattern, gw.clock.local_date()) + ".00";
    row.cells[2] = tag;
    row.cells[5] = text;
    row.colour = colour;
    row.colour_is_background = as_background;
    insert_traffic_row(gw, std::move(row));
}

void show_unsent_frame(Gateway& gw, const QueueEntry& e) {
    TrafficRow row = frame_row(e);
    row.cells[1] = frame_time_text(gw);
    row.cells[5] = decode_message("IP", e.bytes.data(), e.bytes.size()) + " from " +
                   sender_label(gw, e) + "»Not sent, serial link down";
    row.colour = not_sent_colour;
    row.icon = icon_client_frame_bad;
    publish_frame_row(gw, std::move(row));
}

void process_new_frames(Gateway& gw, std::int32_t bus_start, std::int32_t bus_count,
                        std::int32_t net_start, std::int32_t net_count) {
    for (std::int32_t k = 0; k < net_count; ++k) {
        const QueueEntry& e = gw.net_bound[static_cast<std::size_t>(net_start + k)];
        TrafficRow row = frame_row(e);
        row.cells[5] = e.origin;
        switch (e.status) {
            case FrameStatus::bad_checksum:
                row.colour = bad_checksum_colour;
                row.cells[5] += "»Bad CSum " + expected_checksum(e);
                row.icon = icon_bus_frame_bad;
                break;
            case FrameStatus::bad_length:
                row.colour = bad_length_colour;
                row.cells[5] += "»Bad Len " + std::to_string(e.length) + " bytes (" +
                                std::to_string(status_code(e.status)) + ")";
                row.icon = icon_bus_frame_bad;
                break;
            default:
                // The low nibble of the priority byte: the fourth hex digit.
                row.colour = row.cells[2].size() > 3 && row.cells[2][3] == 'B' ? bus_colour_fb
                                                                               : bus_colour_other;
                row.icon = icon_bus_frame;
                break;
        }
        publish_frame_row(gw, std::move(row));
    }

    for (std::int32_t k = 0; k < bus_count; ++k) {
        const QueueEntry& e = gw.bus_bound[static_cast<std::size_t>(bus_start + k)];
        TrafficRow row = frame_row(e);
        row.cells[5] =
            decode_message("IP", e.bytes.data(), e.bytes.size()) + " from " + sender_label(gw, e);
        if (e.status == FrameStatus::valid) {
            row.colour = client_colour;
            row.icon = icon_client_frame;
        } else if (e.status == FrameStatus::bad_checksum) {
            row.colour = bad_checksum_colour;
            row.cells[5] += "»Bad CSum " + expected_checksum(e);
            row.icon = icon_client_frame_bad;
        } else {
            row.colour = bad_length_colour;
            row.cells[5] += "»Bad Len " + std::to_string(e.length) + " bytes";
            row.icon = icon_client_frame_bad;
        }
        publish_frame_row(gw, std::move(row));
    }

    const std::int64_t now = gw.clock.now_ms();
    if (now - gw.state.last_bus_rx_ms > gw.state.bus_timeout_ms && !gw.state.bus_timeout_reported) {
        gw.state.bus_timeout_reported = true;
        show_notice_row(gw, "- timeout -", "No communication with Velbus", silence_colour, true);
    }
}

}  // namespace quillon
