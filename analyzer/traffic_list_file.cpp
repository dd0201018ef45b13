#include "analyzer/traffic_list_file.hpp"

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

void save_traffic_list(Files& files, const std::string& directory, Date now,
                       const std::deque<TrafficRow>& rows) {
    (void)files.write_whole(directory + "/" + traffic_list_file_name(now), traffic_list_text(rows));
}

}  // namespace quillon
