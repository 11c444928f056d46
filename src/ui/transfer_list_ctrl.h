// The transfer list: a report-style list whose progress column draws a bar in every cell that
// holds a percentage.
#pragma once

#include <QStringView>
#include <QStyledItemDelegate>
#include <QTreeWidget>

namespace quillet::ui {

/// Paints a progress bar in each cell whose text is a progress text, and the cell's text in the
/// default way otherwise. The value lives in the cell; the delegate only reads it.
class ProgressBarDelegate final : public QStyledItemDelegate {
    Q_OBJECT

  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    /// Draws the bar or, for any other text, the default cell.
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

/// A list in report style (no tree decoration, one selected row at a time, whole rows selected)
/// with one progress column. A cell of that column whose text is a progress text shows a bar.
class TransferListCtrl final : public QTreeWidget {
    Q_OBJECT

  public:
    /// Results of the progress operations.
    static constexpr int kDone = 0;
    static constexpr int kOutOfRange = -1;
    static constexpr int kBadPercent = -2;

    explicit TransferListCtrl(QWidget* parent = nullptr);

    /// Chooses the column that shows bars. kOutOfRange when column is not one of the list's
    /// columns (nothing changes), kDone otherwise.
    int setProgressColumn(int column);

    /// The column that shows bars, or -1 before one is chosen.
    int progressColumn() const { return progressColumn_; }

    /// Writes percent ("%d") into the progress cell of row. kOutOfRange for a row (or progress
    /// column) out of range, kBadPercent for a percent outside 0..100; the cell keeps its text
    /// then.
    int setProgress(int row, int percent);

    /// True when text is a progress text: not empty, a base-10 number (leading white space and a
    /// sign allowed) that takes all of it, from 0 to 100. Its value goes to *percent if given.
    static bool isProgressText(QStringView text, int* percent = nullptr);

    /// True while the row's progress cell holds a progress text (its transfer is running).
    bool isRunningRow(int row) const;

  private:
    int progressColumn_ = -1;
    ProgressBarDelegate* barDelegate_;  // owned by this list as its child
};

}  // namespace quillet::ui
