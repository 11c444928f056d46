// "Settings...": the stored settings that users change without a text editor.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;

namespace quillet::ui {

/// Shows the log file's level (1 to 7, each with the lines it adds) and whether transfer options
/// are negotiated, as stored; OK writes both (LOG_FILE_LEVEL and TFTP_OPTIONS) to the stored
/// settings and nothing else, Cancel writes nothing. They take effect at the next start.
class SettingsDialog final : public QDialog {
    Q_OBJECT

  public:
    explicit SettingsDialog(QWidget* parent = nullptr);

    /// Writes the two settings, then closes the dialog.
    void accept() override;

  private:
    QComboBox* fileLevel_;        // owned by the dialog
    QCheckBox* transferOptions_;  // owned by the dialog
};

}  // namespace quillet::ui
