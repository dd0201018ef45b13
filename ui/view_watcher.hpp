#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "ui/view_types.hpp"

namespace quillon {

// Who keeps a copy of what the operator is shown, to show it elsewhere (the
// browsers, which each filter for themselves): told of each change of what
// it keeps, of what the operator's view never gets, and of the end of the
// loop's pass, when what piled up may leave.
class ViewWatcher {
  public:
    virtual ~ViewWatcher() = default;

    // What the operator's view shows, as it changes.
    virtual void title_changed(std::string_view title) = 0;
    virtual void traffic_cleared() = 0;
    virtual void clients_changed(const std::vector<ClientRow>& rows) = 0;
    virtual void status_field_changed(StatusField field, std::string_view text) = 0;
    virtual void rate_field_changed(Control field, std::string_view text) = 0;
    virtual void control_checked(Control control, bool checked) = 0;
    // A message box the operator is shown, as news.
    virtual void message_shown(std::string_view title, std::string_view text, MessageIcon icon) = 0;

    // Every row as it comes, whether the filter shows it or not.
    virtual void traffic_arrived(const TrafficRow& row) = 0;
    // Each bandwidth sample: the bars' heights in pixels.
    virtual void add_bandwidth_sample(std::int64_t rx, std::int64_t tx) = 0;
    // The answer to a control used from afar (OperatorEvent::requester): it
    // goes back to whoever used it, and halts nothing.
    virtual void answer(std::int32_t requester, std::string_view title, std::string_view text,
                        MessageIcon icon) = 0;
    // The loop's pass is over: the clients have been served.
    virtual void pass_done() = 0;
};

// Nobody watches: no web monitor.
class NoViewWatcher final : public ViewWatcher {
  public:
    void title_changed(std::string_view) override {}
    void traffic_cleared() override {}
    void clients_changed(const std::vector<ClientRow>&) override {}
    void status_field_changed(StatusField, std::string_view) override {}
    void rate_field_changed(Control, std::string_view) override {}
    void control_checked(Control, bool) override {}
    void message_shown(std::string_view, std::string_view, MessageIcon) override {}
    void traffic_arrived(const TrafficRow&) override {}
    void add_bandwidth_sample(std::int64_t, std::int64_t) override {}
    void answer(std::int32_t, std::string_view, std::string_view, MessageIcon) override {}
    void pass_done() override {}
};

}  // namespace quillon
