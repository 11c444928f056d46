// The window's two small dialogs.
#pragma once

#include <windows.h>

namespace quillet::win32 {

/// Runs the about box (template 100) over owner until its OK button or Escape ends it.
void showAboutBox(HWND owner);

/// Runs the settings dialog (template 103) over owner: the log file level and the transfer
/// options as stored, written back to the registry values that the programs read when OK ends
/// it; nothing is written when Cancel does.
void showSettingsDialog(HWND owner);

}  // namespace quillet::win32
