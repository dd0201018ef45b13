// A browser's WebSocket frames, well made or not, in any pieces: the decoder
// must read the same messages and end with the same close code however the
// bytes are cut, hand on only text in UTF-8 within the message size and
// control frames within theirs, read nothing after its end, and give back
// exactly what a well-made masked frame carried.
//
// Input: a program of one-byte operations: raw bytes, or a frame made of
// the following bytes (first byte, length, mask, payload), then how to cut.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.hpp"
#include "platform/web/websocket_frames.hpp"

namespace {

using namespace quillon;
using namespace quillon::fuzzing;

// A client's frame: the first byte as given, masked, the length in its shortest form.
std::string client_frame(std::uint8_t first, const std::string& payload,
                         const std::uint8_t mask[4]) {
    std::string f(1, static_cast<char>(first));
    const std::size_t n = payload.size();
    if (n < 126) {
        f += static_cast<char>(0x80 | n);
    } else {
        f += static_cast<char>(0x80 | 126);
        f += static_cast<char>(n >> 8);
        f += static_cast<char>(n & 0xFF);
    }
    f.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t k = 0; k < n; ++k)
        f += static_cast<char>(static_cast<std::uint8_t>(payload[k]) ^ mask[k % 4]);
    return f;
}

struct Outcome {
    std::vector<std::string> frames;  // kind, then payload or code
    std::uint16_t failure = 0;
    bool operator==(const Outcome&) const = default;
};

Outcome decode(const std::string& stream, Input* cuts) {
    Outcome out;
    FrameDecoder decoder;
    std::vector<BrowserFrame> got;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n =
            cuts == nullptr ? stream.size() - at
                            : std::min<std::size_t>(stream.size() - at, 1 + cuts->next() % 40);
        const bool ended_before = decoder.ended();
        const std::size_t had = got.size();
        decoder.add(std::string_view(stream).substr(at, n), got);
        if (ended_before) check(got.size() == had);
        at += n;
    }
    bool closed = false;
    for (const BrowserFrame& f : got) {
        check(!closed);
        switch (f.kind) {
            case BrowserFrame::Kind::text:
                check(f.payload.size() <= max_browser_message_bytes && valid_utf8(f.payload));
                out.frames.push_back("t" + f.payload);
                break;
            case BrowserFrame::Kind::ping:
            case BrowserFrame::Kind::pong:
                check(f.payload.size() <= max_control_payload_bytes);
                out.frames.push_back((f.kind == BrowserFrame::Kind::ping ? "i" : "o") + f.payload);
                break;
            case BrowserFrame::Kind::close:
                closed = true;
                out.frames.push_back("c" + std::to_string(f.code));
                break;
        }
    }
    out.failure = decoder.failure();
    check(out.failure == 0 || out.failure == close_code::protocol_error ||
          out.failure == close_code::unsupported_data || out.failure == close_code::not_utf8 ||
          out.failure == close_code::too_big);
    if (closed) check(decoder.ended() && out.failure == 0);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    std::string stream;
    // The last well-made single text frame, when the stream is only that.
    std::string only_text;
    int made = 0;
    bool raw = false;
    while (!in.empty() && stream.size() < 20000) {
        const std::uint8_t op = in.next();
        if (op < 0x40) {
            for (int n = op % 16; n >= 0; --n)
                stream += static_cast<char>(in.next());
            raw = true;
            continue;
        }
        // A frame: mostly final text, pings, continuations and closes.
        static constexpr std::uint8_t firsts[] = {0x81, 0x01, 0x80, 0x00, 0x89, 0x8A, 0x88, 0x82};
        const std::uint8_t first = firsts[op % 8];
        const std::size_t length = in.next() % 4 == 0 ? in.next() * 20u : in.next() % 130u;
        const std::uint8_t mask[4] = {in.next(), in.next(), in.next(), in.next()};
        std::string payload;
        for (std::size_t k = 0; k < length; ++k)
            payload += static_cast<char>(in.at < in.size ? in.next() : 'a' + k % 26);
        stream += client_frame(first, payload, mask);
        ++made;
        if (first == 0x81) only_text = payload;
    }
    Input cuts{data, size};
    const Outcome whole = decode(stream, nullptr);
    check(decode(stream, &cuts) == whole);
    // One well-made text frame of UTF-8 within the size comes out as it went in.
    if (!raw && made == 1 && !only_text.empty() && only_text.size() <= max_browser_message_bytes &&
        valid_utf8(only_text)) {
        check(whole.failure == 0 && whole.frames.size() == 1 && whole.frames[0] == "t" + only_text);
    }
    // The server's frames carry their payload after a head of the shortest form.
    const std::string text(stream.substr(0, std::min<std::size_t>(stream.size(), 70000)));
    const std::string framed = text_frame(text);
    const std::size_t head = text.size() < 126 ? 2 : text.size() < 65536 ? 4 : 10;
    check(framed.size() == head + text.size() && framed.compare(head, text.size(), text) == 0);
    check(static_cast<std::uint8_t>(framed[0]) == 0x81);
    return 0;
}
