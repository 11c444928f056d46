// The main window: the transfer list above, the log lines below. It owns the engine, starts it
// when it is first shown and stops it whichever way it ends. What it shows is the window model's;
// the dialog only forwards the engine's messages, the timer and the user's commands to it.
#pragma once

#include <QDialog>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <memory>

#include "engine/engine_thread.h"
#include "engine/udp_server.h"
#include "ui/engine_parts.h"
#include "window/window_model.h"

class QAction;
class QListView;
class QMenu;
class QMenuBar;
class QSplitter;
class QTreeView;

namespace quillet::ui {

class TransferTable;

/// The program's one window. Takes the engine's messages when a wake event arrives: log lines go
/// to the log list, transfer events become rows, and a server error ends the dialog with
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

    /// Takes the engine's queued messages.
    void customEvent(QEvent* event) override;

    /// Over the transfer list (its header included): "Copy" and the "&File" pop-up; over the log
    /// list: "Copy".
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    // The window tests reach the engine's parts, the model and the widgets through it.
    friend class MainDialogTestAccess;

    enum class State { Constructed, Running, Ended };

    void buildMenus();
    void buildTransferList();
    void buildLogList();

    /// The size the dialog opens at: its design size in dialog units of its font, wide enough
    /// for the columns, and never larger than the screen's available area.
    QSize openingSize() const;

    void startEngine();

    /// Stops the engine, waits for it within the limit and detaches the window from the engine's
    /// messages. Runs once.
    void runCloseSteps();

    /// Applies the queued engine messages to the model; shows a server error if one came.
    void takeEngineMessages();
    void showServerError(const std::string& text);

    /// Puts the header's arrow where the model says.
    void showSortIndicator();
    void headerClicked(int column);

    void showAbout();
    void showSettings();
    void openServedFolder();

    /// Puts the selected transfer row's texts, tab-separated, on the clipboard.
    void copyTransferRow();
    /// Puts the selected log lines, one per line, on the clipboard.
    void copyLogLines();

    std::shared_ptr<EngineParts> engine_;
    EngineBody engineBody_;
    std::unique_ptr<EngineThread> engineThread_;
    std::chrono::milliseconds stopWaitLimit_ = kDefaultStopWaitLimit;
    State state_ = State::Constructed;
    bool engineAbandoned_ = false;
    QString servedFolder_;

    window::WindowModel model_;
    std::unique_ptr<TransferTable> table_;  // goes before the model it observes

    // Child widgets and actions, owned by the dialog.
    QMenuBar* menuBar_;
    QMenu* fileMenu_;
    QSplitter* splitter_;
    QTreeView* transferList_;
    QListView* logList_;
    QAction* copyRow_;
    QAction* copyLines_;

    // Whether the log list shows its newest line and should go on doing so.
    bool logFollows_ = true;

    QTimer elapsedTimer_;
};

}  // namespace quillet::ui
