// Dialog units: a layout measure that follows the dialog's font, so that fixed layouts scale with
// it. One horizontal unit is a quarter of the font's average character width, one vertical unit
// an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace quillet::ui {

/// Converts rectangles and sizes given in dialog units of one font into pixels.
class DialogUnits {
  public:
    /// Measures the font.
    explicit DialogUnits(const QFont& font);

    /// Horizontal dialog units in pixels.
    int x(int units) const;

    /// Vertical dialog units in pixels.
    int y(int units) const;

    /// A size in dialog units in pixels.
    QSize size(int width, int height) const { return {x(width), y(height)}; }

    /// A rectangle in dialog units in pixels.
    QRect rect(int left, int top, int width, int height) const {
        return {x(left), y(top), x(width), y(height)};
    }

  private:
    int averageCharWidth_;
    int fontHeight_;
};

}  // namespace quillet::ui
