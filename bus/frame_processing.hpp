#pragma once

#include <cstdint>
#include <string>

#include "bus/queue_entry.hpp"
#include "ui/operator_view.hpp"

namespace quillon {

struct Gateway;

// Turns the frames that arrived in this pass into traffic rows, analyzer lines
// and debug log lines, then watches for a silent bus.
void process_new_frames(Gateway& gw, std::int32_t bus_start, std::int32_t bus_count,
                        std::int32_t net_start, std::int32_t net_count);

// Whether the traffic filter lets a row with this hex code through.
bool filter_passes(bool filter_on, bool inverted, const std::string& filter_text,
                   const std::string& hex_code);

// The row (and analyzer and debug line) of a client frame that was taken off
// the bus-bound queue but not written, because the serial link is down.
void show_unsent_frame(Gateway& gw, const QueueEntry& entry);

// Puts a row on top of the traffic list, keeping at most 500 rows.
void insert_traffic_row(Gateway& gw, TrafficRow row);

// A row that is not a frame (the bus silence, the serial link): the current
// time with ".00", a tag in the hex column and a text in the source column.
void show_notice_row(Gateway& gw, const std::string& tag, const std::string& text, Rgb colour,
                     bool as_background);

}  // namespace quillon
