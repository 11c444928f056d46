// The rows of the transfer list: one per transfer, each owning its TransferRecord, and what the
// window does to them as the engine's transfer events arrive.
#pragma once

#include <QTreeWidgetItem>
#include <cstdint>
#include <memory>

#include "log/engine_messages.h"
#include "ui/transfer_list_ctrl.h"

namespace quillet::ui {

/// Where a row's transfer stands. A row starts running and, once finished, never changes again.
enum class TransferState { Running, Done, Failed };

/// One transfer's row. It owns the transfer's record for as long as it exists, and keeps its
/// state; the progress cell's percentage lives in the list's cell.
class TransferRow final : public QTreeWidgetItem {
  public:
    static constexpr int kItemType = QTreeWidgetItem::UserType + 1;

    /// A running row showing record's client, start time, file name, size and "0:00" elapsed;
    /// its progress cell is left for the list to set. record must not be null.
    explicit TransferRow(std::unique_ptr<TransferRecord> record);

    const TransferRecord& record() const { return *record_; }

    TransferState state() const { return state_; }
    bool isRunning() const { return state_ == TransferState::Running; }

    /// Counts one more second of the transfer and shows it.
    void addElapsedSecond();

    /// Ends the transfer with outcome (Done or Failed); the list's cell shows it.
    void finish(TransferState outcome) { state_ = outcome; }

  private:
    std::unique_ptr<TransferRecord> record_;
    TransferState state_ = TransferState::Running;
};

/// The transfer row at index, or null when there is none or it is not a transfer row.
TransferRow* transferRowAt(const TransferListCtrl& list, int index);

/// Appends a running row (progress 0) for the record at the bottom, whatever the sort order.
/// Returns its index.
int addTransferRow(TransferListCtrl& list, std::unique_ptr<TransferRecord> record);

/// The lowest row, in display order, of a transfer from endpoint that is still running, or -1.
/// Finished rows are passed over: a finished row never changes again.
int runningRowOf(const TransferListCtrl& list, const ClientEndpoint& endpoint);

/// Shows the progress of blocksSent blocks in the running row of endpoint, if there is one. A
/// percentage above 100 is refused and the bar keeps its value.
void showTransferProgress(TransferListCtrl& list, const ClientEndpoint& endpoint,
                          std::int32_t blocksSent);

/// Ends the running row of endpoint, if there is one: outcome (Done or Failed) becomes its state
/// and text ("Done" or the failure reason) its progress cell.
void finishTransfer(TransferListCtrl& list, const ClientEndpoint& endpoint, TransferState outcome,
                    const QString& text);

/// Counts one second in every running row; finished rows keep their elapsed time.
void advanceElapsedTimes(TransferListCtrl& list);

/// Removes the finished rows (and their records), and any row that is not a transfer's; running
/// rows keep their order. Returns how many went.
int clearFinishedRows(TransferListCtrl& list);

/// Sorts the rows by a sortable column, ascending or descending, keeping equal rows in their
/// order and the current row current.
void sortTransferRows(TransferListCtrl& list, int column, bool ascending);

}  // namespace quillet::ui
