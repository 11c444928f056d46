#include "win32/text.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace quillet::win32 {

std::wstring widen(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX / 2));
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    if (length <= 0 ||
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length) != length) {
        return {};
    }
    return wide;
}

std::string narrow(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX / 4));
    const int length =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(std::max(length, 0)), '\0');
    if (length <= 0 || ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), length,
                                             nullptr, nullptr) != length) {
        return {};
    }
    return utf8;
}

std::wstring windowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

bool copyToClipboard(HWND owner, std::wstring_view text) {
    // The clipboard owns the memory once SetClipboardData has taken it.
    struct GlobalFreer {
        void operator()(void* memory) const { ::GlobalFree(memory); }
    };
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    std::unique_ptr<void, GlobalFreer> memory(::GlobalAlloc(GMEM_MOVEABLE, bytes));
    if (memory == nullptr) {
        return false;
    }
    auto* copy = static_cast<wchar_t*>(::GlobalLock(memory.get()));
    if (copy == nullptr) {
        return false;
    }
    std::memcpy(copy, text.data(), text.size() * sizeof(wchar_t));
    copy[text.size()] = L'\0';
    ::GlobalUnlock(memory.get());
    if (!::OpenClipboard(owner)) {
        return false;
    }
    ::EmptyClipboard();
    const bool taken = ::SetClipboardData(CF_UNICODETEXT, memory.get()) != nullptr;
    ::CloseClipboard();
    if (taken) {
        memory.release();
    }
    return taken;
}

}  // namespace quillet::win32
