// quilletd: the server without a window. Serves the working directory on port 69, logs to
// "Quillet.log", echoes the lines a window would show to standard error, and stops on SIGINT or
// SIGTERM (on Windows: Ctrl+C, Ctrl+Break, a closed console or shutdown). Exits with 3 when the
// engine cannot start.

#include <cstdio>
#include <memory>
#include <variant>

#include "daemon/stop_requests.h"
#include "engine/udp_server.h"
#include "log/engine_messages.h"
#include "log/logger.h"
#include "net/udp_socket.h"
#include "settings/settings_level_store.h"

namespace {

/// Stands in for the window: log lines go to standard error, everything else is dropped.
class StandardErrorWindow final : public quillet::MessageWindow {
  public:
    bool post(std::unique_ptr<quillet::EngineMessage> message) override {
        if (const auto* line = std::get_if<quillet::LogLineMessage>(message.get())) {
            std::fprintf(stderr, "%s\n", line->line.c_str());
            return true;
        }
        return false;
    }
};

}  // namespace

int main() {
    if (!quillet::net::startup()) {
        std::fprintf(stderr, "Socket Init Error!\n");
        return quillet::kExitCannotStart;
    }
    quillet::SettingsLevelStore levelStore;
    quillet::Logger log(levelStore);
    StandardErrorWindow standardError;
    log.open(quillet::kLogFileName);
    log.attachWindow(&standardError);
    log.windowLevel = quillet::Logger::kDefaultWindowLevel;

    quillet::UdpServer server;
    server.setLog(&log);
    quillet::daemon::routeStopRequests(server);

    const int exitStatus = server.run();

    quillet::daemon::serverStopped();
    quillet::net::cleanup();
    return exitStatus;
}
