// How the transfer list draws its cells and how wide its columns are.
#pragma once

#include <QStyledItemDelegate>

class QTreeView;

namespace quillet::ui {

/// Paints a progress bar in each cell that holds a percentage (TransferTable::kPercentRole) and
/// the cell's text in the default way otherwise; the value lives in the model, the delegate only
/// reads it. A text that its cell cuts short shows whole in the cell's tooltip.
class CellDelegate final : public QStyledItemDelegate {
    Q_OBJECT

  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    /// Draws the bar or, for a cell without a percentage, the default cell.
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    /// Shows a cut cell's whole text as its tooltip; a cell that shows its whole text has none.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    /// True when the cell of index, drawn with option, cannot show its whole text.
    bool cutsText(const QStyleOptionViewItem& option, const QModelIndex& index) const;
};

/// Sets the list's columns to their fitting widths in the list's font: each column's design
/// width scaled to the font, never narrower than its title with the sort arrow beside it or its
/// widest usual text.
void fitColumns(QTreeView& list);

/// The width a cell of the list needs to show text whole.
int cellWidth(const QTreeView& list, const QString& text);

}  // namespace quillet::ui
