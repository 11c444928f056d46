#include "win32/win32_message_window.h"

namespace quillet::win32 {

void Win32MessageWindow::attach(HWND receiver) {
    detach();
    receiver_ = receiver;
    open();
}

void Win32MessageWindow::detach() {
    close();
    receiver_ = nullptr;
}

void Win32MessageWindow::wake() {
    // A full message queue refuses the post; the window's one-second timer takes the batch then.
    ::PostMessageW(receiver_, kWakeMessage, 0, 0);
}

}  // namespace quillet::win32
