#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>

#include <vector>

#include "ui/icons.hpp"

namespace quillon::testing {
namespace {

bool is_white(Rgb c) {
    return c.r > 240 && c.g > 240 && c.b > 240;
}
bool is_red(Rgb c) {
    return c.r > 180 && c.g < 80 && c.b < 80;
}
bool is_blue(Rgb c) {
    return c.b > 180 && c.r < 80 && c.g < 120;
}
bool is_green(Rgb c) {
    return c.g > 130 && c.r < 60 && c.b < 80;
}
bool is_grey(Rgb c) {
    return c.r > 110 && c.r < 190 && c.r == c.g && c.g == c.b;
}
bool is_black(Rgb c) {
    return c.r < 30 && c.g < 30 && c.b < 30;
}

// Pixels that differ from the white background in a block of columns and rows.
int drawn_pixels(const RgbImage& image, int x0, int x1, int y0, int y1) {
    int count = 0;
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x)
            count += is_white(image.at(x, y)) ? 0 : 1;
    }
    return count;
}

// White pixels, the arrow's, in a block of columns of a disc icon.
int white_pixels(const RgbImage& image, int x0, int x1) {
    int count = 0;
    for (int y = 3; y <= 12; ++y) {
        for (int x = x0; x <= x1; ++x)
            count += is_white(image.at(x, y)) ? 1 : 0;
    }
    return count;
}

std::vector<std::uint8_t> png_bytes_from_qt(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {bytes.begin(), bytes.end()};
}

TEST(BuiltinIcons, AreSixDecodedPicturesOfTheirSizes) {
    const std::vector<RgbImage> icons = builtin_icons();
    ASSERT_EQ(icons.size(), static_cast<std::size_t>(icon_count));
    const int sides[icon_count] = {16, 16, 16, 16, 12, 12};
    for (int i = 0; i < icon_count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(icons[i].width, sides[i]);
        EXPECT_EQ(icons[i].height, sides[i]);
        EXPECT_EQ(icons[i].pixels.size(), static_cast<std::size_t>(sides[i] * sides[i] * 3));
        EXPECT_TRUE(is_white(icons[i].at(0, 0)));  // the background
    }
}

TEST(BuiltinIcons, DiscsHaveTheirColoursAndWhiteArrowsTheirDirections) {
    const std::vector<RgbImage> icons = builtin_icons();
    struct Disc {
        int icon;
        bool (*colour)(Rgb);
        bool points_right;
    };
    const Disc discs[] = {
        {icon_client_frame_bad, is_red, true},
        {icon_client_frame, is_blue, true},
        {icon_bus_frame_bad, is_red, false},
        {icon_bus_frame, is_green, false},
    };
    for (const Disc& d : discs) {
        SCOPED_TRACE(d.icon);
        const RgbImage& image = icons[static_cast<std::size_t>(d.icon)];
        EXPECT_TRUE(d.colour(image.at(3, 4)));   // the disc beside the arrow
        EXPECT_TRUE(d.colour(image.at(12, 4)));  // and on the other side
        EXPECT_TRUE(is_white(image.at(8, 8)));   // the arrow across the centre
        // The arrow's head, its widest part, lies where it points.
        const int left = white_pixels(image, 2, 6);
        const int right = white_pixels(image, 9, 13);
        EXPECT_EQ(right > left, d.points_right) << "left " << left << ", right " << right;
    }
}

TEST(BuiltinIcons, ClientIconsShowTwoArrowsTheEndedOneBroken) {
    const std::vector<RgbImage> icons = builtin_icons();
    const RgbImage& live = icons[icon_client_live];
    const RgbImage& ended = icons[icon_client_ended];
    EXPECT_TRUE(is_green(live.at(9, 3)));  // upper arrow's shaft
    EXPECT_TRUE(is_blue(live.at(2, 9)));   // lower arrow's shaft
    EXPECT_TRUE(is_grey(ended.at(9, 3)));
    EXPECT_TRUE(is_black(ended.at(2, 9)));
    for (const RgbImage* image : {&live, &ended}) {
        // Upper arrow points left, lower arrow points right.
        EXPECT_GT(drawn_pixels(*image, 0, 3, 0, 5), drawn_pixels(*image, 8, 11, 0, 5));
        EXPECT_GT(drawn_pixels(*image, 8, 11, 6, 11), drawn_pixels(*image, 0, 3, 6, 11));
    }
    // Broken in the middle: a gap in both shafts where the live icon is drawn.
    EXPECT_TRUE(is_blue(live.at(4, 9)));
    EXPECT_TRUE(is_white(ended.at(4, 9)));
    EXPECT_TRUE(is_green(live.at(7, 3)));
    EXPECT_FALSE(is_grey(ended.at(7, 3)));
}

TEST(DecodePng, ReadsGreyPalettedAndAlphaPicturesAsRgb) {
    QImage grey(3, 2, QImage::Format_Grayscale8);
    grey.fill(QColor(90, 90, 90));
    QImage alpha(3, 2, QImage::Format_ARGB32);
    alpha.fill(QColor(10, 200, 30, 255));
    alpha.setPixelColor(2, 1, QColor(250, 5, 7, 255));
    QImage paletted = alpha.convertToFormat(QImage::Format_Indexed8);

    for (const QImage& image : {grey, alpha, paletted}) {
        const auto bytes = png_bytes_from_qt(image);
        const auto decoded = decode_png(bytes.data(), bytes.size());
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->width, 3);
        EXPECT_EQ(decoded->height, 2);
        for (int y = 0; y < 2; ++y) {
            for (int x = 0; x < 3; ++x) {
                const QColor want = image.pixelColor(x, y);
                EXPECT_EQ(decoded->at(x, y), (Rgb{static_cast<std::uint8_t>(want.red()),
                                                  static_cast<std::uint8_t>(want.green()),
                                                  static_cast<std::uint8_t>(want.blue())}));
            }
        }
    }
}

TEST(DecodePng, GarbageGivesNothing) {
    const std::vector<std::uint8_t> empty;
    EXPECT_FALSE(decode_png(nullptr, 0).has_value());
    EXPECT_FALSE(decode_png(empty.data(), empty.size()).has_value());
    const std::vector<std::uint8_t> text{'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g', '!'};
    EXPECT_FALSE(decode_png(text.data(), text.size()).has_value());

    QImage image(8, 8, QImage::Format_RGB888);
    image.fill(Qt::red);
    const auto good = png_bytes_from_qt(image);
    ASSERT_TRUE(decode_png(good.data(), good.size()).has_value());
    // Cut anywhere: at the signature, in the header, in the pixel data.
    for (std::size_t size : {std::size_t{8}, std::size_t{20}, std::size_t{40}, good.size() - 13}) {
        EXPECT_FALSE(decode_png(good.data(), size).has_value()) << size;
    }
    // A good signature and header followed by noise.
    std::vector<std::uint8_t> noisy(good.begin(), good.begin() + 33);
    for (int i = 0; i < 200; ++i)
        noisy.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    EXPECT_FALSE(decode_png(noisy.data(), noisy.size()).has_value());
    // A damaged checksum of the header chunk.
    std::vector<std::uint8_t> damaged = good;
    damaged[29] ^= 0xFF;
    EXPECT_FALSE(decode_png(damaged.data(), damaged.size()).has_value());
}

}  // namespace
}  // namespace quillon::testing
