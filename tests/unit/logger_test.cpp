#include "log/logger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "allocation_count.h"
#include "fakes.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::AllocationCount;
using testing::MemoryFileLevelStore;
using testing::RecordingMessageWindow;
using testing::ScratchDirectory;

constexpr std::time_t kMarchFifth2026At140709 = 1772719629;  // UTC
constexpr std::time_t kFebruaryThird2001At040506 = 981173106;
constexpr std::size_t kStampAndBlanks = 23;  // "2026-03-05 14:07:09" and four blanks
constexpr std::size_t kMebibyte = 1048576;

std::time_t clockValue = kMarchFifth2026At140709;
std::time_t fixedClock() {
    return clockValue;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// The texts of the log lines posted to the window, oldest first; other messages fail the test.
std::vector<std::string> postedLines(RecordingMessageWindow& window) {
    std::vector<std::string> lines;
    for (const auto& message : window.take()) {
        const auto* line = std::get_if<LogLineMessage>(message.get());
        EXPECT_NE(line, nullptr) << "a message other than a log line was posted";
        if (line != nullptr) {
            lines.push_back(line->line);
        }
    }
    return lines;
}

/// The lines of a log file without their time stamps.
std::vector<std::string> fileTexts(const std::string& content) {
    std::vector<std::string> texts;
    std::istringstream in(content);
    for (std::string line; std::getline(in, line);) {
        texts.push_back(line.size() >= kStampAndBlanks ? line.substr(kStampAndBlanks) : line);
    }
    return texts;
}

/// Runs each test with the local time zone set to UTC, so that the fixed clock gives a fixed
/// time stamp, and puts the zone back afterwards.
class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* zone = std::getenv("TZ")) {
            savedZone_ = zone;
        }
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        clockValue = kMarchFifth2026At140709;
    }

    void TearDown() override {
        if (savedZone_) {
            ::setenv("TZ", savedZone_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

    std::string logPath() const { return scratch_.path("Quillet.log"); }
    std::string backupPath() const { return logPath() + ".bak"; }

    /// Writes a log file of size bytes, as an earlier run would have left it.
    void writeLogOfSize(std::size_t size) const {
        scratch_.write("Quillet.log", std::string(size, 'o'));
    }

    /// A logger on the scratch log file with its window attached at the default levels.
    std::unique_ptr<Logger> openLogger() {
        auto log = std::make_unique<Logger>(store_, &fixedClock);
        log->open(logPath());
        log->attachWindow(&window_);
        return log;
    }

    ScratchDirectory scratch_;
    MemoryFileLevelStore store_{6};
    RecordingMessageWindow window_;

  private:
    std::optional<std::string> savedZone_;
};

TEST_F(LoggerTest, FileLevelIsReadOnceAndTheMissingDefaultIsWrittenBack) {
    struct Case {
        std::optional<std::int32_t> stored;
        std::int32_t expectedLevel;
        int expectedWrites;
    };
    const Case cases[] = {
        {std::nullopt, 6, 1}, {7, 7, 0}, {6, 6, 0}, {0, 0, 0}, {-3, -3, 0},
    };
    for (const auto& c : cases) {
        MemoryFileLevelStore store(c.stored);
        const Logger log(store, &fixedClock);
        EXPECT_EQ(log.fileLevel(), c.expectedLevel);
        EXPECT_EQ(log.windowLevel, 5);
        EXPECT_EQ(store.writes, c.expectedWrites);
        EXPECT_EQ(store.level, c.expectedLevel);
    }
}

TEST_F(LoggerTest, EachSinkTakesTheLinesAtOrBelowItsLevel) {
    struct Case {
        std::int32_t fileLevel;
        std::int32_t windowLevel;
        std::set<int> toFile;
        std::set<int> toWindow;
    };
    const Case cases[] = {
        {6, 5, {3, 4, 5, 6}, {3, 4, 5}},
        {7, 5, {3, 4, 5, 6, 7}, {3, 4, 5}},
        {0, 5, {}, {3, 4, 5}},
        {-1, 5, {}, {3, 4, 5}},
        {6, 7, {3, 4, 5, 6}, {3, 4, 5, 6, 7}},
        {6, -1, {3, 4, 5, 6}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "file level " << c.fileLevel << ", window level " << c.windowLevel);
        std::filesystem::remove(logPath());
        MemoryFileLevelStore store(c.fileLevel);
        Logger log(store, &fixedClock);
        log.open(logPath());
        log.attachWindow(&window_);
        log.windowLevel = c.windowLevel;
        for (int level = 3; level <= 7; ++level) {
            log.write(level, "level " + std::to_string(level));
        }
        std::vector<std::string> expectedFile;
        std::vector<std::string> expectedWindow;
        for (int level = 3; level <= 7; ++level) {
            const auto text = "level " + std::to_string(level);
            if (c.toFile.contains(level)) {
                expectedFile.push_back(text);
            }
            if (c.toWindow.contains(level)) {
                expectedWindow.push_back("2026-03-05 14:07:09    " + text);
            }
        }
        EXPECT_EQ(fileTexts(readAll(logPath())), expectedFile);
        EXPECT_EQ(postedLines(window_), expectedWindow);
    }
}

TEST_F(LoggerTest, LineIsTimeStampFourBlanksAndTextWithNewlineOnlyInTheFile) {
    const auto log = openLogger();
    log->write(5, "Quillet Server Ready...");
    EXPECT_EQ(readAll(logPath()), "2026-03-05 14:07:09    Quillet Server Ready...\n");
    EXPECT_EQ(postedLines(window_),
              std::vector<std::string>{"2026-03-05 14:07:09    Quillet Server Ready..."});
}

TEST_F(LoggerTest, FormatLineWritesStampAndTextCutToFitWithTerminator) {
    struct Case {
        std::time_t when;
        std::string text;
        std::size_t capacity;
        std::string expected;
    };
    const Case cases[] = {
        {kMarchFifth2026At140709, "Quillet Server Ready...", 1024,
         "2026-03-05 14:07:09    Quillet Server Ready..."},
        {kFebruaryThird2001At040506, "x", 1024, "2001-02-03 04:05:06    x"},
        {kMarchFifth2026At140709, "", 1024, "2026-03-05 14:07:09    "},
        {kMarchFifth2026At140709, "abc", 25, "2026-03-05 14:07:09    a"},
        {kMarchFifth2026At140709, "abc", 24, "2026-03-05 14:07:09    "},
        {kMarchFifth2026At140709, "abc", 10, "2026-03-0"},
        {kMarchFifth2026At140709, "abc", 1, ""},
        {kMarchFifth2026At140709, "abc", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "capacity " << c.capacity << ", text " << c.text);
        std::vector<char> buffer(c.capacity, '#');
        const auto length = Logger::formatLine(buffer, c.when, c.text);
        EXPECT_EQ(length, c.expected.size());
        if (c.capacity > 0) {
            ASSERT_LT(length, buffer.size());
            EXPECT_EQ(std::string(buffer.data(), length), c.expected);
            EXPECT_EQ(buffer[length], '\0');
        }
    }
}

TEST_F(LoggerTest, TextOf2000CharactersIsCutTo1023CharacterLine) {
    const auto log = openLogger();
    const std::string text(2000, 'x');
    log->write(4, text);

    const auto expected = "2026-03-05 14:07:09    " + text.substr(0, 1023 - kStampAndBlanks);
    ASSERT_EQ(expected.size(), 1023u);
    EXPECT_EQ(postedLines(window_), std::vector<std::string>{expected});
    EXPECT_EQ(readAll(logPath()), expected + "\n");
}

TEST_F(LoggerTest, PercentSignsAndLineBreaksInTheTextPassUnchanged) {
    const auto log = openLogger();
    const std::string text = "100% of %s %d %n %% done\nsecond line\r\nthird";
    log->write(5, text);
    EXPECT_EQ(readAll(logPath()), "2026-03-05 14:07:09    " + text + "\n");
    EXPECT_EQ(postedLines(window_), std::vector<std::string>{"2026-03-05 14:07:09    " + text});
}

TEST_F(LoggerTest, LogOfExactlyOneMebibyteIsNotRotated) {
    writeLogOfSize(kMebibyte);
    const auto log = openLogger();
    log->write(6, "one more");

    EXPECT_FALSE(std::filesystem::exists(backupPath()));
    const auto content = readAll(logPath());
    EXPECT_EQ(content.size(), kMebibyte + kStampAndBlanks + std::string("one more\n").size());
    EXPECT_TRUE(content.ends_with("    one more\n"));
}

TEST_F(LoggerTest, LogPastOneMebibyteIsRotatedBeforeTheNextLineWhichStartsTheNewFile) {
    writeLogOfSize(kMebibyte);
    const auto log = openLogger();
    log->write(6, "carries the file past the limit");
    log->write(6, "first line of the new file");

    const auto backup = readAll(backupPath());
    EXPECT_EQ(backup.size(), kMebibyte + kStampAndBlanks + 32);
    EXPECT_TRUE(backup.ends_with("    carries the file past the limit\n"));
    EXPECT_EQ(readAll(logPath()), "2026-03-05 14:07:09    first line of the new file\n");
}

TEST_F(LoggerTest, OversizeLogIsRotatedAtOpenAndAnOlderBackupReplaced) {
    scratch_.write("Quillet.log.bak", "older backup\n");
    writeLogOfSize(kMebibyte + 1);
    const auto log = openLogger();

    EXPECT_EQ(readAll(backupPath()), std::string(kMebibyte + 1, 'o'));
    ASSERT_TRUE(std::filesystem::exists(logPath()));
    EXPECT_EQ(std::filesystem::file_size(logPath()), 0u);

    log->write(5, "after the rotation");
    EXPECT_EQ(readAll(logPath()), "2026-03-05 14:07:09    after the rotation\n");
}

TEST_F(LoggerTest, FailedRotationKeepsTheLogAppendsToItAndRetriesWithALaterLine) {
    // A non-empty directory in the backup's place cannot be deleted, even by root.
    std::filesystem::create_directory(backupPath());
    scratch_.write("Quillet.log.bak/keep", "x");
    writeLogOfSize(kMebibyte + 1);
    const auto log = openLogger();

    EXPECT_EQ(readAll(logPath()), std::string(kMebibyte + 1, 'o')) << "the log was emptied";
    log->write(6, "kept while the backup is in the way");
    const auto kept = std::string(kMebibyte + 1, 'o') +
                      "2026-03-05 14:07:09    kept while the backup is in the way\n";
    EXPECT_EQ(readAll(logPath()), kept);

    std::filesystem::remove_all(backupPath());
    log->write(6, "after the retried rotation");
    EXPECT_EQ(readAll(backupPath()), kept);
    EXPECT_EQ(readAll(logPath()), "2026-03-05 14:07:09    after the retried rotation\n");
}

TEST_F(LoggerTest, UnopenableLogFileLeavesTheWindowItsLines) {
    Logger log(store_, &fixedClock);
    log.open(scratch_.path("missing-directory/Quillet.log"));
    log.attachWindow(&window_);
    log.write(5, "still shown");
    log.write(6, "goes nowhere");

    EXPECT_EQ(postedLines(window_), std::vector<std::string>{"2026-03-05 14:07:09    still shown"});
    EXPECT_FALSE(std::filesystem::exists(scratch_.path("missing-directory")));
}

TEST_F(LoggerTest, FailedFileWriteLeavesTheWindowItsLines) {
    Logger log(store_, &fixedClock);
    log.open("/dev/full");  // every write fails: no space left
    log.attachWindow(&window_);
    log.write(5, "first");
    log.write(5, "second");

    EXPECT_EQ(postedLines(window_), (std::vector<std::string>{"2026-03-05 14:07:09    first",
                                                              "2026-03-05 14:07:09    second"}));
}

TEST_F(LoggerTest, WithoutWindowLinesGoToTheFileAlone) {
    Logger log(store_, &fixedClock);
    log.open(logPath());
    log.write(3, "Bind failed, Maybe Port 69 already in use: 0x00000062");
    log.attachWindow(&window_);
    log.attachWindow(nullptr);
    log.write(5, "Quillet Server Ready...");

    EXPECT_EQ(window_.count(), 0u);
    EXPECT_EQ(fileTexts(readAll(logPath())),
              (std::vector<std::string>{"Bind failed, Maybe Port 69 already in use: 0x00000062",
                                        "Quillet Server Ready..."}));
}

TEST_F(LoggerTest, RefusedLinePostIsDestroyedBeforeWriteReturnsAndTheFileStillGetsIt) {
    const auto log = openLogger();
    window_.refuse = true;
    std::int64_t allocations = 0;
    std::int64_t releases = 0;
    {
        const AllocationCount count;
        log->write(5, "a line long enough that its copy cannot live in a small-string buffer");
        allocations = count.allocations();
        releases = count.releases();
    }
    EXPECT_GT(allocations, 0);
    EXPECT_EQ(releases, allocations) << "the refused line was not destroyed";
    EXPECT_EQ(fileTexts(readAll(logPath())),
              std::vector<std::string>{
                  "a line long enough that its copy cannot live in a small-string buffer"});
}

TEST_F(LoggerTest, LineThatNoSinkTakesAllocatesNothing) {
    const auto log = openLogger();
    Logger closed(store_, &fixedClock);  // no file, no window
    std::int64_t allocations = 0;
    {
        const AllocationCount count;
        log->write(7, "client 10.1.2.3 (1069): boot.bin, Transmit in Progress, 200 blocks sent...");
        closed.write(3, "Bind failed, Maybe Port 69 already in use: 0x00000062");
        allocations = count.allocations();
    }
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(window_.count(), 0u);
    EXPECT_EQ(readAll(logPath()), "");
}

}  // namespace
}  // namespace quillet
