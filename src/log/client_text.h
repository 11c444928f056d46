// Text that a client sent (requested names, ERROR messages) made safe to log and to show.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillet {

/// Longest escaped client text in a log line, and the length of each of two texts in one line.
inline constexpr std::size_t kLoggedClientText = 100;
inline constexpr std::size_t kLoggedClientTextOfTwo = 48;

/// The text with every byte below 0x20 and 0x7F written as \xNN (upper-case hex); all other
/// bytes, the backslash and bytes above 0x7F included, stay as sent.
std::string escapeClientText(std::string_view text);

/// The text, or when it is longer than limit its first limit - 3 characters and "...".
std::string cutClientText(std::string_view text, std::size_t limit = kLoggedClientText);

}  // namespace quillet
