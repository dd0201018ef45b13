// What anyone who may publish to the broker's send topic can hand the bus: a
// frame is taken only when it is whole and good, never longer than allowed,
// and then its bytes are exactly the hex digits given; the refusal row and
// the frame's JSON are made of anything without reading past it.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "analyzer/frame_json.hpp"
#include "bus/bus_frame.hpp"
#include "bus/frame_text.hpp"
#include "fuzz_input.hpp"

using quillon::fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const quillon::FrameFromText read = quillon::frame_from_text(text);
    if (read.good()) {
        const auto& b = read.bytes;
        check(b.size() >= quillon::BusFrame::min_size && b.size() <= quillon::BusFrame::max_size);
        check(b.size() == quillon::BusFrame::size_for(b[3]));
        check(quillon::judge_frame(b.data()) == quillon::FrameStatus::valid);
        // The digits given, blanks dropped, are the bytes taken.
        std::string digits;
        for (const char c : text)
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') digits += c;
        check(digits.size() == 2 * b.size());
        const std::string hex = quillon::hex_dump(b);
        for (std::size_t i = 0; i < hex.size(); ++i)
            check(std::toupper(static_cast<unsigned char>(digits[i])) == hex[i]);
    } else {
        check(read.bytes.empty() || read.problem == "bad length" || read.problem == "bad checksum");
        check(read.bytes.size() <= quillon::max_frame_text_bytes);
    }
    quillon::QueueEntry entry;
    entry.bytes.assign(data, data + std::min<std::size_t>(size, 64));
    const std::string json = quillon::frame_json(entry, text, -3600);
    check(json.front() == '{' && json.back() == '}');
    return 0;
}
