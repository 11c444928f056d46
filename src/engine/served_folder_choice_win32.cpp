#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "engine/served_folder_choice.h"

namespace quillet {
namespace {

constexpr wchar_t kSeparator = L'\\';

/// Asks a Win32 function that fills a buffer of a given size, growing the buffer as it says.
template <typename Fill>
std::wstring filled(Fill fill) {
    std::wstring text(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = fill(text.data(), static_cast<DWORD>(text.size()));
        if (length == 0) {
            return {};
        }
        if (length < text.size()) {
            text.resize(length);
            return text;
        }
        text.resize(length + 1);
    }
    return {};
}

std::string toUtf8(const std::wstring& wide) {
    const std::u8string text = std::filesystem::path(wide).u8string();
    return {text.begin(), text.end()};
}

/// One spelling for each folder: the full path with long names and no trailing separator, so
/// that "c:\windows\SYSTEM32\" and "C:\WINDOWS\system32" compare equal ignoring case.
std::wstring comparable(const std::wstring& path) {
    std::wstring full = filled([&](wchar_t* buffer, DWORD size) {
        return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
    if (std::wstring longName = filled([&](wchar_t* buffer, DWORD size) {
            return ::GetLongPathNameW(full.c_str(), buffer, size);
        });
        !longName.empty()) {
        full = std::move(longName);
    }
    while (full.size() > 3 && full.back() == kSeparator) {
        full.pop_back();
    }
    return full;
}

bool sameIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool sameOrBelow(std::wstring_view path, std::wstring_view folder) {
    if (folder.empty() || path.size() < folder.size() ||
        !sameIgnoringCase(path.substr(0, folder.size()), folder)) {
        return false;
    }
    return path.size() == folder.size() || folder.back() == kSeparator ||
           path[folder.size()] == kSeparator;
}

std::wstring programFolder() {
    std::wstring program = filled([](wchar_t* buffer, DWORD size) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer, size);
        return length == size ? 2 * size : length;  // cut short: ask again with more room
    });
    program.resize(std::min(program.size(), program.find_last_of(kSeparator)));
    return program;
}

std::wstring profileFolder() {
    std::wstring profile = filled([](wchar_t* buffer, DWORD size) {
        return ::GetEnvironmentVariableW(L"USERPROFILE", buffer, size);
    });
    if (profile.empty()) {
        wchar_t shell[MAX_PATH] = {};
        if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, shell))) {
            profile = shell;
        }
    }
    return profile;
}

}  // namespace

ServedFolderChoice chooseServedFolder() {
    const std::wstring working =
        filled([](wchar_t* buffer, DWORD size) { return ::GetCurrentDirectoryW(size, buffer); });
    const std::wstring here = comparable(working);
    const std::wstring windows = filled([](wchar_t* buffer, DWORD size) {
        return static_cast<DWORD>(::GetSystemWindowsDirectoryW(buffer, size));
    });
    const std::wstring program = programFolder();
    const bool passOver =
        !working.empty() && ((!program.empty() && sameIgnoringCase(here, comparable(program))) ||
                             (!windows.empty() && sameOrBelow(here, comparable(windows))));
    if (!passOver) {
        return {toUtf8(working), {}};
    }
    // Without a profile the name stays unexpanded: it opens nothing, and nothing is served.
    const std::wstring profile = profileFolder();
    const std::wstring tftp = (profile.empty() ? L"%USERPROFILE%" : profile) + L"\\TFTP";
    ::CreateDirectoryW(tftp.c_str(), nullptr);  // one that exists already stays as it is
    return {toUtf8(tftp), toUtf8(working)};
}

}  // namespace quillet
