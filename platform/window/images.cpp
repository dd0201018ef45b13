#include "platform/window/images.hpp"

#include <QPixmap>

#include <algorithm>
#include <array>
#include <utility>

// The resource is compiled into this static library; without a reference to
// it the linker would leave it out of the program.
static bool register_icon_resource() {
    Q_INIT_RESOURCE(icons);
    return true;
}

namespace quillon {

QImage to_qimage(const RgbImage& image) {
    if (image.width <= 0 || image.height <= 0) return {};
    QImage out(image.width, image.height, QImage::Format_RGB888);
    const auto stride = static_cast<std::size_t>(image.width) * 3;
    for (int y = 0; y < image.height; ++y) {
        std::copy_n(image.pixels.begin() + static_cast<std::ptrdiff_t>(stride) * y,
                    static_cast<std::ptrdiff_t>(stride), out.scanLine(y));
    }
    return out;
}

QString row_icon_path(int icon) {
    // In the order of the icon numbers.
    constexpr std::array<const char*, icon_count> paths{
        ":/icons/client-frame-bad.png", ":/icons/client-frame.png", ":/icons/bus-frame-bad.png",
        ":/icons/bus-frame.png",        ":/icons/client-live.png",  ":/icons/client-ended.png",
    };
    [[maybe_unused]] static const bool registered = register_icon_resource();
    if (icon < 0 || icon >= icon_count) return {};
    return QString::fromLatin1(paths[static_cast<std::size_t>(icon)]);
}

std::vector<QImage> row_icon_images() {
    std::vector<QImage> images;
    images.reserve(icon_count);
    for (int icon = 0; icon < icon_count; ++icon)
        images.emplace_back(row_icon_path(icon));
    return images;
}

QIcon to_row_icon(const QImage& image) {
    QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    if (argb.isNull()) return {};
    const QRgb background = argb.pixel(0, 0);
    // Flood fill from the four corners over pixels of the background colour.
    std::vector<std::pair<int, int>> todo{{0, 0},
                                          {argb.width() - 1, 0},
                                          {0, argb.height() - 1},
                                          {argb.width() - 1, argb.height() - 1}};
    while (!todo.empty()) {
        const auto [x, y] = todo.back();
        todo.pop_back();
        if (x < 0 || y < 0 || x >= argb.width() || y >= argb.height()) continue;
        if (argb.pixel(x, y) != background) continue;
        argb.setPixel(x, y, qRgba(0, 0, 0, 0));
        todo.insert(todo.end(), {{x + 1, y}, {x - 1, y}, {x, y + 1}, {x, y - 1}});
    }
    return QIcon(QPixmap::fromImage(argb));
}

}  // namespace quillon
