#include "log/client_text.h"

#include <cstdint>

namespace quillet {
namespace {

/// The length of the valid UTF-8 sequence at the start of text and its code point, or a length
/// of 0 when the bytes there are no valid sequence (RFC 3629: no overlongs, no surrogates,
/// nothing above U+10FFFF, nothing cut short).
std::size_t decodeUtf8(std::string_view text, char32_t& codePoint) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(0);
    std::size_t length = 0;
    // The range the second byte must lie in; it is narrower than 0x80-0xBF after the leads whose
    // shortest forms, surrogates or code points above U+10FFFF it would otherwise let through.
    std::uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    codePoint = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    return length;
}

/// Code points that are valid but would steer a terminal or a reader: the C1 controls and the
/// controls of writing direction.
bool isHiddenControl(char32_t codePoint) {
    return (codePoint >= 0x80 && codePoint <= 0x9F) || codePoint == 0x061C || codePoint == 0x200E ||
           codePoint == 0x200F || (codePoint >= 0x202A && codePoint <= 0x202E) ||
           (codePoint >= 0x2066 && codePoint <= 0x2069);
}

}  // namespace

std::string escapeClientText(std::string_view text, std::size_t limit) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    constexpr std::string_view kEllipsis = "...";
    std::string escaped;
    // Where the text may be cut: after the last whole unit that leaves room for the ellipsis.
    std::size_t cut = 0;
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<std::uint8_t>(text[at]);
        std::size_t length = 1;
        bool visible = byte >= 0x20 && byte < 0x7F;
        if (byte >= 0x80) {
            char32_t codePoint = 0;
            length = decodeUtf8(text.substr(at), codePoint);
            visible = length > 0 && !isHiddenControl(codePoint);
            length = visible ? length : 1;
        }
        if (visible) {
            escaped.append(text.substr(at, length));
        } else {
            // A sequence that is not shown is escaped byte by byte: its further bytes start no
            // valid sequence, so they come here one after the other.
            escaped += "\\x";
            escaped += kHexDigits[byte >> 4];
            escaped += kHexDigits[byte & 0x0F];
        }
        at += length;
        if (escaped.size() > limit) {
            escaped.resize(cut);
            return escaped + std::string(kEllipsis);
        }
        if (limit >= kEllipsis.size() && escaped.size() <= limit - kEllipsis.size()) {
            cut = escaped.size();
        }
    }
    return escaped;
}

}  // namespace quillet
