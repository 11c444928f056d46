#include "window/transfer_texts.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

#include "net/client_endpoint.h"
#include "net/platform_types.h"

namespace quillet::window {
namespace {

constexpr std::int32_t kKilobyte = 1024;
constexpr std::int32_t kMegabyte = 1024 * 1024;

// "%.2f" without the process's decimal point: QApplication sets the C library's locale from the
// environment, where printf would write "1,00" in many of them.
std::string twoDecimals(double value, const char* unit) {
    std::array<char, 64> digits{};
    const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), value,
                                            std::chars_format::fixed, 2);
    if (error != std::errc{}) {
        return unit;
    }
    return std::string(digits.data(), end) + unit;
}

template <typename Value>
int threeWay(const Value& a, const Value& b) {
    return (b < a) - (a < b);
}

// The widest texts each column usually shows: an IPv4 endpoint at its longest, a start time in
// every month, a size just short of what a size text rounds up, the longest failure reason, an
// hour less a second.
constexpr const char* kWidestClients[] = {"255.255.255.255 (65535)"};
constexpr const char* kWidestStartTimes[] = {
    "Jan-30 23:59:59", "Feb-28 23:59:59", "Mar-30 23:59:59", "Apr-30 23:59:59",
    "May-30 23:59:59", "Jun-30 23:59:59", "Jul-30 23:59:59", "Aug-30 23:59:59",
    "Sep-30 23:59:59", "Oct-30 23:59:59", "Nov-30 23:59:59", "Dec-30 23:59:59"};
constexpr const char* kWidestSizes[] = {"9999.99MB", "1023.99kB"};
constexpr const char* kWidestProgress[] = {"Client Unreachable", "Socket Error", "Done"};
constexpr const char* kWidestElapsed[] = {"999:59"};

constexpr ColumnLayout kColumns[kTransferColumnCount] = {
    {"Client Address (port)", 125, kWidestClients},
    {"Start Time", 90, kWidestStartTimes},
    {"File Name", 120, {}},
    {"File Size", 70, kWidestSizes},
    {"Progress", 125, kWidestProgress},
    {"Elapsed", 60, kWidestElapsed},
};

// The average character width that the design widths were made for.
constexpr int kDesignAverageCharWidth = 6;

}  // namespace

const ColumnLayout& columnLayout(int column) {
    return kColumns[std::clamp(column, 0, kTransferColumnCount - 1)];
}

int fittingColumnWidth(int column, int averageCharWidth, const TextWidth& titleWidth,
                       const TextWidth& cellWidth) {
    const ColumnLayout& layout = columnLayout(column);
    // Rounded to the nearest pixel, as dialog units are.
    int width = (layout.designWidth * averageCharWidth + kDesignAverageCharWidth / 2) /
                kDesignAverageCharWidth;
    width = std::max(width, titleWidth(layout.title));
    for (const char* text : layout.widestTexts) {
        width = std::max(width, cellWidth(text));
    }
    return width;
}

std::string sizeText(std::int64_t fileSize) {
    if (fileSize >= kMegabyte) {
        return twoDecimals(static_cast<double>(fileSize) / kMegabyte, "MB");
    }
    if (fileSize >= kKilobyte) {
        return twoDecimals(static_cast<double>(fileSize) / kKilobyte, "kB");
    }
    return std::to_string(fileSize) + "B";
}

std::string elapsedText(std::uint32_t elapsedSeconds) {
    char text[40];
    std::snprintf(text, sizeof text, "%u:%02u", elapsedSeconds / 60, elapsedSeconds % 60);
    return text;
}

std::string startTimeText(std::time_t startTime) {
    // strftime's %b and %X follow the process's locale; these are the C locale's.
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (!toLocalTime(startTime, local)) {
        local = std::tm{};
    }
    const auto month = static_cast<std::size_t>(local.tm_mon) % kMonths.size();
    char text[40];
    std::snprintf(text, sizeof text, "%s-%02d %02d:%02d:%02d", kMonths[month], local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::int64_t progressPercent(std::int64_t fileSize, std::int32_t blockSize,
                             std::int32_t blocksSent) {
    if (blockSize <= 0) {
        return 0;
    }
    const std::int64_t blockTotal = (fileSize + blockSize - 1) / blockSize;
    if (blockTotal <= 0) {
        return 100;
    }
    return std::int64_t{blocksSent} * 100 / blockTotal;
}

int compareRecords(const TransferRecord& a, const TransferRecord& b, int column) {
    switch (column) {
        case kClientColumn:
            return threeWay(a.endpoint, b.endpoint);
        case kStartTimeColumn:
            return threeWay(a.startTime, b.startTime);
        case kFileNameColumn:
            // std::string compares its bytes as unsigned characters, as strcmp does.
            return threeWay(a.fileName, b.fileName);
        case kFileSizeColumn:
            return threeWay(a.fileSize, b.fileSize);
        default:
            return 0;
    }
}

}  // namespace quillet::window
