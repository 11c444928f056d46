#include <signal.h>

#include <atomic>

#include "daemon/stop_requests.h"
#include "engine/udp_server.h"

namespace quillet::daemon {
namespace {

std::atomic<UdpServer*> servingServer{nullptr};

extern "C" void requestStopOnSignal(int) {
    requestServerStop();
}

}  // namespace

// Only the signal handler asks; a lock is not for a signal handler, so the pointer is atomic and
// main clears it before the server goes.
void requestServerStop() {
    if (auto* server = servingServer.load()) {
        server->requestStop();
    }
}

void routeStopRequests(UdpServer& server) {
    servingServer.store(&server);
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

void serverStopped() {
    servingServer.store(nullptr);
}

}  // namespace quillet::daemon
