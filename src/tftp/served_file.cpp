#include "tftp/served_file.h"

#include <algorithm>

#include "log/log_file_names.h"

namespace quillet {

std::optional<std::string> nameInsideFolder(std::string_view requested,
                                            std::string_view folderPath) {
    if (!folderPath.empty() && requested.size() > folderPath.size() &&
        requested.substr(0, folderPath.size()) == folderPath &&
        requested[folderPath.size()] == '/') {
        requested.remove_prefix(folderPath.size());
    }
    const auto firstKept = requested.find_first_not_of('/');
    requested.remove_prefix(firstKept == std::string_view::npos ? requested.size() : firstKept);

    // The log files are refused by name, however the name reaches them at the top of the folder
    // ("./Quillet.log", "Quillet.log/" and the like); a link to them is caught when opened.
    std::string_view onlyPart;
    int parts = 0;
    for (std::size_t start = 0; start <= requested.size();) {
        const auto end = std::min(requested.find('/', start), requested.size());
        const auto part = requested.substr(start, end - start);
        if (!part.empty() && part != ".") {
            onlyPart = part;
            ++parts;
        }
        start = end + 1;
    }
    if (parts == 1 && (onlyPart == kLogFileName || onlyPart == kLogBackupFileName)) {
        return std::nullopt;
    }
    return std::string(requested);
}

std::optional<std::size_t> ServedFile::readAt(std::int64_t offset,
                                              std::span<std::uint8_t> buffer) const {
    if (offset < 0) {
        return std::nullopt;
    }
    // Never past the size seen at open, so a file that grows cannot make the transfer longer.
    const auto wanted = static_cast<std::size_t>(
        std::clamp<std::int64_t>(size_ - offset, 0, static_cast<std::int64_t>(buffer.size())));
    std::size_t filled = 0;
    while (filled < wanted) {
        const auto count = readOnce(offset + static_cast<std::int64_t>(filled),
                                    buffer.subspan(filled, wanted - filled));
        if (!count) {
            return std::nullopt;
        }
        if (*count == 0) {
            break;  // the file has shrunk since it was opened
        }
        filled += *count;
    }
    return filled;
}

}  // namespace quillet
