#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

#include "log/log_file_names.h"
#include "tftp/served_file.h"

namespace quillet {
namespace {

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
    // A path with a lone surrogate has no UTF-8 form: none, rather than one with a stand-in.
    const int length = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size,
                                             nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
    if (length <= 0 || ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size,
                                             text.data(), length, nullptr, nullptr) != length) {
        return {};
    }
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

Outcome refusalFor(DWORD error) {
    switch (error) {
        case ERROR_TOO_MANY_OPEN_FILES:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
            return Outcome::ServerBusy;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return Outcome::AccessViolation;
        default:
            return Outcome::FileNotFound;
    }
}

/// The file time as it is kept, 100-ns ticks since 1601, only ever compared.
std::uint64_t ticks(const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

/// name without a leading folder ("C:/srv/tftp/a.bin" for the folder "C:/srv/tftp" is "/a.bin"),
/// compared as Windows compares names, without case; a drive root ("C:/") works as a folder.
std::string withoutFolder(const std::string& name, std::string_view folder) {
    while (!folder.empty() && folder.back() == '/') {
        folder.remove_suffix(1);
    }
    if (folder.empty() || name.size() <= folder.size() || name[folder.size()] != '/' ||
        !sameIgnoringCase(fromUtf8(name.substr(0, folder.size())), fromUtf8(std::string(folder)))) {
        return name;
    }
    return name.substr(folder.size());
}

constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);

/// Opens one component below parent as the object it is: a reparse point (symbolic link,
/// junction, mount point) opens as itself and is never followed. For a directory, the rights
/// to look inside; for a file, to read it.
ScopedHandle openComponent(HANDLE parent, std::wstring_view component, bool directory,
                           NTSTATUS& status) {
    UNICODE_STRING name{};
    name.Buffer = const_cast<wchar_t*>(component.data());
    name.Length = static_cast<USHORT>(component.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE opened = INVALID_HANDLE_VALUE;
    const ACCESS_MASK access =
        directory ? FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE : FILE_GENERIC_READ;
    const ULONG kind = directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE;
    status =
        ::NtCreateFile(&opened, access, &attributes, &io, nullptr, 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                       kind | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return ScopedHandle(status >= 0 ? opened : INVALID_HANDLE_VALUE);
}

/// The file that handle has open, opened again for reading through the file system's filters;
/// none when it cannot be.
ScopedHandle reopenedById(HANDLE handle) {
    FILE_ID_INFO id{};
    if (!::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        return {};
    }
    FILE_ID_DESCRIPTOR descriptor{};
    descriptor.dwSize = sizeof descriptor;
    descriptor.Type = ExtendedFileIdType;
    descriptor.ExtendedFileId = id.FileId;
    return ScopedHandle(::OpenFileById(handle, &descriptor, GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, 0));
}

}  // namespace

std::string ServedFolder::workingDirectory() {
    return toUtf8(currentFolder());
}

ServedFolder ServedFolder::open(const std::string& absolutePath) {
    ServedFolder folder;
    folder.path_ = absolutePath;
    const std::wstring wide = fromUtf8(absolutePath);
    ScopedHandle handle(
        wide.empty() ? INVALID_HANDLE_VALUE
                     : ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES | FILE_TRAVERSE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.isValid() && !finalPath(handle.get()).empty()) {
        folder.handle_ = std::move(handle);
        folder.problem_ = Problem::None;
    }
    return folder;
}

ServedFolder::OpenedFile ServedFolder::openFile(std::string_view requested) const {
    // The shared rules, with '\' read as '/': a leading folder path goes, then leading separators,
    // and the log files at the top are refused by name.
    const std::string name = withoutFolder(withSlashes(std::string(requested)), withSlashes(path_));
    const auto inside = nameInsideFolder(name, {});
    if (!canServe() || !inside) {
        return {std::nullopt, Outcome::AccessViolation};
    }
    // Two leading separators make a UNC, "\\?\" or "\\.\" name: another place than the folder.
    const std::wstring relative = name.starts_with("//") ? std::wstring{} : windowsName(*inside);
    const std::wstring folderPath = finalPath(handle_.get());
    if (relative.empty() || folderPath.empty()) {
        return {std::nullopt, Outcome::FileNotFound};
    }
    // Component by component below the folder's handle, so that no name is parsed again and no
    // reparse point is followed: one anywhere on the way is refused as not found, before
    // anything it points to is opened (on another volume, a share, a device).
    ScopedHandle parent;
    ScopedHandle file;
    for (std::wstring_view rest = relative; !rest.empty();) {
        const auto end = rest.find(kSeparator);
        const bool last = end == std::wstring_view::npos;
        NTSTATUS status = 0;
        ScopedHandle opened = openComponent(parent.isValid() ? parent.get() : handle_.get(),
                                            rest.substr(0, end), !last, status);
        if (!opened.isValid()) {
            return {std::nullopt, status == kStatusFileIsADirectory
                                      ? Outcome::FileNotFound
                                      : refusalFor(::RtlNtStatusToDosError(status))};
        }
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (!::GetFileInformationByHandleEx(opened.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
            ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
             IsReparseTagNameSurrogate(tag.ReparseTag))) {
            return {std::nullopt, Outcome::FileNotFound};
        }
        // A file whose reparse point holds its data elsewhere (deduplicated, in the cloud,
        // compressed) reads right only through its file system filter: the same file again, by
        // its number, which names nothing that could have been swapped in meanwhile.
        if (last && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            opened = reopenedById(opened.get());
        }
        (last ? file : parent) = std::move(opened);
        rest = last ? std::wstring_view{} : rest.substr(end + 1);
    }
    if (!file.isValid()) {
        return {std::nullopt, Outcome::FileNotFound};
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {std::nullopt, Outcome::FileNotFound};
    }
    // What was opened must lie inside the folder, also where the file system follows links
    // without showing them as reparse points (Wine's view of Unix links); a log file reached by
    // another spelling of its name (a short 8.3 name, another case) is refused like its name.
    const std::wstring openedPath = finalPath(file.get());
    const std::wstring_view opened = insideFolder(openedPath, folderPath);
    if (opened.empty()) {
        return {std::nullopt, Outcome::FileNotFound};
    }
    for (const char* logName : {kLogFileName, kLogBackupFileName}) {
        if (sameIgnoringCase(opened, fromUtf8(logName))) {
            return {std::nullopt, Outcome::AccessViolation};
        }
    }
    const auto size = (std::int64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    return {ServedFile(std::move(file), size, ticks(information.ftLastWriteTime)),
            Outcome::FileNotFound};
}

std::optional<std::size_t> ServedFile::readOnce(std::int64_t offset,
                                                std::span<std::uint8_t> buffer) const {
    // The position travels in the OVERLAPPED structure, as pread's offset does.
    const auto at = static_cast<std::uint64_t>(offset);
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD count = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1 << 20));
    if (!::ReadFile(handle_.get(), buffer.data(), chunk, &count, &position)) {
        if (::GetLastError() == ERROR_HANDLE_EOF) {
            return 0;
        }
        return std::nullopt;
    }
    return count;
}

bool ServedFile::unchangedSinceOpen() const {
    BY_HANDLE_FILE_INFORMATION information{};
    return ::GetFileInformationByHandle(handle_.get(), &information) &&
           ((std::int64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow) == size_ &&
           ticks(information.ftLastWriteTime) == modified_;
}

}  // namespace quillet
