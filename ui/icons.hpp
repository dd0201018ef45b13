#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ui/operator_view.hpp"

namespace quillon {

// Decodes a PNG file held in memory into 8-bit RGB: palette, grey and 16-bit
// pictures are converted, an alpha channel is dropped. Anything that is not a
// readable PNG, or a picture larger than max_png_side in either direction,
// gives nullopt; nothing is printed.
std::optional<RgbImage> decode_png(const std::uint8_t* data, std::size_t size);

inline constexpr std::uint32_t max_png_side = 4096;

// The six row icons built into the program, decoded; index = icon number
// (icon_client_frame_bad ... icon_client_ended). Icons 0 to 3 are 16 x 16,
// icons 4 and 5 are 12 x 12.
std::vector<RgbImage> builtin_icons();

}  // namespace quillon
