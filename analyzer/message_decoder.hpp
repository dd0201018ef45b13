#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// How a channel bit mask is written: "5" or "N°3"; "%00000101"; or both, "5 (%00000101)".
enum class ChannelStyle { number, bits, number_and_bits };

// Writes the low `count` bits of the byte `value` (bit 0 is channel 1). With more than
// one channel set, `number` writes the whole byte in decimal, otherwise "N°" and the
// highest channel (0 when none is set). Only the low 8 bits of `value` count, and
// `count` is clamped to 0..8.
std::string format_channels(int value, int count, ChannelStyle style);

// `count` characters, highest channel first: the channel's digit when its bit is set,
// otherwise "-" (0x05 with count 4 gives "-3-1"). Same limits as format_channels.
std::string format_channel_map(int value, int count);

// A short readable description of one bus frame, named by its command byte F[4].
// `source` is "VMB" for frames from the bus and "IP" for frames from a client; only
// exactly "IP" puts the address text ("$0A") and a blank in front of the description.
// Never reads past `length` bytes: a position the bytes do not reach reads as 0, so
// a one-byte piece of bad client data, or no bytes at all, is decoded safely. A null
// `frame` counts as no bytes.
std::string decode_message(std::string_view source, const std::uint8_t* frame, std::size_t length);

}  // namespace quillon
