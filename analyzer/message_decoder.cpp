#include "analyzer/message_decoder.hpp"

#include <algorithm>
#include <bit>

#include "bus/bus_frame.hpp"
#include "core/code_page.hpp"

namespace quillon {
namespace {

constexpr std::string_view degree_sign = "\xC2\xB0";  // U+00B0 in UTF-8

void append_dec(std::string& out, unsigned v) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        out += digits[--n];
}

// Two characters: zero-padded below 10, the first two digits from 100 on.
void append_dec2(std::string& out, unsigned v) {
    if (v < 10) {
        out += '0';
        out += static_cast<char>('0' + v);
    } else if (v < 100) {
        out += static_cast<char>('0' + v / 10);
        out += static_cast<char>('0' + v % 10);
    } else {
        out += static_cast<char>('0' + v / 100);
        out += static_cast<char>('0' + (v / 10) % 10);
    }
}

// v / 2 with exactly one decimal: the temperature byte counts half degrees.
void append_half(std::string& out, unsigned v) {
    append_dec(out, v >> 1);
    out += (v & 1u) != 0 ? ".5" : ".0";
}

void append_address(std::string& out, unsigned address) {
    out += '$';
    out += hex_byte(static_cast<int>(address));
}

unsigned clamp_count(int count) {
    return static_cast<unsigned>(std::clamp(count, 0, 8));
}

void append_channels(std::string& out, unsigned value, unsigned count, ChannelStyle style) {
    const unsigned mask = (1u << count) - 1u;
    const unsigned set = value & mask;
    const auto append_bits = [&] {
        out += '%';
        for (unsigned ch = count; ch >= 1; --ch)
            out += (set >> (ch - 1)) & 1u ? '1' : '0';
    };
    if (style != ChannelStyle::bits) {
        if (std::popcount(set) > 1) {
            // Several channels: the whole byte, bits above `count` included.
            append_dec(out, value);
        } else {
            out += "N";
            out += degree_sign;
            append_dec(out, static_cast<unsigned>(std::bit_width(set)));
        }
    }
    if (style == ChannelStyle::bits) {
        append_bits();
    } else if (style == ChannelStyle::number_and_bits) {
        out += " (";
        append_bits();
        out += ')';
    }
}

void append_channel_map(std::string& out, unsigned value, unsigned count) {
    for (unsigned ch = count; ch >= 1; --ch) {
        out += (value >> (ch - 1)) & 1u ? static_cast<char>('0' + ch) : '-';
    }
}

// The bytes handed in. Callers also hand in bad candidates and single-byte pieces of
// client data, so a position the bytes do not reach reads as 0.
class FrameBytes {
  public:
    FrameBytes(const std::uint8_t* frame, std::size_t length)
        : frame_(frame), length_(frame == nullptr ? 0 : length) {}

    unsigned operator()(std::size_t i) const { return i < length_ ? frame_[i] : 0u; }

  private:
    const std::uint8_t* frame_;
    std::size_t length_;
};

// Latin-1 reading of F[first..last]; control bytes and 255 show as a blank.
void append_chars(std::string& out, const FrameBytes& at, std::size_t first, std::size_t last) {
    for (std::size_t i = first; i <= last; ++i) {
        const unsigned b = at(i);
        if (b >= 32 && b <= 254) {
            append_utf8(out, static_cast<char32_t>(b));
        } else {
            out += ' ';
        }
    }
}

}  // namespace

std::string format_channels(int value, int count, ChannelStyle style) {
    std::string out;
    append_channels(out, static_cast<unsigned>(value) & 0xFFu, clamp_count(count), style);
    return out;
}

std::string format_channel_map(int value, int count) {
    std::string out;
    append_channel_map(out, static_cast<unsigned>(value) & 0xFFu, clamp_count(count));
    return out;
}

std::string decode_message(std::string_view source, const std::uint8_t* frame, std::size_t length) {
    const FrameBytes at(frame, length);

    std::string out;
    out.reserve(48);
    const unsigned address = at(2);
    if (source == "IP") {
        append_address(out, address);
        out += ' ';
    }

    if (at(3) == BusFrame::rtr_flag) {
        out += "Scan ";
        append_address(out, address);
        out += " (rtr=1) ";
        return out;
    }

    const unsigned command = at(4);
    switch (command) {
        case 0x00: {
            const std::size_t body_start = out.size();
            out += "(Push: Btn ";
            if (at(5) != 0) {
                append_channels(out, at(5), 8, ChannelStyle::number);
                out += " Pressed)";
            } else if (at(6) != 0) {
                append_channels(out, at(6), 8, ChannelStyle::number);
                out += " Released)";
            } else {
                append_channels(out, at(7), 8, ChannelStyle::number);
                out += " Maintained)";
            }
            // A 9 anywhere in the text (only a multi-channel mask such as 9, 19 or 190
            // can produce one) shows the temperature-output status instead.
            if (out.find('9', body_start) != std::string::npos) {
                out.resize(body_start);
                out += "(Temp out Status)";
            }
            break;
        }
        case 0x01:
            out += "(RelOff ";
            append_channels(out, at(5), 8, ChannelStyle::number_and_bits);
            out += ')';
            break;
        case 0x02:
            out += "(RelOn ";
            append_channels(out, at(5), 8, ChannelStyle::number_and_bits);
            out += ')';
            break;
        case 0x03:
            out += "(RelTmr ";
            append_channels(out, at(5), 8, ChannelStyle::number_and_bits);
            out += ')';
            break;
        case 0x04:
        case 0x05:
            out += "(Blind)";
            break;
        case 0x07:
            out += "(DimSet:";
            append_dec(out, at(6));
            out += "%)";
            break;
        case 0x0C:
            out += "(Mod. Type)";
            break;
        case 0x0F:
            out += "(Slider:";
            append_dec(out, at(6));
            out += "%)";
            break;
        case 0x40:
            out += "(Scan)";
            break;
        case 0xC9:
        case 0xCA:
        case 0xCB:
        case 0xCC:
            out += "(Mem RW)";
            break;
        case 0xD0:
        case 0xD1:
        case 0xD2:
        case 0xD3:
        case 0xD4:
        case 0xD5:
            out += "(LCD/BT)";
            break;
        case 0xD7:
            out += "(Clock Req.)";
            break;
        case 0xD8:
            out += "(Clock ";
            append_dec2(out, at(6));
            out += ':';
            append_dec2(out, at(7));
            out += ')';
            break;
        case 0xD9:
            out += "(CountErr Req.)";
            break;
        case 0xDA:
            out += "(CntErr TX:";
            append_dec(out, at(5));
            out += " RX:";
            append_dec(out, at(6));
            out += "BusOff:";
            append_dec(out, at(7));
            out += ')';
            break;
        case 0xE4:
        case 0xE8:
        case 0xE9:
            out += "(Temp: funct.)";
            break;
        case 0xE5:
            out += "(Temp: Req.)";
            break;
        case 0xE6:
            out += "(Temp: ";
            append_half(out, at(5));
            out += degree_sign;
            out += "C)";
            break;
        case 0xEA:
            out += "(Temp: Status)";
            break;
        case 0xEF:
            out += "(Name [Req.])";
            break;
        case 0xF0:
        case 0xF1:
            out += "(Name [";
            append_chars(out, at, 5, 11);
            out += "])";
            break;
        case 0xF2:
            out += "(Name [";
            append_chars(out, at, 5, 9);
            out += "])";
            break;
        case 0xF4:
        case 0xF7:
        case 0xF8:
        case 0xF9:
            out += "(Led:Blink  ";
            append_channels(out, at(5), 8, ChannelStyle::bits);
            out += ')';
            break;
        case 0xF5:
            out += "(Led:Off  ";
            append_channels(out, at(5), 8, ChannelStyle::bits);
            out += ')';
            break;
        case 0xF6:
            out += "(Led:On  ";
            append_channels(out, at(5), 8, ChannelStyle::bits);
            out += ')';
            break;
        case 0xEC:
        case 0xFA:
        case 0xFB:
        case 0xFF:
            out += "(Status-Relay ";
            append_channels(out, at(5), 4, ChannelStyle::number);
            out += " ON:";
            append_channel_map(out, at(7) & 0x0Fu, 4);
            out += " Blk:";
            append_channel_map(out, at(7) >> 4, 4);
            out += ')';
            break;
        case 0xED:
            out += "(Status-Inp:";
            append_channels(out, at(5), 8, ChannelStyle::bits);
            out += " Led:";
            append_channels(out, at(6), 8, ChannelStyle::bits);
            out += ')';
            break;
        case 0xEE:
            out += "(Status-Dimmer ";
            append_dec(out, at(6));
            out += "%)";
            break;
        case 0xFD:
        case 0xFE:
            out += "(Mem R/W ";
            append_address(out, address);
            out += ')';
            break;
        default:
            break;
    }
    return out;
}

}  // namespace quillon
