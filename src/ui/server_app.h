// The window program's whole run: the socket layer, the main dialog, and their ends.
#pragma once

#include <memory>

namespace quillet::ui {

struct EngineParts;

/// How a run ended.
struct AppResult {
    int exitStatus = 0;            // 3 when the server could not start, 0 otherwise
    bool engineAbandoned = false;  // the engine thread did not end in time and still runs
};

/// True when a window can be shown: a display is named (DISPLAY or WAYLAND_DISPLAY), or
/// QT_QPA_PLATFORM names a platform that needs none (offscreen, for one). Looked at before the
/// QApplication exists, which would otherwise abort.
bool displayAvailable();

/// What quillet says, on standard error, when there is no display; it then exits with status 1.
inline constexpr char kNoDisplayMessage[] = "quillet: no display; quilletd serves without a window";

/// The steps of the start that may need privileges, for main to take before anything makes a
/// thread: starts the socket layer, then makes the engine for port 69 and prepares it (binds the
/// socket, opens the served folder and the log file in it). Null when the socket layer cannot
/// start.
std::shared_ptr<EngineParts> prepareEngine();

/// Shows "Socket Init Error!" and stops when there is no engine; otherwise runs the main dialog
/// with it until it is closed, a server error ends it, or SIGINT/SIGTERM arrives, then cleans
/// the socket layer up. Needs a QApplication.
AppResult runServerApp(std::shared_ptr<EngineParts> engine);

}  // namespace quillet::ui
