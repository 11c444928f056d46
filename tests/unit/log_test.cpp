// The log and the window's notifications: the log file with its levels, line format and rotation;
// the file level kept in the user's settings; the messages posted to the window.
#include <gtest/gtest.h>

#include <QSettings>
#include <QString>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <tuple>

#include "log/event_sink.h"
#include "log/logger.h"
#include "settings/settings_level_store.h"
#include "test_support.h"

// The test program's global allocation functions: the usual ones, counting this thread's calls.
// Array and nothrow forms reach these.
static thread_local std::int64_t allocationsMade = 0;
static thread_local std::int64_t releasesMade = 0;

void* operator new(std::size_t size) {
    ++allocationsMade;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    releasesMade += memory != nullptr ? 1 : 0;
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    ::operator delete(memory);
}

namespace quillet {
namespace {

using namespace testing;

/// Keeps the messages posted to it, or refuses them (destroying them, as a failed post does).
struct RecordingMessageWindow final : MessageWindow {
    bool post(std::unique_ptr<EngineMessage> message) override {
        if (!refuse) {
            messages.push_back(std::move(message));
        }
        return !refuse;
    }
    bool refuse = false;
    std::vector<std::unique_ptr<EngineMessage>> messages;
};

const std::string kStamp = "2026-03-05 14:07:09    ";  // the fixed clock's, in UTC
const std::string kMebibyte(1048576, 'o');

class LoggerTest : public ::testing::Test {
  protected:
    LoggerTest() {
        ::setenv("TZ", "UTC", 1);  // for the fixed clock's stamp; it stays for the whole program
        ::tzset();
        useSettingsIn(scratch_.path("settings"));
    }

    /// Points the user's settings at a scratch directory, never at the real ones.
    static void useSettingsIn(const std::string& path) {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(path));
    }

    std::unique_ptr<Logger> openLogger(const std::string& fileName) {
        auto log = std::make_unique<Logger>(store_, [] { return std::time_t{1772719629}; });
        log->open(fileName);
        log->attachWindow(&window_);
        return log;
    }

    /// The lines posted since the last call.
    Lines posted() {
        Lines lines;
        for (const auto& message : std::exchange(window_.messages, {})) {
            lines.push_back(std::get<LogLineMessage>(*message).line);
        }
        return lines;
    }

    ScratchDirectory scratch_;
    const std::string logPath_ = scratch_.path("Quillet.log");
    const std::string backupPath_ = logPath_ + ".bak";
    SettingsLevelStore store_;
    RecordingMessageWindow window_;
};

TEST_F(LoggerTest, FileLevelComesFromTheSettingsAndEachSinkTakesTheLinesUpToItsLevel) {
    // The value in the settings file (none: no file), the file's level (a missing value or one
    // that is no number gives 6, written back), and the window's level.
    const std::tuple<std::optional<std::string>, int, int> cases[] = {
        {std::nullopt, 6, 5}, {"7", 7, 5}, {"seven", 6, 7},
        {"", 6, -1},          {"0", 0, 5}, {"-1", -1, 5}};
    for (const auto& [stored, fileLevel, windowLevel] : cases) {
        SCOPED_TRACE(stored.value_or("no settings file"));
        // Settings of their own for each case: the settings layer caches a file it has read.
        const auto settings = scratch_.path(stored.value_or("none") + "-settings");
        useSettingsIn(settings);
        std::filesystem::create_directories(settings + "/Carrowmore");
        if (stored) {
            std::ofstream(settings + "/Carrowmore/Quillet.conf")
                << "[General]\nLOG_FILE_LEVEL=" << *stored;
        }
        std::filesystem::remove(logPath_);
        const auto log = openLogger(logPath_);
        EXPECT_EQ(log->fileLevel(), fileLevel);
        EXPECT_EQ(SettingsLevelStore().readFileLevel(), fileLevel);
        EXPECT_EQ(log->windowLevel, 5);
        log->windowLevel = windowLevel;
        std::string toFile;
        Lines toWindow;
        for (int level = 3; level <= 7; ++level) {
            log->write(level, "level " + std::to_string(level));
            const auto line = kStamp + "level " + std::to_string(level);
            toFile += level <= fileLevel ? line + "\n" : "";
            toWindow.insert(toWindow.end(), level <= windowLevel, line);
        }
        EXPECT_EQ(contentOf(logPath_), toFile);
        EXPECT_EQ(posted(), toWindow);
    }
}

TEST_F(LoggerTest, LineIsTheStampFourBlanksAndTheTextUnchangedCutTo1023Characters) {
    const std::string formatted = "100% of %s %d %n %% done\nsecond line\r\nthird";
    const std::string longText(2000, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {"Quillet Server Ready...", "Quillet Server Ready..."},
        {formatted, formatted},
        {longText, longText.substr(0, 1023 - kStamp.size())}};
    for (const auto& [text, kept] : cases) {
        std::filesystem::remove(logPath_);
        openLogger(logPath_)->write(5, text);
        EXPECT_EQ(contentOf(logPath_), kStamp + kept + "\n");
        EXPECT_EQ(posted(), Lines{kStamp + kept});
    }
}

TEST_F(LoggerTest, RotationPastOneMebibyteBeforeTheNextLineAndAtOpen) {
    scratch_.write("Quillet.log.bak", "older backup\n");
    scratch_.write("Quillet.log", kMebibyte);
    const auto log = openLogger(logPath_);
    log->write(6, "carries the file past the limit");  // exactly 1 MiB before it: kept
    const auto full = kMebibyte + kStamp + "carries the file past the limit\n";
    EXPECT_EQ(contentOf(logPath_), full);
    EXPECT_EQ(contentOf(backupPath_), "older backup\n");
    log->write(6, "first line of the new file");
    EXPECT_EQ(contentOf(backupPath_), full);
    EXPECT_EQ(contentOf(logPath_), kStamp + "first line of the new file\n");

    scratch_.write("Quillet.log", kMebibyte + "o");
    log->open(logPath_);
    EXPECT_EQ(contentOf(backupPath_), kMebibyte + "o");
    EXPECT_EQ(std::filesystem::file_size(logPath_), 0u);
}

TEST_F(LoggerTest, FailedRotationKeepsTheLogAppendsToItAndRetriesWithALaterLine) {
    // A non-empty directory in the backup's place cannot be deleted, even by root.
    std::filesystem::create_directory(backupPath_);
    scratch_.write("Quillet.log.bak/keep", "x");
    scratch_.write("Quillet.log", kMebibyte + "o");
    const auto log = openLogger(logPath_);
    log->write(6, "kept while the backup is in the way");
    const auto kept = kMebibyte + "o" + kStamp + "kept while the backup is in the way\n";
    EXPECT_EQ(contentOf(logPath_), kept);
    std::filesystem::remove_all(backupPath_);
    log->write(6, "after the retried rotation");
    EXPECT_EQ(contentOf(backupPath_), kept);
    EXPECT_EQ(contentOf(logPath_), kStamp + "after the retried rotation\n");
}

TEST_F(LoggerTest, AMissingFailingOrRefusingSinkLeavesTheOtherItsLines) {
    for (const auto& fileName : {scratch_.path("missing/Quillet.log"), std::string("/dev/full")}) {
        const auto log = openLogger(fileName);
        log->write(5, "shown");
        log->write(5, "shown");
        EXPECT_EQ(posted(), (Lines{kStamp + "shown", kStamp + "shown"})) << fileName;
    }
    EXPECT_FALSE(std::filesystem::exists(scratch_.path("missing")));
    const auto log = openLogger(logPath_);
    log->attachWindow(nullptr);
    log->write(5, "no window");
    log->attachWindow(&window_);
    window_.refuse = true;  // the refused line is destroyed before write returns
    const std::string text = "a line too long for the copy to live in a small-string buffer";
    const auto allocations = allocationsMade, releases = releasesMade;
    log->write(5, text);
    EXPECT_GT(allocationsMade - allocations, 0);
    EXPECT_EQ(releasesMade - releases, allocationsMade - allocations);
    EXPECT_TRUE(posted().empty());
    EXPECT_EQ(contentOf(logPath_), kStamp + "no window\n" + kStamp + text + "\n");
}

TEST(EventSink, EachOperationPostsOneMessageWithItsPayload) {
    RecordingMessageWindow window;
    EventSink sink;
    sink.attachWindow(&window);
    const auto other = client(0xC0A80001, 65535);  // another client than the started one
    const std::time_t before = std::time(nullptr);
    EXPECT_TRUE(sink.transferStarted(kClient, "boot/pxelinux.0", 33553920));
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(sink.transferProgress(other, 20) && sink.transferDone(other) &&
                sink.transferFailed(other, "") && sink.serverError("Bind failed"));

    ASSERT_EQ(window.messages.size(), 5u);
    const auto& started = std::get<TransferStartedMessage>(*window.messages[0]);
    ASSERT_NE(started.record, nullptr);
    const auto& record = *started.record;
    EXPECT_EQ(std::tie(started.endpoint, record.endpoint, record.fileName, record.fileSize,
                       record.elapsedSeconds),
              std::make_tuple(kClient, kClient, std::string("boot/pxelinux.0"), 33553920, 0u));
    EXPECT_TRUE(record.startTime >= before && record.startTime <= after);
    const auto& progress = std::get<TransferProgressMessage>(*window.messages[1]);
    EXPECT_EQ(std::tie(progress.endpoint, progress.blocksSent), std::make_tuple(other, 20));
    EXPECT_EQ(std::get<TransferDoneMessage>(*window.messages[2]).endpoint, other);
    const auto& failed = std::get<TransferFailedMessage>(*window.messages[3]);
    EXPECT_EQ(std::tie(failed.endpoint, failed.reason), std::make_tuple(other, std::string()));
    EXPECT_EQ(std::get<ServerErrorMessage>(*window.messages[4]).text, "Bind failed");
}

TEST(EventSink, WithoutAWindowEveryOperationIsFalseAndAllocatesNothing) {
    EventSink sink;
    const std::string text = "a text too long for any small-string buffer";
    const auto allocations = allocationsMade;
    EXPECT_FALSE(sink.transferStarted(kClient, text, 1) || sink.transferProgress(kClient, 10) ||
                 sink.transferDone(kClient) || sink.transferFailed(kClient, text) ||
                 sink.serverError(text));
    EXPECT_EQ(allocationsMade - allocations, 0);
}

}  // namespace
}  // namespace quillet
