// The window program's whole run: the socket layer, the main dialog, and their ends.
#pragma once

namespace quillet::ui {

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

/// Starts the socket layer (or shows "Socket Init Error!" and stops), runs the main dialog on
/// port 69 until it is closed, a server error ends it, or SIGINT/SIGTERM arrives, then cleans
/// the socket layer up. Needs a QApplication.
AppResult runServerApp();

}  // namespace quillet::ui
