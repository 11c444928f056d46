// The log and the window's notifications: the log file with its levels, line format and rotation;
// the file level kept in the user's settings; the messages posted to the window.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QSettings>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <new>
#include <optional>
#include <string>
#include <tuple>

#include "log/client_text.h"
#include "log/event_sink.h"
#include "log/line_echo.h"
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

constexpr std::time_t kClockStart = 1772719629;
std::time_t clockNow = kClockStart;                    // the logger's clock, moved by tests
const std::string kStamp = "2026-03-05 14:07:09    ";  // kClockStart's, in UTC
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
        clockNow = kClockStart;
        auto log = std::make_unique<Logger>(store_, [] { return clockNow; });
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

TEST_F(LoggerTest, FailedRotationAppendsRetriesAMinuteLaterAndStopsTheFileAt16Mebibytes) {
    // A non-empty directory in the backup's place cannot be deleted, even by root.
    std::filesystem::create_directory(backupPath_);
    scratch_.write("Quillet.log.bak/keep", "x");
    scratch_.write("Quillet.log", kMebibyte + "o");
    const auto log = openLogger(logPath_);
    log->write(6, "kept while the backup is in the way");
    std::filesystem::remove_all(backupPath_);
    clockNow += 59;  // not tried again within the minute
    log->write(6, "a");
    const auto kept = kMebibyte + "o" + kStamp + "kept while the backup is in the way\n" +
                      "2026-03-05 14:08:08    a\n";
    EXPECT_EQ(contentOf(logPath_), kept);
    clockNow += 1;
    log->write(6, "after the retried rotation");
    EXPECT_EQ(contentOf(backupPath_), kept);
    EXPECT_EQ(contentOf(logPath_), "2026-03-05 14:08:09    after the retried rotation\n");

    // Past 16 MiB, one line says so and the file takes no more; the window goes on.
    std::filesystem::remove(backupPath_);
    std::filesystem::create_directories(backupPath_ + "/in-the-way");
    std::filesystem::resize_file(logPath_, Logger::kStopAbove + 1);
    log->open(logPath_);
    for (const auto* text : {"x", "y"}) {
        clockNow += 61;
        log->write(5, text);
    }
    EXPECT_EQ(std::filesystem::file_size(logPath_), Logger::kStopAbove + 1 + kStamp.size() + 48);
    EXPECT_EQ(posted().size(), 2u);
    std::filesystem::remove_all(backupPath_);
    clockNow += 60;
    log->write(6, "z");
    EXPECT_EQ(contentOf(logPath_), "2026-03-05 14:11:11    z\n");
}

TEST(ClientText, ControlBytesAreEscapedEverythingElseKeptAndLongTextCut) {
    const std::pair<std::string, std::string> escapes[] = {
        {"boot/pxelinux.0", "boot/pxelinux.0"},
        {"a\\b %s \xC3\xA9", "a\\b %s \xC3\xA9"},
        {std::string("\0\x01\t\r\n\x1b\x1f\x20\x7e\x7f\x80", 11),
         "\\x00\\x01\\x09\\x0D\\x0A\\x1B\\x1F ~\\x7F\x80"}};
    for (const auto& [text, escaped] : escapes) {
        EXPECT_EQ(escapeClientText(text), escaped);
    }
    const std::tuple<std::size_t, std::size_t, std::string> cuts[] = {
        {100, 100, std::string(100, 'c')},
        {101, 100, std::string(97, 'c') + "..."},
        {49, 48, std::string(45, 'c') + "..."},
        {48, 48, std::string(48, 'c')}};
    for (const auto& [length, limit, cut] : cuts) {
        EXPECT_EQ(cutClientText(std::string(length, 'c'), limit), cut);
    }
}

TEST(LineEcho, AStalledReaderNeverHoldsUpTheWriterAndLearnsWhatItMissed) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    std::FILE* stream = ::fdopen(pipeEnds[1], "w");
    const std::string line(200, 'l');
    int posted = 0;
    {
        LineEcho echo(stream, 100);
        // Nobody reads: the pipe fills, then the queue, and then lines are counted.
        auto posting = std::async(std::launch::async, [&] {
            for (; posted < 2000; ++posted) {
                echo.post(std::make_unique<EngineMessage>(LogLineMessage{line}));
            }
        });
        ASSERT_EQ(posting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        std::string read;
        char buffer[65536];
        int shown = 0, unshown = 0;
        while (shown + unshown < posted) {
            const auto count = ::read(pipeEnds[0], buffer, sizeof buffer);
            ASSERT_GT(count, 0);
            read.append(buffer, static_cast<std::size_t>(count));
            for (auto end = read.find('\n'); end != std::string::npos; end = read.find('\n')) {
                const auto text = read.substr(0, end);
                read.erase(0, end + 1);
                if (text == line) {
                    ++shown;
                } else {
                    // A writer that was held up more than once reports each time it caught up.
                    int missed = 0;
                    ASSERT_EQ(std::sscanf(text.c_str(), "(%d lines not shown)", &missed), 1);
                    unshown += missed;
                }
            }
        }
        EXPECT_GT(unshown, 0);
        EXPECT_EQ(shown + unshown, 2000);
    }
    std::fclose(stream);
    ::close(pipeEnds[0]);
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
