#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <algorithm>

namespace quillet::ui {

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    averageCharWidth_ = std::max(1, metrics.averageCharWidth());
    fontHeight_ = std::max(1, metrics.height());
}

// Rounded to the nearest pixel, as the window system converts dialog units.
int DialogUnits::x(int units) const {
    return (units * averageCharWidth_ + 2) / 4;
}

int DialogUnits::y(int units) const {
    return (units * fontHeight_ + 4) / 8;
}

}  // namespace quillet::ui
