#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>

#include <climits>
#include <cstdint>

#include "log/log_file_names.h"
#include "tftp/served_file.h"

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

Outcome refusalFor(int error) {
    switch (error) {
        case EMFILE:
        case ENFILE:
            return Outcome::ServerBusy;
        case EACCES:
        case EPERM:
        case ENOSYS:
            return Outcome::AccessViolation;
        default:
            return Outcome::FileNotFound;
    }
}

// Unsigned, so that a time past 2262 wraps rather than overflows; the value is only compared.
std::uint64_t modifiedNanoseconds(const struct stat& status) {
    return static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1'000'000'000 +
           static_cast<std::uint64_t>(status.st_mtim.tv_nsec);
}

bool sameFile(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

}  // namespace

std::string ServedFolder::workingDirectory() {
    char path[PATH_MAX];
    return ::getcwd(path, sizeof path) != nullptr ? std::string(path) : std::string();
}

ServedFolder ServedFolder::open(const std::string& absolutePath) {
    ServedFolder folder;
    folder.path_ = absolutePath;
    folder.handle_.reset(::open(absolutePath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.handle_.isValid()) {
        return folder;
    }
    // Never fall back to an unconfined open: without openat2 nothing is served (the folder stays
    // open for the log file).
    const ScopedHandle probe(openInside(folder.handle_.get(), ".", O_PATH | O_CLOEXEC));
    folder.problem_ = !probe.isValid() && errno == ENOSYS ? Problem::NotConfined : Problem::None;
    return folder;
}

ServedFolder::OpenedFile ServedFolder::openFile(std::string_view requested) const {
    const auto name = nameInsideFolder(requested, path_);
    if (!canServe() || !name) {
        return {std::nullopt, Outcome::AccessViolation};
    }
    // Look before opening, so that a device is never opened at all, and never block on a FIFO.
    struct stat looked {};
    {
        const ScopedHandle pathOnly(openInside(handle_.get(), *name, O_PATH | O_CLOEXEC));
        if (!pathOnly.isValid()) {
            return {std::nullopt, refusalFor(errno)};
        }
        const bool regular = ::fstat(pathOnly.get(), &looked) == 0 && S_ISREG(looked.st_mode);
        if (!regular) {
            return {std::nullopt, Outcome::FileNotFound};
        }
    }
    ScopedHandle file(
        openInside(handle_.get(), *name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.isValid()) {
        return {std::nullopt, refusalFor(errno)};
    }
    // stat the descriptor too: the name may have been replaced between the two opens.
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        !sameFile(status, looked)) {
        return {std::nullopt, Outcome::FileNotFound};
    }
    // A link (or a hard link) that leads to a log file at the top is refused like its name.
    for (const char* logName : {kLogFileName, kLogBackupFileName}) {
        struct stat log {};
        if (::fstatat(handle_.get(), logName, &log, 0) == 0 && sameFile(status, log)) {
            return {std::nullopt, Outcome::AccessViolation};
        }
    }
    return {ServedFile(std::move(file), static_cast<std::int64_t>(status.st_size),
                       modifiedNanoseconds(status)),
            Outcome::FileNotFound};
}

std::optional<std::size_t> ServedFile::readOnce(std::int64_t offset,
                                                std::span<std::uint8_t> buffer) const {
    for (;;) {
        const ssize_t count =
            ::pread(handle_.get(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (count >= 0) {
            return static_cast<std::size_t>(count);
        }
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

bool ServedFile::unchangedSinceOpen() const {
    struct stat status {};
    return ::fstat(handle_.get(), &status) == 0 && status.st_size == size_ &&
           modifiedNanoseconds(status) == modified_;
}

}  // namespace quillet
