#include "analyzer/frame_json.hpp"

#include <cstdlib>

#include "analyzer/frame_report.hpp"
#include "analyzer/message_decoder.hpp"
#include "base/code_page.hpp"

namespace quillon {
namespace {

std::string two_digits(int value) {
    return std::string(1, static_cast<char>('0' + value / 10 % 10)) +
           static_cast<char>('0' + value % 10);
}

std::string status_text(FrameStatus status) {
    switch (status) {
        case FrameStatus::bad_checksum:
            return "bad checksum";
        case FrameStatus::bad_length:
            return "bad length";
        case FrameStatus::valid:
        case FrameStatus::echo_copy:
            break;
    }
    return "good";
}

// The byte at `at` as a number, or null when the frame ends before it.
std::string byte_field(const QueueEntry& e, std::size_t at) {
    return at < e.bytes.size() ? std::to_string(e.bytes[at]) : "null";
}

// The first data byte; a frame without data has none.
std::string command_field(const QueueEntry& e) {
    if (e.bytes.size() <= 4 || (e.bytes[3] & 0x0F) == 0) return "null";
    return std::to_string(e.bytes[4]);
}

}  // namespace

std::string iso_time_text(FrameTime time, std::int32_t utc_offset_s) {
    // The hundredths as a row shows them: only the first two digits of a larger count.
    const std::string clock = frame_time_text(time);
    const std::int32_t minutes = std::abs(utc_offset_s) / 60;
    return format_date("%yyyy-%mm-%dd", time.second) + "T" + clock +
           (utc_offset_s < 0 ? "-" : "+") + two_digits(minutes / 60) + ":" +
           two_digits(minutes % 60);
}

std::string frame_json(const QueueEntry& e, std::string_view from, std::int32_t utc_offset_s) {
    const std::string rtr =
        e.bytes.size() > 3 ? ((e.bytes[3] & BusFrame::rtr_flag) != 0 ? "true" : "false") : "null";
    return "{\"time\":\"" + iso_time_text(e.time, utc_offset_s) + "\",\"hex\":\"" +
           hex_dump(e.bytes) + "\",\"from\":" + json_string(from) + ",\"status\":\"" +
           status_text(e.status) +
           "\",\"text\":" + json_string(decode_message("VMB", e.bytes.data(), e.bytes.size())) +
           ",\"address\":" + byte_field(e, 2) + ",\"priority\":" + byte_field(e, 1) +
           ",\"rtr\":" + rtr + ",\"command\":" + command_field(e) + "}";
}

}  // namespace quillon
