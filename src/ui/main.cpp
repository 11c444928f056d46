// quillet: the TFTP server with its window. No command-line options.

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "engine/privileges.h"
#include "ui/engine_parts.h"
#include "ui/server_app.h"

int main(int argc, char* argv[]) {
    if (!quillet::ui::displayAvailable()) {
        std::fprintf(stderr, "%s\n", quillet::ui::kNoDisplayMessage);
        return 1;
    }
    // Port 69, the served folder and the log file in it may need privileges: they come first,
    // while this is the only thread, and every privilege goes before Qt makes any other.
    auto engine = quillet::ui::prepareEngine();
    if (engine != nullptr && !quillet::dropPrivileges(engine->log)) {
        return quillet::kExitCannotStart;
    }
    QApplication application(argc, argv);
    const quillet::ui::AppResult result = quillet::ui::runServerApp(std::move(engine));
    if (result.engineAbandoned) {
        // The engine thread still runs and still uses what it shares with the window: end the
        // process here, without the exit-time destructors that would pull things from under it.
        std::fflush(nullptr);
        std::_Exit(result.exitStatus);
    }
    return result.exitStatus;
}
