// The log file itself: a regular file that this program opens by name in the served folder,
// never through a link and never a FIFO or a device, so that whoever may write in the folder
// cannot point the log elsewhere. Platform code in log_file_posix.cpp / log_file_win32.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/platform_types.h"

namespace quillet {

/// One log file, opened for appending relative to a folder handle of its own.
class LogFile {
  public:
    /// What an open found.
    enum class OpenResult { Opened, NotRegular, Failed };

    /// No file, no folder.
    LogFile() = default;
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    /// Opens the file called name in folder for appending, created when missing (mode 0640 less
    /// the umask) and never truncated. Keeps a handle of folder of its own; folder stays the
    /// caller's. Anything but a regular file (a link, FIFO, directory, device) is NotRegular.
    OpenResult open(FileDescriptor folder, std::string name);

    /// Closes the file and opens it again by its name in the same folder, as open does.
    OpenResult reopen();

    /// True while a file is open.
    bool isOpen() const { return file_ != kNoFileDescriptor; }

    /// The file's size in bytes, which is where the next append lands; -1 without a file.
    std::int64_t size() const;

    /// Appends bytes at the file's end; false (lastError set) when not all of them were written.
    bool append(std::string_view bytes);

    /// Renames the file to backupName in the same folder, replacing an older backup only when that
    /// is a regular file; false when the file did not move. A file that is no longer there counts
    /// as moved. The open file stays open.
    bool moveTo(const std::string& backupName);

    /// Closes the file; the folder stays.
    void close();

    /// The platform's code of the last failure (errno; GetLastError on Windows).
    std::uint32_t lastError() const { return lastError_; }

  private:
    FileDescriptor folder_ = kNoFileDescriptor;
    FileDescriptor file_ = kNoFileDescriptor;
    std::string name_;
    std::uint32_t lastError_ = 0;
};

}  // namespace quillet
