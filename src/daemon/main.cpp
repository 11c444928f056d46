// quilletd: the server without a window. Serves the working directory on port 69, logs to
// "Quillet.log", echoes the lines a window would show to standard error, and stops on SIGINT or
// SIGTERM. Exits with 3 when the engine cannot start.

#include <atomic>
#include <csignal>
#include <cstdio>

#include "engine/udp_server.h"
#include "log/line_echo.h"
#include "log/logger.h"
#include "net/udp_socket.h"
#include "settings/settings_level_store.h"

namespace {

std::atomic<quillet::UdpServer*> servingServer{nullptr};

extern "C" void requestStopOnSignal(int) {
    if (auto* server = servingServer.load()) {
        server->requestStop();
    }
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = requestStopOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait for a datagram ends at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader of standard error that goes away must not end the server: the echo then fails
    // quietly, as every failure of logging does, and the log file goes on.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

int main() {
    if (!quillet::net::startup()) {
        std::fprintf(stderr, "Socket Init Error!\n");
        return quillet::kExitCannotStart;
    }
    quillet::SettingsLevelStore levelStore;
    quillet::Logger log(levelStore);
    // Stands in for the window: its lines go to standard error without ever holding up the
    // engine.
    quillet::LineEcho standardError(stderr);
    log.open(quillet::kLogFileName);
    log.attachWindow(&standardError);
    log.windowLevel = quillet::Logger::kDefaultWindowLevel;

    quillet::UdpServer server;
    server.setLog(&log);
    server.setNegotiatesOptions(quillet::readTransferOptionsSetting());
    servingServer.store(&server);
    installSignalHandlers();

    const int exitStatus = server.run();

    servingServer.store(nullptr);
    quillet::net::cleanup();
    return exitStatus;
}
