#include <unistd.h>

#include "net/platform_types.h"

namespace quillet {

void ScopedHandle::reset(FileDescriptor handle) {
    if (handle_ != kNoFileDescriptor) {
        ::close(handle_);
    }
    handle_ = handle;
}

bool toLocalTime(std::time_t when, std::tm& local) {
    return localtime_r(&when, &local) != nullptr;
}

}  // namespace quillet
