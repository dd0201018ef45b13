#pragma once

#include <QIcon>
#include <QImage>

#include "ui/operator_view.hpp"

namespace quillon {

// The picture as a Qt image, pixel for pixel.
QImage to_qimage(const RgbImage& image);

// A row icon: the picture with the background around its drawing made
// transparent (the region of the corner colour that touches a corner), so
// that it sits well on a selected row.
QIcon to_row_icon(const RgbImage& image);

}  // namespace quillon
