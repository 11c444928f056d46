// quillet.exe: the TFTP server with its window. No command-line options.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "engine/privileges.h"
#include "win32/engine_parts.h"
#include "win32/server_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Port 69, the served folder and the log file in it come first, before any thread is made.
    auto engine = quillet::win32::prepareEngine();
    if (engine != nullptr && !quillet::dropPrivileges(engine->log)) {
        return quillet::kExitCannotStart;
    }
    const quillet::win32::AppResult result = quillet::win32::runServerApp(std::move(engine));
    if (result.engineAbandoned) {
        // The engine thread still runs and still uses what it shares with the window: end the
        // process here, without the exit-time destructors that would pull things from under it.
        std::fflush(nullptr);
        std::_Exit(result.exitStatus);
    }
    return result.exitStatus;
}
