// The served folder and the files served from it. Every name resolves inside the folder as if it
// were the root of the file system: nothing outside it is ever opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "net/platform_types.h"

namespace quillet {

/// Closes a file or folder the platform opened; nothing for kNoFileDescriptor.
void closeFileDescriptor(FileDescriptor descriptor);

/// The requested name as a name inside the folder at folderPath: a leading folderPath + "/" is
/// removed, then leading slashes. None when the name is one of the log files at the top, which
/// are never served (they hold other clients' addresses).
std::optional<std::string> nameInsideFolder(std::string_view requested,
                                            std::string_view folderPath);

/// Raises the process's soft limit of open files to its hard limit; returns the limit now in
/// force.
std::size_t raiseOpenFileLimit();

class ServedFile {
  public:
    ~ServedFile();
    ServedFile(ServedFile&& other) noexcept;
    ServedFile& operator=(ServedFile&& other) noexcept;
    ServedFile(const ServedFile&) = delete;
    ServedFile& operator=(const ServedFile&) = delete;

    /// The file's size in bytes when it was opened.
    std::int64_t size() const { return size_; }

    /// Fills buffer with the bytes from offset on, as far as the file went when it was opened and
    /// never further, so that a file that grows cannot make a transfer longer. Returns the bytes
    /// read (fewer than asked only at that end, or where the file has shrunk), or -1 on a read
    /// error.
    std::ptrdiff_t readAt(std::int64_t offset, std::span<std::uint8_t> buffer) const;

    /// True when the file's size and modification time are still those seen at open.
    bool unchangedSinceOpen() const;

  private:
    friend class ServedFolder;
    ServedFile(FileDescriptor descriptor, std::int64_t size, std::int64_t modifiedNanoseconds)
        : descriptor_(descriptor), size_(size), modified_(modifiedNanoseconds) {}

    FileDescriptor descriptor_ = kNoFileDescriptor;
    std::int64_t size_ = 0;
    std::int64_t modified_ = 0;  // nanoseconds since the epoch
};

/// The folder whose files are served, opened once; names never resolve outside it.
class ServedFolder {
  public:
    enum class Refusal { None, NotFound, AccessDenied, Busy };

    /// A folder that serves nothing: every open is refused as AccessDenied.
    ServedFolder() = default;
    ~ServedFolder();
    ServedFolder(ServedFolder&& other) noexcept;
    ServedFolder& operator=(ServedFolder&& other) noexcept;
    ServedFolder(const ServedFolder&) = delete;
    ServedFolder& operator=(const ServedFolder&) = delete;

    /// Opens the folder at an absolute path. When names cannot be confined to it, the result
    /// serves nothing and problem() says why.
    static ServedFolder open(const std::string& absolutePath);

    /// The working directory's absolute path, or empty when it cannot be read.
    static std::string workingDirectory();

    /// True when files can be served.
    bool canServe() const { return descriptor_ != kNoFileDescriptor && problem_.empty(); }

    /// The folder's handle, which stays the folder's; kNoFileDescriptor when it could not be
    /// opened. The log file is opened relative to it.
    FileDescriptor descriptor() const { return descriptor_; }

    /// The folder's absolute path.
    const std::string& path() const { return path_; }

    /// Why nothing can be served; empty when files can be.
    const std::string& problem() const { return problem_; }

    /// Opens a requested name for reading if it is a regular file inside the folder; the open
    /// never blocks. Without a file, refusal says why: directories, devices, FIFOs, sockets and
    /// missing names are NotFound; the log files and unreadable ones AccessDenied; running out
    /// of descriptors Busy.
    std::optional<ServedFile> openFile(std::string_view requested, Refusal& refusal) const;

  private:
    FileDescriptor descriptor_ = kNoFileDescriptor;
    std::string path_;
    std::string problem_;
};

}  // namespace quillet
