// The about box.
#pragma once

#include <QDialog>

namespace quillet::ui {

/// The program's name, version and maker, with its icon and an OK button that closes the box.
class AboutDialog final : public QDialog {
    Q_OBJECT

  public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace quillet::ui
