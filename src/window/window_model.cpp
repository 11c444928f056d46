#include "window/window_model.h"

#include <algorithm>
#include <utility>

#include "net/client_endpoint.h"

namespace quillet::window {

const std::string& TransferRow::text(int column) const {
    return column == kFileNameColumn ? record_->fileName
                                     : texts_[std::clamp(column, 0, kTransferColumnCount - 1)];
}

std::string TransferRow::copyText() const {
    std::string texts;
    for (int column = 0; column < kTransferColumnCount; ++column) {
        if (column > 0) {
            texts += '\t';
        }
        texts += text(column);
    }
    return texts;
}

void WindowModel::apply(EngineMessage& message) {
    std::visit(Overloaded{
                   [this](LogLineMessage& log) { addLogLine(std::move(log.line)); },
                   [this](TransferStartedMessage& started) {
                       if (started.record != nullptr) {
                           addRow(std::move(started.record));
                       }
                   },
                   [this](TransferProgressMessage& progress) {
                       showProgress(progress.endpoint, progress.blocksSent);
                   },
                   [this](TransferDoneMessage& done) {
                       finish(done.endpoint, TransferState::Done, "Done");
                   },
                   [this](TransferFailedMessage& failed) {
                       finish(failed.endpoint, TransferState::Failed, std::move(failed.reason));
                   },
                   [this](ServerErrorMessage& error) { serverError_ = std::move(error.text); },
               },
               message);
}

void WindowModel::apply(MessageBatch& batch) {
    for (EngineMessage& message : batch) {
        apply(message);
    }
}

std::optional<std::string> WindowModel::takeServerError() {
    return std::exchange(serverError_, std::nullopt);
}

void WindowModel::addLogLine(std::string line) {
    const std::size_t at = logLines_.size();
    if (observer_ != nullptr) {
        observer_->logLinesInserting(at, at);
    }
    logLines_.push_back(std::move(line));
    if (observer_ != nullptr) {
        observer_->logLinesInserted();
    }
    if (logLines_.size() > kMaxLogLines) {
        if (observer_ != nullptr) {
            observer_->logLinesRemoving(0, 0);
        }
        logLines_.pop_front();
        if (observer_ != nullptr) {
            observer_->logLinesRemoved();
        }
    }
}

void WindowModel::addRow(std::unique_ptr<TransferRecord> record) {
    auto row = std::make_unique<TransferRow>();
    record->elapsedSeconds = 0;
    row->texts_[kClientColumn] = endpointText(record->endpoint);
    row->texts_[kStartTimeColumn] = startTimeText(record->startTime);
    row->texts_[kFileSizeColumn] = sizeText(record->fileSize);
    row->texts_[kProgressColumn] = std::to_string(row->percent_);
    row->texts_[kElapsedColumn] = elapsedText(0);
    row->record_ = std::move(record);
    // A new row goes to the bottom, whatever the order: rows are sorted only on request.
    row->position_ = rows_.size();
    running_[row->record_->endpoint].push_back(row.get());
    if (observer_ != nullptr) {
        observer_->rowsInserting(row->position_, row->position_);
    }
    rows_.push_back(std::move(row));
    if (observer_ != nullptr) {
        observer_->rowsInserted();
    }
}

TransferRow* WindowModel::runningRowOf(const ClientEndpoint& endpoint) const {
    const auto found = running_.find(endpoint);
    if (found == running_.end()) {
        return nullptr;
    }
    return *std::max_element(
        found->second.begin(), found->second.end(),
        [](const TransferRow* a, const TransferRow* b) { return a->position_ < b->position_; });
}

void WindowModel::showProgress(const ClientEndpoint& endpoint, std::int32_t blocksSent) {
    TransferRow* row = runningRowOf(endpoint);
    if (row == nullptr) {
        return;
    }
    const std::int64_t percent =
        progressPercent(row->record_->fileSize, row->record_->blockSize, blocksSent);
    // Above 100 (the empty final block of a file whose size is a multiple of the block size) the
    // bar keeps its value until "Done" replaces it.
    if (percent < 0 || percent > 100 || percent == row->percent_) {
        return;
    }
    row->percent_ = static_cast<int>(percent);
    row->texts_[kProgressColumn] = std::to_string(percent);
    if (observer_ != nullptr) {
        observer_->cellsChanged(row->position_, row->position_, kProgressColumn, kProgressColumn);
    }
}

void WindowModel::finish(const ClientEndpoint& endpoint, TransferState outcome, std::string text) {
    TransferRow* row = runningRowOf(endpoint);
    if (row == nullptr) {
        return;
    }
    auto& ofClient = running_[endpoint];
    std::erase(ofClient, row);
    if (ofClient.empty()) {
        running_.erase(endpoint);
    }
    row->state_ = outcome;
    row->texts_[kProgressColumn] = std::move(text);
    finished_.push_back(row);
    if (observer_ != nullptr) {
        observer_->cellsChanged(row->position_, row->position_, kProgressColumn, kProgressColumn);
    }
    if (finished_.size() > kMaxFinishedRows) {
        const std::size_t oldest = finished_.front()->position_;
        finished_.pop_front();
        removeRows(oldest, oldest);
    }
}

void WindowModel::removeRows(std::size_t first, std::size_t last) {
    if (observer_ != nullptr) {
        observer_->rowsRemoving(first, last);
    }
    const auto begin = rows_.begin() + static_cast<std::ptrdiff_t>(first);
    rows_.erase(begin, begin + static_cast<std::ptrdiff_t>(last - first + 1));
    renumberFrom(first);
    if (observer_ != nullptr) {
        observer_->rowsRemoved();
    }
}

void WindowModel::renumberFrom(std::size_t first) {
    for (std::size_t position = first; position < rows_.size(); ++position) {
        rows_[position]->position_ = position;
    }
}

void WindowModel::elapsedPass() {
    std::size_t first = rows_.size();
    std::size_t last = 0;
    for (const auto& [endpoint, rows] : running_) {
        for (TransferRow* row : rows) {
            ++row->record_->elapsedSeconds;
            row->texts_[kElapsedColumn] = elapsedText(row->record_->elapsedSeconds);
            first = std::min(first, row->position_);
            last = std::max(last, row->position_);
        }
    }
    // Without a running row nothing changed, and there may be no row to name.
    if (observer_ != nullptr && !running_.empty()) {
        observer_->cellsChanged(first, last, kElapsedColumn, kElapsedColumn);
    }
}

std::size_t WindowModel::clearEntries() {
    const std::size_t removed = finished_.size();
    finished_.clear();
    // From the bottom up, one run of finished rows at a time, so positions above stay valid.
    for (std::size_t end = rows_.size(); end > 0;) {
        if (rows_[end - 1]->isRunning()) {
            --end;
            continue;
        }
        std::size_t begin = end - 1;
        while (begin > 0 && !rows_[begin - 1]->isRunning()) {
            --begin;
        }
        removeRows(begin, end - 1);
        end = begin;
    }
    return removed;
}

void WindowModel::headerClicked(int column) {
    if (column < 0 || column > kLastSortableColumn) {
        return;
    }
    sortAscending_ = column == sortColumn_ ? !sortAscending_ : true;
    sortColumn_ = column;
    sortRows();
}

SortArrow WindowModel::sortArrow(int column) const {
    if (column != sortColumn_ || column < 0) {
        return SortArrow::None;
    }
    return sortAscending_ ? SortArrow::Up : SortArrow::Down;
}

void WindowModel::sortRows() {
    if (observer_ != nullptr) {
        observer_->rowsReordering();
    }
    // Equal rows keep their order. Descending is the ascending rule with its sign changed, for
    // the same pair.
    std::stable_sort(rows_.begin(), rows_.end(), [this](const auto& a, const auto& b) {
        const int order = compareRecords(*a->record_, *b->record_, sortColumn_);
        return sortAscending_ ? order < 0 : order > 0;
    });
    std::vector<std::size_t> newPositionOf(rows_.size());
    for (std::size_t position = 0; position < rows_.size(); ++position) {
        newPositionOf[rows_[position]->position_] = position;
    }
    renumberFrom(0);
    if (observer_ != nullptr) {
        observer_->rowsReordered(newPositionOf);
    }
}

}  // namespace quillet::window
