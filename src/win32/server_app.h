// The window program's whole run: the socket layer, the main dialog, and their ends.
#pragma once

#include <memory>

namespace quillet::win32 {

struct EngineParts;

/// How a run ended.
struct AppResult {
    int exitStatus = 0;            // 3 when the server could not start, 0 otherwise
    bool engineAbandoned = false;  // the engine thread did not end in time and still runs
};

/// The steps of the start that may need privileges, taken before any thread is made: starts the
/// socket layer, then makes the engine for port 69 and the chosen folder and prepares it (binds
/// the socket, opens the served folder and the log file in it). Null when the socket layer
/// cannot start.
std::shared_ptr<EngineParts> prepareEngine();

/// Shows "Socket Init Error!" and stops when there is no engine; otherwise runs the main dialog
/// with it until it is closed or a server error ends it, then cleans the socket layer up.
AppResult runServerApp(std::shared_ptr<EngineParts> engine);

}  // namespace quillet::win32
