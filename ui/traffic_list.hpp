#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "ui/operator_view.hpp"
#include "ui/view_watcher.hpp"

namespace quillon {

inline constexpr std::size_t traffic_list_max_rows = 500;

// The filter of the traffic list, as the operator last set it: "Filter"
// down shows the rows whose hex code begins with the text; "!" down as well
// hides those that contain it anywhere instead.
struct TrafficFilter {
    bool on = false;
    bool inverted = false;
    std::string text;

    bool passes(std::string_view hex_code) const;
};

// The traffic list: the rows shown, newest first, at most 500.
class TrafficList {
  public:
    TrafficFilter filter;

    // A frame's row, shown when the filter lets it through; true when shown.
    // The watcher gets every row.
    bool add_frame_row(TrafficRow row, OperatorView& view, ViewWatcher& watcher);
    // A row that is not a frame; always shown.
    void add_notice(TrafficRow row, OperatorView& view, ViewWatcher& watcher);
    void clear(OperatorView& view);

    const std::deque<TrafficRow>& rows() const { return rows_; }

  private:
    void insert(TrafficRow row, OperatorView& view);

    std::deque<TrafficRow> rows_;
};

}  // namespace quillon
