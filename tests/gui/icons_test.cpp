// The six row icons in the window's resource: the right pictures, named by meaning.

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <cstdint>

#include "platform/window/images.hpp"

namespace quillon::testing {
namespace {

// The row icon as the window reads it from the resource.
QImage resource_icon(int icon) {
    return QImage(row_icon_path(icon));
}

Rgb at(const QImage& image, int x, int y) {
    const QColor c = image.pixelColor(x, y);
    return {static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
            static_cast<std::uint8_t>(c.blue())};
}

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
int drawn_pixels(const QImage& image, int x0, int x1, int y0, int y1) {
    int count = 0;
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x)
            count += is_white(at(image, x, y)) ? 0 : 1;
    }
    return count;
}

// White pixels, the arrow's, in a block of columns of a disc icon.
int white_pixels(const QImage& image, int x0, int x1) {
    int count = 0;
    for (int y = 3; y <= 12; ++y) {
        for (int x = x0; x <= x1; ++x)
            count += is_white(at(image, x, y)) ? 1 : 0;
    }
    return count;
}

TEST(RowIcons, AreSixPngFilesInTheResourceNamedByMeaning) {
    const char* const paths[icon_count] = {
        ":/icons/client-frame-bad.png", ":/icons/client-frame.png", ":/icons/bus-frame-bad.png",
        ":/icons/bus-frame.png",        ":/icons/client-live.png",  ":/icons/client-ended.png",
    };
    const int sides[icon_count] = {16, 16, 16, 16, 12, 12};
    for (int i = 0; i < icon_count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(row_icon_path(i).toStdString(), paths[i]);
        const QImage image = resource_icon(i);
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), QSize(sides[i], sides[i]));
        EXPECT_TRUE(is_white(at(image, 0, 0)));  // the background
    }
    EXPECT_TRUE(row_icon_path(no_icon).isEmpty());
    EXPECT_TRUE(row_icon_path(icon_count).isEmpty());
}

TEST(RowIcons, DiscsHaveTheirColoursAndWhiteArrowsTheirDirections) {
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
        const QImage image = resource_icon(d.icon);
        EXPECT_TRUE(d.colour(at(image, 3, 4)));   // the disc beside the arrow
        EXPECT_TRUE(d.colour(at(image, 12, 4)));  // and on the other side
        EXPECT_TRUE(is_white(at(image, 8, 8)));   // the arrow across the centre
        // The arrow's head, its widest part, lies where it points.
        const int left = white_pixels(image, 2, 6);
        const int right = white_pixels(image, 9, 13);
        EXPECT_EQ(right > left, d.points_right) << "left " << left << ", right " << right;
    }
}

TEST(RowIcons, ClientIconsShowTwoArrowsTheEndedOneBroken) {
    const QImage live = resource_icon(icon_client_live);
    const QImage ended = resource_icon(icon_client_ended);
    EXPECT_TRUE(is_green(at(live, 9, 3)));  // upper arrow's shaft
    EXPECT_TRUE(is_blue(at(live, 2, 9)));   // lower arrow's shaft
    EXPECT_TRUE(is_grey(at(ended, 9, 3)));
    EXPECT_TRUE(is_black(at(ended, 2, 9)));
    for (const QImage* image : {&live, &ended}) {
        // Upper arrow points left, lower arrow points right.
        EXPECT_GT(drawn_pixels(*image, 0, 3, 0, 5), drawn_pixels(*image, 8, 11, 0, 5));
        EXPECT_GT(drawn_pixels(*image, 8, 11, 6, 11), drawn_pixels(*image, 0, 3, 6, 11));
    }
    // Broken in the middle: a gap in both shafts where the live icon is drawn.
    EXPECT_TRUE(is_blue(at(live, 4, 9)));
    EXPECT_TRUE(is_white(at(ended, 4, 9)));
    EXPECT_TRUE(is_green(at(live, 7, 3)));
    EXPECT_FALSE(is_grey(at(ended, 7, 3)));
}

}  // namespace
}  // namespace quillon::testing
