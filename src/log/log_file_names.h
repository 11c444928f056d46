// The log file's names, which the served folder refuses to serve.
#pragma once

namespace quillet {

/// The log file's name, in the served folder of either program, and its backup's.
inline constexpr char kLogFileName[] = "Quillet.log";
inline constexpr char kLogBackupFileName[] = "Quillet.log.bak";

}  // namespace quillet
