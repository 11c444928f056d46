#include <windows.h>

#include <memory>
#include <optional>
#include <type_traits>

#include "settings/settings_level_store.h"

namespace quillet {
namespace {

constexpr wchar_t kKeyPath[] = L"Software\\Carrowmore\\Quillet";
constexpr wchar_t kFileLevelValue[] = L"LOG_FILE_LEVEL";
constexpr wchar_t kTransferOptionsValue[] = L"TFTP_OPTIONS";

struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using OwnedKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// The REG_DWORD value under our key, or none. Only a REG_DWORD counts: the bytes of a short text
// read as a number would be a value nobody set.
std::optional<DWORD> readDword(const wchar_t* name) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const OwnedKey key(opened);
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                           &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value) {
        return std::nullopt;
    }
    return value;
}

// Sets a REG_DWORD value under our key, creating the key when it is missing; failures are not
// reported.
void writeDword(const wchar_t* name, DWORD value) {
    HKEY created = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_WRITE, nullptr, &created, nullptr) != ERROR_SUCCESS) {
        return;
    }
    const OwnedKey key(created);
    ::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof value);
}

}  // namespace

std::optional<std::int32_t> SettingsLevelStore::readFileLevel() {
    const auto level = readDword(kFileLevelValue);
    return level ? std::optional(static_cast<std::int32_t>(*level)) : std::nullopt;
}

bool readTransferOptionsSetting() {
    return readDword(kTransferOptionsValue) == DWORD{1};
}

void writeTransferOptionsSetting(bool negotiate) {
    writeDword(kTransferOptionsValue, negotiate ? 1 : 0);
}

void SettingsLevelStore::writeFileLevel(std::int32_t level) {
    writeDword(kFileLevelValue, static_cast<DWORD>(level));
}

}  // namespace quillet
