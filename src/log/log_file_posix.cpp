#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <utility>

#include "log/log_file.h"

namespace quillet {
namespace {

/// A regular file with no other name: a hard link is as foreign as a symbolic one, made by
/// someone who may write in the folder to a file they chose.
bool isOwnRegularFile(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_nlink <= 1;
}

}  // namespace

LogFile::OpenResult LogFile::open(FileDescriptor folder, std::string name) {
    close();
    name_ = std::move(name);
    folder_.reset(folder < 0 ? -1 : ::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    return reopen();
}

LogFile::OpenResult LogFile::reopen() {
    close();
    if (!folder_.isValid()) {
        lastError_ = EBADF;
        return OpenResult::Failed;
    }
    // No link is followed, a FIFO without a reader fails at once (ENXIO) instead of blocking,
    // and every write lands at the end whoever else writes.
    ScopedHandle file(::openat(
        folder_.get(), name_.c_str(),
        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0640));
    if (!file.isValid()) {
        lastError_ = static_cast<std::uint32_t>(errno);
        const bool notRegular = errno == ELOOP || errno == ENXIO || errno == EISDIR;
        return notRegular ? OpenResult::NotRegular : OpenResult::Failed;
    }
    // A FIFO with a reader, a device, or a hard link opens: only the descriptor tells what it is.
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !isOwnRegularFile(status)) {
        lastError_ = static_cast<std::uint32_t>(errno);
        return OpenResult::NotRegular;
    }
    file_ = std::move(file);
    return OpenResult::Opened;
}

std::optional<std::int64_t> LogFile::size() const {
    struct stat status {};
    if (!file_.isValid() || ::fstat(file_.get(), &status) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(status.st_size);
}

bool LogFile::append(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written =
            file_.isValid() ? ::write(file_.get(), bytes.data(), bytes.size()) : -1;
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            lastError_ = written < 0 ? static_cast<std::uint32_t>(errno) : EIO;
            return false;
        }
    }
    return true;
}

bool LogFile::moveTo(const std::string& backupName) {
    // rename never follows a link at the new name, but a directory, a link or a hard link there
    // is someone else's doing: the rotation waits until it is gone.
    struct stat backup {};
    if (::fstatat(folder_.get(), backupName.c_str(), &backup, AT_SYMLINK_NOFOLLOW) == 0 &&
        !isOwnRegularFile(backup)) {
        lastError_ = EEXIST;
        return false;
    }
    if (::renameat(folder_.get(), name_.c_str(), folder_.get(), backupName.c_str()) != 0 &&
        errno != ENOENT) {
        lastError_ = static_cast<std::uint32_t>(errno);
        return false;
    }
    return true;
}

}  // namespace quillet
