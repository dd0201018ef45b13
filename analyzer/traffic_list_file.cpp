#include "analyzer/traffic_list_file.hpp"

#include <cstdio>

namespace quillon {

std::string traffic_list_file_name(Date date) {
    return "Quillon_" + format_date("%yyyy-%mm-%dd_%hh-%ii", date) + ".log";
}

std::string traffic_list_text(const std::deque<TrafficRow>& rows) {
    std::string text;
    for (const TrafficRow& row : rows) {
        for (std::size_t col = 1; col < row.cells.size(); ++col) {
            text += row.cells[col];
            text += '\t';
        }
        text += "\r\n";
    }
    return text;
}

void save_traffic_list(const std::filesystem::path& directory, Date now,
                       const std::deque<TrafficRow>& rows) {
    const auto path = directory / traffic_list_file_name(now);
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        const std::string text = traffic_list_text(rows);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

}  // namespace quillon
