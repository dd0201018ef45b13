#include "app/bussim/controls.hpp"

#include "app/bussim/modules.hpp"

namespace quillon::bussim {

std::optional<std::uint8_t> control_report(std::string_view line) {
    constexpr std::string_view blanks = " \t\r";
    const auto first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos) return std::nullopt;
    line = line.substr(first, line.find_last_not_of(blanks) + 1 - first);
    if (line == "buffer-full") return command::rx_buffer_full;
    if (line == "buffer-ready") return command::rx_ready;
    if (line == "bus-off") return command::bus_off;
    if (line == "bus-active") return command::bus_active;
    return std::nullopt;
}

}  // namespace quillon::bussim
