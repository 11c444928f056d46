#include "settings/settings_level_store.h"

#include <QSettings>
#include <QVariant>

namespace quillet {
namespace {

constexpr char kOrganisation[] = "Carrowmore";
constexpr char kApplication[] = "Quillet";
constexpr char kFileLevelKey[] = "LOG_FILE_LEVEL";

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

void SettingsLevelStore::writeFileLevel(std::int32_t level) {
    QSettings settings(kOrganisation, kApplication);
    settings.setValue(kFileLevelKey, level);
    settings.sync();
}

}  // namespace quillet
