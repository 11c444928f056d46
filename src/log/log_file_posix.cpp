#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <utility>

#include "log/log_file.h"

namespace quillet {
namespace {

void closeIfOpen(int& descriptor) {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

}  // namespace

LogFile::~LogFile() {
    close();
    closeIfOpen(folder_);
}

LogFile::OpenResult LogFile::open(FileDescriptor folder, std::string name) {
    close();
    closeIfOpen(folder_);
    name_ = std::move(name);
    folder_ = folder < 0 ? -1 : ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    return reopen();
}

LogFile::OpenResult LogFile::reopen() {
    close();
    if (folder_ < 0) {
        lastError_ = EBADF;
        return OpenResult::Failed;
    }
    // No link is followed, a FIFO without a reader fails at once (ENXIO) instead of blocking,
    // and every write lands at the end whoever else writes.
    const int descriptor = ::openat(
        folder_, name_.c_str(),
        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0640);
    if (descriptor < 0) {
        lastError_ = static_cast<std::uint32_t>(errno);
        const bool notRegular = errno == ELOOP || errno == ENXIO || errno == EISDIR;
        return notRegular ? OpenResult::NotRegular : OpenResult::Failed;
    }
    // A FIFO with a reader, or a device, opens: only the descriptor tells what it is.
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        lastError_ = static_cast<std::uint32_t>(errno);
        ::close(descriptor);
        return OpenResult::NotRegular;
    }
    file_ = descriptor;
    return OpenResult::Opened;
}

std::int64_t LogFile::size() const {
    struct stat status {};
    if (file_ < 0 || ::fstat(file_, &status) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(status.st_size);
}

bool LogFile::append(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = file_ < 0 ? -1 : ::write(file_, bytes.data(), bytes.size());
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
    // rename never follows a link at the new name, but a directory or link there is someone
    // else's doing: the rotation waits until it is gone.
    struct stat backup {};
    if (::fstatat(folder_, backupName.c_str(), &backup, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(backup.st_mode)) {
        lastError_ = EEXIST;
        return false;
    }
    if (::renameat(folder_, name_.c_str(), folder_, backupName.c_str()) != 0 && errno != ENOENT) {
        lastError_ = static_cast<std::uint32_t>(errno);
        return false;
    }
    return true;
}

void LogFile::close() {
    closeIfOpen(file_);
}

}  // namespace quillet
