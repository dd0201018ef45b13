#include "bus/frame_text.hpp"

#include "bus/bus_frame.hpp"

namespace quillon {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

FrameFromText frame_from_text(std::string_view text) {
    FrameFromText read;
    std::size_t i = 0;
    while (i < text.size()) {
        if (is_blank(text[i])) {
            ++i;
            continue;
        }
        const int high = hex_value(text[i]);
        const int low = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        if (high < 0 || low < 0) {
            read.bytes.clear();
            read.problem = "not hex";
            return read;
        }
        if (read.bytes.size() == max_frame_text_bytes) {
            read.bytes.clear();
            read.problem = "over " + std::to_string(max_frame_text_bytes) + " bytes";
            return read;
        }
        read.bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
    }
    const std::vector<std::uint8_t>& b = read.bytes;
    if (b.empty()) {
        read.problem = "no frame";
    } else if (b.size() < BusFrame::min_size || b.front() != BusFrame::start_byte ||
               b.size() != BusFrame::size_for(b[3]) || b.back() != BusFrame::end_byte) {
        read.problem = "bad length";
    } else if (judge_frame(b.data()) == FrameStatus::bad_checksum) {
        read.problem = "bad checksum";
    }
    return read;
}

}  // namespace quillon
