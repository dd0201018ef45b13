#pragma once

#include <string_view>

namespace quillon {

struct Gateway;

inline constexpr std::string_view debug_log_file_name = "Quillon_debug.log";

// Opens the debug log for appending when `on`, closes it otherwise.
void set_debug_logging(Gateway& gw, bool on);

// One debug log line, as Windows-1252 text followed by CR LF. Opens the log
// first when the box is ticked but the file is not open yet.
void write_debug_line(Gateway& gw, std::string_view line);

}  // namespace quillon
