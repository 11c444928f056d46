// quillet: the TFTP server with its window. No command-line options.

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "ui/server_app.h"

int main(int argc, char* argv[]) {
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
