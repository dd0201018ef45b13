#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

#include <vector>

#include "ui/operator_view.hpp"

namespace quillon {

// The picture as a Qt image, pixel for pixel.
QImage to_qimage(const RgbImage& image);

// Where the row icon of that number lies in the resource, ":/icons/<name>.png";
// empty for no_icon or an unknown number.
QString row_icon_path(int icon);

// The row icons read from the resource, index = icon number. Icons 0 to 3
// are 16 x 16, icons 4 and 5 are 12 x 12.
std::vector<QImage> row_icon_images();

// A row icon: the picture with the background around its drawing made
// transparent (the region of the corner colour that touches a corner), so
// that it sits well on a selected row.
QIcon to_row_icon(const QImage& image);

}  // namespace quillon
