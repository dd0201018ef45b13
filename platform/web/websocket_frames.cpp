#include "platform/web/websocket_frames.hpp"

#include <algorithm>

#include "base/code_page.hpp"

namespace quillon {
namespace {

constexpr std::uint8_t opcode_continuation = 0x0;
constexpr std::uint8_t opcode_text = 0x1;
constexpr std::uint8_t opcode_binary = 0x2;
constexpr std::uint8_t opcode_close = 0x8;
constexpr std::uint8_t opcode_ping = 0x9;
constexpr std::uint8_t opcode_pong = 0xA;

// The codes a peer may send (RFC 6455 7.4 and its registry).
bool valid_close_code(std::uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

}  // namespace

bool valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_sequence_length(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

void FrameDecoder::fail(std::uint16_t code) {
    failure_ = code;
    ended_ = true;
}

void FrameDecoder::add(std::string_view bytes, std::vector<BrowserFrame>& out) {
    while (!bytes.empty() && !ended_) {
        if (!in_payload_) {
            while (head_have_ < head_need_ && !bytes.empty()) {
                head_[head_have_++] = static_cast<std::uint8_t>(bytes.front());
                bytes.remove_prefix(1);
                if (head_have_ == 2) {
                    const std::uint8_t length = head_[1] & 0x7F;
                    const std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
                    head_need_ = 2 + extended + ((head_[1] & 0x80) != 0 ? 4 : 0);
                }
            }
            if (head_have_ < head_need_) return;
            if (!head_ok()) return;
            in_payload_ = true;
            unmasked_ = 0;
            if (left_ == 0) {
                frame_done(out);
                continue;
            }
        }
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(left_, bytes.size()));
        std::string& into = opcode_ >= opcode_close ? control_ : message_;
        const std::uint8_t* mask = head_ + head_need_ - 4;
        for (std::size_t k = 0; k < n; ++k)
            into += static_cast<char>(static_cast<std::uint8_t>(bytes[k]) ^ mask[unmasked_++ % 4]);
        bytes.remove_prefix(n);
        left_ -= n;
        if (left_ == 0) frame_done(out);
    }
}

bool FrameDecoder::head_ok() {
    fin_ = (head_[0] & 0x80) != 0;
    opcode_ = head_[0] & 0x0F;
    const bool masked = (head_[1] & 0x80) != 0;
    const std::uint8_t length7 = head_[1] & 0x7F;
    std::uint64_t length = length7;
    if (length7 == 126) {
        length = static_cast<std::uint64_t>(head_[2]) << 8 | head_[3];
    } else if (length7 == 127) {
        length = 0;
        for (std::size_t k = 2; k < 10; ++k)
            length = length << 8 | head_[k];
    }
    // Reserved bits, an unmasked frame, a length not in its shortest form.
    if ((head_[0] & 0x70) != 0 || !masked || (length7 == 126 && length < 126) ||
        (length7 == 127 && (length < 65536 || length >> 63 != 0))) {
        fail(close_code::protocol_error);
        return false;
    }
    switch (opcode_) {
        case opcode_continuation:
            if (!in_message_) fail(close_code::protocol_error);
            break;
        case opcode_text:
            if (in_message_) fail(close_code::protocol_error);
            break;
        case opcode_binary:
            fail(in_message_ ? close_code::protocol_error : close_code::unsupported_data);
            break;
        case opcode_close:
        case opcode_ping:
        case opcode_pong:
            if (!fin_ || length > max_control_payload_bytes) fail(close_code::protocol_error);
            break;
        default:
            fail(close_code::protocol_error);
            break;
    }
    if (ended_) return false;
    if (opcode_ < opcode_close) {
        if (length > max_browser_message_bytes - message_.size()) {
            fail(close_code::too_big);
            return false;
        }
        in_message_ = true;
    }
    left_ = length;
    return true;
}

void FrameDecoder::frame_done(std::vector<BrowserFrame>& out) {
    in_payload_ = false;
    head_have_ = 0;
    head_need_ = 2;
    switch (opcode_) {
        case opcode_continuation:
        case opcode_text:
            if (!fin_) return;
            in_message_ = false;
            if (!valid_utf8(message_)) {
                fail(close_code::not_utf8);
                return;
            }
            out.push_back({BrowserFrame::Kind::text, std::move(message_), 0});
            message_.clear();
            return;
        case opcode_ping:
        case opcode_pong:
            out.push_back(
                {opcode_ == opcode_ping ? BrowserFrame::Kind::ping : BrowserFrame::Kind::pong,
                 std::move(control_), 0});
            control_.clear();
            return;
        default: {
            // A close: a code or none, then a reason in UTF-8; nothing after it is read.
            std::uint16_t code = 0;
            if (control_.size() == 1) {
                fail(close_code::protocol_error);
                return;
            }
            if (control_.size() >= 2) {
                code = static_cast<std::uint16_t>(static_cast<std::uint8_t>(control_[0]) << 8 |
                                                  static_cast<std::uint8_t>(control_[1]));
                if (!valid_close_code(code)) {
                    fail(close_code::protocol_error);
                    return;
                }
                if (!valid_utf8(std::string_view(control_).substr(2))) {
                    fail(close_code::not_utf8);
                    return;
                }
            }
            out.push_back({BrowserFrame::Kind::close, {}, code});
            control_.clear();
            ended_ = true;
            return;
        }
    }
}

std::string server_frame(std::uint8_t opcode, std::string_view payload) {
    std::string f;
    f.reserve(payload.size() + 10);
    f += static_cast<char>(0x80 | (opcode & 0x0F));
    const std::uint64_t n = payload.size();
    if (n < 126) {
        f += static_cast<char>(n);
    } else if (n < 65536) {
        f += static_cast<char>(126);
        f += static_cast<char>((n >> 8) & 0xFF);
        f += static_cast<char>(n & 0xFF);
    } else {
        f += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            f += static_cast<char>((n >> shift) & 0xFF);
    }
    f.append(payload);
    return f;
}

std::string close_frame(std::uint16_t code, std::string_view reason) {
    std::string payload;
    payload += static_cast<char>(code >> 8);
    payload += static_cast<char>(code & 0xFF);
    payload.append(reason.substr(0, max_control_payload_bytes - 2));
    return server_frame(opcode_close, payload);
}

}  // namespace quillon
