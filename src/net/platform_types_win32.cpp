#include <windows.h>

#include "net/platform_types.h"

namespace quillet {

void ScopedHandle::reset(FileDescriptor handle) {
    if (handle_ != kNoFileDescriptor) {
        ::CloseHandle(handle_);
    }
    handle_ = handle;
}

bool toLocalTime(std::time_t when, std::tm& local) {
    return localtime_s(&local, &when) == 0;
}

}  // namespace quillet
