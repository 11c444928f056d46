#include <QSettings>
#include <QString>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform_support.h"

namespace quillet::test {

void useUtc() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

void useSettingsWithLevel(const std::string& folder, const std::optional<std::string>& level) {
    // A folder of its own each time: the settings layer caches a file it has read.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(folder));
    std::filesystem::create_directories(folder + "/Carrowmore");
    if (level) {
        std::ofstream(folder + "/Carrowmore/Quillet.conf")
            << "[General]\nLOG_FILE_LEVEL=" << *level;
    }
}

}  // namespace quillet::test
