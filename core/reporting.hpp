#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "bus/queue_entry.hpp"
#include "core/gateway.hpp"
#include "ui/view_types.hpp"

namespace quillon {

struct FrameReport;

// Shows the entries: a traffic row each (as the filter lets it through), a
// debug log line while the log is on, and a "V->N," line to the analyzers.
void publish_frames(Gateway& gw, std::span<const QueueEntry> entries);
void publish_report(Gateway& gw, const FrameReport& report);

// A row that is not a frame: the bus silence, the serial link.
void show_notice(Gateway& gw, Date now, std::string_view tag, std::string_view text, Rgb colour,
                 bool as_background);

// A message for whoever used a control: a message box for the operator here
// (requester 0), an answer that halts nothing for a browser.
void tell(Gateway& gw, std::int32_t requester, std::string_view title, std::string_view text,
          MessageIcon icon);

// "A:" and the number of analyzers fed, as it is now.
void show_analyzer_count(Gateway& gw);

// One line to every analyzer.
void send_line(Gateway& gw, std::string_view line);

// The client list is to be drawn again at the pass's end; a connection puts a
// blank after the port, a disconnection none.
void redraw_clients(Gateway& gw, bool after_connection);
// The same, keeping the form of the last rebuild (an error count changed).
void redraw_clients(Gateway& gw);
// Draws the client list when something changed it.
void draw_clients_if_changed(Gateway& gw);

// "a.b.c.d:port" of the client that sent the entry; empty for the bus or when
// the client is not known.
std::string sender_label(const Gateway& gw, const QueueEntry& entry);

}  // namespace quillon
