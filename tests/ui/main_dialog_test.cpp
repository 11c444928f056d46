// The main dialog at work: its layout and menus, rows made and updated by posted transfer events,
// the elapsed-time pass, clearing, sorting by header clicks, the context menu and the log list.

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>

#include "ui/about_dialog.h"
#include "ui/dialog_units.h"
#include "ui/main_dialog.h"
#include "ui/transfer_list_ctrl.h"
#include "ui/transfer_texts.h"
#include "ui_test_support.h"

using namespace quillet;
using namespace quillet::ui;
using namespace quillet::ui::test;

namespace {

const ClientEndpoint kAlice = endpoint(0x0A000001, 1069);  // 10.0.0.1 (1069)
const ClientEndpoint kBob = endpoint(0x0A000002, 2069);    // 10.0.0.2 (2069)
const ClientEndpoint kCarol = endpoint(0x0A000003, 3069);  // 10.0.0.3 (3069)

QStringList column(const TransferListCtrl& list, int index) {
    QStringList texts;
    for (int row = 0; row < list.topLevelItemCount(); ++row) {
        texts << list.topLevelItem(row)->text(index);
    }
    return texts;
}

void clickHeader(MainDialog& dialog, int section) {
    QHeaderView* header = dialog.transferList().header();
    const QPoint centre(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                        header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
}

/// The header's indicator as "column order", or "none".
QString indicator(const MainDialog& dialog) {
    const QHeaderView* header = dialog.transferList().header();
    if (!header->isSortIndicatorShown()) {
        return QStringLiteral("none");
    }
    return QStringLiteral("%1 %2")
        .arg(header->sortIndicatorSection())
        .arg(header->sortIndicatorOrder() == Qt::AscendingOrder ? "up" : "down");
}

/// Sends a right click (or a keyboard request) to whatever widget stands at a point of the dialog.
void requestContextMenu(MainDialog& dialog, QPoint inDialog, QContextMenuEvent::Reason reason) {
    QWidget* target = dialog.childAt(inDialog);
    QVERIFY(target != nullptr);
    const QPoint global = dialog.mapToGlobal(inDialog);
    QContextMenuEvent event(reason, target->mapFromGlobal(global), global);
    QApplication::sendEvent(target, &event);
}

}  // namespace

class MainDialogTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<MainDialog> dialog_;

    MainDialog& dialog() { return *dialog_; }
    TransferListCtrl& list() { return dialog_->transferList(); }

  private slots:
    void init() {
        dialog_ = std::make_unique<MainDialog>(0);
        // The engine binds and reports ready, then leaves the rows to the posted events; the
        // close then need not wait for its receive loop.
        dialog_->setEngineBody([](EngineParts& parts) { parts.server.start(); });
        QVERIFY(showAndWaitUntilReady(*dialog_));
    }
    void cleanup() { dialog_.reset(); }

    void dialogHasItsFixedLayoutColumnsAndMenus() {
        QCOMPARE(dialog().windowTitle(), "Quillet");
        const DialogUnits units(dialog().font());
        const int menuHeight = dialog().menuBar().height();
        QCOMPARE(dialog().size(), QSize(units.x(402), units.y(275) + menuHeight));
        QCOMPARE(dialog().minimumSize(), dialog().maximumSize());
        QCOMPARE(list().geometry(), units.rect(3, 2, 396, 196).translated(0, menuHeight));
        QCOMPARE(dialog().logList().geometry(),
                 units.rect(3, 201, 396, 71).translated(0, menuHeight));
        QVERIFY(!dialog().windowIcon().isNull());

        const QStringList titles = {
            "Client Address (port)", "Start Time", "File Name", "File Size", "Progress", "Elapsed"};
        const QList<int> widths = {125, 90, 120, 70, 125, 60};
        QCOMPARE(list().columnCount(), 6);
        for (int index = 0; index < 6; ++index) {
            QCOMPARE(list().headerItem()->text(index), titles[index]);
            QCOMPARE(list().columnWidth(index), widths[index]);
        }
        QCOMPARE(list().progressColumn(), 4);
        QVERIFY(!list().rootIsDecorated());
        QCOMPARE(list().selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(list().selectionBehavior(), QAbstractItemView::SelectRows);
        QVERIFY(dialog().logList().isSortingEnabled());
        QCOMPARE(indicator(dialog()), "none");

        const QList<QAction*> menus = dialog().menuBar().actions();
        QCOMPARE(menus.size(), 2);
        QCOMPARE(menus[0]->text(), "&File");
        QCOMPARE(menus[0]->menu()->actions()[0]->text(), "&Clear Entries");
        QCOMPARE(menus[1]->text(), "&Help");
        QCOMPARE(menus[1]->menu()->actions()[0]->text(), "&About");
        QCOMPARE(&dialog().fileMenu(), menus[0]->menu());
    }

    void startedEventAppendsARunningRowWithItsTexts() {
        QVERIFY(postStarted(dialog(), kAlice, "boot/pxelinux.0", 26579, 1772719629));
        QVERIFY(postStarted(dialog(), kBob, "", 1048576, 1772719630));
        deliverPosted();
        QCOMPARE(list().topLevelItemCount(), 2);
        const QTreeWidgetItem* row = list().topLevelItem(0);
        QCOMPARE(row->text(0), "10.0.0.1 (1069)");
        QCOMPARE(row->text(1), QString::fromStdString(startTimeText(1772719629)));
        QCOMPARE(row->text(2), "boot/pxelinux.0");
        QCOMPARE(row->text(3), "25.96kB");
        QCOMPARE(row->text(4), "0");
        QCOMPARE(row->text(5), "0:00");
        QCOMPARE(column(list(), 0), QStringList({"10.0.0.1 (1069)", "10.0.0.2 (2069)"}));
        QCOMPARE(list().topLevelItem(1)->text(3), "1.00MB");
    }

    void progressEventsMoveTheBarUntilDone() {
        postStarted(dialog(), kAlice, "a", 12800);  // 25 blocks
        post(dialog(), TransferProgressMessage{kAlice, 10});
        deliverPosted();
        QCOMPARE(list().topLevelItem(0)->text(4), "40");
        post(dialog(), TransferProgressMessage{kAlice, 20});
        post(dialog(), TransferProgressMessage{kAlice, 25});
        deliverPosted();
        QCOMPARE(list().topLevelItem(0)->text(4), "100");
        post(dialog(), TransferDoneMessage{kAlice});
        deliverPosted();
        QCOMPARE(list().topLevelItem(0)->text(4), "Done");
    }

    void finalProgressAboveTheBlockTotalKeepsTheBar() {
        postStarted(dialog(), kAlice, "a", 1536);  // 3 blocks, then an empty fourth
        post(dialog(), TransferProgressMessage{kAlice, 4});
        deliverPosted();
        QCOMPARE(list().topLevelItem(0)->text(4), "0");
        post(dialog(), TransferDoneMessage{kAlice});
        deliverPosted();
        QCOMPARE(list().topLevelItem(0)->text(4), "Done");
    }

    void progressOfAnEmptyFileShowsAFullBar() {
        postStarted(dialog(), kAlice, "empty", 0);
        post(dialog(), TransferProgressMessage{kAlice, 1});
        deliverPosted();
        QCOMPARE(list().topLevelItem(0)->text(4), "100");
        post(dialog(), TransferDoneMessage{kAlice});
        deliverPosted();
        QCOMPARE(list().topLevelItem(0)->text(4), "Done");
    }

    void failedEventShowsTheReason() {
        postStarted(dialog(), kAlice, "a", 5000);
        postStarted(dialog(), kBob, "b", 5000);
        post(dialog(), TransferFailedMessage{kAlice, "Socket Error"});
        post(dialog(), TransferFailedMessage{kBob, "Client Error #0 \"bye\""});
        deliverPosted();
        QCOMPARE(column(list(), 4), QStringList({"Socket Error", "Client Error #0 \"bye\""}));
    }

    void eventsOfAnUnknownEndpointChangeNothing() {
        postStarted(dialog(), kAlice, "a", 5000);
        post(dialog(), TransferProgressMessage{kBob, 5});
        post(dialog(), TransferDoneMessage{kBob});
        post(dialog(), TransferFailedMessage{kBob, "Socket Error"});
        post(dialog(), TransferProgressMessage{endpoint(0x0A000001, 1070), 5});
        deliverPosted();
        QCOMPARE(list().topLevelItemCount(), 1);
        QCOMPARE(list().topLevelItem(0)->text(4), "0");
    }

    void aSecondTransferOfTheSameClientGetsItsOwnRow() {
        postStarted(dialog(), kAlice, "first", 5000);
        post(dialog(), TransferDoneMessage{kAlice});
        postStarted(dialog(), kAlice, "second", 5000);
        post(dialog(), TransferProgressMessage{kAlice, 5});
        deliverPosted();
        QCOMPARE(column(list(), 2), QStringList({"first", "second"}));
        QCOMPARE(column(list(), 4), QStringList({"Done", "50"}));
    }

    void eventsGoToTheRunningRowEvenWhenAFinishedRowOfTheClientIsLower() {
        postStarted(dialog(), kAlice, "old", 5000, 100);
        post(dialog(), TransferDoneMessage{kAlice});
        postStarted(dialog(), kAlice, "new", 5000, 200);
        deliverPosted();
        clickHeader(dialog(), kStartTimeColumn);
        clickHeader(dialog(), kStartTimeColumn);  // newest first: the finished row is lowest
        QCOMPARE(column(list(), 2), QStringList({"new", "old"}));

        post(dialog(), TransferProgressMessage{kAlice, 5});
        deliverPosted();
        QCOMPARE(column(list(), 4), QStringList({"50", "Done"}));
        post(dialog(), TransferFailedMessage{kAlice, "Socket Error"});
        deliverPosted();
        QCOMPARE(column(list(), 4), QStringList({"Socket Error", "Done"}));
        // Both are finished now: later events of the client have no row to change.
        post(dialog(), TransferProgressMessage{kAlice, 1});
        post(dialog(), TransferDoneMessage{kAlice});
        deliverPosted();
        QCOMPARE(column(list(), 4), QStringList({"Socket Error", "Done"}));
    }

    void elapsedPassCountsRunningRowsOnly() {
        postStarted(dialog(), kAlice, "running", 5000);
        postStarted(dialog(), kBob, "finished", 5000);
        deliverPosted();
        dialog().elapsedPass();
        post(dialog(), TransferDoneMessage{kBob});
        deliverPosted();
        for (int tick = 1; tick < 3725; ++tick) {
            dialog().elapsedPass();
        }
        QCOMPARE(column(list(), 5), QStringList({"62:05", "0:01"}));
    }

    void theOneSecondTimerDrivesTheElapsedPass() {
        postStarted(dialog(), kAlice, "running", 5000);
        deliverPosted();
        QTRY_COMPARE_WITH_TIMEOUT(list().topLevelItem(0)->text(5), "0:01", 3000);
    }

    void clearEntriesRemovesFinishedRowsOnly() {
        postStarted(dialog(), kAlice, "a", 5000);
        postStarted(dialog(), kBob, "b", 5000);
        postStarted(dialog(), kCarol, "c", 5000);
        deliverPosted();
        dialog().clearEntries();  // all running: nothing goes
        QCOMPARE(column(list(), 2), QStringList({"a", "b", "c"}));

        postStarted(dialog(), endpoint(0x0A000004, 1), "d", 5000);
        post(dialog(), TransferDoneMessage{kAlice});
        post(dialog(), TransferFailedMessage{kCarol, "Socket Error"});
        deliverPosted();
        dialog().fileMenu().actions()[0]->trigger();  // "&Clear Entries"
        QCOMPARE(column(list(), 2), QStringList({"b", "d"}));
    }

    void headerClicksSortAndMoveTheIndicator() {
        postStarted(dialog(), kAlice, "b.bin", 3000, 30);
        postStarted(dialog(), kBob, "c.bin", 1000, 10);
        postStarted(dialog(), kCarol, "a.bin", 2000, 20);
        deliverPosted();

        clickHeader(dialog(), kFileSizeColumn);
        QCOMPARE(column(list(), 2), QStringList({"c.bin", "a.bin", "b.bin"}));
        QCOMPARE(indicator(dialog()), "3 up");
        clickHeader(dialog(), kFileSizeColumn);
        QCOMPARE(column(list(), 2), QStringList({"b.bin", "a.bin", "c.bin"}));
        QCOMPARE(indicator(dialog()), "3 down");
        clickHeader(dialog(), kFileNameColumn);
        QCOMPARE(column(list(), 2), QStringList({"a.bin", "b.bin", "c.bin"}));
        QCOMPARE(indicator(dialog()), "2 up");
        clickHeader(dialog(), kStartTimeColumn);
        QCOMPARE(column(list(), 2), QStringList({"c.bin", "a.bin", "b.bin"}));
        QCOMPARE(indicator(dialog()), "1 up");

        // A row added later goes to the bottom; the list is not kept sorted.
        postStarted(dialog(), endpoint(0x0A000004, 1), "0.bin", 1, 0);
        deliverPosted();
        QCOMPARE(column(list(), 2), QStringList({"c.bin", "a.bin", "b.bin", "0.bin"}));
        QCOMPARE(indicator(dialog()), "1 up");
    }

    void clickingProgressOrElapsedChangesNothing() {
        postStarted(dialog(), kAlice, "b", 3000);
        postStarted(dialog(), kBob, "a", 1000);
        deliverPosted();
        clickHeader(dialog(), kProgressColumn);
        clickHeader(dialog(), kElapsedColumn);
        QCOMPARE(column(list(), 2), QStringList({"b", "a"}));
        QCOMPARE(indicator(dialog()), "none");
        QCOMPARE(dialog().sortColumn(), -1);

        clickHeader(dialog(), kFileSizeColumn);
        clickHeader(dialog(), kFileSizeColumn);
        clickHeader(dialog(), kProgressColumn);
        clickHeader(dialog(), kElapsedColumn);
        QCOMPARE(column(list(), 2), QStringList({"b", "a"}));
        QCOMPARE(indicator(dialog()), "3 down");
        // The next click on the sorted column still toggles from where it was.
        clickHeader(dialog(), kFileSizeColumn);
        QCOMPARE(indicator(dialog()), "3 up");
        QCOMPARE(column(list(), 2), QStringList({"a", "b"}));
    }

    void sortingByClientFollowsTheSessionTableOrder() {
        postStarted(dialog(), endpoint(0x09000001, 69), "9.0.0.1:69", 1);
        postStarted(dialog(), endpoint(0x01000002, 69), "1.0.0.2:69", 1);
        postStarted(dialog(), endpoint(0x01000001, 1), "1.0.0.1:1", 1);
        postStarted(dialog(), endpoint(0x01000001, 256), "1.0.0.1:256", 1);
        deliverPosted();
        clickHeader(dialog(), kClientColumn);
        QCOMPARE(column(list(), 2),
                 QStringList({"1.0.0.1:256", "1.0.0.1:1", "9.0.0.1:69", "1.0.0.2:69"}));
        clickHeader(dialog(), kClientColumn);
        QCOMPARE(column(list(), 2),
                 QStringList({"1.0.0.2:69", "9.0.0.1:69", "1.0.0.1:1", "1.0.0.1:256"}));
    }

    void sortingKeepsTheSelectedRowSelected() {
        postStarted(dialog(), kAlice, "b", 3000);
        postStarted(dialog(), kBob, "a", 1000);
        deliverPosted();
        list().setCurrentItem(list().topLevelItem(0));
        clickHeader(dialog(), kFileNameColumn);
        QCOMPARE(list().selectedItems().size(), 1);
        QCOMPARE(list().selectedItems()[0]->text(2), "b");
        QCOMPARE(list().currentItem()->text(2), "b");
    }

    void contextMenuOpensOverTheTransferListOnly() {
        const QRect listArea = list().geometry();
        const QRect logArea = dialog().logList().geometry();
        QMenu& menu = dialog().fileMenu();

        const QPoint overHeader(listArea.center().x(),
                                listArea.top() + list().header()->height() / 2 + 1);
        requestContextMenu(dialog(), overHeader, QContextMenuEvent::Mouse);
        QVERIFY(menu.isVisible());
        menu.hide();

        requestContextMenu(dialog(), listArea.center(), QContextMenuEvent::Mouse);
        QVERIFY(menu.isVisible());
        menu.hide();

        requestContextMenu(dialog(), logArea.center(), QContextMenuEvent::Mouse);
        QVERIFY(!menu.isVisible());
        requestContextMenu(dialog(), listArea.center(), QContextMenuEvent::Keyboard);
        QVERIFY(!menu.isVisible());
    }

    void logLinesStandInTheOrderOfTheirTexts() {
        const int before = dialog().logList().count();
        post(dialog(), LogLineMessage{"2026-03-05 14:07:09    client b"});
        post(dialog(), LogLineMessage{"2026-03-05 14:07:09    client a"});
        post(dialog(), LogLineMessage{"2026-03-05 14:07:08    client z"});
        deliverPosted();
        QListWidget& log = dialog().logList();
        QCOMPARE(log.count(), before + 3);
        const int z =
            log.row(log.findItems("2026-03-05 14:07:08    client z", Qt::MatchExactly)[0]);
        QCOMPARE(log.item(z + 1)->text(), "2026-03-05 14:07:09    client a");
        QCOMPARE(log.item(z + 2)->text(), "2026-03-05 14:07:09    client b");
    }

    void aboutBoxShowsNameVersionAndCloses() {
        QString title, version;
        bool sawIcon = false;
        bool makerFits = true;  // and every other text of the box: none is cut off
        QTimer::singleShot(0, this, [&] {
            auto* about = qobject_cast<AboutDialog*>(QApplication::activeModalWidget());
            if (about == nullptr) {
                return;
            }
            title = about->windowTitle();
            version = about->findChild<QLabel*>("version")->text();
            sawIcon = !about->findChild<QLabel*>("icon")->pixmap().isNull();
            for (const QLabel* label : about->findChildren<QLabel*>()) {
                makerFits = makerFits &&
                            label->fontMetrics().horizontalAdvance(label->text()) <= label->width();
            }
            QTest::keyClick(about, Qt::Key_Return);  // the OK button is the default
        });
        dialog().menuBar().actions()[1]->menu()->actions()[0]->trigger();  // "&About"
        QCOMPARE(title, "About Ravelin");
        QCOMPARE(version, "Quillet Version 1.0");
        QVERIFY(sawIcon);
        QVERIFY(makerFits);
        QVERIFY(dialog().isRunning());
    }
};

QTEST_MAIN(MainDialogTest)
#include "main_dialog_test.moc"
