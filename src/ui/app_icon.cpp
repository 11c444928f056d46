#include "ui/app_icon.h"

// Resources built into a static library are registered only when something refers to them;
// Q_INIT_RESOURCE must stand outside any namespace.
static void registerQuilletResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(quillet);
        return true;
    }();
    (void)registered;
}

namespace quillet::ui {

QIcon appIcon() {
    registerQuilletResources();
    return QIcon(QStringLiteral(":/quillet/quillet.png"));
}

}  // namespace quillet::ui
