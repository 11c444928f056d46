// The transfer list: a report-style list whose progress column draws a bar in every cell that
// holds a percentage value.
#pragma once

#include <QStringView>
#include <QStyledItemDelegate>
#include <QTreeWidget>

namespace quillet::ui {

/// Paints a progress bar in each cell that holds a percentage (TransferListCtrl::kPercentRole), and
/// the cell's text in the default way otherwise. The value lives in the cell; the delegate only
/// reads it.
class ProgressBarDelegate final : public QStyledItemDelegate {
    Q_OBJECT

  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    /// Draws the bar or, for a cell without a percentage, the default cell.
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

/// What a progress operation did.
enum class ProgressResult {
    Changed,     // the column was chosen, or the cell took the percentage
    OutOfRange,  // no such column or row (or no progress column yet): nothing changed
    BadPercent,  // the percentage is outside 0..100: the cell keeps its text and value
};

/// A list in report style (no tree decoration, one selected row at a time, whole rows selected)
/// with one progress column. A cell of that column that holds a percentage shows a bar; its text
/// is the percentage written out, which the bar covers.
class TransferListCtrl final : public QTreeWidget {
    Q_OBJECT

  public:
    /// The item data role of a progress cell's percentage (an int, 0..100). A cell without one
    /// shows its text.
    static constexpr int kPercentRole = Qt::UserRole;

    explicit TransferListCtrl(QWidget* parent = nullptr);

    /// Chooses the column that shows bars. OutOfRange when column is not one of the list's
    /// columns (nothing changes), Changed otherwise.
    [[nodiscard]] ProgressResult setProgressColumn(int column);

    /// The column that shows bars, or -1 before one is chosen.
    int progressColumn() const { return progressColumn_; }

    /// Puts percent into the progress cell of row, as its value and as its text ("%d").
    /// OutOfRange for a row (or progress column) out of range, BadPercent for a percent outside
    /// 0..100; the cell keeps its text and value then.
    [[nodiscard]] ProgressResult setProgress(int row, int percent);

    /// Replaces the progress cell of row by text ("Done" or a failure reason): its percentage
    /// goes, so it shows no bar any more. OutOfRange for a row (or progress column) out of range.
    [[nodiscard]] ProgressResult setProgressEnd(int row, const QString& text);

    /// True when text is a progress text: not empty, a base-10 number (leading white space and a
    /// sign allowed) that takes all of it, from 0 to 100. Its value goes to *percent if given.
    static bool isProgressText(QStringView text, int* percent = nullptr);

  private:
    int progressColumn_ = -1;
    ProgressBarDelegate* barDelegate_;  // owned by this list as its child
};

}  // namespace quillet::ui
