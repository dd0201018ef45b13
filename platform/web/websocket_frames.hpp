#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// What a browser may send in one message (its key, a control), and in a
// control frame, as RFC 6455 has it.
inline constexpr std::size_t max_browser_message_bytes = 4096;
inline constexpr std::size_t max_control_payload_bytes = 125;

// The close codes the web monitor gives.
namespace close_code {
inline constexpr std::uint16_t normal = 1000;
inline constexpr std::uint16_t protocol_error = 1002;
inline constexpr std::uint16_t unsupported_data = 1003;  // binary: browsers speak text here
inline constexpr std::uint16_t not_utf8 = 1007;
inline constexpr std::uint16_t policy = 1008;  // a wrong key, no key in time
inline constexpr std::uint16_t too_big = 1009;
inline constexpr std::uint16_t try_again_later = 1013;  // every browser's place is taken
}  // namespace close_code

// A browser's whole message or control frame.
struct BrowserFrame {
    enum class Kind : std::uint8_t { text, ping, pong, close };
    Kind kind = Kind::text;
    std::string payload;     // text: the message; ping and pong: their data
    std::uint16_t code = 0;  // close: the code the browser gave, 0 when none
};

// A browser's frames as they come, in any pieces: masked as clients' frames
// must be, text only, messages and control frames within their sizes, text
// in UTF-8. The first fault ends the reading with the close code it earns;
// so does a close frame, with 0. It holds at most one message.
class FrameDecoder {
  public:
    void add(std::string_view bytes, std::vector<BrowserFrame>& out);
    // The close code to answer with, once something was wrong; 0 until then.
    std::uint16_t failure() const { return failure_; }
    bool ended() const { return ended_; }

  private:
    void fail(std::uint16_t code);
    // Checks a frame's head once it is whole; false when it is wrong.
    bool head_ok();
    void frame_done(std::vector<BrowserFrame>& out);

    std::uint8_t head_[14] = {};
    std::size_t head_have_ = 0;
    std::size_t head_need_ = 2;
    bool in_payload_ = false;
    std::uint8_t opcode_ = 0;
    bool fin_ = false;
    std::uint64_t left_ = 0;    // payload bytes of the frame still to come
    std::size_t unmasked_ = 0;  // payload bytes of the frame so far, for the mask
    std::string control_;       // a control frame's payload so far
    std::string message_;       // a text message's fragments so far
    bool in_message_ = false;
    std::uint16_t failure_ = 0;
    bool ended_ = false;
};

// A server's frame: final, unmasked, the length in 7, 16 or 64 bits.
std::string server_frame(std::uint8_t opcode, std::string_view payload);
inline std::string text_frame(std::string_view message) {
    return server_frame(0x1, message);
}
std::string close_frame(std::uint16_t code, std::string_view reason = {});

bool valid_utf8(std::string_view text);

}  // namespace quillon
