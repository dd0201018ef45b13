#include "ui/qt/images.hpp"

#include <QPixmap>

#include <utility>
#include <vector>

namespace quillon {

QImage to_qimage(const RgbImage& image) {
    if (image.width <= 0 || image.height <= 0) return {};
    QImage out(image.width, image.height, QImage::Format_RGB888);
    const auto stride = static_cast<std::size_t>(image.width) * 3;
    for (int y = 0; y < image.height; ++y) {
        std::copy_n(image.pixels.begin() + static_cast<std::ptrdiff_t>(stride * y), stride,
                    out.scanLine(y));
    }
    return out;
}

QIcon to_row_icon(const RgbImage& image) {
    QImage argb = to_qimage(image).convertToFormat(QImage::Format_ARGB32);
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
