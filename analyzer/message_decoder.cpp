#include "analyzer/message_decoder.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "base/code_page.hpp"
#include "bus/bus_frame.hpp"

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

// Windows-1252 reading of F[first..last] (module names are written in it).
// Control bytes, 127 and 255 show as a blank, the code page's undefined bytes
// as "?": no control character from the bus reaches a terminal, the journal
// or a file.
void append_chars(std::string& out, const FrameBytes& at, std::size_t first, std::size_t last) {
    for (std::size_t i = first; i <= last; ++i) {
        const unsigned b = at(i);
        if (b < 32 || b == 127 || b == 255) {
            out += ' ';
        } else if (const char32_t cp = cp1252_code_point(static_cast<unsigned char>(b)); cp != 0) {
            append_utf8(out, cp);
        } else {
            out += '?';
        }
    }
}

// The push button: pressed channels in F[first], else released ones in the next byte,
// else the ones held in the byte after.
void append_push_button(std::string& out, const FrameBytes& at, std::size_t first) {
    const std::size_t start = out.size();
    out += "(Push: Btn ";
    if (at(first) != 0) {
        append_channels(out, at(first), 8, ChannelStyle::number);
        out += " Pressed)";
    } else if (at(first + 1) != 0) {
        append_channels(out, at(first + 1), 8, ChannelStyle::number);
        out += " Released)";
    } else {
        append_channels(out, at(first + 2), 8, ChannelStyle::number);
        out += " Maintained)";
    }
    // A 9 anywhere in the text (only a multi-channel mask such as 9, 19 or 190 can
    // produce one) shows the temperature-output status instead.
    if (out.find('9', start) != std::string::npos) {
        out.resize(start);
        out += "(Temp out Status)";
    }
}

// How one field of a row is written from the frame byte at its position.
enum class Form : std::uint8_t {
    none,
    decimal,
    two_digits,
    celsius,  // the byte counts half degrees
    address,
    channel_number,           // `width` channels
    channel_bits,             // `width` channels
    channel_number_and_bits,  // `width` channels
    channel_map,              // the low `width` bits
    channel_map_high,         // the `width` bits above those
    chars,                    // `width` bytes from the position on
    push_button,              // the whole text, from the masks in three bytes
};

struct Field {
    Form form = Form::none;
    std::uint8_t at = 0;  // the frame position it reads
    std::uint8_t width = 0;
    std::string_view then;  // the text after the field
};

struct Row {
    std::uint8_t command;
    std::string_view head;  // the whole text when there are no fields
    Field fields[3];
};

void append_field(std::string& out, const Field& field, const FrameBytes& at) {
    const unsigned value = at(field.at);
    switch (field.form) {
        case Form::none:
            break;
        case Form::decimal:
            append_dec(out, value);
            break;
        case Form::two_digits:
            append_dec2(out, value);
            break;
        case Form::celsius:
            append_half(out, value);
            out += degree_sign;
            out += 'C';
            break;
        case Form::address:
            append_address(out, value);
            break;
        case Form::channel_number:
            append_channels(out, value, field.width, ChannelStyle::number);
            break;
        case Form::channel_bits:
            append_channels(out, value, field.width, ChannelStyle::bits);
            break;
        case Form::channel_number_and_bits:
            append_channels(out, value, field.width, ChannelStyle::number_and_bits);
            break;
        case Form::channel_map:
            append_channel_map(out, value, field.width);
            break;
        case Form::channel_map_high:
            append_channel_map(out, value >> field.width, field.width);
            break;
        case Form::chars:
            append_chars(out, at, field.at, field.at + field.width - 1u);
            break;
        case Form::push_button:
            append_push_button(out, at, field.at);
            break;
    }
    out += field.then;
}

// One row per command byte that has a description; every other command has none.
constexpr auto rows = [] {
    using enum Form;
    // F[5] is the relay; F[7] holds the relays on (low nibble) and blinking (high nibble).
    const auto relay_status = [](std::uint8_t command) {
        return Row{command,
                   "(Status-Relay ",
                   {{channel_number, 5, 4, " ON:"},
                    {channel_map, 7, 4, " Blk:"},
                    {channel_map_high, 7, 4, ")"}}};
    };
    return std::to_array<Row>({
        {0x00, "", {{push_button, 5, 0, ""}}},
        {0x01, "(RelOff ", {{channel_number_and_bits, 5, 8, ")"}}},
        {0x02, "(RelOn ", {{channel_number_and_bits, 5, 8, ")"}}},
        {0x03, "(RelTmr ", {{channel_number_and_bits, 5, 8, ")"}}},
        {0x04, "(Blind)", {}},
        {0x05, "(Blind)", {}},
        {0x07, "(DimSet:", {{decimal, 6, 0, "%)"}}},
        {0x0C, "(Mod. Type)", {}},
        {0x0F, "(Slider:", {{decimal, 6, 0, "%)"}}},
        {0x40, "(Scan)", {}},
        {0xC9, "(Mem RW)", {}},
        {0xCA, "(Mem RW)", {}},
        {0xCB, "(Mem RW)", {}},
        {0xCC, "(Mem RW)", {}},
        {0xD0, "(LCD/BT)", {}},
        {0xD1, "(LCD/BT)", {}},
        {0xD2, "(LCD/BT)", {}},
        {0xD3, "(LCD/BT)", {}},
        {0xD4, "(LCD/BT)", {}},
        {0xD5, "(LCD/BT)", {}},
        {0xD7, "(Clock Req.)", {}},
        {0xD8, "(Clock ", {{two_digits, 6, 0, ":"}, {two_digits, 7, 0, ")"}}},
        {0xD9, "(CountErr Req.)", {}},
        {0xDA,
         "(CntErr TX:",
         {{decimal, 5, 0, " RX:"}, {decimal, 6, 0, "BusOff:"}, {decimal, 7, 0, ")"}}},
        {0xE4, "(Temp: funct.)", {}},
        {0xE5, "(Temp: Req.)", {}},
        {0xE6, "(Temp: ", {{celsius, 5, 0, ")"}}},
        {0xE8, "(Temp: funct.)", {}},
        {0xE9, "(Temp: funct.)", {}},
        {0xEA, "(Temp: Status)", {}},
        relay_status(0xEC),
        {0xED, "(Status-Inp:", {{channel_bits, 5, 8, " Led:"}, {channel_bits, 6, 8, ")"}}},
        {0xEE, "(Status-Dimmer ", {{decimal, 6, 0, "%)"}}},
        {0xEF, "(Name [Req.])", {}},
        {0xF0, "(Name [", {{chars, 5, 7, "])"}}},
        {0xF1, "(Name [", {{chars, 5, 7, "])"}}},
        {0xF2, "(Name [", {{chars, 5, 5, "])"}}},
        {0xF4, "(Led:Blink  ", {{channel_bits, 5, 8, ")"}}},
        {0xF5, "(Led:Off  ", {{channel_bits, 5, 8, ")"}}},
        {0xF6, "(Led:On  ", {{channel_bits, 5, 8, ")"}}},
        {0xF7, "(Led:Blink  ", {{channel_bits, 5, 8, ")"}}},
        {0xF8, "(Led:Blink  ", {{channel_bits, 5, 8, ")"}}},
        {0xF9, "(Led:Blink  ", {{channel_bits, 5, 8, ")"}}},
        relay_status(0xFA),
        relay_status(0xFB),
        {0xFD, "(Mem R/W ", {{address, 2, 0, ")"}}},
        {0xFE, "(Mem R/W ", {{address, 2, 0, ")"}}},
        relay_status(0xFF),
    });
}();

constexpr std::uint8_t no_row = 0xFF;
static_assert(rows.size() < no_row);

// Command byte to its place in `rows`; a command listed twice does not compile.
constexpr auto row_of_command = [] {
    std::array<std::uint8_t, 256> index{};
    index.fill(no_row);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (index[rows[i].command] != no_row) throw "command listed twice";
        index[rows[i].command] = static_cast<std::uint8_t>(i);
    }
    return index;
}();

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

    const std::uint8_t row = row_of_command[at(4)];
    if (row == no_row) return out;
    out += rows[row].head;
    for (const Field& field : rows[row].fields) {
        if (field.form == Form::none) break;
        append_field(out, field, at);
    }
    return out;
}

}  // namespace quillon
