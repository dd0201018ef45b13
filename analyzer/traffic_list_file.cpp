#include "analyzer/traffic_list_file.hpp"

namespace quillon {
namespace {

// Every column but the icon's, in the window's order.
constexpr TrafficColumn saved_columns[] = {TrafficColumn::time, TrafficColumn::hex,
                                           TrafficColumn::length, TrafficColumn::checksum,
                                           TrafficColumn::source};

}  // namespace

std::string traffic_list_file_name(Date date) {
    return "Quillon_" + format_date("%yyyy-%mm-%dd_%hh-%ii", date) + ".log";
}

std::string traffic_list_text(const std::deque<TrafficRow>& rows) {
    std::string text;
    for (const TrafficRow& row : rows) {
        for (const TrafficColumn column : saved_columns) {
            text += row.cell(column);
            text += '\t';
        }
        text += "\r\n";
    }
    return text;
}

bool save_traffic_list(Files& files, const std::string& directory, Date now,
                       const std::deque<TrafficRow>& rows) {
    return files.write_whole(directory + "/" + traffic_list_file_name(now),
                             traffic_list_text(rows));
}

}  // namespace quillon
