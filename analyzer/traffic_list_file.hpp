#pragma once

#include <string>

#include "core/date_text.hpp"

namespace quillon {

struct Gateway;

// "Quillon_%yyyy-%mm-%dd_%hh-%ii.log" for the given local date.
std::string traffic_list_file_name(Date date);

// The saved traffic list: one line a row, top row first; the cells of
// "Time" to "Source" each followed by a tab, then CR LF; UTF-8 without BOM.
std::string traffic_list_text(const Gateway& gw);

// Writes the traffic list to its dated file in the working directory,
// replacing a file of that name. A file that cannot be made is not reported.
void save_traffic_list(Gateway& gw);

}  // namespace quillon
