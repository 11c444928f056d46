#include "win32/dialogs.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "log/logger.h"
#include "settings/settings_level_store.h"
#include "win32/resource_ids.h"
#include "win32/text.h"
#include "window/setting_texts.h"

namespace quillet::win32 {
namespace {

INT_PTR CALLBACK aboutProc(HWND box, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        ::EndDialog(box, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

void showSettings(HWND box) {
    ::SetWindowTextW(box, widen(window::kSettingsTitle).c_str());
    ::SetDlgItemTextW(box, IDC_FILE_LEVEL_LABEL, widen(window::kFileLevelLabel).c_str());
    ::SetDlgItemTextW(box, IDC_TRANSFER_OPTIONS, widen(window::kTransferOptionsLabel).c_str());
    ::SetDlgItemTextW(box, IDC_SETTINGS_NOTE, widen(window::kSettingsNote).c_str());
    const HWND levels = ::GetDlgItem(box, IDC_FILE_LEVEL);
    for (const auto& choice : window::kFileLevelChoices) {
        const std::wstring text = std::to_wstring(choice.level) + L": " + widen(choice.adds);
        ::SendMessageW(levels, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    // A stored level outside the choices shows as the nearest one, which writes the same lines.
    const std::int32_t stored =
        SettingsLevelStore().readFileLevel().value_or(Logger::kDefaultFileLevel);
    const std::int32_t lowest = std::begin(window::kFileLevelChoices)->level;
    const std::int32_t highest = std::prev(std::end(window::kFileLevelChoices))->level;
    ::SendMessageW(levels, CB_SETCURSEL,
                   static_cast<WPARAM>(std::clamp(stored, lowest, highest) - lowest), 0);
    ::CheckDlgButton(box, IDC_TRANSFER_OPTIONS,
                     readTransferOptionsSetting() ? BST_CHECKED : BST_UNCHECKED);
}

INT_PTR CALLBACK settingsProc(HWND box, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        showSettings(box);
        return TRUE;
    }
    if (message != WM_COMMAND) {
        return FALSE;
    }
    if (LOWORD(wParam) == IDOK) {
        const auto chosen = ::SendDlgItemMessageW(box, IDC_FILE_LEVEL, CB_GETCURSEL, 0, 0);
        if (chosen >= 0 &&
            static_cast<std::size_t>(chosen) < std::size(window::kFileLevelChoices)) {
            SettingsLevelStore().writeFileLevel(
                window::kFileLevelChoices[static_cast<std::size_t>(chosen)].level);
        }
        writeTransferOptionsSetting(::IsDlgButtonChecked(box, IDC_TRANSFER_OPTIONS) == BST_CHECKED);
    }
    if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(box, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void showAboutBox(HWND owner) {
    ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, aboutProc,
                      0);
}

void showSettingsDialog(HWND owner) {
    ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SETTINGS), owner,
                      settingsProc, 0);
}

}  // namespace quillet::win32
