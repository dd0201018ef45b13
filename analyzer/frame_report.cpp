#include "analyzer/frame_report.hpp"

#include "analyzer/message_decoder.hpp"

namespace quillon {
namespace {

constexpr Rgb bus_colour_fb{20, 150, 20};
constexpr Rgb bus_colour_other{150, 190, 30};
constexpr Rgb client_colour{50, 50, 200};
constexpr Rgb bad_checksum_colour{255, 127, 0};
constexpr Rgb bad_length_colour{200, 50, 50};
constexpr Rgb not_sent_colour{200, 50, 50};

constexpr std::string_view bad_marker = "\xC2\xBB";  // "»"

// The Cs cell: the byte before the last; empty for a piece too short to have one.
std::string checksum_cell(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 2) return {};
    return hex_byte(bytes[bytes.size() - 2]);
}

// The checksum the frame should carry, over all but its last two bytes.
std::string expected_checksum(const std::vector<std::uint8_t>& bytes) {
    return hex_byte(frame_checksum(bytes.data(), static_cast<int>(bytes.size()) - 3));
}

TrafficRow frame_row(const QueueEntry& e, std::string time) {
    TrafficRow row;
    row.cell(TrafficColumn::time) = std::move(time);
    row.cell(TrafficColumn::hex) = hex_dump(e.bytes);
    row.cell(TrafficColumn::length) = std::to_string(e.bytes.size());
    row.cell(TrafficColumn::checksum) = checksum_cell(e.bytes);
    return row;
}

FrameReport with_line(TrafficRow row) {
    std::string line = row.cell(TrafficColumn::time) + "," + row.cell(TrafficColumn::hex) + "," +
                       row.cell(TrafficColumn::length) + "," + row.cell(TrafficColumn::checksum) +
                       "," + row.cell(TrafficColumn::source);
    return {std::move(row), std::move(line)};
}

std::string client_source(const QueueEntry& e, std::string_view sender) {
    std::string from = decode_message("IP", e.bytes.data(), e.bytes.size()) + " from ";
    if (!sender.empty()) return from + std::string(sender);
    // A client no longer known is named by its port, marked as its frame was.
    from += "unknown " + std::to_string(e.sender_port);
    if (e.status == FrameStatus::bad_checksum) from += "#";
    if (e.status == FrameStatus::bad_length) from += " ";
    return from;
}

FrameReport bus_report(const QueueEntry& e) {
    TrafficRow row = frame_row(e, frame_time_text(e.time));
    // Positions the bytes do not reach read as 0.
    const std::uint8_t address = e.bytes.size() > 2 ? e.bytes[2] : 0;
    row.cell(TrafficColumn::source) = "$" + hex_byte(address) + " " +
                                      decode_message("VMB", e.bytes.data(), e.bytes.size()) +
                                      " from VelBUS";
    switch (e.status) {
        case FrameStatus::bad_checksum:
            row.colour = bad_checksum_colour;
            row.cell(TrafficColumn::source) +=
                std::string(bad_marker) + "Bad CSum " + expected_checksum(e.bytes);
            row.icon = icon_bus_frame_bad;
            break;
        case FrameStatus::bad_length:
            row.colour = bad_length_colour;
            row.cell(TrafficColumn::source) += std::string(bad_marker) + "Bad Len " +
                                               std::to_string(e.bytes.size()) + " bytes (" +
                                               std::to_string(status_code(e.status)) + ")";
            row.icon = icon_bus_frame_bad;
            break;
        default:
            // The low nibble of the priority byte: the fourth hex digit.
            row.colour =
                row.cell(TrafficColumn::hex).size() > 3 && row.cell(TrafficColumn::hex)[3] == 'B'
                    ? bus_colour_fb
                    : bus_colour_other;
            row.icon = icon_bus_frame;
            break;
    }
    return with_line(std::move(row));
}

FrameReport client_report(const QueueEntry& e, std::string_view sender) {
    // A client's bad-length piece carries no time.
    TrafficRow row =
        frame_row(e, e.status == FrameStatus::bad_length ? std::string() : frame_time_text(e.time));
    row.cell(TrafficColumn::source) = client_source(e, sender);
    if (e.status == FrameStatus::valid) {
        row.colour = client_colour;
        row.icon = icon_client_frame;
    } else if (e.status == FrameStatus::bad_checksum) {
        row.colour = bad_checksum_colour;
        row.cell(TrafficColumn::source) +=
            std::string(bad_marker) + "Bad CSum " + expected_checksum(e.bytes);
        row.icon = icon_client_frame_bad;
    } else {
        row.colour = bad_length_colour;
        row.cell(TrafficColumn::source) +=
            std::string(bad_marker) + "Bad Len " + std::to_string(e.bytes.size()) + " bytes";
        row.icon = icon_client_frame_bad;
    }
    return with_line(std::move(row));
}

}  // namespace

std::string frame_time_text(FrameTime time) {
    std::string h = std::to_string(time.hundredths);
    if (h.size() < 2) h.insert(0, 2 - h.size(), '0');
    if (h.size() > 2) h.resize(2);
    return format_date(time_of_day_pattern, time.second) + "." + h;
}

FrameReport report_frame(const QueueEntry& entry, std::string_view sender) {
    return entry.from_bus() ? bus_report(entry) : client_report(entry, sender);
}

FrameReport report_unsent_frame(const QueueEntry& entry, FrameTime now, std::string_view sender) {
    TrafficRow row = frame_row(entry, frame_time_text(now));
    row.cell(TrafficColumn::source) =
        client_source(entry, sender) + std::string(bad_marker) + "Not sent, serial link down";
    row.colour = not_sent_colour;
    row.icon = icon_client_frame_bad;
    return with_line(std::move(row));
}

TrafficRow notice_row(Date now, std::string_view tag, std::string_view text, Rgb colour,
                      bool as_background) {
    TrafficRow row;
    row.cell(TrafficColumn::time) = format_date(time_of_day_pattern, now) + ".00";
    row.cell(TrafficColumn::hex) = tag;
    row.cell(TrafficColumn::source) = text;
    row.colour = colour;
    row.colour_is_background = as_background;
    return row;
}

}  // namespace quillon
