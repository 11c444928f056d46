// The texts of the settings that a window lets its user change, shared by every view.
#pragma once

#include <cstdint>

namespace quillet::window {

/// A log file level that the settings offer, with the lines it adds to the file.
struct FileLevelChoice {
    std::int32_t level;
    const char* adds;
};

/// The levels from 1 to 7, the least detailed first.
inline constexpr FileLevelChoice kFileLevelChoices[] = {
    {1, "no lines at all"},
    {2, "no lines at all"},
    {3, "the server cannot start, or cannot confine names to its folder"},
    {4, "and failed transfers, ignored packets, \"Server Busy.\""},
    {5, "and server state, refused requests"},
    {6, "and each transfer's start, options and end (the default)"},
    {7, "and progress every 200 blocks of 512 bytes"},
};

/// The settings dialog's title, its choices' labels and its note.
inline constexpr char kSettingsTitle[] = "Settings";
inline constexpr char kFileLevelLabel[] = "Log file level:";
inline constexpr char kTransferOptionsLabel[] =
    "Negotiate transfer options (blksize, tsize, windowsize)";
inline constexpr char kSettingsNote[] = "Changes take effect the next time Quillet starts.";

}  // namespace quillet::window
