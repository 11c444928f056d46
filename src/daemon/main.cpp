// quilletd: the server without a window. Serves the working directory on port 69 (on Windows, a
// folder of the user's instead of the program's own or the Windows folder), logs to
// "Quillet.log", echoes the lines a window would show to standard error, and stops on SIGINT or
// SIGTERM (on Windows: Ctrl+C, Ctrl+Break or a closed console; a second Ctrl+C ends it at once).
// Started by the Windows service manager, it is the service "Quillet TFTP Server" instead, which
// serves %ProgramData%\Quillet\TFTP. Exits with 3 when the engine cannot start.

#include <cstdio>

#include "daemon/console.h"
#include "daemon/line_echo.h"
#include "daemon/service.h"
#include "daemon/stop_requests.h"
#include "engine/exit_status.h"
#include "engine/privileges.h"
#include "engine/served_folder_choice.h"
#include "engine/udp_server.h"
#include "log/logger.h"
#include "net/udp_socket.h"
#include "settings/settings_level_store.h"

namespace {

/// Serves folder until a stop request; returns the exit status. Calls serving, when given, once
/// the port is bound.
int serve(const quillet::ServedFolderChoice& folder, void (*serving)()) {
    if (!quillet::net::startup()) {
        std::fprintf(stderr, "Socket Init Error!\n");
        return quillet::kExitCannotStart;
    }
    quillet::SettingsLevelStore levelStore;
    quillet::Logger log(levelStore);
    quillet::UdpServer server(quillet::UdpServer::kTftpPort, quillet::systemClock(), folder.path);
    server.setPassedOverFolder(folder.notServed);
    // What may need privileges comes first, while this is the only thread: port 69, the served
    // folder and the log file in it. Then every privilege goes, before any thread is made.
    server.prepare();
    log.open(server.servedFolderDescriptor());
    if (!quillet::dropPrivileges(log)) {
        return quillet::kExitCannotStart;
    }

    // Stands in for the window: its lines go to standard error without ever holding up the
    // engine. It has written them all once it is gone.
    quillet::LineEcho standardError(stderr);
    log.attachWindow(&standardError);

    server.setLog(&log);
    server.setNegotiatesOptions(quillet::readTransferOptionsSetting());
    quillet::daemon::routeStopRequests(server);
    if (serving != nullptr && server.boundPort() != 0) {
        serving();
    }

    const int exitStatus = server.run();

    quillet::daemon::serverStopped();
    quillet::net::cleanup();
    return exitStatus;
}

}  // namespace

int main() {
    if (const auto serviceExitStatus = quillet::daemon::runAsService(serve)) {
        return *serviceExitStatus;
    }
    quillet::daemon::useUtf8Console();
    const int exitStatus = serve(quillet::chooseServedFolder(), nullptr);
    if (exitStatus != 0) {
        quillet::daemon::holdConsoleOpen();  // so that the reason can be read
    }
    return exitStatus;
}
