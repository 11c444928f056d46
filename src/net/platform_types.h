// The few things that differ by platform and that shared code must name: the handle types of
// files, folders and sockets, the newline of a text file, local time, and the compiler's printf
// dialect. The calls behind them live in *_posix.cpp / *_win32.cpp files; no other header asks
// which platform it is built for.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>
#include <utility>

// Checks printf-style arguments at compile time. mingw's printf functions follow the GNU dialect
// (%zu and friends), which plain "printf" would check against the Microsoft one.
#ifdef __MINGW32__
#define QUILLET_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
#define QUILLET_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#endif

namespace quillet {

#ifdef _WIN32
using FileDescriptor = void*;         // HANDLE
using SocketHandle = std::uintptr_t;  // SOCKET
inline FileDescriptor const kNoFileDescriptor = reinterpret_cast<FileDescriptor>(-1);
/// The newline that ends a line of a text file.
inline constexpr std::string_view kNewline = "\r\n";
#else
using FileDescriptor = int;
using SocketHandle = int;
inline constexpr FileDescriptor kNoFileDescriptor = -1;
/// The newline that ends a line of a text file.
inline constexpr std::string_view kNewline = "\n";
#endif

inline constexpr SocketHandle kNoSocket = static_cast<SocketHandle>(-1);

/// Owns one open file or folder handle, and closes it when it goes.
class ScopedHandle {
  public:
    /// Holds nothing.
    ScopedHandle() = default;
    /// Takes handle over; kNoFileDescriptor for none.
    explicit ScopedHandle(FileDescriptor handle) : handle_(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    /// The handle, which stays this object's; kNoFileDescriptor for none.
    FileDescriptor get() const { return handle_; }

    /// True while a handle is held.
    bool isValid() const { return handle_ != kNoFileDescriptor; }

    /// Gives the handle up without closing it.
    FileDescriptor release() { return std::exchange(handle_, kNoFileDescriptor); }

    /// Closes the handle held, if any, and takes handle over.
    void reset(FileDescriptor handle = kNoFileDescriptor);

  private:
    FileDescriptor handle_ = kNoFileDescriptor;
};

/// Converts a time to local time without the C library's shared static buffer, which the engine
/// and window threads would otherwise share. False when the time cannot be converted.
bool toLocalTime(std::time_t when, std::tm& local);

}  // namespace quillet
