#include <windows.h>

#include <cstdio>

#include "daemon/console.h"

namespace quillet::daemon {

void useUtf8Console() {
    ::SetConsoleOutputCP(CP_UTF8);
}

void holdConsoleOpen() {
    // A console that also holds the shell the program was started from stays open by itself.
    DWORD processes[2] = {};
    DWORD mode = 0;
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (::GetConsoleProcessList(processes, 2) != 1 || !::GetConsoleMode(input, &mode)) {
        return;
    }
    std::fputs("Press Enter to close this window.\n", stderr);
    ::FlushConsoleInputBuffer(input);
    wchar_t typed[16];
    DWORD read = 0;
    ::ReadConsoleW(input, typed, 16, &read, nullptr);  // returns at Enter (line input)
}

}  // namespace quillet::daemon
