#include "ui/transfer_row.h"

#include <algorithm>

#include "net/client_endpoint.h"
#include "ui/transfer_texts.h"

namespace quillet::ui {

TransferRow::TransferRow(std::unique_ptr<TransferRecord> record)
    : QTreeWidgetItem(kItemType), record_(std::move(record)) {
    setText(kClientColumn, QString::fromStdString(endpointText(record_->endpoint)));
    setText(kStartTimeColumn, QString::fromStdString(startTimeText(record_->startTime)));
    setText(kFileNameColumn, QString::fromStdString(record_->fileName));
    setText(kFileSizeColumn, QString::fromStdString(sizeText(record_->fileSize)));
    record_->elapsedSeconds = 0;
    setText(kElapsedColumn, QString::fromStdString(elapsedText(0)));
}

void TransferRow::addElapsedSecond() {
    ++record_->elapsedSeconds;
    setText(kElapsedColumn, QString::fromStdString(elapsedText(record_->elapsedSeconds)));
}

TransferRow* transferRowAt(const TransferListCtrl& list, int index) {
    QTreeWidgetItem* item = list.topLevelItem(index);
    if (item == nullptr || item->type() != TransferRow::kItemType) {
        return nullptr;
    }
    return static_cast<TransferRow*>(item);
}

int addTransferRow(TransferListCtrl& list, std::unique_ptr<TransferRecord> record) {
    const int index = list.topLevelItemCount();
    // The list owns its items; the row takes the record along.
    list.addTopLevelItem(std::make_unique<TransferRow>(std::move(record)).release());
    // Refused only by a list without a progress column: the row runs all the same, without a bar.
    [[maybe_unused]] const ProgressResult started = list.setProgress(index, 0);
    Q_ASSERT(started == ProgressResult::Changed);
    return index;
}

int runningRowOf(const TransferListCtrl& list, const ClientEndpoint& endpoint) {
    for (int index = list.topLevelItemCount() - 1; index >= 0; --index) {
        const TransferRow* row = transferRowAt(list, index);
        if (row != nullptr && row->isRunning() && row->record().endpoint == endpoint) {
            return index;
        }
    }
    return -1;
}

void showTransferProgress(TransferListCtrl& list, const ClientEndpoint& endpoint,
                          std::int32_t blocksSent) {
    const int index = runningRowOf(list, endpoint);
    if (index < 0) {
        return;
    }
    const auto& record = transferRowAt(list, index)->record();
    const std::int64_t percent = progressPercent(record.fileSize, record.blockSize, blocksSent);
    // Above 100 (the empty final block of a file whose size is a multiple of the block size) the
    // list refuses the value: the bar keeps its value until "Done" replaces it.
    [[maybe_unused]] const ProgressResult shown =
        list.setProgress(index, static_cast<int>(std::clamp<std::int64_t>(percent, -1, 101)));
    Q_ASSERT(shown != ProgressResult::OutOfRange);
}

void finishTransfer(TransferListCtrl& list, const ClientEndpoint& endpoint, TransferState outcome,
                    const QString& text) {
    const int index = runningRowOf(list, endpoint);
    if (index < 0) {
        return;
    }
    transferRowAt(list, index)->finish(outcome);
    [[maybe_unused]] const ProgressResult ended = list.setProgressEnd(index, text);
    Q_ASSERT(ended == ProgressResult::Changed);
}

void advanceElapsedTimes(TransferListCtrl& list) {
    for (int index = 0; index < list.topLevelItemCount(); ++index) {
        if (TransferRow* row = transferRowAt(list, index); row != nullptr && row->isRunning()) {
            row->addElapsedSecond();
        }
    }
}

int clearFinishedRows(TransferListCtrl& list) {
    int removed = 0;
    for (int index = list.topLevelItemCount() - 1; index >= 0; --index) {
        if (const TransferRow* row = transferRowAt(list, index);
            row == nullptr || !row->isRunning()) {
            // Taking the item back from the list hands its ownership (and the record's) to us.
            std::unique_ptr<QTreeWidgetItem> taken(list.takeTopLevelItem(index));
            ++removed;
        }
    }
    return removed;
}

void sortTransferRows(TransferListCtrl& list, int column, bool ascending) {
    QTreeWidgetItem* current = list.currentItem();
    const bool currentSelected = current != nullptr && current->isSelected();

    QList<QTreeWidgetItem*> rows = list.invisibleRootItem()->takeChildren();
    const auto recordOf = [](const QTreeWidgetItem* item) -> const TransferRecord* {
        return item->type() == TransferRow::kItemType
                   ? &static_cast<const TransferRow*>(item)->record()
                   : nullptr;
    };
    std::stable_sort(
        rows.begin(), rows.end(), [&](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
            const TransferRecord* ra = recordOf(a);
            const TransferRecord* rb = recordOf(b);
            if (ra == nullptr || rb == nullptr) {
                return ra != nullptr && rb == nullptr;  // rows without a record go last
            }
            // Descending is the ascending rule with its sign changed, for the same pair.
            const int order = compareRecords(*ra, *rb, column);
            return ascending ? order < 0 : order > 0;
        });
    list.addTopLevelItems(rows);

    if (current != nullptr) {
        list.setCurrentItem(
            current, 0,
            currentSelected ? QItemSelectionModel::ClearAndSelect : QItemSelectionModel::NoUpdate);
    }
}

}  // namespace quillet::ui
