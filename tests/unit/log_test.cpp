// The log and the window's notifications: the log file with its levels, line format and rotation;
// the file level kept in the user's settings; the messages posted to the window.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QSettings>
#include <QString>
#endif

#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <tuple>

#include "daemon/line_echo.h"
#include "log/client_text.h"
#include "log/logger.h"
#include "settings/settings_level_store.h"
#include "test_support.h"
#include "tftp/served_file.h"

namespace quillet {
namespace {

using namespace test;

// Per platform: the newline that ends each line of the log file, and where the settings live.
#ifdef _WIN32
constexpr char kNewline[] = "\r\n";

/// Points the user's settings at a fresh registry key of their own (never the user's real one)
/// and stores there LOG_FILE_LEVEL and TFTP_OPTIONS as given: a number (a DWORD), some other text
/// (a string, which is no level), or nothing.
void useSettingsWithLevel(const std::string& folder, const std::optional<std::string>& level) {
    // HKEY_CURRENT_USER becomes the fresh key for the rest of the program; the override holds the
    // key, so our handle goes at once.
    const std::wstring scratchPath =
        L"Software\\QuilletTests\\" + std::to_wstring(std::hash<std::string>{}(folder));
    HKEY scratch = nullptr;
    ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, scratchPath.c_str());
    ::RegCreateKeyExW(HKEY_CURRENT_USER, scratchPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &scratch, nullptr);
    ::RegOverridePredefKey(HKEY_CURRENT_USER, scratch);
    ::RegCloseKey(scratch);
    if (!level) {
        return;
    }
    char* end = nullptr;
    const auto number = static_cast<DWORD>(std::strtol(level->c_str(), &end, 10));
    const std::wstring text(level->begin(), level->end());
    const bool isNumber = !level->empty() && *end == '\0';
    for (const auto* value : {L"LOG_FILE_LEVEL", L"TFTP_OPTIONS"}) {
        ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Carrowmore\\Quillet", value,
                          isNumber ? REG_DWORD : REG_SZ,
                          isNumber ? static_cast<const void*>(&number) : text.c_str(),
                          isNumber ? sizeof number : DWORD((text.size() + 1) * sizeof(wchar_t)));
    }
}
#else
constexpr char kNewline[] = "\n";

/// Points the user's settings at a fresh file of their own under folder (never the user's real
/// one) and stores there LOG_FILE_LEVEL and TFTP_OPTIONS as given: a number, some other text, or
/// nothing.
void useSettingsWithLevel(const std::string& folder, const std::optional<std::string>& level) {
    // A folder of its own each time: the settings layer caches a file it has read.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(folder));
    std::filesystem::create_directories(folder + "/Carrowmore");
    if (level) {
        std::ofstream(folder + "/Carrowmore/Quillet.conf")
            << "[General]\nLOG_FILE_LEVEL=" << *level << "\nTFTP_OPTIONS=" << *level;
    }
}
#endif

/// Keeps the lines posted to it, or refuses them (destroying them, as a failed post does).
struct RecordingMessageWindow final : MessageWindow {
    bool post(std::unique_ptr<EngineMessage> message) override {
        if (!refuse) {
            lines.push_back(std::get<LogLineMessage>(*message).line);
        }
        return !refuse;
    }
    bool refuse = false;
    Lines lines;
};

const std::string kStamp = "2026-03-05 14:07:09    ";  // the fixed clock's, in UTC
const std::string kMebibyte(1048576, 'o');

class LoggerTest : public ::testing::Test {
  protected:
    LoggerTest() {
        useUtc();  // for the fixed clock's stamp
        useSettingsWithLevel(scratch_.path("settings"), std::nullopt);
    }

    /// A log whose file is opened in folder before the window is attached, as the programs do.
    std::unique_ptr<Logger> openLogger(FileDescriptor folder) {
        auto log = std::make_unique<Logger>(store_, clock_);
        log->open(folder);
        log->attachWindow(&window_);
        return log;
    }
    std::unique_ptr<Logger> openLogger() { return openLogger(folder_.descriptor()); }

    Lines posted() { return std::exchange(window_.lines, {}); }

    ScratchDirectory scratch_;
    const ServedFolder folder_ = ServedFolder::open(scratch_.root);
    const std::string logPath_ = scratch_.path("Quillet.log");
    const std::string backupPath_ = logPath_ + ".bak";
    SettingsLevelStore store_;
    RecordingMessageWindow window_;
    FakeClock clock_{1772719629};
};

TEST_F(LoggerTest, FileLevelComesFromTheSettingsAndEachSinkTakesTheLinesUpToItsLevel) {
    // The value of both settings (none: no file), the file's level (a missing value or one that
    // is no number gives 6, written back), and the window's level. Only 1 turns options on.
    const std::tuple<std::optional<std::string>, int, int> cases[] = {
        {std::nullopt, 6, 5}, {"7", 7, 5}, {"seven", 6, 7}, {"", 6, -1},
        {"0", 0, 5},          {"1", 1, 5}, {"-1", -1, 5}};
    for (const auto& [stored, fileLevel, windowLevel] : cases) {
        SCOPED_TRACE(stored.value_or("no settings file"));
        useSettingsWithLevel(scratch_.path(stored.value_or("none") + "-settings"), stored);
        std::filesystem::remove(logPath_);
        const auto log = openLogger();
        EXPECT_EQ(log->fileLevel(), fileLevel);
        EXPECT_EQ(SettingsLevelStore().readFileLevel(), fileLevel);
        EXPECT_EQ(readTransferOptionsSetting(), stored == "1");
        log->windowLevel = windowLevel;
        // The text goes unchanged (no formatting) after the stamp, cut to 1023 characters.
        std::string toFile;
        Lines toWindow;
        for (int level = 3; level <= 7; ++level) {
            const auto text =
                level == 7 ? std::string(2000, 'x') : std::to_string(level) + "% %s\n";
            log->write(level, text);
            const auto line = kStamp + text.substr(0, 1023 - kStamp.size());
            toFile += level <= fileLevel ? line + kNewline : "";
            toWindow.insert(toWindow.end(), level <= windowLevel, line);
        }
        EXPECT_EQ(contentOf(logPath_), toFile);
        EXPECT_EQ(posted(), toWindow);
    }
}

TEST_F(LoggerTest, RotationPastOneMebibyteBeforeTheNextLineRetriedUntilItWorksAndAtOpen) {
    scratch_.write("Quillet.log", kMebibyte);
    const auto log = openLogger();
    auto full = kMebibyte;
    const auto keeps = [&](const std::string& text) {
        log->write(6, text);
        full += kStamp + text + kNewline;
        EXPECT_EQ(contentOf(logPath_), full);
    };
    keeps("carries the file past the limit");  // exactly 1 MiB before it: kept
    EXPECT_FALSE(std::filesystem::exists(backupPath_));
    // A directory in the backup's place is never replaced.
    std::filesystem::create_directories(backupPath_);
    keeps("kept while the backup is in the way");
    std::filesystem::remove_all(backupPath_);
    keeps("kept: the rotation is tried again a minute later");
    clock_.now += 60;
    log->write(6, "first line of the new file");
    EXPECT_EQ(contentOf(backupPath_), full);
    EXPECT_EQ(contentOf(logPath_),
              "2026-03-05 14:08:09    first line of the new file" + std::string(kNewline));
    scratch_.write("Quillet.log", kMebibyte + "o");
    log->open(folder_.descriptor());
    EXPECT_EQ(contentOf(backupPath_), kMebibyte + "o");  // the older backup replaced
    EXPECT_EQ(std::filesystem::file_size(logPath_), 0u);
}

TEST_F(LoggerTest, ALogThatCannotBeRotatedStopsAt16MebibytesAfterOneLineUntilItCan) {
    std::filesystem::create_directories(backupPath_ + "/in-the-way");
    scratch_.write("Quillet.log", "", Logger::kStopAbove + 1);
    const auto log = openLogger();
    for (const auto* text : {"x", "y"}) {
        clock_.now += 61;
        log->write(5, text);
    }
    // One line says so, and the file takes no more; the window goes on.
    EXPECT_EQ(std::filesystem::file_size(logPath_),
              Logger::kStopAbove + 1 + kStamp.size() + 47 + std::string_view(kNewline).size());
    EXPECT_EQ(posted().size(), 2u);
    std::filesystem::remove_all(backupPath_);
    clock_.now += 60;
    log->write(6, "z");
    EXPECT_EQ(contentOf(logPath_), "2026-03-05 14:10:11    z" + std::string(kNewline));
}

TEST_F(LoggerTest, AMissingFailingOrRefusingSinkLeavesTheOtherItsLines) {
    // No folder, and (where a file's size can be capped) a write that fails: one level-3 line
    // says why, and the window goes on alone.
    openLogger(kNoFileDescriptor)->write(5, "shown");
    auto lines = posted();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with(kStamp + "Log File not opened: error 0x")) << lines[0];
    EXPECT_EQ(lines[1], kStamp + "shown");
#ifndef _WIN32
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit capped{10, limit.rlim_max};
    ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &capped), 0);
    const auto full = openLogger();
    full->write(5, "not written");
    full->write(5, "shown");
    ::setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(posted(), (Lines{kStamp + "Log File not written: error 0x0000001B.",
                               kStamp + "not written", kStamp + "shown"}));
    std::filesystem::remove(logPath_);
    // The folder removed under a full log: the rotation finds no place for a new file.
    std::filesystem::create_directory(scratch_.path("gone"));
    const auto gone = openLogger(ServedFolder::open(scratch_.path("gone")).descriptor());
    scratch_.write("gone/Quillet.log", kMebibyte + "o");
    std::filesystem::remove_all(scratch_.path("gone"));
    gone->write(5, "shown");
    EXPECT_EQ(posted(),
              (Lines{kStamp + "Log File not opened: error 0x00000002.", kStamp + "shown"}));
#endif
    const auto log = openLogger();
    window_.refuse = true;  // the refused line is destroyed before write returns
    log->write(5, "refused");
    EXPECT_TRUE(posted().empty());
    EXPECT_EQ(contentOf(logPath_), kStamp + "refused" + kNewline);
}

// What someone who may write in the folder puts in the log's way, at start or before a rotation:
// the log never writes through it, never blocks on it, and never opens a name it did not just
// move away. The file it makes is private to its owner and group.
TEST_F(LoggerTest, TheFileIsOnlyEverARegularFileOpenedByItsOwnName) {
    const std::string victim = scratch_.path("victim"), away = scratch_.path("away");
    const std::string nowhere = scratch_.path("nowhere");
#ifndef _WIN32
    const auto link = [](const std::string& target, const std::string& at) {
        std::filesystem::create_symlink(target, at);
    };
    const auto fifo = [&] { ::mkfifo(logPath_.c_str(), 0600); };
    int reader = -1;
#endif
    struct Row {
        const char* what;
        std::function<void()> putInTheWay;
        bool atStart;                  // else before a rotation, after the open
        std::string writtenTo = {};    // where the line goes at a rotation
        std::string linesBefore = {};  // what that file held before the line
    };
    const Row rows[] = {
        {"a directory", [&] { std::filesystem::create_directory(logPath_); }, true},
#ifndef _WIN32
        {"a link", [&] { link(victim, logPath_); }, true},
        {"a link to nothing", [&] { link(nowhere, logPath_); }, true},
        {"a FIFO", fifo, true},
        {"a FIFO with a reader",
         [&] {
             fifo();
             reader = ::open(logPath_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         },
         true},
        {"a hard link", [&] { std::filesystem::create_hard_link(victim, logPath_); }, true},
        {"a link at the backup", [&] { link(victim, backupPath_); }, false, logPath_,
         kMebibyte + "o"},
        {"a hard link at the backup",
         [&] { std::filesystem::create_hard_link(victim, backupPath_); }, false, logPath_,
         kMebibyte + "o"},
        {"the log removed", [&] { std::filesystem::remove(logPath_); }, false, logPath_, ""},
        // The log moved away by someone and a link put in its place: the rotation moves the link
        // and makes a new file; with the backup's place taken, lines go on where they went.
        {"a link in the log's place",
         [&] {
             std::filesystem::rename(logPath_, away);
             link(victim, logPath_);
         },
         false, logPath_, ""},
        {"a link in the log's place, a directory at the backup",
         [&] {
             std::filesystem::rename(logPath_, away);
             link(victim, logPath_);
             std::filesystem::create_directory(backupPath_);
         },
         false, away, kMebibyte + "o"},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        for (const auto& path : {logPath_, backupPath_, away}) {
            std::filesystem::remove(path);
        }
        scratch_.write("victim", "victim");
        if (row.atStart) {
            row.putInTheWay();
        }
        const auto log = openLogger();
        if (!row.atStart) {
            scratch_.write("Quillet.log", kMebibyte + "o");  // the open file, past the limit
            row.putInTheWay();
        }
        log->write(5, "line");
        EXPECT_EQ(contentOf(victim), "victim");
        EXPECT_FALSE(std::filesystem::exists(nowhere));
        if (row.atStart) {
            EXPECT_EQ(posted(), (Lines{kStamp + "Log File not opened: Quillet.log is not a "
                                                "regular file.",
                                       kStamp + "line"}));
            continue;
        }
        EXPECT_EQ(posted(), Lines{kStamp + "line"});
        EXPECT_EQ(contentOf(row.writtenTo), row.linesBefore + kStamp + "line" + kNewline);
#ifndef _WIN32
        struct stat status {};
        const mode_t umask = ::umask(0);
        ::umask(umask);
        EXPECT_EQ(::lstat(row.writtenTo.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0640 & ~umask);
#endif
    }
#ifndef _WIN32
    ::close(reader);
#endif
}

// Each range's edges: the last byte or character kept and the first escaped, or the other way.
TEST(ClientText, EveryByteThatCouldChangeWhatIsSeenIsEscapedAndCutsKeepWholeCharacters) {
    const auto all = kWholeClientText;
    // clang-format off
    const std::tuple<std::string, std::size_t, std::string> rows[] = {
        {"\x1F ~\\", all, "\\x1F ~\\"},                                   // 0x1F 0x20 0x7E, backslash
        {"\x7F\xC2\x80", all, "\\x7F\\xC2\\x80"},                         // 0x7F, U+0080
        {"\xC2\x9F\xC2\xA0", all, "\\xC2\\x9F\xC2\xA0"},                  // U+009F, U+00A0
        {"\xD8\x9B\xD8\x9C", all, "\xD8\x9B\\xD8\\x9C"},                  // U+061B, U+061C
        {"\xE2\x80\x8D\xE2\x80\x8E", all, "\xE2\x80\x8D\\xE2\\x80\\x8E"}, // U+200D, U+200E
        {"\xE2\x80\x8F\xE2\x80\x90", all, "\\xE2\\x80\\x8F\xE2\x80\x90"}, // U+200F, U+2010
        {"\xE2\x80\xA9\xE2\x80\xAA", all, "\xE2\x80\xA9\\xE2\\x80\\xAA"}, // U+2029, U+202A
        {"\xE2\x80\xAE\xE2\x80\xAF", all, "\\xE2\\x80\\xAE\xE2\x80\xAF"}, // U+202E, U+202F
        {"\xE2\x81\xA5\xE2\x81\xA6", all, "\xE2\x81\xA5\\xE2\\x81\\xA6"}, // U+2065, U+2066
        {"\xE2\x81\xA9\xE2\x81\xAA", all, "\\xE2\\x81\\xA9\xE2\x81\xAA"}, // U+2069, U+206A
        {"\xC1\xBF\xE0\x9F\xBF\xE0\xA0\x80", all, "\\xC1\\xBF\\xE0\\x9F\\xBF\xE0\xA0\x80"}, // overlong
        {"\xED\x9F\xBF\xED\xA0\x80", all, "\xED\x9F\xBF\\xED\\xA0\\x80"}, // U+D7FF, surrogate
        {"\xF4\x8F\xBF\xBF\xF4\x90\x80\x80", all, "\xF4\x8F\xBF\xBF\\xF4\\x90\\x80\\x80"}, // U+10FFFF
        {"\xE2\x82z\xF0\x9F\x98", all, "\\xE2\\x82z\\xF0\\x9F\\x98"},     // cut short
        {"\xE2\x82\xAC\x80\xF5\xFF", all, "\xE2\x82\xAC\\x80\\xF5\\xFF"}, // stray bytes
        {"abcdefgh", 8, "abcdefgh"},
        {"abcdefgh", 7, "abcd..."},
        {"ab\ncdef", 7, "ab..."},                           // never half an escape
        {"ab\xE2\x82\xACxy", 6, "ab..."},                   // never half a character
        {"ab\xE2\x82\xACwxyz", 8, "ab\xE2\x82\xAC..."},
    };
    // clang-format on
    for (const auto& [text, limit, escaped] : rows) {
        EXPECT_EQ(escapeClientText(text, limit), escaped) << ::testing::PrintToString(text);
    }
    // A formatted line longer than its buffer is cut to 199 characters.
    Recorder sink;
    writeFormatted(&sink, 5, "%s", std::string(300, 'x').c_str());
    EXPECT_EQ(sink.take(), Lines{"5 " + std::string(199, 'x')});
}

#ifndef _WIN32  // a pipe of a known size
TEST(LineEcho, AStalledReaderNeverHoldsUpTheWriterAndLearnsWhatItMissed) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    std::FILE* stream = ::fdopen(pipeEnds[1], "w");
    std::FILE* in = ::fdopen(pipeEnds[0], "r");
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
        char text[512];
        int shown = 0, unshown = 0, missed = 0;
        while (shown + unshown < posted && std::fgets(text, sizeof text, in) != nullptr) {
            // A writer that was held up more than once reports each time it caught up.
            if (text == line + "\n") {
                ++shown;
            } else if (std::sscanf(text, "(%d lines not shown)", &missed) == 1) {
                unshown += missed;
            } else {
                ADD_FAILURE() << text;
            }
        }
        EXPECT_GT(unshown, 0);
        EXPECT_EQ(shown + unshown, 2000);
    }
    std::fclose(stream);
    std::fclose(in);
}
#endif

}  // namespace
}  // namespace quillet
