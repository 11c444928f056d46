// quilletd's console on Windows: text in UTF-8, and a window of its own that stays open long
// enough to read why the server did not start. Nothing to do on POSIX.
#pragma once

namespace quillet::daemon {

/// Makes the console show what the program writes to it as UTF-8, so that names and folders
/// outside ASCII read correctly.
void useUtf8Console();

/// When the console window belongs to this program alone (it was started by a double-click) and
/// reads from the keyboard, asks for Enter and waits for it before the window closes.
void holdConsoleOpen();

}  // namespace quillet::daemon
