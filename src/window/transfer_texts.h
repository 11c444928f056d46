// The texts of a transfer row, the columns that show them and the order of rows, in standard C++
// so that every view shows the same and none depends on the process's locale.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "log/engine_messages.h"

namespace quillet::window {

/// The transfer list's columns, left to right.
enum TransferColumn : int {
    kClientColumn = 0,
    kStartTimeColumn = 1,
    kFileNameColumn = 2,
    kFileSizeColumn = 3,
    kProgressColumn = 4,
    kElapsedColumn = 5,
    kTransferColumnCount = 6,
};

/// The last column that a header click sorts by ("File Size"); the columns after it do not sort.
inline constexpr int kLastSortableColumn = kFileSizeColumn;

/// What a view needs to lay a column out.
struct ColumnLayout {
    const char* title;
    int designWidth;  // pixels, for a font whose average character is 6 pixels wide
    std::span<const char* const> widestTexts;  // the widest texts the column usually shows
};

/// The layout of a column, 0 to kTransferColumnCount - 1.
const ColumnLayout& columnLayout(int column);

/// The width in pixels of a text in the font in use, with the room a view puts around it.
using TextWidth = std::function<int(std::string_view text)>;

/// The width of a column in the font in use: its design width scaled by the font's average
/// character width over 6 (as dialog units scale), and never narrower than its title (measured
/// by titleWidth) or its widest usual text (measured by cellWidth).
int fittingColumnWidth(int column, int averageCharWidth, const TextWidth& titleWidth,
                       const TextWidth& cellWidth);

/// The "File Size" text: "%dB" below 1024 bytes, "%.2fkB" below 1 MiB, "%.2fMB" from there,
/// always with a '.' as the decimal point.
std::string sizeText(std::int64_t fileSize);

/// The "Elapsed" text: minutes and seconds, "%u:%02u"; minutes are not carried into hours.
std::string elapsedText(std::uint32_t elapsedSeconds);

/// The "Start Time" text: local time as "%b-%d %X" in the C locale ("Mar-05 14:07:09"),
/// whatever locale the process runs in.
std::string startTimeText(std::time_t startTime);

/// The percentage a progress event shows: blocks sent x 100 / the file's count of blocks of
/// blockSize bytes, truncated. An empty file has no blocks to count and shows 100. The result may
/// exceed 100 (the row refuses it).
std::int64_t progressPercent(std::int64_t fileSize, std::int32_t blockSize,
                             std::int32_t blocksSent);

/// The ascending order of two records by a sortable column: negative when a goes first, zero
/// when equal, positive when b goes first. Columns past kLastSortableColumn compare equal.
int compareRecords(const TransferRecord& a, const TransferRecord& b, int column);

}  // namespace quillet::window
