#include "ui/transfer_texts.h"

#include <array>
#include <charconv>
#include <cstdio>

#include "net/client_endpoint.h"
#include "net/platform_types.h"

namespace quillet::ui {
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

}  // namespace

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

}  // namespace quillet::ui
