// quilletd: the server without a window. Serves the working directory on port 69, logs to
// "Quillet.log", echoes the lines a window would show to standard error, and stops on SIGINT or
// SIGTERM (on Windows: Ctrl+C, Ctrl+Break, a closed console or shutdown). Exits with 3 when the
// engine cannot start.

#include <cstdio>

#include "daemon/stop_requests.h"
#include "engine/privileges.h"
#include "engine/udp_server.h"
#include "log/line_echo.h"
#include "log/logger.h"
#include "net/udp_socket.h"
#include "settings/settings_level_store.h"

int main() {
    if (!quillet::net::startup()) {
        std::fprintf(stderr, "Socket Init Error!\n");
        return quillet::kExitCannotStart;
    }
    quillet::SettingsLevelStore levelStore;
    quillet::Logger log(levelStore);
    quillet::UdpServer server;
    // What may need privileges comes first, while this is the only thread: port 69, the served
    // folder and the log file in it. Then every privilege goes, before any thread is made.
    server.prepare();
    log.open(server.servedFolderDescriptor());
    if (!quillet::dropPrivileges(log)) {
        return quillet::kExitCannotStart;
    }

    // Stands in for the window: its lines go to standard error without ever holding up the
    // engine.
    quillet::LineEcho standardError(stderr);
    log.attachWindow(&standardError);
    log.windowLevel = quillet::Logger::kDefaultWindowLevel;

    server.setLog(&log);
    server.setNegotiatesOptions(quillet::readTransferOptionsSetting());
    quillet::daemon::routeStopRequests(server);

    const int exitStatus = server.run();

    quillet::daemon::serverStopped();
    quillet::net::cleanup();
    return exitStatus;
}
