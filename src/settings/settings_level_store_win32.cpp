#include <windows.h>

#include <memory>
#include <type_traits>

#include "settings/settings_level_store.h"

namespace quillet {
namespace {

constexpr wchar_t kKeyPath[] = L"Software\\Carrowmore\\Quillet";
constexpr wchar_t kFileLevelValue[] = L"LOG_FILE_LEVEL";

struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using OwnedKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

}  // namespace

std::optional<std::int32_t> SettingsLevelStore::readFileLevel() {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const OwnedKey key(opened);
    DWORD type = 0;
    DWORD level = 0;
    DWORD size = sizeof level;
    // Only a REG_DWORD is a level: the bytes of a short text read as a number would be a level
    // nobody set.
    if (::RegQueryValueExW(key.get(), kFileLevelValue, nullptr, &type,
                           reinterpret_cast<BYTE*>(&level), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof level) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(level);
}

void SettingsLevelStore::writeFileLevel(std::int32_t level) {
    HKEY created = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_WRITE, nullptr, &created, nullptr) != ERROR_SUCCESS) {
        return;
    }
    const OwnedKey key(created);
    const auto value = static_cast<DWORD>(level);
    ::RegSetValueExW(key.get(), kFileLevelValue, 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace quillet
