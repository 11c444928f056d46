#include "log/logger.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <system_error>

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

void Logger::open(const std::string& fileName) {
    file_.reset();
    fileFailed_ = false;
    fileFull_ = false;
    rotationFailed_ = false;
    fileName_ = fileName;
    openForAppend();
    rotateIfFull(clock_.monotonic());
}

void Logger::attachWindow(MessageWindow* window) {
    window_ = window;
}

void Logger::write(std::int32_t level, std::string_view text) {
    const bool fileTakes = fileLevel_ >= level && file_ != nullptr && !fileFailed_;
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
        if (!fileFull_ && writePosition() > kStopAbove) {
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
    // memcpy from an empty view's null data() is undefined even for no bytes.
    const std::size_t textLength = std::min(room - length, text.size());
    if (textLength > 0) {
        std::memcpy(buffer.data() + length, text.data(), textLength);
    }
    length += textLength;
    buffer[length] = '\0';
    return length;
}

void Logger::openForAppend() {
    // Binary, so that the newline written is the one above: in text mode Windows would turn its
    // "\r\n" into "\r\r\n" (and ftell would not be the file's length).
    file_.reset(std::fopen(fileName_.c_str(), "ab"));
    if (file_ == nullptr || std::fseek(file_.get(), 0, SEEK_END) != 0) {
        file_.reset();
        fileFailed_ = true;
    }
}

void Logger::writeToFile(std::string_view line) {
    if (file_ == nullptr || fileFailed_) {
        return;
    }
    const bool written =
        std::fwrite(line.data(), 1, line.size(), file_.get()) == line.size() &&
        std::fwrite(kNewline.data(), 1, kNewline.size(), file_.get()) == kNewline.size() &&
        std::fflush(file_.get()) == 0;
    if (!written) {
        fileFailed_ = true;
    }
}

void Logger::rotateIfFull(std::chrono::steady_clock::time_point now) {
    // A failed rotation is tried again a minute later, not with every line.
    if (writePosition() <= kRotateAbove ||
        (rotationFailed_ && now - lastFailedRotation_ < kRotationRetry)) {
        return;
    }
    if (std::fclose(file_.release()) != 0) {
        fileFailed_ = true;
        return;
    }
    // When the rotation did not move the file away, it is appended to rather than emptied, so
    // that no line is lost.
    rotationFailed_ = !rotate();
    lastFailedRotation_ = now;
    openForAppend();
    fileFull_ = fileFull_ && rotationFailed_;
}

bool Logger::rotate() {
    const std::filesystem::path current(fileName_);
    const std::filesystem::path backup(fileName_ + ".bak");
    std::error_code error;
    if (std::filesystem::exists(backup, error) && !std::filesystem::remove(backup, error)) {
        return false;
    }
    std::filesystem::rename(current, backup, error);
    return !error;
}

long Logger::writePosition() const {
    if (file_ == nullptr || fileFailed_) {
        return -1;
    }
    return std::ftell(file_.get());
}

}  // namespace quillet
