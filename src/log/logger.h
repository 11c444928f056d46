// The log: every line goes, by level, to the log file and to the window.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

#include "log/clock.h"
#include "log/engine_messages.h"
#include "log/file_level_store.h"
#include "log/log_file.h"
#include "log/log_sink.h"
#include "net/platform_types.h"

namespace quillet {

/// The log file's name, in the served folder of either program.
inline constexpr char kLogFileName[] = "Quillet.log";
inline constexpr char kLogBackupFileName[] = "Quillet.log.bak";

/// Writes log lines to a file that is rotated past 1 MiB, and posts them to a window. Each sink
/// has its own level. When the file cannot be opened or written, it is dropped with one level-3
/// line to the window that says why, and everything else goes on.
class Logger final : public LogSink {
  public:
    static constexpr std::int32_t kDefaultFileLevel = 6;
    static constexpr std::int32_t kDefaultWindowLevel = 5;
    static constexpr std::int64_t kRotateAbove = 1048576;  // bytes
    static constexpr std::size_t kLineCapacity = 1024;     // a line holds at most 1023 characters
    static constexpr std::int64_t kStopAbove = 16 * 1048576;  // bytes, when it cannot be rotated
    static constexpr auto kRotationRetry = std::chrono::minutes(1);  // between failed rotations

    /// Reads the file level from the store once; a missing or unreadable level becomes the
    /// default, which is written back. The stamps come from clock's wall reading.
    explicit Logger(FileLevelStore& levelStore, const Clock& clock = systemClock());
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    /// Opens (or reopens) the log file fileName in folder for appending (see LogFile::open;
    /// folder stays the caller's); rotates it at once if it is already past 1 MiB. Runs before
    /// the engine thread starts, maybe before any window is attached: a line about a file that
    /// could not be opened waits for the window.
    void open(FileDescriptor folder, const std::string& fileName = kLogFileName);

    /// Sets the window that receives the lines at or below windowLevel; null for none. A line
    /// that waited for a window goes to it now.
    void attachWindow(MessageWindow* window);

    /// Takes one line. Runs on the engine thread.
    void write(std::int32_t level, std::string_view text) override;

    /// The level the file takes lines up to.
    std::int32_t fileLevel() const { return fileLevel_; }

    /// Writes the time stamp of `when` (local time, "%Y-%m-%d %X" in the C locale), four blanks
    /// and the text into buffer, cut to fit with its terminator. Returns the characters written.
    static std::size_t formatLine(std::span<char> buffer, std::time_t when, std::string_view text);

    /// The level the window takes lines up to.
    std::int32_t windowLevel = kDefaultWindowLevel;

  private:
    /// Rotates the file when it has grown past 1 MiB. When the rotation cannot move it away,
    /// lines go on being appended to it and the rotation is tried again a minute later; past
    /// 16 MiB the file takes one last line that says so and no more.
    void rotateIfFull(std::chrono::steady_clock::time_point now);

    /// Writes one line and its newline to the file; a failure drops the file.
    void writeToFile(std::string_view line);

    /// Says why the file could not be opened, unless it was.
    void reportOpen(LogFile::OpenResult result);

    /// Drops the file and posts text at level 3, or keeps it until a window is attached.
    void dropFile(const char* text);

    LogFile file_;
    bool fileFull_ = false;
    std::chrono::steady_clock::time_point lastFailedRotation_;
    bool rotationFailed_ = false;
    std::string waitingForWindow_;  // the line about a failed open, until a window is attached
    MessageWindow* window_ = nullptr;
    std::int32_t fileLevel_ = kDefaultFileLevel;
    std::string fileName_;
    const Clock& clock_;
};

}  // namespace quillet
