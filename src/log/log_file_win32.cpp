#include <windows.h>

#include <utility>

#include "log/log_file.h"

namespace quillet {
namespace {

void closeIfOpen(HANDLE& handle) {
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
}

/// "<folder>\<name>" from the folder's final path ("\\?\C:\..."), so that no link on the way is
/// read again; empty when the folder's path cannot be had.
std::wstring pathInFolder(HANDLE folder, const std::string& name) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        length = ::GetFinalPathNameByHandleW(folder, path.data(), static_cast<DWORD>(path.size()),
                                             FILE_NAME_NORMALIZED);
        if (length < path.size()) {
            break;
        }
        path.resize(length);
    }
    if (length == 0 || length >= path.size()) {
        return {};
    }
    path.resize(length);
    if (path.back() != L'\\') {
        path += L'\\';
    }
    // The log's names are ASCII.
    return path + std::wstring(name.begin(), name.end());
}

/// True when attributes name something other than a plain file: a directory or a reparse point
/// (a symbolic link or junction).
bool isLinkOrFolder(DWORD attributes) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
}

}  // namespace

LogFile::~LogFile() {
    close();
    closeIfOpen(folder_);
}

LogFile::OpenResult LogFile::open(FileDescriptor folder, std::string name) {
    close();
    closeIfOpen(folder_);
    name_ = std::move(name);
    if (folder != INVALID_HANDLE_VALUE &&
        !::DuplicateHandle(::GetCurrentProcess(), folder, ::GetCurrentProcess(), &folder_, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        folder_ = INVALID_HANDLE_VALUE;
    }
    return reopen();
}

LogFile::OpenResult LogFile::reopen() {
    close();
    const std::wstring path =
        folder_ == INVALID_HANDLE_VALUE ? std::wstring() : pathInFolder(folder_, name_);
    if (path.empty()) {
        lastError_ = ERROR_INVALID_HANDLE;
        return OpenResult::Failed;
    }
    // A reparse point opens as itself, never as what it points to; appending data only puts
    // every write at the end.
    const HANDLE file =
        ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        lastError_ = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && isLinkOrFolder(attributes)
                   ? OpenResult::NotRegular
                   : OpenResult::Failed;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(file) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(file, &information) ||
        isLinkOrFolder(information.dwFileAttributes)) {
        lastError_ = ::GetLastError();
        ::CloseHandle(file);
        return OpenResult::NotRegular;
    }
    file_ = file;
    return OpenResult::Opened;
}

std::int64_t LogFile::size() const {
    LARGE_INTEGER size{};
    if (file_ == INVALID_HANDLE_VALUE || !::GetFileSizeEx(file_, &size)) {
        return -1;
    }
    return size.QuadPart;
}

bool LogFile::append(std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        if (file_ == INVALID_HANDLE_VALUE ||
            !::WriteFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                         nullptr) ||
            written == 0) {
            lastError_ = file_ == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : ::GetLastError();
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

bool LogFile::moveTo(const std::string& backupName) {
    const std::wstring path =
        folder_ == INVALID_HANDLE_VALUE ? std::wstring() : pathInFolder(folder_, name_);
    const std::wstring backup =
        folder_ == INVALID_HANDLE_VALUE ? std::wstring() : pathInFolder(folder_, backupName);
    if (path.empty() || backup.empty()) {
        lastError_ = ERROR_INVALID_HANDLE;
        return false;
    }
    // A directory or link at the backup's name is someone else's doing: the rotation waits until
    // it is gone.
    const DWORD attributes = ::GetFileAttributesW(backup.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && isLinkOrFolder(attributes)) {
        lastError_ = ERROR_ALREADY_EXISTS;
        return false;
    }
    if (!::MoveFileExW(path.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        lastError_ = ::GetLastError();
        return lastError_ == ERROR_FILE_NOT_FOUND;
    }
    return true;
}

void LogFile::close() {
    closeIfOpen(file_);
}

}  // namespace quillet
