// The window's text in both encodings: the model's UTF-8, the controls' UTF-16.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace quillet::win32 {

/// UTF-8 as UTF-16; an invalid sequence becomes U+FFFD.
std::wstring widen(std::string_view text);

/// UTF-16 as UTF-8.
std::string narrow(std::wstring_view text);

/// A window's text.
std::wstring windowText(HWND window);

/// Puts text on the clipboard as Unicode text; false when the clipboard cannot be had.
bool copyToClipboard(HWND owner, std::wstring_view text);

}  // namespace quillet::win32
