#include "ui/transfer_list_ctrl.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <algorithm>

namespace quillet::ui {
namespace {

constexpr int kMinimumPercent = 0;
constexpr int kMaximumPercent = 100;

// White space as the C library's isspace sees it in the C locale.
bool isCSpace(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

}  // namespace

void ProgressBarDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    const QVariant percent = index.data(TransferListCtrl::kPercentRole);
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

TransferListCtrl::TransferListCtrl(QWidget* parent)
    : QTreeWidget(parent), barDelegate_(new ProgressBarDelegate(this)) {
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAllColumnsShowFocus(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);  // rows are sorted on request only; new rows go to the bottom
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
}

ProgressResult TransferListCtrl::setProgressColumn(int column) {
    if (column < 0 || column >= columnCount()) {
        return ProgressResult::OutOfRange;
    }
    if (column != progressColumn_) {
        if (progressColumn_ >= 0) {
            setItemDelegateForColumn(progressColumn_, nullptr);
        }
        setItemDelegateForColumn(column, barDelegate_);
        progressColumn_ = column;
    }
    return ProgressResult::Changed;
}

ProgressResult TransferListCtrl::setProgress(int row, int percent) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (item == nullptr || progressColumn_ < 0) {
        return ProgressResult::OutOfRange;
    }
    if (percent < kMinimumPercent || percent > kMaximumPercent) {
        return ProgressResult::BadPercent;
    }
    item->setData(progressColumn_, kPercentRole, percent);
    item->setText(progressColumn_, QString::number(percent));
    return ProgressResult::Changed;
}

ProgressResult TransferListCtrl::setProgressEnd(int row, const QString& text) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (item == nullptr || progressColumn_ < 0) {
        return ProgressResult::OutOfRange;
    }
    item->setData(progressColumn_, kPercentRole, QVariant());
    item->setText(progressColumn_, text);
    return ProgressResult::Changed;
}

bool TransferListCtrl::isProgressText(QStringView text, int* percent) {
    qsizetype at = 0;
    while (at < text.size() && isCSpace(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) {
        negative = text[at] == u'-';
        ++at;
    }
    const qsizetype firstDigit = at;
    int value = 0;
    for (; at < text.size(); ++at) {
        const char16_t c = text[at].unicode();
        if (c < u'0' || c > u'9') {
            return false;  // the number must take the whole text
        }
        // Past the range already: keep reading digits to check the rest, but stop growing.
        value = std::min(value * 10 + (c - u'0'), kMaximumPercent + 1);
    }
    if (at == firstDigit) {
        return false;  // no digits at all (empty, blanks only, or a lone sign)
    }
    if (negative) {
        value = -value;
    }
    if (value < kMinimumPercent || value > kMaximumPercent) {
        return false;
    }
    if (percent != nullptr) {
        *percent = value;
    }
    return true;
}

}  // namespace quillet::ui
