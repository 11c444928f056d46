// The platform's handle of an open file or folder, shared by the layers that open files (the log
// file, the served folder and its files).
#pragma once

namespace quillet {

#ifdef _WIN32
using FileDescriptor = void*;  // HANDLE
inline FileDescriptor const kNoFileDescriptor = reinterpret_cast<FileDescriptor>(-1);
#else
using FileDescriptor = int;
inline constexpr FileDescriptor kNoFileDescriptor = -1;
#endif

}  // namespace quillet
