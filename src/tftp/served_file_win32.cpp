#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "log/logger.h"
#include "tftp/served_file.h"

namespace quillet {
namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

OwnedHandle owned(HANDLE handle) {
    return OwnedHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

constexpr wchar_t kSeparator = L'\\';

bool sameIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

/// The rest of path after folder, when path names something inside folder; empty otherwise.
std::wstring_view insideFolder(std::wstring_view path, std::wstring_view folder) {
    while (!folder.empty() && folder.back() == kSeparator) {
        folder.remove_suffix(1);
    }
    if (path.size() <= folder.size() + 1 || path[folder.size()] != kSeparator ||
        !sameIgnoringCase(path.substr(0, folder.size()), folder)) {
        return {};
    }
    return path.substr(folder.size() + 1);
}

std::wstring fromUtf8(const std::string& text) {
    if (text.empty() || text.size() > 32767) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    if (length <= 0 || ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size,
                                             wide.data(), length) != length) {
        return {};
    }
    return wide;
}

std::wstring currentFolder() {
    std::wstring folder(MAX_PATH, L'\0');
    DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    if (length >= folder.size()) {
        folder.resize(length);
        length = ::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    }
    folder.resize(length < folder.size() ? length : 0);
    return folder;
}

/// The path the handle's object really has, links resolved ("\\?\C:\..."); empty on failure.
std::wstring finalPath(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = ::GetFinalPathNameByHandleW(
            handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
        if (length == 0) {
            break;
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length);
    }
    return {};
}

/// A device name that Windows would open in any folder: CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and
/// the superscript digits), CONIN$, CONOUT$, CLOCK$, also with an extension ("nul.txt").
bool isDeviceName(std::wstring_view component) {
    std::wstring_view base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ') {
        base.remove_suffix(1);
    }
    for (const std::wstring_view device :
         {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"}) {
        if (sameIgnoringCase(base, device)) {
            return true;
        }
    }
    if (base.size() != 4 || !(sameIgnoringCase(base.substr(0, 3), L"COM") ||
                              sameIgnoringCase(base.substr(0, 3), L"LPT"))) {
        return false;
    }
    const wchar_t digit = base[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
           digit == L'\u00B3';
}

/// A component Windows takes as written: no drive or stream colon, no wildcard or control
/// character, no trailing dot or blank (which Windows would strip), no device name.
bool isPlainComponent(std::wstring_view component) {
    if (component.empty() || component.back() == L'.' || component.back() == L' ' ||
        isDeviceName(component)) {
        return false;
    }
    for (const wchar_t c : component) {
        if (c < 0x20 || std::wstring_view(L"<>:\"|?*").find(c) != std::wstring_view::npos) {
            return false;
        }
    }
    return true;
}

std::string toUtf8(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int size = static_cast<int>(wide.size());
    const int length =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), length, nullptr, nullptr);
    return text;
}

std::string withSlashes(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

/// A name inside the folder (as the shared rules leave it) as a path relative to the folder, or
/// empty when Windows would read it as something else: not UTF-8, a drive letter, a stream, a
/// device name, a trailing dot or blank. "." components mean the folder itself.
std::wstring windowsName(const std::string& inside) {
    const std::wstring wide = fromUtf8(inside);
    std::wstring relative;
    for (std::wstring_view rest = wide; !rest.empty();) {
        const auto end = rest.find(L'/');
        const std::wstring_view component = rest.substr(0, end);
        rest = end == std::wstring_view::npos ? std::wstring_view{} : rest.substr(end + 1);
        if (component.empty() || component == L".") {
            continue;
        }
        if (!isPlainComponent(component)) {
            return {};
        }
        if (!relative.empty()) {
            relative += kSeparator;
        }
        relative += component;
    }
    return relative;
}

ServedFolder::Refusal refusalFor(DWORD error) {
    switch (error) {
        case ERROR_TOO_MANY_OPEN_FILES:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
            return ServedFolder::Refusal::Busy;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return ServedFolder::Refusal::AccessDenied;
        default:
            return ServedFolder::Refusal::NotFound;
    }
}

std::int64_t modifiedNanoseconds(const FILETIME& time) {
    return static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) |
                                     time.dwLowDateTime) *
           100;
}

}  // namespace

// Handles are not counted against a small per-process limit as descriptors are.
std::size_t raiseOpenFileLimit() {
    return SIZE_MAX;
}

void closeFileDescriptor(FileDescriptor descriptor) {
    if (descriptor != kNoFileDescriptor) {
        ::CloseHandle(descriptor);
    }
}

std::string ServedFolder::workingDirectory() {
    return toUtf8(currentFolder());
}

ServedFolder ServedFolder::open(const std::string& absolutePath) {
    ServedFolder folder;
    folder.path_ = absolutePath;
    const std::wstring wide = fromUtf8(absolutePath);
    const HANDLE handle =
        wide.empty() ? INVALID_HANDLE_VALUE
                     : ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE || finalPath(handle).empty()) {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
        folder.problem_ = "the served folder cannot be opened";
        return folder;
    }
    folder.descriptor_ = handle;
    return folder;
}

std::optional<ServedFile> ServedFolder::openFile(std::string_view requested,
                                                 Refusal& refusal) const {
    // The shared rules, with '\' read as '/': a leading folder path goes, then leading separators,
    // and the log files at the top are refused by name.
    refusal = Refusal::AccessDenied;
    const std::string name = withSlashes(std::string(requested));
    const auto inside = nameInsideFolder(name, withSlashes(path_));
    if (!canServe() || !inside) {
        return std::nullopt;
    }
    // Two leading separators make a UNC, "\\?\" or "\\.\" name: another place than the folder.
    refusal = Refusal::NotFound;
    const std::wstring relative = name.starts_with("//") ? std::wstring{} : windowsName(*inside);
    // The folder's final path is in "\\?\" form: the checked name reaches the file system with
    // no further rewriting.
    std::wstring path = finalPath(descriptor_);
    if (relative.empty() || path.empty()) {
        return std::nullopt;
    }
    if (path.back() != kSeparator) {
        path += kSeparator;
    }
    const std::wstring folderPath = path;
    path += relative;
    // A directory is not found, rather than denied as its open would be.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        refusal = attributes == INVALID_FILE_ATTRIBUTES ? refusalFor(::GetLastError())
                                                        : Refusal::NotFound;
        return std::nullopt;
    }
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open; the quality-of-service flags
    // keep a pipe's server from impersonating us.
    auto file = owned(::CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN |
                                        SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                    nullptr));
    if (!file) {
        refusal = refusalFor(::GetLastError());
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::nullopt;
    }
    // Links inside the folder are followed, but what was opened must still lie inside it; a link
    // to a log file at the top is refused like its name.
    const std::wstring openedPath = finalPath(file.get());
    const std::wstring_view opened = insideFolder(openedPath, folderPath);
    if (opened.empty()) {
        return std::nullopt;
    }
    for (const char* logName : {kLogFileName, kLogBackupFileName}) {
        if (sameIgnoringCase(opened, fromUtf8(logName))) {
            refusal = Refusal::AccessDenied;
            return std::nullopt;
        }
    }
    refusal = Refusal::None;
    const auto size = (std::int64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    return ServedFile(file.release(), size, modifiedNanoseconds(information.ftLastWriteTime));
}

std::ptrdiff_t ServedFile::readAt(std::int64_t offset, std::span<std::uint8_t> buffer) const {
    if (offset < 0) {
        return -1;
    }
    // Never past the size seen at open, so a file that grows cannot make the transfer longer.
    const auto wanted = static_cast<std::size_t>(
        std::clamp<std::int64_t>(size_ - offset, 0, static_cast<std::int64_t>(buffer.size())));
    std::size_t filled = 0;
    while (filled < wanted) {
        // The position travels in the OVERLAPPED structure, as pread's offset does.
        const auto at = static_cast<std::uint64_t>(offset) + filled;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD count = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(wanted - filled, 1 << 20));
        if (!::ReadFile(descriptor_, buffer.data() + filled, chunk, &count, &position)) {
            return ::GetLastError() == ERROR_HANDLE_EOF ? static_cast<std::ptrdiff_t>(filled) : -1;
        }
        if (count == 0) {
            break;  // the file has shrunk since it was opened
        }
        filled += count;
    }
    return static_cast<std::ptrdiff_t>(filled);
}

bool ServedFile::unchangedSinceOpen() const {
    BY_HANDLE_FILE_INFORMATION information{};
    return ::GetFileInformationByHandle(descriptor_, &information) &&
           ((std::int64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow) == size_ &&
           modifiedNanoseconds(information.ftLastWriteTime) == modified_;
}

}  // namespace quillet
