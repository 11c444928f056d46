// The program's icon, from the Qt resources.
#pragma once

#include <QIcon>

namespace quillet::ui {

/// The window's icon and the about box's picture.
QIcon appIcon();

}  // namespace quillet::ui
