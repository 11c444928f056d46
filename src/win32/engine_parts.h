// What the engine thread uses: the server with its log and event sink, and the window's end of
// their messages, kept together so that they can outlive the window when they must.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/served_folder_choice.h"
#include "engine/udp_server.h"
#include "log/event_sink.h"
#include "log/logger.h"
#include "settings/settings_level_store.h"
#include "win32/win32_message_window.h"

namespace quillet::win32 {

/// The engine and everything it refers to while it runs. The window and the engine thread share
/// it, so whichever lets go last destroys it: normally the window after the thread has ended, or
/// the thread itself when the window could not wait for it.
struct EngineParts {
    /// An engine for port (tests use 0 for any free port) that serves folder. The log reads its
    /// file level from the registry here.
    EngineParts(std::uint16_t port, ServedFolderChoice folder)
        : servedFolder(std::move(folder)),
          log(levelStore),
          server(port, systemClock(), servedFolder.path) {
        server.setPassedOverFolder(servedFolder.notServed);
    }

    EngineParts(const EngineParts&) = delete;
    EngineParts& operator=(const EngineParts&) = delete;

    /// Binds the server's socket and opens the served folder and the log file in it, unless that
    /// has been done: the steps that may need privileges (UdpServer::prepare).
    void prepare() {
        if (!server.prepared()) {
            server.prepare();
            log.open(server.servedFolderDescriptor());
        }
    }

    const ServedFolderChoice servedFolder;
    Win32MessageWindow window;  // made before, destroyed after the log and the sink posting to it
    SettingsLevelStore levelStore;
    Logger log;
    EventSink eventSink;
    UdpServer server;
    // What the server's run returned: non-zero when it could not start.
    std::atomic<int> runResult{0};
};

/// The body of the engine thread; the default runs the server and keeps its result.
using EngineBody = std::function<void(EngineParts&)>;

}  // namespace quillet::win32
