// The main window: the transfer list above, the log lines below. It owns the engine, starts it
// when it is first shown and stops it whichever way it ends.
#pragma once

#include <QDialog>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <memory>

#include "engine/engine_thread.h"
#include "engine/udp_server.h"
#include "ui/engine_parts.h"

class QListWidget;
class QMenu;
class QMenuBar;

namespace quillet::ui {

class TransferListCtrl;

/// The program's one window. Receives the engine's messages as posted events: log lines go to the
/// log list, transfer events become rows, and a server error ends the dialog with
/// kServerErrorResult.
class MainDialog final : public QDialog {
    Q_OBJECT

  public:
    /// The result of a dialog ended by a server error.
    static constexpr int kServerErrorResult = 3;

    /// How long the close steps wait for the engine thread.
    static constexpr std::chrono::milliseconds kDefaultStopWaitLimit{10000};

    /// Builds the widgets around an engine, prepared or not; opens no file and starts no thread.
    explicit MainDialog(std::shared_ptr<EngineParts> engine, QWidget* parent = nullptr);

    /// The same with an engine of its own for the given port (tests use 0 for any free port).
    explicit MainDialog(std::uint16_t port = UdpServer::kTftpPort, QWidget* parent = nullptr)
        : MainDialog(std::make_shared<EngineParts>(port), parent) {}

    /// Runs the close steps if they have not run.
    ~MainDialog() override;

    /// Every way of ending the dialog (close box, Escape, Enter, accept, reject, a server error)
    /// comes here: the close steps run once, then the dialog ends with result.
    void done(int result) override;

    /// True when the close steps could not wait for the engine thread to end and let it go. The
    /// process must then end without destroying what that thread may still use (std::_Exit).
    bool engineAbandoned() const { return engineAbandoned_; }

    /// True when the engine's server has reported that it could not start.
    bool engineFailedToStart() const { return engine_->runResult.load() != 0; }

  protected:
    /// Starts the engine the first time the dialog is shown, preparing it first unless the
    /// program has.
    void showEvent(QShowEvent* event) override;

    /// Handles the engine's posted messages.
    void customEvent(QEvent* event) override;

    /// Shows the "&File" pop-up for a right click over the transfer list.
    void contextMenuEvent(QContextMenuEvent* event) override;

#ifdef Q_OS_WIN
    /// The system menu's about entry.
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

  private:
    // The window tests reach the engine's parts and the dialog's slots through it.
    friend class MainDialogTestAccess;

    enum class State { Constructed, Running, Ended };

    /// Removes the finished rows ("&Clear Entries").
    void clearEntries();

    /// Shows the about box.
    void showAbout();

    /// Counts one second in the running rows (the one-second timer).
    void elapsedPass();

    /// A click on a header section: sorts by columns up to "File Size", toggling the direction
    /// on a repeated click; other columns change nothing.
    void headerClicked(int column);

    void buildMenus();
    void buildTransferList();
    void addSystemMenuEntry();
    void startEngine();

    /// Stops the engine, waits for it within the limit, detaches the window from the engine's
    /// messages and releases the rows. Runs once.
    void runCloseSteps();

    /// Puts the header's sort indicator on the sorted column, or shows none.
    void showSortIndicator();

    void handle(EngineMessage& message);
    void showServerError(const std::string& text);

    std::shared_ptr<EngineParts> engine_;
    EngineBody engineBody_;
    std::unique_ptr<EngineThread> engineThread_;
    std::chrono::milliseconds stopWaitLimit_ = kDefaultStopWaitLimit;
    State state_ = State::Constructed;
    bool engineAbandoned_ = false;

    // Child widgets, owned by the dialog.
    QMenuBar* menuBar_;
    QMenu* fileMenu_;
    TransferListCtrl* transferList_;
    QListWidget* logList_;

    QTimer elapsedTimer_;
    int sortColumn_ = -1;
    bool sortAscending_ = true;
};

}  // namespace quillet::ui
