#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <utility>

#include "tftp/served_file.h"

#include "log/logger.h"

namespace quillet {
namespace {

// Resolve every name as if the folder were the root: "..", absolute links and absolute names
// stay inside it, and /proc-style magic links are refused.
constexpr std::uint64_t kConfined = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;

// glibc has no wrapper for openat2.
int openInside(int folder, const std::string& name, std::uint64_t flags) {
    open_how how{};
    how.flags = flags;
    how.resolve = kConfined;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const long descriptor = ::syscall(SYS_openat2, folder, name.c_str(), &how, sizeof how);
        // EAGAIN: a rename raced with the resolution; it is safe to try again.
        if (descriptor >= 0 || (errno != EAGAIN && errno != EINTR)) {
            return static_cast<int>(descriptor);
        }
    }
    return -1;
}

ServedFolder::Refusal refusalFor(int error) {
    switch (error) {
        case EMFILE:
        case ENFILE:
            return ServedFolder::Refusal::Busy;
        case EACCES:
        case EPERM:
        case ENOSYS:
            return ServedFolder::Refusal::AccessDenied;
        default:
            return ServedFolder::Refusal::NotFound;
    }
}

std::int64_t modifiedNanoseconds(const struct stat& status) {
    return static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 +
           status.st_mtim.tv_nsec;
}

bool sameFile(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

}  // namespace

std::size_t raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;  // the usual default, should the limit be unreadable
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<std::size_t>(limit.rlim_cur);
}

void closeFileDescriptor(FileDescriptor descriptor) {
    if (descriptor != kNoFileDescriptor) {
        ::close(descriptor);
    }
}

std::string ServedFolder::workingDirectory() {
    char path[PATH_MAX];
    return ::getcwd(path, sizeof path) != nullptr ? std::string(path) : std::string();
}

ServedFolder ServedFolder::open(const std::string& absolutePath) {
    ServedFolder folder;
    folder.path_ = absolutePath;
    const int descriptor = ::open(absolutePath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        folder.problem_ = "the served folder cannot be opened";
        return folder;
    }
    // Never fall back to an unconfined open: without openat2 nothing is served (the folder stays
    // open for the log file).
    folder.descriptor_ = descriptor;
    const int probe = openInside(descriptor, ".", O_PATH | O_CLOEXEC);
    if (probe < 0 && errno == ENOSYS) {
        folder.problem_ = "openat2 is not available (Linux 5.6 or later is needed)";
    }
    if (probe >= 0) {
        ::close(probe);
    }
    return folder;
}

std::optional<ServedFile> ServedFolder::openFile(std::string_view requested,
                                                 Refusal& refusal) const {
    refusal = Refusal::AccessDenied;
    const auto name = nameInsideFolder(requested, path_);
    if (!canServe() || !name) {
        return std::nullopt;
    }
    // Look before opening, so that a device is never opened at all, and never block on a FIFO.
    struct stat looked {};
    const int pathOnly = openInside(descriptor_, *name, O_PATH | O_CLOEXEC);
    if (pathOnly < 0) {
        refusal = refusalFor(errno);
        return std::nullopt;
    }
    const bool regular = ::fstat(pathOnly, &looked) == 0 && S_ISREG(looked.st_mode);
    ::close(pathOnly);
    refusal = Refusal::NotFound;
    if (!regular) {
        return std::nullopt;
    }
    const int descriptor =
        openInside(descriptor_, *name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        refusal = refusalFor(errno);
        return std::nullopt;
    }
    // stat the descriptor too: the name may have been replaced between the two opens.
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
        !sameFile(status, looked)) {
        ::close(descriptor);
        return std::nullopt;
    }
    // A link (or a hard link) that leads to a log file at the top is refused like its name.
    for (const char* logName : {kLogFileName, kLogBackupFileName}) {
        struct stat log {};
        if (::fstatat(descriptor_, logName, &log, 0) == 0 && sameFile(status, log)) {
            ::close(descriptor);
            refusal = Refusal::AccessDenied;
            return std::nullopt;
        }
    }
    refusal = Refusal::None;
    return ServedFile(descriptor, static_cast<std::int64_t>(status.st_size),
                      modifiedNanoseconds(status));
}

std::ptrdiff_t ServedFile::readAt(std::int64_t offset, std::span<std::uint8_t> buffer) const {
    if (offset < 0) {
        return -1;
    }
    const auto wanted = static_cast<std::size_t>(
        std::clamp<std::int64_t>(size_ - offset, 0, static_cast<std::int64_t>(buffer.size())));
    std::size_t filled = 0;
    while (filled < wanted) {
        const ssize_t count = ::pread(descriptor_, buffer.data() + filled, wanted - filled,
                                      static_cast<off_t>(offset + std::int64_t(filled)));
        if (count > 0) {
            filled += static_cast<std::size_t>(count);
        } else if (count == 0) {
            break;  // the file has shrunk since it was opened
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return static_cast<std::ptrdiff_t>(filled);
}

bool ServedFile::unchangedSinceOpen() const {
    struct stat status {};
    return ::fstat(descriptor_, &status) == 0 && status.st_size == size_ &&
           modifiedNanoseconds(status) == modified_;
}

}  // namespace quillet
