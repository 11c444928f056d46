#include "settings/settings_level_store.h"

#include <QSettings>
#include <QVariant>

namespace quillet {
namespace {

constexpr char kOrganisation[] = "Carrowmore";
constexpr char kApplication[] = "Quillet";
constexpr char kFileLevelKey[] = "LOG_FILE_LEVEL";
constexpr char kTransferOptionsKey[] = "TFTP_OPTIONS";

}  // namespace

std::optional<std::int32_t> SettingsLevelStore::readFileLevel() {
    const QSettings settings(kOrganisation, kApplication);
    const QVariant value = settings.value(kFileLevelKey);
    if (!value.isValid()) {
        return std::nullopt;
    }
    bool isNumber = false;
    const int level = value.toInt(&isNumber);
    if (!isNumber) {
        return std::nullopt;
    }
    return level;
}

bool readTransferOptionsSetting() {
    const QSettings settings(kOrganisation, kApplication);
    bool isNumber = false;
    return settings.value(kTransferOptionsKey).toInt(&isNumber) == 1 && isNumber;
}

void writeTransferOptionsSetting(bool negotiate) {
    QSettings settings(kOrganisation, kApplication);
    settings.setValue(kTransferOptionsKey, negotiate ? 1 : 0);
    settings.sync();
}

void SettingsLevelStore::writeFileLevel(std::int32_t level) {
    QSettings settings(kOrganisation, kApplication);
    settings.setValue(kFileLevelKey, level);
    settings.sync();
}

}  // namespace quillet
