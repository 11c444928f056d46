// What the engine thread uses: the server with its log and event sink, and the window end of
// their messages, kept together so that they can outlive the window when they must.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "engine/udp_server.h"
#include "log/event_sink.h"
#include "log/logger.h"
#include "settings/settings_level_store.h"
#include "ui/qt_message_window.h"

namespace quillet::ui {

/// The engine and everything it refers to while it runs. The window and the engine thread share
/// it, so whichever lets go last destroys it: normally the window after the thread has ended, or
/// the thread itself when the window could not wait for it.
struct EngineParts {
    /// The log reads its file level from the user's settings here.
    explicit EngineParts(std::uint16_t port) : log(levelStore), server(port) {}

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

    QtMessageWindow window;  // first made, last destroyed: the log and the sink post through it
    SettingsLevelStore levelStore;
    Logger log;
    EventSink eventSink;
    UdpServer server;
    // What the server's run returned: non-zero when it could not start.
    std::atomic<int> runResult{0};
};

/// The body of the engine thread; the default runs the server and keeps its result.
using EngineBody = std::function<void(EngineParts&)>;

}  // namespace quillet::ui
