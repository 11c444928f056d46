#include <windows.h>

#include <atomic>

#include "daemon/stop_requests.h"
#include "engine/udp_server.h"

namespace quillet::daemon {
namespace {

// The system ends the process soon after the handler returns from a closed console (5 s); the
// loop ends within about 2 s, so the handler waits that long for it.
constexpr DWORD kWaitForStopMs = 4000;

// The console handler runs on a thread that the system starts for each event, possibly while main
// is returning: the lock and the event have no destructor to run before such a thread is done.
// The lock keeps the server from going while a request reaches it.
SRWLOCK servingLock = SRWLOCK_INIT;
UdpServer* servingServer = nullptr;  // guarded by servingLock
std::atomic<int> interrupts{0};
const HANDLE stopped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);  // never closed

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // The second one goes on to the system's handler, which ends the process at once: an
            // engine that does not stop can still be ended from the keyboard.
            if (interrupts.fetch_add(1) > 0) {
                return FALSE;
            }
            requestServerStop();
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:  // only a service's process gets it
            requestServerStop();
            if (stopped != nullptr) {
                ::WaitForSingleObject(stopped, kWaitForStopMs);
            }
            return TRUE;
        case CTRL_LOGOFF_EVENT:  // only a service gets it, for any user: not its end
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void routeStopRequests(UdpServer& server) {
    ::AcquireSRWLockExclusive(&servingLock);
    servingServer = &server;
    ::ReleaseSRWLockExclusive(&servingLock);
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void requestServerStop() {
    ::AcquireSRWLockExclusive(&servingLock);
    if (servingServer != nullptr) {
        servingServer->requestStop();
    }
    ::ReleaseSRWLockExclusive(&servingLock);
}

void serverStopped() {
    ::AcquireSRWLockExclusive(&servingLock);
    servingServer = nullptr;
    ::ReleaseSRWLockExclusive(&servingLock);
    if (stopped != nullptr) {
        ::SetEvent(stopped);
    }
}

}  // namespace quillet::daemon
