#include "tftp/served_file.h"

#include <algorithm>
#include <utility>

#include "log/logger.h"

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

ServedFolder::~ServedFolder() {
    closeFileDescriptor(descriptor_);
}

ServedFolder::ServedFolder(ServedFolder&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, kNoFileDescriptor)),
      path_(std::move(other.path_)),
      problem_(std::move(other.problem_)) {}

ServedFolder& ServedFolder::operator=(ServedFolder&& other) noexcept {
    if (this != &other) {
        closeFileDescriptor(descriptor_);
        descriptor_ = std::exchange(other.descriptor_, kNoFileDescriptor);
        path_ = std::move(other.path_);
        problem_ = std::move(other.problem_);
    }
    return *this;
}

ServedFile::~ServedFile() {
    closeFileDescriptor(descriptor_);
}

ServedFile::ServedFile(ServedFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, kNoFileDescriptor)),
      size_(other.size_),
      modified_(other.modified_) {}

ServedFile& ServedFile::operator=(ServedFile&& other) noexcept {
    if (this != &other) {
        closeFileDescriptor(descriptor_);
        descriptor_ = std::exchange(other.descriptor_, kNoFileDescriptor);
        size_ = other.size_;
        modified_ = other.modified_;
    }
    return *this;
}

}  // namespace quillet
