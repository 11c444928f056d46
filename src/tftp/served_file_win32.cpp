#include <windows.h>

#include <algorithm>
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

/// The requested name as a path relative to the served folder, or empty when it is refused. A
/// name that begins with the folder's own path loses it, leading separators are dropped, and "."
/// components mean the folder itself. Drive letters, "\\?\", "\\.\" and UNC names are refused.
std::wstring relativeName(std::wstring name, std::wstring_view folder) {
    for (wchar_t& c : name) {
        if (c == L'/') {
            c = kSeparator;
        }
    }
    std::wstring_view rest = name;
    if (rest.starts_with(L"\\\\")) {
        return {};
    }
    if (const auto inside = insideFolder(rest, folder); !inside.empty()) {
        rest = inside;
    }
    std::wstring relative;
    while (!rest.empty()) {
        const auto end = rest.find(kSeparator);
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

}  // namespace

std::optional<ServedFile> ServedFile::openRegular(const std::string& name) {
    const std::wstring folderName = currentFolder();
    const std::wstring relative = relativeName(fromUtf8(name), folderName);
    if (folderName.empty() || relative.empty()) {
        return std::nullopt;
    }
    const auto folder =
        owned(::CreateFileW(folderName.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring folderPath = folder ? finalPath(folder.get()) : std::wstring{};
    if (folderPath.empty()) {
        return std::nullopt;
    }
    // Opened by the folder's final path, which is in "\\?\" form: the name reaches the file system
    // as checked above, with no further rewriting. Without FILE_FLAG_BACKUP_SEMANTICS a directory
    // does not open; the quality-of-service flags keep a pipe's server from impersonating us.
    std::wstring path = folderPath;
    if (path.back() != kSeparator) {
        path += kSeparator;
    }
    path += relative;
    auto file = owned(::CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN |
                                        SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                    nullptr));
    if (!file || ::GetFileType(file.get()) != FILE_TYPE_DISK) {
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    LARGE_INTEGER size{};
    if (!::GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !::GetFileSizeEx(file.get(), &size)) {
        return std::nullopt;
    }
    // Links inside the folder are followed, but what was opened must still lie inside it.
    const std::wstring openedPath = finalPath(file.get());
    const std::wstring_view inside = insideFolder(openedPath, folderPath);
    if (inside.empty()) {
        return std::nullopt;
    }
    // The log file and its backup live in the served folder but are never served.
    const std::wstring logFile = fromUtf8(kLogFileName);
    if (sameIgnoringCase(inside, logFile) || sameIgnoringCase(inside, logFile + L".bak")) {
        return std::nullopt;
    }
    return ServedFile(file.release(), static_cast<std::int64_t>(size.QuadPart));
}

void ServedFile::release() {
    if (descriptor_ != kNoDescriptor) {
        ::CloseHandle(std::exchange(descriptor_, kNoDescriptor));
    }
}

std::ptrdiff_t ServedFile::read(std::span<std::uint8_t> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        DWORD count = 0;
        const DWORD wanted =
            static_cast<DWORD>(std::min<std::size_t>(buffer.size() - filled, 1 << 20));
        if (!::ReadFile(descriptor_, buffer.data() + filled, wanted, &count, nullptr)) {
            return -1;
        }
        if (count == 0) {
            atEnd_ = true;
            break;
        }
        filled += count;
    }
    return static_cast<std::ptrdiff_t>(filled);
}

}  // namespace quillet
