// The window model as Qt item models: its transfer rows as a table, its log lines as a list.
// They hold no rows or texts of their own; they pass the model's changes on to the views.
#pragma once

#include <QAbstractListModel>
#include <QAbstractTableModel>

#include "window/window_model.h"

namespace quillet::ui {

/// The log lines of a window model, the oldest first.
class LogLineList final : public QAbstractListModel {
    Q_OBJECT

  public:
    /// Shows the lines of model, which must outlive this list.
    explicit LogLineList(const window::WindowModel& model, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

  private:
    friend class TransferTable;  // it tells the list views of the model's changes
    const window::WindowModel& model_;
};

/// The transfer rows of a window model, one column per cell text, and the model's observer: it
/// tells the views of every change to the rows and, through logLines(), to the log lines.
class TransferTable final : public QAbstractTableModel, private window::WindowModelObserver {
    Q_OBJECT

  public:
    /// The item data role of a running row's percentage (an int, 0 to 100) in the progress
    /// column; a cell without one shows its text.
    static constexpr int kPercentRole = Qt::UserRole;

    /// Observes model, which must outlive this table.
    explicit TransferTable(window::WindowModel& model, QObject* parent = nullptr);

    /// Stops observing the model.
    ~TransferTable() override;

    /// The log lines as a list model, owned by this table.
    LogLineList& logLines() { return *logLines_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    void rowsInserting(std::size_t first, std::size_t last) override;
    void rowsInserted() override;
    void rowsRemoving(std::size_t first, std::size_t last) override;
    void rowsRemoved() override;
    void cellsChanged(std::size_t first, std::size_t last, int firstColumn,
                      int lastColumn) override;
    void rowsReordering() override;
    void rowsReordered(std::span<const std::size_t> newPositionOf) override;
    void logLinesInserting(std::size_t first, std::size_t last) override;
    void logLinesInserted() override;
    void logLinesRemoving(std::size_t first, std::size_t last) override;
    void logLinesRemoved() override;

    window::WindowModel& model_;
    LogLineList* logLines_;       // a child of this table
    QModelIndexList reordering_;  // the views' held indexes while the rows are sorted
};

}  // namespace quillet::ui
