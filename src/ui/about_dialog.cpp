#include "ui/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "quillet_version.h"
#include "ui/app_icon.h"
#include "ui/dialog_units.h"

namespace quillet::ui {

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("About Ravelin"));
    const DialogUnits units(font());
    setFixedSize(units.size(235, 58));

    // Children are owned by the dialog, as Qt requires.
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("icon"));
    picture->setPixmap(appIcon().pixmap(32, 32));
    picture->setGeometry(QRect(QPoint(units.x(11), units.y(17)), QSize(32, 32)));

    auto* version = new QLabel(QStringLiteral("Quillet Version ") + QLatin1String(kVersion), this);
    version->setObjectName(QStringLiteral("version"));
    version->setGeometry(units.rect(44, 10, 119, 8));

    auto* maker = new QLabel(QStringLiteral("Copyright (C) Carrowmore"), this);
    maker->setObjectName(QStringLiteral("maker"));
    maker->setGeometry(units.rect(44, 23, 120, 10));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setGeometry(units.rect(178, 17, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace quillet::ui
