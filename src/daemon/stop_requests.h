// The platform's requests to stop quilletd: SIGINT and SIGTERM on POSIX; Ctrl+C, Ctrl+Break,
// closing the console and shutting down on Windows.
#pragma once

namespace quillet {
class UdpServer;
}

namespace quillet::daemon {

/// From now on each stop request asks server to stop (it does within about 2 s).
void routeStopRequests(UdpServer& server);

/// Called once the server has stopped: later requests have nothing to stop.
void serverStopped();

}  // namespace quillet::daemon
