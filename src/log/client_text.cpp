#include "log/client_text.h"

namespace quillet {

std::string escapeClientText(std::string_view text) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte < 0x20 || byte == 0x7F) {
            escaped += "\\x";
            escaped += kHexDigits[byte >> 4];
            escaped += kHexDigits[byte & 0x0F];
        } else {
            escaped += character;
        }
    }
    return escaped;
}

std::string cutClientText(std::string_view text, std::size_t limit) {
    constexpr std::string_view kEllipsis = "...";
    if (text.size() <= limit || limit < kEllipsis.size()) {
        return std::string(text.substr(0, limit));
    }
    return std::string(text.substr(0, limit - kEllipsis.size())) + std::string(kEllipsis);
}

}  // namespace quillet
