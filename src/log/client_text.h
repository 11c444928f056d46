// Text that a client sent (requested names, ERROR messages) made safe to log and to show.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillet {

/// Longest escaped client text in a log line, and the length of each of two texts in one line.
inline constexpr std::size_t kLoggedClientText = 100;
inline constexpr std::size_t kLoggedClientTextOfTwo = 48;
inline constexpr std::size_t kWholeClientText = std::string_view::npos;

/// The text with each byte written as \xNN (upper-case hex) that could change what a reader
/// sees: bytes below 0x20 and 0x7F, every byte of a sequence that is not valid UTF-8 (overlong,
/// a surrogate, above U+10FFFF, cut short), and the bytes of the C1 controls (U+0080 to U+009F)
/// and of the controls of writing direction (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to
/// U+2069). The rest, the backslash included, stays as sent. When the result is longer than
/// limit it keeps only whole characters and escapes up to limit - 3 and ends in "...".
std::string escapeClientText(std::string_view text, std::size_t limit = kWholeClientText);

}  // namespace quillet
