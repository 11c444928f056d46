#include <windows.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "daemon/service.h"
#include "daemon/stop_requests.h"
#include "engine/exit_status.h"

namespace quillet::daemon {
namespace {

// The name the service is installed under; the service manager passes it to serviceMain.
wchar_t serviceName[] = L"quilletd";
// The start and stop take at most this long: the loop ends within about 2 s.
constexpr DWORD kWaitHintMs = 5000;

// serviceMain runs on a thread of the service manager's dispatcher, onServiceControl on the
// program's main thread inside StartServiceCtrlDispatcherW; both report through one status.
ServeFunction serveBody = nullptr;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SRWLOCK statusLock = SRWLOCK_INIT;
SERVICE_STATUS status{};  // guarded by statusLock
int exitStatus = 0;       // written by serviceMain before it reports the stop

/// Tells the service manager the service's state; a stopped service's exit status goes with it.
void report(DWORD state, int stoppedWith = 0) {
    ::AcquireSRWLockExclusive(&statusLock);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = status.dwCurrentState == SERVICE_RUNNING
                                    ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
                                    : 0;
    status.dwWin32ExitCode = stoppedWith == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(stoppedWith);
    const bool pending = status.dwCurrentState == SERVICE_START_PENDING ||
                         status.dwCurrentState == SERVICE_STOP_PENDING;
    status.dwWaitHint = pending ? kWaitHintMs : 0;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    ::SetServiceStatus(statusHandle, &status);
    ::ReleaseSRWLockExclusive(&statusLock);
}

void reportServing() {
    report(SERVICE_RUNNING);
}

// The stop, and the system's shutdown, take the path of Ctrl+C.
DWORD WINAPI onServiceControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            report(SERVICE_STOP_PENDING);
            requestServerStop();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

/// %ProgramData%\Quillet\TFTP, created when missing (the installer creates it, with the right for
/// the service to write its log there).
ServedFolderChoice programDataFolder() {
    wchar_t* programData = nullptr;
    std::wstring folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData))) {
        folder = std::wstring(programData) + L"\\Quillet\\TFTP";
    }
    ::CoTaskMemFree(programData);
    if (folder.empty()) {
        return {};  // nothing is served, and the log says so
    }
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::u8string text = std::filesystem::path(folder).u8string();
    return {{text.begin(), text.end()}, {}};
}

/// True when this process's parent is services.exe, the service manager.
bool startedByServiceManager() {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return true;  // the dispatcher will tell
    }
    std::vector<PROCESSENTRY32W> processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
         more = ::Process32NextW(snapshot, &entry)) {
        processes.push_back(entry);
    }
    ::CloseHandle(snapshot);
    const auto self = std::find_if(processes.begin(), processes.end(), [](const auto& process) {
        return process.th32ProcessID == ::GetCurrentProcessId();
    });
    return self != processes.end() &&
           std::any_of(processes.begin(), processes.end(), [&](const auto& process) {
               return process.th32ProcessID == self->th32ParentProcessID &&
                      ::lstrcmpiW(process.szExeFile, L"services.exe") == 0;
           });
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    statusHandle = ::RegisterServiceCtrlHandlerExW(serviceName, onServiceControl, nullptr);
    if (statusHandle == nullptr) {
        return;
    }
    report(SERVICE_START_PENDING);
    exitStatus = serveBody(programDataFolder(), reportServing);
    report(SERVICE_STOPPED, exitStatus);
}

}  // namespace

std::optional<int> runAsService(ServeFunction serve) {
    // Only the service manager's own process starts services: the dispatcher need not be asked
    // otherwise (under Wine it takes 10 s to say no).
    if (!startedByServiceManager()) {
        return std::nullopt;
    }
    serveBody = serve;
    const SERVICE_TABLE_ENTRYW table[] = {{serviceName, serviceMain}, {nullptr, nullptr}};
    if (::StartServiceCtrlDispatcherW(table)) {
        return exitStatus;
    }
    // Started from a console, Explorer or a shortcut: the program runs as it always did.
    if (::GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        return std::nullopt;
    }
    return kExitCannotStart;
}

}  // namespace quillet::daemon
