// quillet: the TFTP server with its window. No command-line options.

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "ui/server_app.h"

int main(int argc, char* argv[]) {
    if (!quillet::ui::displayAvailable()) {
        std::fprintf(stderr, "%s\n", quillet::ui::kNoDisplayMessage);
        return 1;
    }
    QApplication application(argc, argv);
    const quillet::ui::AppResult result = quillet::ui::runServerApp();
    if (result.engineAbandoned) {
        // The engine thread still runs and still uses what it shares with the window: end the
        // process here, without the exit-time destructors that would pull things from under it.
        std::fflush(nullptr);
        std::_Exit(result.exitStatus);
    }
    return result.exitStatus;
}
