// The served folder and the files served from it. Every name resolves inside the folder as if it
// were the root of the file system: nothing outside it is ever opened. Platform code in
// served_file_posix.cpp / served_file_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "net/platform_types.h"
#include "tftp/outcome.h"

namespace quillet {

/// The requested name as a name inside the folder at folderPath: a leading folderPath + "/" is
/// removed, then leading slashes. None when the name is one of the log files at the top, which
/// are never served (they hold other clients' addresses).
std::optional<std::string> nameInsideFolder(std::string_view requested,
                                            std::string_view folderPath);

class ServedFile {
  public:
    /// The file's size in bytes when it was opened.
    std::int64_t size() const { return size_; }

    /// Fills buffer with the bytes from offset on, as far as the file went when it was opened and
    /// never further, so that a file that grows cannot make a transfer longer. Returns the bytes
    /// read (fewer than asked only at that end, or where the file has shrunk), or none on a read
    /// error.
    std::optional<std::size_t> readAt(std::int64_t offset, std::span<std::uint8_t> buffer) const;

    /// True when the file's size and modification time are still those seen at open.
    bool unchangedSinceOpen() const;

  private:
    friend class ServedFolder;
    ServedFile(ScopedHandle handle, std::int64_t size, std::uint64_t modified)
        : handle_(std::move(handle)), size_(size), modified_(modified) {}

    /// One read of at most buffer.size() bytes at offset: the bytes read, 0 at the end of the
    /// file, or none on a read error.
    std::optional<std::size_t> readOnce(std::int64_t offset, std::span<std::uint8_t> buffer) const;

    ScopedHandle handle_;
    std::int64_t size_ = 0;
    // The modification time as the platform counts it, only ever compared: nanoseconds since
    // 1970 on POSIX, 100-ns ticks since 1601 on Windows.
    std::uint64_t modified_ = 0;
};

/// The folder whose files are served, opened once; names never resolve outside it.
class ServedFolder {
  public:
    /// Why nothing can be served.
    enum class Problem {
        None,
        NotOpened,    // the folder cannot be opened
        NotConfined,  // names cannot be confined to it (no openat2)
    };

    /// A file opened for serving, or the refusal its request gets instead.
    struct OpenedFile {
        std::optional<ServedFile> file;
        Outcome refusal = Outcome::FileNotFound;  // without a file: why
    };

    /// A folder that serves nothing: every open is refused as AccessViolation.
    ServedFolder() = default;

    /// Opens the folder at an absolute path. When names cannot be confined to it, the result
    /// serves nothing and problem() says why.
    static ServedFolder open(const std::string& absolutePath);

    /// The working directory's absolute path, or empty when it cannot be read.
    static std::string workingDirectory();

    /// True when files can be served.
    bool canServe() const { return handle_.isValid() && problem_ == Problem::None; }

    /// The folder's handle, which stays the folder's; kNoFileDescriptor when it could not be
    /// opened. The log file is opened relative to it.
    FileDescriptor descriptor() const { return handle_.get(); }

    /// The folder's absolute path.
    const std::string& path() const { return path_; }

    /// Why nothing can be served; None when files can be.
    Problem problem() const { return problem_; }

    /// Opens a requested name for reading if it is a regular file inside the folder; the open
    /// never blocks. Without a file, the refusal says why: directories, devices, FIFOs, sockets
    /// and missing names are FileNotFound; the log files and unreadable ones AccessViolation;
    /// running out of descriptors ServerBusy.
    OpenedFile openFile(std::string_view requested) const;

  private:
    ScopedHandle handle_;
    std::string path_;
    Problem problem_ = Problem::NotOpened;
};

}  // namespace quillet
