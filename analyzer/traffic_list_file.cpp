#include "analyzer/traffic_list_file.hpp"

#include <cstdio>

#include "core/gateway.hpp"

namespace quillon {

std::string traffic_list_file_name(Date date) {
    return "Quillon_" + format_date("%yyyy-%mm-%dd_%hh-%ii", date) + ".log";
}

std::string traffic_list_text(const Gateway& gw) {
    std::string text;
    for (const TrafficRow& row : gw.traffic_rows) {
        for (int col = 1; col < traffic_column_count; ++col) {
            text += row.cells[static_cast<std::size_t>(col)];
            text += '\t';
        }
        text += "\r\n";
    }
    return text;
}

void save_traffic_list(Gateway& gw) {
    const auto path = gw.working_directory / traffic_list_file_name(gw.clock.local_date());
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        const std::string text = traffic_list_text(gw);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    gw.clock.pause_ms(10);
}

}  // namespace quillon
