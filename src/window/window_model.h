// What the window shows, kept apart from any window system: the transfer rows with their texts,
// states and order, and the log lines. Every view (the Qt window, the native Windows window)
// forwards the engine's messages here and draws what it finds; nothing about rows, texts or order
// lives in a view.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "log/engine_messages.h"
#include "window/transfer_texts.h"

namespace quillet::window {

/// Where a row's transfer stands. A row starts running and, once finished, never changes again.
enum class TransferState { Running, Done, Failed };

/// Which way the sorted column's header arrow points: up while ascending, down while descending.
enum class SortArrow { None, Up, Down };

/// Messages taken from the engine in one go, in the order they were posted.
using MessageBatch = std::list<EngineMessage>;

/// One transfer's row: its record, its state and the texts of its cells.
class TransferRow {
  public:
    /// The transfer as the engine reported its start.
    const TransferRecord& record() const { return *record_; }

    TransferState state() const { return state_; }
    bool isRunning() const { return state_ == TransferState::Running; }

    /// The percentage the running row's bar shows (0 to 100), or -1 once it has finished.
    int percent() const { return isRunning() ? percent_ : -1; }

    /// A cell's text: the progress cell holds the percentage ("%d") while the row runs, then
    /// "Done" or the failure reason.
    const std::string& text(int column) const;

    /// The row's texts, tab-separated, as Copy puts them on the clipboard.
    std::string copyText() const;

  private:
    friend class WindowModel;

    std::unique_ptr<TransferRecord> record_;
    // The texts of every column but the file name's, which is the record's own.
    std::array<std::string, kTransferColumnCount> texts_;
    TransferState state_ = TransferState::Running;
    int percent_ = 0;
    std::size_t position_ = 0;  // index in the display order
};

/// What a view learns of the model's changes (each does nothing unless overridden). Each call
/// that ends in "ing" comes before the change and its pair after it, as item views want them;
/// indexes are display positions.
class WindowModelObserver {
  public:
    virtual void rowsInserting(std::size_t /*first*/, std::size_t /*last*/) {}
    virtual void rowsInserted() {}
    virtual void rowsRemoving(std::size_t /*first*/, std::size_t /*last*/) {}
    virtual void rowsRemoved() {}
    /// The cells of rows first to last in columns firstColumn to lastColumn have new texts.
    virtual void cellsChanged(std::size_t /*first*/, std::size_t /*last*/, int /*firstColumn*/,
                              int /*lastColumn*/) {}
    virtual void rowsReordering() {}
    /// The rows were sorted: the row that stood at i stands at newPositionOf[i].
    virtual void rowsReordered(std::span<const std::size_t> /*newPositionOf*/) {}
    virtual void logLinesInserting(std::size_t /*first*/, std::size_t /*last*/) {}
    virtual void logLinesInserted() {}
    virtual void logLinesRemoving(std::size_t /*first*/, std::size_t /*last*/) {}
    virtual void logLinesRemoved() {}

  protected:
    ~WindowModelObserver() = default;
};

/// The window's rows and log lines. Lives on the window's thread.
class WindowModel {
  public:
    /// Finished rows kept; past it the row that finished first goes. Running rows always stay.
    static constexpr std::size_t kMaxFinishedRows = 10'000;
    /// Log lines kept; past it the oldest goes.
    static constexpr std::size_t kMaxLogLines = 10'000;

    WindowModel() = default;
    WindowModel(const WindowModel&) = delete;
    WindowModel& operator=(const WindowModel&) = delete;

    /// Sets the view that hears of every change; null for none. It must outlive the model or be
    /// unset first.
    void setObserver(WindowModelObserver* observer) { observer_ = observer; }

    /// Applies one engine message: a log line is appended, a started transfer gets a running
    /// row at the bottom (whatever the order), progress, done and failed change the lowest
    /// running row of their client, and a server error is kept for takeServerError.
    void apply(EngineMessage& message);

    /// Applies every message of a batch in order.
    void apply(MessageBatch& batch);

    /// The text of a server error that arrived and has not been taken, then none.
    std::optional<std::string> takeServerError();

    /// Counts one second in every running row; finished rows keep their elapsed time.
    void elapsedPass();

    /// Removes the finished rows ("Clear Entries"); running rows keep their order. Returns how
    /// many went.
    std::size_t clearEntries();

    /// A click on a column's header: sorts by columns up to "File Size", ascending, or the other
    /// way round when it is already the sorted column; other columns change nothing.
    void headerClicked(int column);

    /// The sorted column, or -1 before any sort.
    int sortColumn() const { return sortColumn_; }

    /// The arrow a column's header shows.
    SortArrow sortArrow(int column) const;

    std::size_t rowCount() const { return rows_.size(); }

    /// The row at a display position below rowCount().
    const TransferRow& row(std::size_t position) const { return *rows_[position]; }

    std::size_t logLineCount() const { return logLines_.size(); }

    /// A log line by position, the oldest first; below logLineCount().
    const std::string& logLine(std::size_t position) const { return logLines_[position]; }

  private:
    void addLogLine(std::string line);
    void addRow(std::unique_ptr<TransferRecord> record);
    void showProgress(const ClientEndpoint& endpoint, std::int32_t blocksSent);
    void finish(const ClientEndpoint& endpoint, TransferState outcome, std::string text);

    /// The lowest running row of a client in display order, or null.
    TransferRow* runningRowOf(const ClientEndpoint& endpoint) const;

    /// Removes the rows from first to last (display positions), telling the observer.
    void removeRows(std::size_t first, std::size_t last);

    /// Gives every row from first on its display position.
    void renumberFrom(std::size_t first);

    void sortRows();

    WindowModelObserver* observer_ = nullptr;
    std::vector<std::unique_ptr<TransferRow>> rows_;  // in display order
    // The running rows of each client (normally one): where progress, done and failed go.
    std::map<ClientEndpoint, std::vector<TransferRow*>> running_;
    std::deque<TransferRow*> finished_;  // in the order they finished
    std::deque<std::string> logLines_;
    std::optional<std::string> serverError_;
    int sortColumn_ = -1;
    bool sortAscending_ = true;
};

}  // namespace quillet::window
