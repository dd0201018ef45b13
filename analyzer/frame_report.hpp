#pragma once

#include <string>
#include <string_view>

#include "bus/queue_entry.hpp"
#include "ui/view_types.hpp"

namespace quillon {

// "%hh:%ii:%ss.cc": the arrival second and its hundredths (only the first two
// digits of a larger count).
std::string frame_time_text(FrameTime time);

// What a frame shows everywhere: its traffic row, and the same cells as the
// line that the debug log and (after "V->N,") the analyzers get.
struct FrameReport {
    TrafficRow row;
    std::string line;  // Time,Frame Hex Code,Ln,Cs,Source
};

// The report of a frame from the bus, or from the client named `sender`
// ("a.b.c.d:port").
FrameReport report_frame(const QueueEntry& entry, std::string_view sender);

// The report of a client frame that was taken off the bus-bound queue but not
// written, because the serial link is down; `now` is when that happened.
FrameReport report_unsent_frame(const QueueEntry& entry, FrameTime now, std::string_view sender);

// A row that is not a frame (the bus silence, the serial link): the time with
// ".00", a tag in the hex column and a text in the source column.
TrafficRow notice_row(Date now, std::string_view tag, std::string_view text, Rgb colour,
                      bool as_background);

}  // namespace quillon
