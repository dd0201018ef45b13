#pragma once

#include <deque>
#include <string>

#include "base/date_text.hpp"
#include "base/files.hpp"
#include "ui/view_types.hpp"

namespace quillon {

// "Quillon_%yyyy-%mm-%dd_%hh-%ii.log" for the given local date.
std::string traffic_list_file_name(Date date);

// The saved traffic list: one line a row, top row first; the cells of
// "Time" to "Source" each followed by a tab, then CR LF; UTF-8 without BOM.
std::string traffic_list_text(const std::deque<TrafficRow>& rows);

// Writes the rows to the dated file in the directory, replacing a file of
// that name; false when it cannot be written.
[[nodiscard]] bool save_traffic_list(Files& files, const std::string& directory, Date now,
                                     const std::deque<TrafficRow>& rows);

}  // namespace quillon
