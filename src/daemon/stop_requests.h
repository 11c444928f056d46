// The platform's requests to stop quilletd: SIGINT and SIGTERM on POSIX; Ctrl+C, Ctrl+Break and
// closing the console on Windows, and the service manager's stop and shutdown for the service.
#pragma once

namespace quillet {
class UdpServer;
}

namespace quillet::daemon {

/// From now on each stop request asks server to stop (it does within about 2 s).
void routeStopRequests(UdpServer& server);

/// Asks the server that routeStopRequests named to stop, unless it has stopped already. Safe from
/// any thread at any time: the server cannot go away during the call.
void requestServerStop();

/// Called once the server has stopped, before it goes: later requests have nothing to stop.
void serverStopped();

}  // namespace quillet::daemon
