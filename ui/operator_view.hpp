#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "ui/view_types.hpp"

namespace quillon {

// What the operator is shown: the window, or its headless stand-in. It only
// shows; what the operator does comes as events through the loop's wait.
class OperatorView {
  public:
    virtual ~OperatorView() = default;

    virtual void create_main_window() = 0;
    virtual void set_title(std::string_view title) = 0;

    // Traffic list (control 6): rows counted from 0 at the top.
    virtual void traffic_insert_top(const TrafficRow& row) = 0;
    virtual void traffic_remove(int row) = 0;
    virtual void traffic_clear() = 0;

    // Client list (control 7), rebuilt whole; rows top first.
    virtual void show_clients(const std::vector<ClientRow>& rows) = 0;

    virtual void set_status_field(StatusField field, std::string_view text) = 0;
    virtual void set_rate_field(Control field, std::string_view text) = 0;
    virtual void show_graph(Control graph, const RgbImage& image) = 0;
    // Whether the view draws the bandwidth graphs at all (a console does not,
    // and nobody should draw pictures for it).
    virtual bool shows_graphs() const { return true; }

    // Modal: the loop is halted until the operator has read it.
    virtual void message_box(std::string_view title, std::string_view text, MessageIcon icon) = 0;
    // The answer to a control used from afar (OperatorEvent::requester): it
    // goes back to whoever used it, and halts nothing.
    virtual void answer(std::int32_t /*requester*/, std::string_view /*title*/,
                        std::string_view /*text*/, MessageIcon) {}
    // A line on standard error, which halts nothing: for what a service's log
    // should keep.
    virtual void log_line(std::string_view text) = 0;
    // A line for the operator's log (standard error: the journal of a
    // service), whatever else shows it: the start-up summary, clients that
    // come and go, settings that are not understood.
    virtual void journal(std::string_view text) = 0;

    virtual void open_user_guide() = 0;

    // For views that keep their own copy of what is shown (a browser filters
    // for itself): every row as it comes, whether the filter shows it or not;
    // each bandwidth sample (bar heights in pixels); a check box's state once
    // the gateway has taken it, from whichever view it came.
    virtual void traffic_arrived(const TrafficRow&) {}
    virtual void add_bandwidth_sample(std::int64_t, std::int64_t) {}
    virtual void set_control_checked(Control, bool) {}
    // The loop's pass is over: the clients have been served.
    virtual void pass_done() {}
};

}  // namespace quillon
