#include "platform/window/fonts.hpp"

#include <QFontDatabase>

namespace quillon {

QFont control_font() {
    struct Choice {
        const char* family;
        int pixels;
    };
    constexpr Choice choices[] = {{"DejaVu Sans Condensed", 10}, {"DejaVu Sans", 9}};
    QFont font;
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(9);
    for (const Choice& choice : choices) {
        const QString family = QString::fromUtf8(choice.family);
        if (QFontDatabase::hasFamily(family)) {
            font.setFamily(family);
            font.setPixelSize(choice.pixels);
            break;
        }
    }
    return font;
}

}  // namespace quillon
