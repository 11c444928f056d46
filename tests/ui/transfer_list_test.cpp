// The transfer list control: what counts as a progress text, the progress operations' results,
// and which cells the delegate draws as bars.

#include <QApplication>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionProgressBar>
#include <QTest>

#include "ui/transfer_list_ctrl.h"

using quillet::ui::TransferListCtrl;

namespace {

/// Records every progress bar drawn through it.
class BarRecordingStyle final : public QProxyStyle {
  public:
    struct Bar {
        int progress;
        QRect rect;
    };

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (element == CE_ProgressBar) {
            if (const auto* bar = qstyleoption_cast<const QStyleOptionProgressBar*>(option)) {
                bars.push_back({bar->progress, bar->rect});
            }
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }

    mutable std::vector<Bar> bars;
};

/// A list of six columns with one row per given progress text, in column 4.
void fillList(TransferListCtrl& list, const QStringList& progressTexts) {
    list.setColumnCount(6);
    for (const QString& text : progressTexts) {
        auto* row = new QTreeWidgetItem(&list);  // owned by the list
        row->setText(0, QStringLiteral("client"));
        row->setText(4, text);
    }
}

}  // namespace

class TransferListTest : public QObject {
    Q_OBJECT

  private slots:
    void progressTextIsAWholeNumberFrom0To100_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("isProgress");
        QTest::addColumn<int>("value");
        QTest::newRow("0") << "0" << true << 0;
        QTest::newRow("100") << "100" << true << 100;
        QTest::newRow("leading blank") << " 7" << true << 7;
        QTest::newRow("leading tab") << "\t42" << true << 42;
        QTest::newRow("plus sign") << "+7" << true << 7;
        QTest::newRow("minus zero") << "-0" << true << 0;
        QTest::newRow("leading zeros") << "007" << true << 7;
        QTest::newRow("percent sign") << "7%" << false << 0;
        QTest::newRow("trailing blank") << "7 " << false << 0;
        QTest::newRow("101") << "101" << false << 0;
        QTest::newRow("-1") << "-1" << false << 0;
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("blanks only") << "   " << false << 0;
        QTest::newRow("sign only") << "+" << false << 0;
        QTest::newRow("blank after sign") << "+ 7" << false << 0;
        QTest::newRow("Done") << "Done" << false << 0;
        QTest::newRow("huge") << "99999999999999999999" << false << 0;
        QTest::newRow("hex") << "0x10" << false << 0;
        QTest::newRow("non-ASCII digit") << QString::fromUtf8("\u0667") << false << 0;
    }
    void progressTextIsAWholeNumberFrom0To100() {
        QFETCH(QString, text);
        QFETCH(bool, isProgress);
        QFETCH(int, value);
        int percent = -99;
        QCOMPARE(TransferListCtrl::isProgressText(text, &percent), isProgress);
        QCOMPARE(percent, isProgress ? value : -99);
        QCOMPARE(TransferListCtrl::isProgressText(text), isProgress);
    }

    void setProgressColumnRefusesColumnsOutOfRange() {
        TransferListCtrl list;
        list.setColumnCount(6);
        QCOMPARE(list.progressColumn(), -1);
        QCOMPARE(list.setProgressColumn(6), TransferListCtrl::kOutOfRange);
        QCOMPARE(list.setProgressColumn(-1), TransferListCtrl::kOutOfRange);
        QCOMPARE(list.progressColumn(), -1);
        QCOMPARE(list.setProgressColumn(4), TransferListCtrl::kDone);
        QCOMPARE(list.setProgressColumn(4), TransferListCtrl::kDone);
        QCOMPARE(list.progressColumn(), 4);
        QCOMPARE(list.setProgressColumn(5), TransferListCtrl::kDone);
        QCOMPARE(list.progressColumn(), 5);
    }

    void setProgressRefusesRowsAndPercentsOutOfRange() {
        TransferListCtrl list;
        fillList(list, {"Done", "Done"});
        QCOMPARE(list.setProgress(0, 50), TransferListCtrl::kOutOfRange);  // no progress column
        QCOMPARE(list.topLevelItem(0)->text(4), "Done");
        list.setProgressColumn(4);

        QCOMPARE(list.setProgress(1, 50), TransferListCtrl::kDone);
        QCOMPARE(list.topLevelItem(1)->text(4), "50");
        QCOMPARE(list.setProgress(1, 101), TransferListCtrl::kBadPercent);
        QCOMPARE(list.setProgress(1, -1), TransferListCtrl::kBadPercent);
        QCOMPARE(list.topLevelItem(1)->text(4), "50");
        QCOMPARE(list.setProgress(2, 50), TransferListCtrl::kOutOfRange);  // the row count
        QCOMPARE(list.setProgress(-1, 50), TransferListCtrl::kOutOfRange);
        QCOMPARE(list.setProgress(2, 101), TransferListCtrl::kOutOfRange);  // row judged first
        QCOMPARE(list.topLevelItem(0)->text(4), "Done");
        QCOMPARE(list.setProgress(0, 0), TransferListCtrl::kDone);
        QCOMPARE(list.topLevelItem(0)->text(4), "0");
        QCOMPARE(list.setProgress(0, 100), TransferListCtrl::kDone);
        QCOMPARE(list.topLevelItem(0)->text(4), "100");
    }

    void runningRowsAreThoseShowingAProgressText() {
        TransferListCtrl list;
        fillList(list, {"0", "Done", "Socket Error", "100"});
        list.setProgressColumn(4);
        QVERIFY(list.isRunningRow(0));
        QVERIFY(!list.isRunningRow(1));
        QVERIFY(!list.isRunningRow(2));
        QVERIFY(list.isRunningRow(3));
        QVERIFY(!list.isRunningRow(4));
    }

    void barsAreDrawnExactlyForProgressTextsInTheProgressColumn() {
        BarRecordingStyle style;
        TransferListCtrl list;
        list.setStyle(&style);
        list.resize(800, 400);
        fillList(list, {"0", "Done", "100", "", " 7", "7%", "Client Error #1 \"x\"", "101"});
        list.topLevelItem(1)->setText(3, QStringLiteral("50"));  // a number outside the column

        // Before a progress column is chosen, no cell is a progress cell.
        list.grab();
        QVERIFY(style.bars.empty());

        list.setProgressColumn(4);
        list.grab();
        std::vector<int> drawn;
        for (const auto& bar : style.bars) {
            drawn.push_back(bar.progress);
            // Each bar fills its cell, less a pixel of margin on every side.
            QCOMPARE(bar.rect.left(), list.columnViewportPosition(4) + 1);
            QCOMPARE(bar.rect.width(), list.columnWidth(4) - 2);
        }
        QCOMPARE(drawn, (std::vector<int>{0, 100, 7}));

        // Moving the progress column moves the bars with it: column 3 holds a "50" in row 1.
        style.bars.clear();
        list.setProgressColumn(3);
        list.grab();
        QCOMPARE(style.bars.size(), std::size_t{1});
        QCOMPARE(style.bars[0].progress, 50);
        QCOMPARE(style.bars[0].rect.left(), list.columnViewportPosition(3) + 1);
    }

    void aRowTurnsFromBarToTextWhenItsTransferEnds() {
        BarRecordingStyle style;
        TransferListCtrl list;
        list.setStyle(&style);
        list.resize(800, 400);
        fillList(list, {"40"});
        list.setProgressColumn(4);
        list.grab();
        QCOMPARE(style.bars.size(), std::size_t{1});

        style.bars.clear();
        list.topLevelItem(0)->setText(4, QStringLiteral("Done"));
        list.grab();
        QVERIFY(style.bars.empty());
    }
};

QTEST_MAIN(TransferListTest)
#include "transfer_list_test.moc"
