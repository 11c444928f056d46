// The main window: the transfer list above, the log lines below. It owns the engine, starts it
// once the window is shown and stops it whichever way the window ends. What it shows is the
// window model's; the dialog forwards the engine's messages, the timer and the user's commands
// to the model and mirrors the model's changes into its two controls.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <type_traits>

#include "engine/engine_thread.h"
#include "win32/engine_parts.h"
#include "win32/transfer_list_ctrl.h"
#include "window/window_model.h"

namespace quillet::win32 {

/// The program's one window, made from dialog template 102 and run on its own message loop. The
/// engine's messages are taken when the wake message arrives: log lines go to the log list,
/// transfer events become rows, and a server error ends the dialog with kServerErrorResult.
class MainDialog final : private window::WindowModelObserver {
  public:
    /// The result of a dialog ended by a server error.
    static constexpr int kServerErrorResult = 3;
    /// How long the close steps wait for the engine thread.
    static constexpr std::chrono::milliseconds kDefaultStopWaitLimit{10000};
    /// The one-second timer of the elapsed-time pass.
    static constexpr UINT_PTR kElapsedTimer = 100;
    /// Fits the columns and the log's width to the font again, after a change of DPI.
    static constexpr UINT kRefitMessage = WM_APP + 2;

    /// Holds an engine, prepared or not; makes no window, opens no file, starts no thread.
    explicit MainDialog(std::shared_ptr<EngineParts> engine);

    /// Ends the dialog if it has not ended: the close steps, then the window goes.
    ~MainDialog();
    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;

    /// Makes the window at its opening size, shows it and starts the engine, preparing it first
    /// unless the program has. False when the window cannot be made.
    bool create();

    /// Handles one message of the thread's queue: the window's keys (Ctrl+C), the dialog's keys,
    /// then the window procedures.
    void dispatch(MSG& message);

    /// Runs the thread's message loop until the dialog has ended; returns its result.
    int run();

    HWND window() const { return dialog_; }

    /// True once the dialog has ended (its close steps ran and its window is gone).
    bool ended() const { return ended_; }

    /// How the dialog ended: IDCANCEL after a close, kServerErrorResult after a server error.
    int result() const { return result_; }

    /// True when the close steps could not wait for the engine thread to end and let it go. The
    /// process must then end without destroying what that thread may still use (std::_Exit).
    bool engineAbandoned() const { return engineAbandoned_; }

    /// True when the engine's server has reported that it could not start.
    bool engineFailedToStart() const { return engine_->runResult.load() != 0; }

  private:
    // The window tests reach the engine's parts, the model and the controls through it.
    friend class MainDialogTestAccess;

    enum class State { Constructed, Running, Ended };

    struct IconDestroyer {
        void operator()(HICON icon) const { ::DestroyIcon(icon); }
    };
    using OwnedIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroyer>;
    struct AcceleratorsDestroyer {
        void operator()(HACCEL keys) const { ::DestroyAcceleratorTable(keys); }
    };

    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);

    /// WM_INITDIALOG: the system menu's about entry, the icons, the lists and the opening size.
    void initialise();
    void placeAtOpeningSize();
    /// Lays the two lists out in the client area: the log keeps its share of the height.
    void layout();
    void startEngine();

    /// The close steps (once), then the window goes and run() returns result.
    void end(int result);
    /// Stops the engine, waits for it within the limit and detaches the window from the engine's
    /// messages. Runs once.
    void runCloseSteps();

    /// Applies the queued engine messages to the model; shows a server error if one came.
    void takeEngineMessages();
    void showServerError(const std::string& text);

    void command(int id);
    void showContextMenu(POINT at);
    void copyTransferRow();
    void copyLogLines();
    void openServedFolder();

    /// True when the log list shows its last line (or none).
    bool logShowsLastLine() const;
    /// After a batch: to the last line when the list followed, else to the lines it showed.
    void scrollLogList();
    /// Lets the log list scroll sideways as far as line reaches.
    void widenLogList(const std::string& line);

    // The model's changes, mirrored into the controls.
    void rowsInserting(std::size_t first, std::size_t last) override;
    void rowsInserted() override;
    void rowsRemoving(std::size_t first, std::size_t last) override;
    void rowsRemoved() override;
    void cellsChanged(std::size_t first, std::size_t last, int firstColumn,
                      int lastColumn) override;
    void rowsReordered(std::span<const std::size_t> newPositionOf) override;
    void logLinesInserting(std::size_t first, std::size_t last) override;
    void logLinesInserted() override;
    void logLinesRemoving(std::size_t first, std::size_t last) override;

    std::shared_ptr<EngineParts> engine_;
    EngineBody engineBody_;
    std::unique_ptr<EngineThread> engineThread_;
    std::chrono::milliseconds stopWaitLimit_ = kDefaultStopWaitLimit;
    State state_ = State::Constructed;
    bool engineAbandoned_ = false;
    bool ended_ = false;
    bool showingServerError_ = false;
    int result_ = 0;

    window::WindowModel model_;
    TransferListCtrl transferList_;  // goes before the model it shows

    HWND dialog_ = nullptr;
    HWND logList_ = nullptr;
    OwnedIcon bigIcon_;
    OwnedIcon smallIcon_;
    std::unique_ptr<std::remove_pointer_t<HACCEL>, AcceleratorsDestroyer> accelerators_;

    // The rows and lines that the model is adding or removing, between its two calls.
    std::size_t firstNewRow_ = 0;
    std::size_t lastNewRow_ = 0;
    std::size_t firstGoneRow_ = 0;
    std::size_t lastGoneRow_ = 0;
    std::size_t firstNewLine_ = 0;
    std::size_t lastNewLine_ = 0;
    // During a batch: whether the log list showed its last line, the top line it showed (its
    // index as lines go), and whether its lines changed.
    bool logFollows_ = true;
    LRESULT logTop_ = 0;
    bool logChanged_ = false;
    int widestLogLine_ = 0;  // pixels
};

}  // namespace quillet::win32
