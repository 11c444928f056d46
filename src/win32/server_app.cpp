#include "win32/server_app.h"

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <utility>

#include "net/udp_socket.h"
#include "win32/engine_parts.h"
#include "win32/main_dialog.h"

namespace quillet::win32 {

std::shared_ptr<EngineParts> prepareEngine() {
    if (!net::startup()) {
        return nullptr;
    }
    auto engine = std::make_shared<EngineParts>(UdpServer::kTftpPort, chooseServedFolder());
    engine->prepare();
    return engine;
}

AppResult runServerApp(std::shared_ptr<EngineParts> engine) {
    if (engine == nullptr) {
        ::MessageBoxW(nullptr, L"Socket Init Error!", L"Error", MB_ICONERROR | MB_OK);
        return {kExitCannotStart, false};
    }
    // The shell's "open" of the served folder may need COM on this thread.
    const HRESULT com =
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES;
    ::InitCommonControlsEx(&controls);

    AppResult result;
    {
        MainDialog dialog(std::move(engine));
        if (!dialog.create()) {
            ::MessageBoxW(nullptr, L"The window could not be made.", L"Error",
                          MB_ICONERROR | MB_OK);
            result.exitStatus = kExitCannotStart;
        } else {
            const int ended = dialog.run();
            // The engine's own result also says that it could not start, should the dialog have
            // ended before its box came up.
            const bool cannotStart =
                ended == MainDialog::kServerErrorResult || dialog.engineFailedToStart();
            result.exitStatus = cannotStart ? kExitCannotStart : 0;
            result.engineAbandoned = dialog.engineAbandoned();
        }
        // The socket layer goes before the dialog and its members, as the dialog's close steps
        // have already stopped the engine (or let it go).
        net::cleanup();
    }
    if (SUCCEEDED(com)) {
        ::CoUninitialize();
    }
    return result;
}

}  // namespace quillet::win32
