#include "tftp/served_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <utility>

namespace quillet {

std::optional<ServedFile> ServedFile::openRegular(const std::string& name) {
    // Look before opening, so that a device is never opened at all, and never block on a FIFO.
    struct stat status {};
    if (::stat(name.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    const int descriptor = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return std::nullopt;
    }
    // stat the descriptor too: the name may have been replaced between the two calls.
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return std::nullopt;
    }
    return ServedFile(descriptor, static_cast<std::int64_t>(status.st_size));
}

void ServedFile::release() {
    if (descriptor_ != kNoDescriptor) {
        ::close(std::exchange(descriptor_, kNoDescriptor));
    }
}

std::ptrdiff_t ServedFile::read(std::span<std::uint8_t> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t count = ::read(descriptor_, buffer.data() + filled, buffer.size() - filled);
        if (count > 0) {
            filled += static_cast<std::size_t>(count);
        } else if (count == 0) {
            atEnd_ = true;
            break;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return static_cast<std::ptrdiff_t>(filled);
}

}  // namespace quillet
