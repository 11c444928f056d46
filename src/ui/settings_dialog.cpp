#include "ui/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <algorithm>
#include <iterator>

#include "log/logger.h"
#include "settings/settings_level_store.h"
#include "window/setting_texts.h"

namespace quillet::ui {

SettingsDialog::SettingsDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      fileLevel_(new QComboBox(this)),
      transferOptions_(new QCheckBox(QString::fromUtf8(window::kTransferOptionsLabel), this)) {
    setWindowTitle(QString::fromUtf8(window::kSettingsTitle));
    for (const auto& choice : window::kFileLevelChoices) {
        fileLevel_->addItem(
            QStringLiteral("%1: %2").arg(choice.level).arg(QString::fromUtf8(choice.adds)),
            choice.level);
    }
    // A stored level outside the choices shows as the nearest one, which writes the same lines.
    const std::int32_t stored =
        SettingsLevelStore().readFileLevel().value_or(Logger::kDefaultFileLevel);
    const std::int32_t lowest = std::begin(window::kFileLevelChoices)->level;
    const std::int32_t highest = std::prev(std::end(window::kFileLevelChoices))->level;
    fileLevel_->setCurrentIndex(fileLevel_->findData(std::clamp(stored, lowest, highest)));
    transferOptions_->setChecked(readTransferOptionsSetting());

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);

    auto* form = new QFormLayout(this);
    form->addRow(QString::fromUtf8(window::kFileLevelLabel), fileLevel_);
    form->addRow(transferOptions_);
    form->addRow(new QLabel(QString::fromUtf8(window::kSettingsNote), this));
    form->addRow(buttons);
}

void SettingsDialog::accept() {
    SettingsLevelStore().writeFileLevel(fileLevel_->currentData().toInt());
    writeTransferOptionsSetting(transferOptions_->isChecked());
    QDialog::accept();
}

}  // namespace quillet::ui
