#include "ui/traffic_list.hpp"

#include <algorithm>
#include <cctype>

namespace quillon {

bool TrafficFilter::passes(std::string_view hex_code) const {
    if (!on) return true;
    std::string needle(text);
    std::transform(needle.begin(), needle.end(), needle.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::size_t f = 0;  // position counted from 1; 0 when absent or either text is empty
    if (!needle.empty() && !hex_code.empty()) {
        const std::size_t at = hex_code.find(needle);
        if (at != std::string_view::npos) f = at + 1;
    }
    return inverted ? f == 0 : f == 1;
}

bool TrafficList::add_frame_row(TrafficRow row, OperatorView& view, ViewWatcher& watcher) {
    watcher.traffic_arrived(row);
    if (!filter.passes(row.cell(TrafficColumn::hex))) return false;
    insert(std::move(row), view);
    return true;
}

void TrafficList::add_notice(TrafficRow row, OperatorView& view, ViewWatcher& watcher) {
    watcher.traffic_arrived(row);
    insert(std::move(row), view);
}

void TrafficList::clear(OperatorView& view) {
    rows_.clear();
    view.traffic_clear();
}

void TrafficList::insert(TrafficRow row, OperatorView& view) {
    view.traffic_insert_top(row);
    rows_.push_front(std::move(row));
    if (rows_.size() > traffic_list_max_rows) {
        rows_.pop_back();
        view.traffic_remove(static_cast<int>(traffic_list_max_rows));
    }
}

}  // namespace quillon
