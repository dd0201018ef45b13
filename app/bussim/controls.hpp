#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillon::bussim {

// What a line on the simulator's standard input asks the interface module to report:
// the flow-control reports it sends when it cannot take more, or can again.
// Surrounding blanks (and a CR) don't count; nothing for any other line.
std::optional<std::uint8_t> control_report(std::string_view line);

// The command words, for messages.
inline constexpr char control_words[] = "buffer-full, buffer-ready, bus-off, bus-active";

}  // namespace quillon::bussim
