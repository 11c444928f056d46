#include <windows.h>

#include <atomic>

#include "daemon/stop_requests.h"
#include "engine/udp_server.h"

namespace quillet::daemon {
namespace {

// The system ends the process soon after the handler returns from a close or shutdown event (5 s
// for a closed console); the loop ends within about 2 s, so the handler waits that long for it.
constexpr DWORD kWaitForStopMs = 4000;

std::atomic<UdpServer*> servingServer{nullptr};

struct StoppedEvent {
    HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset, not set
    ~StoppedEvent() {
        if (handle != nullptr) {
            ::CloseHandle(handle);
        }
    }
};
StoppedEvent stopped;

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI onConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT &&
        event != CTRL_SHUTDOWN_EVENT) {
        return FALSE;
    }
    if (auto* server = servingServer.load()) {
        server->requestStop();
    }
    if ((event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) && stopped.handle != nullptr) {
        ::WaitForSingleObject(stopped.handle, kWaitForStopMs);
    }
    return TRUE;
}

}  // namespace

void routeStopRequests(UdpServer& server) {
    servingServer.store(&server);
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void serverStopped() {
    servingServer.store(nullptr);
    if (stopped.handle != nullptr) {
        ::SetEvent(stopped.handle);
    }
}

}  // namespace quillet::daemon
