#include "settings/settings_level_store.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QString>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "log/logger.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::ScratchDirectory;

/// Points the user's settings at a scratch directory of the test's own, so that no test ever
/// reads or writes the real user's configuration. Each test gets a fresh directory, and with it
/// a settings file that no earlier test has cached.
class SettingsLevelStoreTest : public ::testing::Test {
  protected:
    SettingsLevelStoreTest() {
        const auto root = QString::fromStdString(scratch_.root().string());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, root);
    }

    /// Where the store keeps its file on this platform.
    std::string settingsFile() const { return scratch_.path("Carrowmore/Quillet.conf"); }

    /// Writes the settings file by hand, as a user editing it would.
    void writeSettings(const std::string& content) const {
        std::filesystem::create_directories(scratch_.path("Carrowmore"));
        std::ofstream(settingsFile(), std::ios::binary) << content;
    }

    std::string readSettings() const {
        std::ifstream in(settingsFile(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    ScratchDirectory scratch_;
    SettingsLevelStore store_;
};

TEST_F(SettingsLevelStoreTest, MissingSettingsFileReadsAsNoLevel) {
    EXPECT_EQ(store_.readFileLevel(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(settingsFile())) << "reading must not create the file";
}

TEST_F(SettingsLevelStoreTest, StoredValueReadsAsLevelOnlyWhenItIsANumber) {
    struct Case {
        const char* content;
        std::optional<std::int32_t> expected;
    };
    const Case cases[] = {
        {"[General]\nLOG_FILE_LEVEL=7\n", 7},
        {"[General]\nLOG_FILE_LEVEL=6\n", 6},
        {"[General]\nLOG_FILE_LEVEL=0\n", 0},
        {"[General]\nLOG_FILE_LEVEL=-1\n", -1},
        {"[General]\nLOG_FILE_LEVEL=seven\n", std::nullopt},
        {"[General]\nLOG_FILE_LEVEL=\n", std::nullopt},
        {"[General]\nOTHER_VALUE=7\n", std::nullopt},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        // A directory per case: the settings layer caches a file it has read.
        const auto root = scratch_.root() / std::to_string(index++);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(root.string()));
        std::filesystem::create_directories(root / "Carrowmore");
        std::ofstream(root / "Carrowmore/Quillet.conf", std::ios::binary) << c.content;
        EXPECT_EQ(store_.readFileLevel(), c.expected);
    }
}

TEST_F(SettingsLevelStoreTest, WrittenLevelIsSavedToTheFileAndReadBack) {
    store_.writeFileLevel(6);
    EXPECT_EQ(readSettings(), "[General]\nLOG_FILE_LEVEL=6\n");
    EXPECT_EQ(store_.readFileLevel(), 6);
    EXPECT_EQ(SettingsLevelStore().readFileLevel(), 6);
}

TEST_F(SettingsLevelStoreTest, LoggerWritesTheDefaultBackWhenTheLevelIsMissing) {
    const Logger log(store_);
    EXPECT_EQ(log.fileLevel(), 6);
    EXPECT_EQ(readSettings(), "[General]\nLOG_FILE_LEVEL=6\n");
}

TEST_F(SettingsLevelStoreTest, LoggerKeepsAStoredLevelAndDoesNotRewriteIt) {
    writeSettings("[General]\nLOG_FILE_LEVEL=7\n");
    const Logger log(store_);
    EXPECT_EQ(log.fileLevel(), 7);
    EXPECT_EQ(readSettings(), "[General]\nLOG_FILE_LEVEL=7\n");
}

}  // namespace
}  // namespace quillet
