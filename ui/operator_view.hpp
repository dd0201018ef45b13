#pragma once

#include <string_view>
#include <vector>

#include "ui/view_types.hpp"

namespace quillon {

// What the operator is shown: the window, or its headless stand-in. It only
// shows; what the operator does comes as events through the loop's wait, the
// questions and message boxes are OperatorDialogs, the log lines OperatorLog.
class OperatorView {
  public:
    virtual ~OperatorView() = default;

    virtual void create_main_window() = 0;
    virtual void set_title(std::string_view title) = 0;

    // Traffic list (Control::traffic_list): rows counted from 0 at the top.
    virtual void traffic_insert_top(const TrafficRow& row) = 0;
    virtual void traffic_remove(int row) = 0;
    virtual void traffic_clear() = 0;

    // Client list (Control::client_list), rebuilt whole; rows top first.
    virtual void show_clients(const std::vector<ClientRow>& rows) = 0;

    virtual void set_status_field(StatusField field, std::string_view text) = 0;
    virtual void set_rate_field(Control field, std::string_view text) = 0;
    virtual void show_graph(Control graph, const RgbImage& image) = 0;
    // Whether the view draws the bandwidth graphs at all (a console does not,
    // and nobody should draw pictures for it).
    virtual bool shows_graphs() const { return true; }
    // A check box's state once the gateway has taken it, from whichever view
    // it came.
    virtual void set_control_checked(Control control, bool checked) = 0;

    virtual void open_user_guide() = 0;
};

}  // namespace quillon
