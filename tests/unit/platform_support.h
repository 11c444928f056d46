// What the unit tests do differently per platform: the time zone, and where the user's settings
// live (a settings file under a scratch directory; a registry key of the test's own on Windows).
#pragma once

#include <optional>
#include <string>

namespace quillet::test {

/// Local time becomes UTC for the rest of the program.
void useUtc();

/// Points the user's settings at fresh ones of their own under folder (never the user's real
/// ones) and stores there LOG_FILE_LEVEL as given: a number, some other text, or nothing.
void useSettingsWithLevel(const std::string& folder, const std::optional<std::string>& level);

/// The newline that ends each line of the log file.
#ifdef _WIN32
inline constexpr char kNewline[] = "\r\n";
#else
inline constexpr char kNewline[] = "\n";
#endif

}  // namespace quillet::test
