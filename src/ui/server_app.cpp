#include "ui/server_app.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <utility>

#include "net/udp_socket.h"
#include "ui/main_dialog.h"
#include "ui/stop_signals.h"

#include <cstdlib>
#include <string_view>

namespace quillet::ui {
namespace {

/// Ends the modal boxes over the main dialog (about box, error box), then the dialog itself, so
/// that a stop request never waits for someone to press OK.
void closeEverything(MainDialog& dialog) {
    for (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != &dialog;
         modal = QApplication::activeModalWidget()) {
        auto* box = qobject_cast<QDialog*>(modal);
        if (box == nullptr) {
            break;
        }
        box->reject();
        if (box->isVisible()) {
            break;  // it would not go; the dialog is ended below all the same
        }
    }
    dialog.close();
}

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

bool displayAvailable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0') {
        // "name:options"; the platforms that draw on an X or Wayland display need one.
        const std::string_view name =
            std::string_view(platform).substr(0, std::string_view(platform).find(':'));
        if (name == "xcb") {
            return isSet("DISPLAY");
        }
        if (!name.starts_with("wayland")) {
            return true;
        }
        return isSet("WAYLAND_DISPLAY");
    }
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
}

std::shared_ptr<EngineParts> prepareEngine() {
    if (!net::startup()) {
        return nullptr;
    }
    auto engine = std::make_shared<EngineParts>(UdpServer::kTftpPort);
    engine->prepare();
    return engine;
}

AppResult runServerApp(std::shared_ptr<EngineParts> engine) {
    if (engine == nullptr) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"),
                        QStringLiteral("Socket Init Error!"), QMessageBox::Ok);
        box.exec();
        return {kExitCannotStart, false};
    }
    // The dialog ends the run; it is not the last window that closes, the run is.
    QApplication::setQuitOnLastWindowClosed(false);

    AppResult result;
    {
        MainDialog dialog(std::move(engine));
        StopSignalNotifier stopSignals;
        QObject::connect(&stopSignals, &StopSignalNotifier::stopRequested, &dialog,
                         [&dialog] { closeEverything(dialog); });

        const int ended = dialog.exec();
        // A stop request can end the dialog before the error box has come up: the engine's own
        // result still says that it could not start.
        const bool cannotStart =
            ended == MainDialog::kServerErrorResult || dialog.engineFailedToStart();
        result.exitStatus = cannotStart ? kExitCannotStart : 0;
        result.engineAbandoned = dialog.engineAbandoned();
        // The socket layer goes before the dialog and its members, as the dialog's close steps
        // have already stopped the engine (or let it go).
        net::cleanup();
    }
    return result;
}

}  // namespace quillet::ui
