#include <windows.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <type_traits>

#include "platform_support.h"

namespace quillet::test {

void useUtc() {
    ::_putenv_s("TZ", "UTC0");
    ::_tzset();
}

void useSettingsWithLevel(const std::string& folder, const std::optional<std::string>& level) {
    struct KeyCloser {
        void operator()(HKEY key) const { ::RegCloseKey(key); }
    };
    const auto create = [](const std::wstring& path) {
        HKEY key = nullptr;
        ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, nullptr);
        return std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>(key);
    };
    // HKEY_CURRENT_USER becomes a fresh key of the test's own for the rest of the program.
    ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    const std::wstring scratchPath =
        L"Software\\QuilletTests\\" + std::to_wstring(std::hash<std::string>{}(folder));
    ::RegDeleteTreeW(HKEY_CURRENT_USER, scratchPath.c_str());
    ::RegOverridePredefKey(HKEY_CURRENT_USER, create(scratchPath).get());
    if (!level) {
        return;
    }
    const auto key = create(L"Software\\Carrowmore\\Quillet");
    // A number is stored as the DWORD it is; any other text as a string, which is no level.
    char* end = nullptr;
    const long number = std::strtol(level->c_str(), &end, 10);
    if (!level->empty() && *end == '\0') {
        const auto value = static_cast<DWORD>(number);
        ::RegSetValueExW(key.get(), L"LOG_FILE_LEVEL", 0, REG_DWORD,
                         reinterpret_cast<const BYTE*>(&value), sizeof value);
    } else {
        const std::wstring text(level->begin(), level->end());
        ::RegSetValueExW(key.get(), L"LOG_FILE_LEVEL", 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
}

}  // namespace quillet::test
