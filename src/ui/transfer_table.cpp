#include "ui/transfer_table.h"

namespace quillet::ui {
namespace {

QString toQString(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

int toRow(std::size_t position) {
    return static_cast<int>(position);
}

}  // namespace

LogLineList::LogLineList(const window::WindowModel& model, QObject* parent)
    : QAbstractListModel(parent), model_(model) {}

int LogLineList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(model_.logLineCount());
}

QVariant LogLineList::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() ||
        static_cast<std::size_t>(index.row()) >= model_.logLineCount()) {
        return {};
    }
    return toQString(model_.logLine(static_cast<std::size_t>(index.row())));
}

TransferTable::TransferTable(window::WindowModel& model, QObject* parent)
    : QAbstractTableModel(parent), model_(model), logLines_(new LogLineList(model, this)) {
    model_.setObserver(this);
}

TransferTable::~TransferTable() {
    model_.setObserver(nullptr);
}

int TransferTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(model_.rowCount());
}

int TransferTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : window::kTransferColumnCount;
}

QVariant TransferTable::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<std::size_t>(index.row()) >= model_.rowCount()) {
        return {};
    }
    const window::TransferRow& row = model_.row(static_cast<std::size_t>(index.row()));
    if (role == Qt::DisplayRole) {
        return toQString(row.text(index.column()));
    }
    if (role == kPercentRole && index.column() == window::kProgressColumn && row.isRunning()) {
        return row.percent();
    }
    return {};
}

QVariant TransferTable::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= window::kTransferColumnCount) {
        return {};
    }
    return QString::fromUtf8(window::columnLayout(section).title);
}

void TransferTable::rowsInserting(std::size_t first, std::size_t last) {
    beginInsertRows({}, toRow(first), toRow(last));
}

void TransferTable::rowsInserted() {
    endInsertRows();
}

void TransferTable::rowsRemoving(std::size_t first, std::size_t last) {
    beginRemoveRows({}, toRow(first), toRow(last));
}

void TransferTable::rowsRemoved() {
    endRemoveRows();
}

void TransferTable::cellsChanged(std::size_t first, std::size_t last, int firstColumn,
                                 int lastColumn) {
    emit dataChanged(index(toRow(first), firstColumn), index(toRow(last), lastColumn));
}

void TransferTable::rowsReordering() {
    emit layoutAboutToBeChanged();
    reordering_ = persistentIndexList();
}

void TransferTable::rowsReordered(std::span<const std::size_t> newPositionOf) {
    // The views' current and selected rows move with their transfers.
    QModelIndexList to;
    for (const QModelIndex& held : std::as_const(reordering_)) {
        const auto moved = newPositionOf[static_cast<std::size_t>(held.row())];
        to.append(index(toRow(moved), held.column()));
    }
    changePersistentIndexList(reordering_, to);
    reordering_.clear();
    emit layoutChanged();
}

void TransferTable::logLinesInserting(std::size_t first, std::size_t last) {
    logLines_->beginInsertRows({}, toRow(first), toRow(last));
}

void TransferTable::logLinesInserted() {
    logLines_->endInsertRows();
}

void TransferTable::logLinesRemoving(std::size_t first, std::size_t last) {
    logLines_->beginRemoveRows({}, toRow(first), toRow(last));
}

void TransferTable::logLinesRemoved() {
    logLines_->endRemoveRows();
}

}  // namespace quillet::ui
