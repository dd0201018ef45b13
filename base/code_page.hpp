#pragma once

#include <string>
#include <string_view>

namespace quillon {

// Text is UTF-8 inside the system. The analyzer feed and the debug log are
// 8-bit Windows-1252 text; a character the code page lacks becomes "?", and so
// does every byte of malformed UTF-8.
std::string utf8_to_cp1252(std::string_view utf8);

// The character of one Windows-1252 byte; 0 for the five bytes it leaves
// undefined. Bytes 0x80 to 0x9F are its printable characters, never the C1
// controls a Latin-1 reading would give.
char32_t cp1252_code_point(unsigned char byte);

// Every byte one Latin-1 character (settings files without a byte-order mark).
std::string latin1_to_utf8(std::string_view latin1);

// The length of the well-formed UTF-8 sequence that begins at `at` (1 to 4),
// or 0 when there is none: no overlong forms, surrogates or code points
// above U+10FFFF.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at);

// Appends the UTF-8 form of one code point (invalid ones become U+FFFD).
void append_utf8(std::string& out, char32_t code_point);

// The text as a JSON string, quotes included. Bytes that are not UTF-8 (a
// module's name in another code page) become U+FFFD, so that a browser never
// gets a text message it must refuse.
std::string json_string(std::string_view text);

}  // namespace quillon
