#include "ui/transfer_view.h"

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QToolTip>
#include <QTreeView>
#include <algorithm>

#include "ui/transfer_table.h"
#include "window/transfer_texts.h"

namespace quillet::ui {
namespace {

constexpr int kMinimumPercent = 0;
constexpr int kMaximumPercent = 100;

}  // namespace

void CellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
    const QVariant percent = index.data(TransferTable::kPercentRole);
    if (percent.typeId() != QMetaType::Int) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const QWidget* widget = option.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();

    // The row's background (selection included) first, so that a selected row stays whole.
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, widget);

    QStyleOptionProgressBar bar;
    bar.initFrom(widget);
    bar.rect = option.rect.adjusted(1, 1, -1, -1);
    bar.state = (option.state & QStyle::State_Enabled) | QStyle::State_Horizontal;
    bar.minimum = kMinimumPercent;
    bar.maximum = kMaximumPercent;
    bar.progress = std::clamp(percent.toInt(), kMinimumPercent, kMaximumPercent);
    bar.textVisible = false;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
}

bool CellDelegate::cutsText(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    if (cell.text.isEmpty() || index.data(TransferTable::kPercentRole).isValid()) {
        return false;  // a bar covers the percentage
    }
    const QStyle* style = cell.widget != nullptr ? cell.widget->style() : QApplication::style();
    const QRect textArea = style->subElementRect(QStyle::SE_ItemViewItemText, &cell, cell.widget);
    return cell.fontMetrics.horizontalAdvance(cell.text) > textArea.width();
}

bool CellDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                             const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    if (index.isValid() && cutsText(option, index)) {
        QToolTip::showText(event->globalPos(), index.data(Qt::DisplayRole).toString(), view,
                           option.rect);
    } else {
        QToolTip::hideText();
    }
    return true;
}

int cellWidth(const QTreeView& list, const QString& text) {
    QStyleOptionViewItem cell;
    cell.initFrom(&list);
    cell.font = list.font();
    cell.fontMetrics = QFontMetrics(cell.font);
    cell.text = text;
    cell.features = QStyleOptionViewItem::HasDisplay;
    cell.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    cell.widget = &list;
    return list.style()->sizeFromContents(QStyle::CT_ItemViewItem, &cell, QSize(), &list).width();
}

void fitColumns(QTreeView& list) {
    QHeaderView* header = list.header();
    const int averageCharWidth = QFontMetrics(list.font()).averageCharWidth();
    for (int column = 0; column < window::kTransferColumnCount; ++column) {
        const int width = window::fittingColumnWidth(
            column, averageCharWidth,
            // The header measures its own title, with its margins and room for the sort arrow.
            [&](std::string_view) { return header->sectionSizeHint(column); },
            [&](std::string_view text) {
                return cellWidth(
                    list, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
            });
        header->resizeSection(column, width);
    }
}

}  // namespace quillet::ui
