#include "log/logger.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "log/local_time.h"

namespace quillet {
namespace {

// The newline that ends a line in the file: the platform's text-mode newline.
#ifdef _WIN32
constexpr std::string_view kNewline = "\r\n";
#else
constexpr std::string_view kNewline = "\n";
#endif

}  // namespace

Logger::Logger(FileLevelStore& levelStore, const Clock& clock) : clock_(clock) {
    if (const auto stored = levelStore.readFileLevel()) {
        fileLevel_ = *stored;
    } else {
        fileLevel_ = kDefaultFileLevel;
        levelStore.writeFileLevel(kDefaultFileLevel);
    }
}

Logger::~Logger() = default;

void Logger::open(FileDescriptor folder, const std::string& fileName) {
    fileFull_ = false;
    rotationFailed_ = false;
    waitingForWindow_.clear();
    fileName_ = fileName;
    reportOpen(file_.open(folder, fileName));
    rotateIfFull(clock_.monotonic());
}

void Logger::attachWindow(MessageWindow* window) {
    window_ = window;
    if (window_ != nullptr && !waitingForWindow_.empty()) {
        write(loglevel::kCannotStart, std::exchange(waitingForWindow_, {}));
    }
}

void Logger::write(std::int32_t level, std::string_view text) {
    const bool fileTakes = fileLevel_ >= level && file_.isOpen();
    const bool windowTakes = windowLevel >= level && window_ != nullptr;
    if (!fileTakes && !windowTakes) {
        return;
    }
    std::array<char, kLineCapacity> buffer{};
    const std::time_t wallNow = clock_.wall();
    const std::size_t length = formatLine(buffer, wallNow, text);
    const std::string_view line(buffer.data(), length);

    if (fileTakes) {
        // The size check comes before the write, so the line that carries the file past 1 MiB
        // still goes into it and the next line starts the new file.
        rotateIfFull(clock_.monotonic());
        // A log that cannot be rotated stops at 16 MiB, after one line that says so; the window
        // and standard error go on taking lines.
        if (!fileFull_ && file_.size() > kStopAbove) {
            fileFull_ = true;
            std::array<char, kLineCapacity> last{};
            writeToFile(
                {last.data(),
                 formatLine(last, wallNow, "Log File Full: no more lines are written to it.")});
        } else if (!fileFull_) {
            writeToFile(line);
        }
    }
    if (windowTakes) {
        window_->post(std::make_unique<EngineMessage>(LogLineMessage{std::string(line)}));
    }
}

std::size_t Logger::formatLine(std::span<char> buffer, std::time_t when, std::string_view text) {
    if (buffer.empty()) {
        return 0;
    }
    std::tm local{};
    if (!toLocalTime(when, local)) {
        local = std::tm{};
    }
    // Formatted by hand rather than with strftime's %X, which would follow the process's locale.
    char stamp[64];
    const int stampLength = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d    ",
                                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                          local.tm_hour, local.tm_min, local.tm_sec);
    const std::size_t room = buffer.size() - 1;
    std::size_t length = std::min(room, static_cast<std::size_t>(std::max(stampLength, 0)));
    std::memcpy(buffer.data(), stamp, length);
    const std::size_t textLength = std::min(room - length, text.size());
    std::memcpy(buffer.data() + length, text.data(), textLength);
    length += textLength;
    buffer[length] = '\0';
    return length;
}

void Logger::writeToFile(std::string_view line) {
    // One write for the line and its newline, so that the line lands whole at the end.
    std::array<char, kLineCapacity + kNewline.size()> buffer;
    const std::size_t length = std::min(line.size(), kLineCapacity);
    std::memcpy(buffer.data(), line.data(), length);
    std::memcpy(buffer.data() + length, kNewline.data(), kNewline.size());
    if (file_.isOpen() && !file_.append({buffer.data(), length + kNewline.size()})) {
        char text[kLineCapacity];
        std::snprintf(text, sizeof text, "Log File not written: error 0x%08X.",
                      static_cast<unsigned>(file_.lastError()));
        dropFile(text);
    }
}

void Logger::rotateIfFull(std::chrono::steady_clock::time_point now) {
    // A failed rotation is tried again a minute later, not with every line.
    if (file_.size() <= kRotateAbove ||
        (rotationFailed_ && now - lastFailedRotation_ < kRotationRetry)) {
        return;
    }
    // When the rotation did not move the file away, it goes on being appended to, so that no
    // line is lost; when it did, a new file is opened by the name, the same way as the first.
    rotationFailed_ = !file_.moveTo(fileName_ + ".bak");
    lastFailedRotation_ = now;
    if (!rotationFailed_) {
        fileFull_ = false;
        reportOpen(file_.reopen());
    }
}

void Logger::reportOpen(LogFile::OpenResult result) {
    char text[kLineCapacity];
    switch (result) {
        case LogFile::OpenResult::Opened:
            return;
        case LogFile::OpenResult::NotRegular:
            std::snprintf(text, sizeof text, "Log File not opened: %s is not a regular file.",
                          fileName_.c_str());
            break;
        case LogFile::OpenResult::Failed:
            std::snprintf(text, sizeof text, "Log File not opened: error 0x%08X.",
                          static_cast<unsigned>(file_.lastError()));
            break;
    }
    dropFile(text);
}

void Logger::dropFile(const char* text) {
    file_.close();
    if (window_ == nullptr) {
        waitingForWindow_ = text;
    } else {
        write(loglevel::kCannotStart, text);
    }
}

}  // namespace quillet
