// Draws the six row icons and writes them as PNG files (8-bit RGB, no alpha)
// into a directory, platform/window/icons for the window's resource.
//
// Usage: icon_generator DIRECTORY

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Colour {
    double r = 0;
    double g = 0;
    double b = 0;
};

constexpr Colour background{255, 255, 255};
constexpr Colour white{255, 255, 255};
constexpr Colour red{215, 40, 40};
constexpr Colour blue{40, 80, 210};
constexpr Colour green{30, 160, 50};
constexpr Colour grey{150, 150, 150};
constexpr Colour black{0, 0, 0};

struct Point {
    double x = 0;
    double y = 0;
};

// A shape answers whether a point (in pixel units, y downwards) lies inside it.
using Shape = std::function<bool(Point)>;

Shape disc(Point centre, double radius) {
    return [=](Point p) {
        const double dx = p.x - centre.x;
        const double dy = p.y - centre.y;
        return dx * dx + dy * dy <= radius * radius;
    };
}

Shape rectangle(double x0, double y0, double x1, double y1) {
    return [=](Point p) { return p.x >= x0 && p.x <= x1 && p.y >= y0 && p.y <= y1; };
}

Shape triangle(Point a, Point b, Point c) {
    return [=](Point p) {
        const auto side = [&](Point u, Point v) {
            return (v.x - u.x) * (p.y - u.y) - (v.y - u.y) * (p.x - u.x);
        };
        const double d1 = side(a, b);
        const double d2 = side(b, c);
        const double d3 = side(c, a);
        const bool has_negative = d1 < 0 || d2 < 0 || d3 < 0;
        const bool has_positive = d1 > 0 || d2 > 0 || d3 > 0;
        return !(has_negative && has_positive);
    };
}

Shape either(Shape a, Shape b) {
    return [=](Point p) { return a(p) || b(p); };
}

Shape mirrored(Shape s, double width) {
    return [=](Point p) { return s({width - p.x, p.y}); };
}

// An arrow pointing right along the line y = mid: shaft from x0 to the head,
// head from head_x to the tip.
Shape arrow_right(double x0, double head_x, double tip_x, double mid, double shaft_half,
                  double head_half) {
    return either(rectangle(x0, mid - shaft_half, head_x + 0.01, mid + shaft_half),
                  triangle({head_x, mid - head_half}, {head_x, mid + head_half}, {tip_x, mid}));
}

Shape without(Shape s, Shape hole) {
    return [=](Point p) { return s(p) && !hole(p); };
}

class Canvas {
  public:
    Canvas(int width, int height)
        : width_(width), height_(height), pixels_(static_cast<std::size_t>(width * height)) {
        std::fill(pixels_.begin(), pixels_.end(), background);
    }

    // Paints the shape with 8 x 8 samples a pixel, so that its edges are smooth.
    void paint(const Shape& shape, Colour colour) {
        constexpr int samples = 8;
        for (int y = 0; y < height_; ++y) {
            for (int x = 0; x < width_; ++x) {
                int inside = 0;
                for (int sy = 0; sy < samples; ++sy) {
                    for (int sx = 0; sx < samples; ++sx) {
                        const Point p{x + (sx + 0.5) / samples, y + (sy + 0.5) / samples};
                        if (shape(p)) ++inside;
                    }
                }
                const double cover = static_cast<double>(inside) / (samples * samples);
                Colour& c = pixels_[static_cast<std::size_t>(y * width_ + x)];
                c.r += (colour.r - c.r) * cover;
                c.g += (colour.g - c.g) * cover;
                c.b += (colour.b - c.b) * cover;
            }
        }
    }

    int width() const { return width_; }
    int height() const { return height_; }
    std::vector<std::uint8_t> rgb_bytes() const {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(pixels_.size() * 3);
        for (const Colour& c : pixels_) {
            for (double v : {c.r, c.g, c.b})
                bytes.push_back(static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0))));
        }
        return bytes;
    }

  private:
    int width_;
    int height_;
    std::vector<Colour> pixels_;
};

Colour darker(Colour c, double factor) {
    return {c.r * factor, c.g * factor, c.b * factor};
}

// 16 x 16: a disc with a darker rim and a white arrow across its middle.
Canvas disc_with_arrow(Colour colour, bool pointing_right) {
    Canvas canvas(16, 16);
    canvas.paint(disc({8, 8}, 7.6), darker(colour, 0.7));
    canvas.paint(disc({8, 8}, 6.7), colour);
    Shape arrow = arrow_right(3.2, 8.3, 12.9, 8, 1.5, 4.4);
    if (!pointing_right) arrow = mirrored(arrow, 16);
    canvas.paint(arrow, white);
    return canvas;
}

// 12 x 12: an arrow pointing left on top, one pointing right below; "broken"
// cuts both shafts in the middle.
Canvas two_arrows(Colour upper, Colour lower, bool broken) {
    Canvas canvas(12, 12);
    Shape left = mirrored(arrow_right(0.5, 7.8, 11.5, 3, 1.0, 3.0), 12);
    Shape right = arrow_right(0.5, 7.8, 11.5, 9, 1.0, 3.0);
    if (broken) {
        left = without(left, rectangle(6.2, 0, 7.8, 12));
        right = without(right, rectangle(3.6, 0, 5.2, 12));
    }
    canvas.paint(left, upper);
    canvas.paint(right, lower);
    return canvas;
}

void append_bytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flush_nothing(png_structp) {}

bool encode_png(const Canvas& canvas, std::vector<std::uint8_t>& out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    const std::vector<std::uint8_t> pixels = canvas.rgb_bytes();
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, append_bytes, flush_nothing);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, static_cast<png_uint_32>(canvas.width()),
                 static_cast<png_uint_32>(canvas.height()), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t stride = static_cast<std::size_t>(canvas.width()) * 3;
    for (int y = 0; y < canvas.height(); ++y) {
        png_write_row(png, pixels.data() + static_cast<std::size_t>(y) * stride);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: icon_generator DIRECTORY\n";
        return 2;
    }
    struct Icon {
        const char* file;
        Canvas canvas;
    };
    // In the order of the icon numbers, named by what they show in the lists.
    const std::array<Icon, 6> icons{{
        {"client-frame-bad.png", disc_with_arrow(red, true)},
        {"client-frame.png", disc_with_arrow(blue, true)},
        {"bus-frame-bad.png", disc_with_arrow(red, false)},
        {"bus-frame.png", disc_with_arrow(green, false)},
        {"client-live.png", two_arrows(green, blue, false)},
        {"client-ended.png", two_arrows(grey, black, true)},
    }};

    for (const Icon& icon : icons) {
        const std::string path = std::string(argv[1]) + "/" + icon.file;
        std::vector<std::uint8_t> png;
        if (!encode_png(icon.canvas, png)) {
            std::cerr << "icon_generator: cannot encode " << icon.file << "\n";
            return 1;
        }
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(png.data()),
                   static_cast<std::streamsize>(png.size()));
        if (!file) {
            std::cerr << "icon_generator: cannot write " << path << "\n";
            return 1;
        }
    }
    return 0;
}
