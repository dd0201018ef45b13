#include "ui/icons.hpp"

#include <png.h>

#include <csetjmp>
#include <cstring>

namespace quillon {
namespace {

#include "ui/icon_png_data.inc"

struct MemorySource {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset;
};

void read_from_memory(png_structp png, png_bytep out, png_size_t count) {
    auto* source = static_cast<MemorySource*>(png_get_io_ptr(png));
    if (count > source->size - source->offset) png_error(png, "truncated");
    std::memcpy(out, source->data + source->offset, count);
    source->offset += count;
}

// libpng reports an error by jumping back to read_rgb_rows; nothing is printed.
[[noreturn]] void jump_back(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void ignore_warning(png_structp, png_const_charp) {}

// Runs libpng's reading. Every libpng error returns here through longjmp, so
// this function owns no object with a destructor and changes no local
// variable that is read after the jump; the picture goes to *image, which
// belongs to the caller.
bool read_rgb_rows(png_structp png, png_infop info, RgbImage* image) {
    if (setjmp(png_jmpbuf(png))) return false;

    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (width == 0 || height == 0 || width > max_png_side || height > max_png_side) return false;

    const png_byte colour_type = png_get_color_type(png, info);
    png_set_strip_16(png);
    png_set_packing(png);
    if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour_type == PNG_COLOR_TYPE_GRAY || colour_type == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_expand_gray_1_2_4_to_8(png);
        png_set_gray_to_rgb(png);
    }
    png_set_strip_alpha(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != std::size_t{width} * 3) return false;

    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    image->pixels.assign(std::size_t{width} * height * 3, 0);
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) {
            png_read_row(png, image->pixels.data() + std::size_t{y} * width * 3, nullptr);
        }
    }
    png_read_end(png, nullptr);
    return true;
}

class ReadStructs {
  public:
    ReadStructs()
        : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, jump_back, ignore_warning)) {
        if (png_ != nullptr) info_ = png_create_info_struct(png_);
    }
    ~ReadStructs() { png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr); }
    ReadStructs(const ReadStructs&) = delete;
    ReadStructs& operator=(const ReadStructs&) = delete;

    bool ready() const { return png_ != nullptr && info_ != nullptr; }
    png_structp png() const { return png_; }
    png_infop info() const { return info_; }

  private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

struct EmbeddedPng {
    const std::uint8_t* data;
    std::size_t size;
};

}  // namespace

std::optional<RgbImage> decode_png(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t signature_bytes = 8;
    if (data == nullptr || size < signature_bytes || png_sig_cmp(data, 0, signature_bytes) != 0)
        return std::nullopt;
    ReadStructs structs;
    if (!structs.ready()) return std::nullopt;
    MemorySource source{data, size, 0};
    png_set_read_fn(structs.png(), &source, read_from_memory);
    RgbImage image;
    if (!read_rgb_rows(structs.png(), structs.info(), &image)) return std::nullopt;
    return image;
}

std::vector<RgbImage> builtin_icons() {
    static constexpr EmbeddedPng embedded[icon_count] = {
        {icon_png_0, sizeof icon_png_0}, {icon_png_1, sizeof icon_png_1},
        {icon_png_2, sizeof icon_png_2}, {icon_png_3, sizeof icon_png_3},
        {icon_png_4, sizeof icon_png_4}, {icon_png_5, sizeof icon_png_5},
    };
    std::vector<RgbImage> icons;
    icons.reserve(icon_count);
    for (const EmbeddedPng& png : embedded) {
        // The data is part of the program; a failure here is a broken build.
        icons.push_back(decode_png(png.data, png.size).value_or(RgbImage{}));
    }
    return icons;
}

}  // namespace quillon
