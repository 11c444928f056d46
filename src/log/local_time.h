#pragma once

#include <ctime>

namespace quillet {

/// Converts a time to local time without the C library's shared static buffer, which the engine
/// and window threads would otherwise share. False when the time cannot be converted.
inline bool toLocalTime(std::time_t when, std::tm& local) {
#ifdef _WIN32
    return localtime_s(&local, &when) == 0;
#else
    return localtime_r(&when, &local) != nullptr;
#endif
}

}  // namespace quillet
