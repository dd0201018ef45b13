#pragma once

#include <QFont>

namespace quillon {

// The font that the windows' fixed control sizes are made for: with it every
// caption fits its control in full. The first family present wins, each at
// the size that fits: DejaVu Sans Condensed (fonts-dejavu-extra) at 10
// pixels, DejaVu Sans (fonts-dejavu-core) at 9, else the application's font
// at 9.
QFont control_font();

}  // namespace quillon
