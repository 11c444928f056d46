// The window: row texts, the transfer list control and its bars; the main dialog's rows as posted
// engine events change them, sorting, the context menu and its texts; then its life with a real
// engine: a server that cannot start, every way of ending, an engine thread that is let go.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProxyStyle>
#include <QScopeGuard>
#include <QStyleOptionProgressBar>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <functional>
#include <future>

#include "ui/about_dialog.h"
#include "ui/main_dialog.h"
#include "ui/transfer_list_ctrl.h"
#include "ui/transfer_texts.h"

using namespace quillet;
using namespace quillet::ui;
using namespace std::chrono_literals;

namespace quillet::ui {

/// What the tests reach inside the dialog: its widgets, the engine's parts, the timer's pass.
class MainDialogTestAccess {
  public:
    static TransferListCtrl& list(const MainDialog& d) { return *d.transferList_; }
    static QMenuBar& menuBar(const MainDialog& d) { return *d.menuBar_; }
    static QMenu& fileMenu(const MainDialog& d) { return *d.fileMenu_; }
    static QListWidget& logList(const MainDialog& d) { return *d.logList_; }
    static std::shared_ptr<EngineParts> parts(const MainDialog& d) { return d.engine_; }
    static std::uint16_t boundPort(const MainDialog& d) { return d.engine_->server.boundPort(); }
    static EngineBody& engineBody(MainDialog& d) { return d.engineBody_; }
    static std::chrono::milliseconds& stopWaitLimit(MainDialog& d) { return d.stopWaitLimit_; }
    static bool isRunning(const MainDialog& d) { return d.state_ == MainDialog::State::Running; }
    static void elapsedPass(MainDialog& d) { d.elapsedPass(); }
};

}  // namespace quillet::ui

namespace {

using Access = MainDialogTestAccess;

/// Client n: 10.0.0.(n % 10) port 1000 + n, so clients 1 and 11 share an address.
ClientEndpoint client(int n) {
    return ClientEndpoint::fromHostOrder(0x0A000000 + n % 10, 1000 + n);
}

/// Posts a message through the dialog's message window, as the engine does.
bool post(MainDialog& dialog, EngineMessage message) {
    return Access::parts(dialog)->window.post(std::make_unique<EngineMessage>(std::move(message)));
}

bool postStarted(MainDialog& dialog, const ClientEndpoint& from, std::int64_t size,
                 std::string name = "f", std::time_t start = 0, std::int32_t blockSize = 512) {
    return post(dialog,
                TransferStartedMessage{from, std::make_unique<TransferRecord>(TransferRecord{
                                                 from, name, size, start, 0, blockSize})});
}

QStringList column(const TransferListCtrl& list, int index) {
    QStringList texts;
    for (int row = 0; row < list.topLevelItemCount(); ++row) {
        texts << list.topLevelItem(row)->text(index);
    }
    return texts;
}

bool logShows(const MainDialog& dialog, const QString& text) {
    return !Access::logList(dialog).findItems(text, Qt::MatchContains).isEmpty();
}

void clickHeader(MainDialog& dialog, int section) {
    QHeaderView* header = Access::list(dialog).header();
    const QPoint centre(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                        header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
}

/// Plays a script of steps, each a letter, a client number and perhaps a value: S (started, the
/// file's size, then /block size if not 512), P (progress, blocks sent), D (done), F (failed, the
/// reason); C clicks the header section of that number, X chooses "&Clear Entries", T is one tick
/// of the elapsed-time timer.
void play(MainDialog& dialog, const QString& script) {
    for (const QString& step : script.split(',')) {
        const QStringList parts = step.mid(1).split('=');
        const ClientEndpoint from = client(parts[0].toInt());
        const char kind = step[0].toLatin1();
        if (kind == 'X') {
            Access::fileMenu(dialog).actions()[0]->trigger();
        } else if (kind == 'T') {
            Access::elapsedPass(dialog);
        } else if (kind == 'C') {
            clickHeader(dialog, parts[0].toInt());
        } else if (kind == 'S') {
            const QStringList size = parts[1].split('/');
            postStarted(dialog, from, size[0].toLongLong(), "f", 0,
                        size.size() > 1 ? size[1].toInt() : 512);
        } else {
            post(dialog, kind == 'P'
                             ? EngineMessage{TransferProgressMessage{from, parts[1].toInt()}}
                         : kind == 'D'
                             ? EngineMessage{TransferDoneMessage{from}}
                             : EngineMessage{TransferFailedMessage{from, parts[1].toStdString()}});
        }
        QCoreApplication::processEvents();
    }
}

/// Runs work once the dialog's own event loop runs, and ends the dialog should the test hang.
template <typename Work>
void soon(MainDialog& dialog, Work work) {
    QTimer::singleShot(0, &dialog, work);
    QTimer::singleShot(10000, &dialog, [&dialog] { dialog.done(-1); });
}

/// Asks the server on port of 127.0.0.1 for file from a new socket, which it returns: the
/// transfer runs, unanswered, until the server gives up or is stopped.
int requestFile(std::uint16_t port, const QByteArray& file) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray request = QByteArray("\0\1", 2) + file + QByteArray("\0octet\0", 7);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::sendto(fd, request.data(), static_cast<std::size_t>(request.size()), 0,
             reinterpret_cast<const sockaddr*>(&server), sizeof server);
    return fd;
}

using Ending = std::function<void(MainDialog&)>;

/// Records the value of every progress bar drawn through it.
class BarRecordingStyle final : public QProxyStyle {
  public:
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        const auto* bar = qstyleoption_cast<const QStyleOptionProgressBar*>(option);
        if (element == CE_ProgressBar && bar != nullptr) {
            bars.push_back(bar->progress);
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }

    mutable QList<int> bars;
};

}  // namespace

Q_DECLARE_METATYPE(Ending)

class WindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MainDialog> dialog_;

    /// A shown dialog whose engine only binds a free port and reports ready, so that the rows
    /// come from the test's events alone and the close need not wait for a receive loop.
    MainDialog& open() {
        dialog_ = std::make_unique<MainDialog>(0);
        Access::engineBody(*dialog_) = [](EngineParts& parts) { parts.server.start(); };
        dialog_->show();
        [&] { QTRY_VERIFY(logShows(*dialog_, "Quillet Server Ready...")); }();
        return *dialog_;
    }

  private slots:
    void cleanup() { dialog_.reset(); }

    // In the C locale and again in a German one, whose decimal comma and month names must not
    // show: QApplication takes the C library's locale from the environment.
    void rowTextsIgnoreTheLocale() {
        qputenv("TZ", "UTC");  // start times read the same on every machine
        tzset();
        const std::string before = std::setlocale(LC_ALL, nullptr);
        const auto restore = qScopeGuard([&] { std::setlocale(LC_ALL, before.c_str()); });
        for (const char* locale : {"C", "de_DE.UTF-8"}) {
            if (std::setlocale(LC_ALL, locale) == nullptr) {
                qWarning("locale %s is not installed", locale);
                continue;
            }
            const std::string texts[] = {
                sizeText(1023),    sizeText(1024),
                sizeText(1048575), sizeText(1048576),
                elapsedText(3725), startTimeText(1793404800 + 23 * 3600 + 59 * 60)};
            QCOMPARE(QString::fromStdString(texts[0] + "|" + texts[1] + "|" + texts[2] + "|" +
                                            texts[3] + "|" + texts[4] + "|" + texts[5]),
                     "1023B|1.00kB|1024.00kB|1.00MB|62:05|Oct-31 23:59:00");
        }
    }

    void progressTexts() {
        for (const auto& [text, want] :
             {std::pair{"0", 0}, {"100", 100}, {" 7", 7}, {"+7", 7}, {"\t007", 7}, {"-0", 0}}) {
            int value = -1;
            QVERIFY(TransferListCtrl::isProgressText(QString(text), &value) && value == want);
        }
        for (const char* text : {"7%", "7 ", "101", "-1", "", " ", "+", "+ 7", "Done", "0x10",
                                 "1e2", "99999999999999999999"}) {
            QVERIFY2(!TransferListCtrl::isProgressText(QString(text)), text);
        }
    }

    // Every refusal leaves the cell alone; a bar is drawn exactly where a cell holds a percentage,
    // and only in the progress column: not for a number written as plain text, nor after its end.
    void progressOperationsAndTheirBars() {
        using enum ProgressResult;
        BarRecordingStyle style;
        TransferListCtrl list;
        list.setStyle(&style);
        list.resize(400, 200);
        list.setColumnCount(3);
        for (const char* text : {"50", "", "", ""}) {
            new QTreeWidgetItem(&list, {text, text, text});  // owned by the list
        }
        const QList<ProgressResult> results = {
            list.setProgress(0, 50),  // no progress column yet
            list.setProgressColumn(3), list.setProgressColumn(-1),  list.setProgressColumn(1),
            list.setProgress(1, 101),  list.setProgress(1, -1),     list.setProgress(4, 50),
            list.setProgress(-1, 50),  list.setProgressEnd(4, "x"), list.setProgress(1, 0),
            list.setProgress(2, 100),  list.setProgress(3, 7),      list.setProgressEnd(3, "Done"),
        };
        QCOMPARE(results, QList<ProgressResult>({OutOfRange, OutOfRange, OutOfRange, Changed,
                                                 BadPercent, BadPercent, OutOfRange, OutOfRange,
                                                 OutOfRange, Changed, Changed, Changed, Changed}));
        QCOMPARE(column(list, 1), QStringList({"50", "0", "100", "Done"}));
        list.grab();
        QCOMPARE(style.bars, QList<int>({0, 100}));
    }

    // 12800 bytes are 25 blocks, 5000 bytes 10 and 6000 bytes 12.
    void eventsChangeTheRows_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("progress");  // the progress column, top to bottom
        const auto row = [](const char* name, const char* script, const char* progress) {
            QTest::newRow(name) << QString(script) << QString(progress);
        };
        row("progress", "S1=12800,P1=10", "40");
        row("all blocks, done", "S1=12800,P1=25,D1,P1=5", "Done");
        row("empty file", "S1=0,P1=1", "100");
        row("above the block count", "S1=1536,P1=2,P1=4", "66");
        // 50 MB in negotiated blocks of 1468 bytes: 35,715 of them.
        row("negotiated blocks", "S1=52428800/1468,P1=17858", "50");
        row("negotiated blocks, all sent", "S1=52428800/1468,P1=17858,P1=35715", "100");
        row("failed", "S1=5000,S2=5000,F1=Socket Error,F2=Client Error #0 \"bye\"",
            "Socket Error|Client Error #0 \"bye\"");
        // Client 11 has the address of client 1 and another port.
        row("unknown endpoint", "S1=5000,P2=5,D2,F2=x,P11=5,D11", "0");
        row("a new transfer, a new row", "S1=5000,D1,S1=5000,P1=5", "Done|50");
        row("the lowest running row", "S1=5000,S1=5000,P1=5", "0|50");
        row("clear entries", "S1=5000,S2=5000,S3=5000,S4=5000,P2=2,P4=4,D1,F3=x,X", "20|40");
        // Sorted by size, descending: the finished row of the client goes below its running one.
        row("a finished row never changes", "S1=5000,D1,S1=6000,C3,C3,P1=5,F1=Socket Error,P1=1,D1",
            "Socket Error|Done");
    }
    void eventsChangeTheRows() {
        QFETCH(QString, script);
        QFETCH(QString, progress);
        MainDialog& dialog = open();
        play(dialog, script);
        QCOMPARE(column(Access::list(dialog), kProgressColumn).join('|'), progress);
    }

    void elapsedPassCountsRunningRowsOnly() {
        MainDialog& dialog = open();
        play(dialog, "S1=5000,S2=5000,S3=5000,T,D2,F3=x,T,T");
        const TransferListCtrl& list = Access::list(dialog);
        QCOMPARE(column(list, kElapsedColumn), QStringList({"0:03", "0:01", "0:01"}));
        QTRY_COMPARE_WITH_TIMEOUT(column(list, kElapsedColumn)[0], "0:04", 3000);  // the timer
    }

    void logListKeepsTheLatestTenThousandLines() {
        MainDialog& dialog = open();
        for (int line = 0; line < 10'005; ++line) {
            char text[64];
            std::snprintf(text, sizeof text, "9999-12-31 23:59:59    line %05d", line);
            post(dialog, LogLineMessage{text});
        }
        // The start's own lines are older still, so they go first, then the five oldest above.
        const QListWidget& list = Access::logList(dialog);
        QTRY_COMPARE(list.item(list.count() - 1)->text(),
                     QString("9999-12-31 23:59:59    line 10004"));
        QCOMPARE(list.count(), 10'000);
        QCOMPARE(list.item(0)->text(), QString("9999-12-31 23:59:59    line 00005"));
    }

    void headerClicksSortAndShowTheIndicator_data() {
        QTest::addColumn<QList<int>>("clicks");
        QTest::addColumn<QString>("expected");  // the file names top to bottom, the indicator
        const auto row = [](const char* name, QList<int> clicks, const char* expected) {
            QTest::newRow(name) << clicks << QString(expected);
        };
        row("progress, elapsed", {4, 5}, "c a d b, none");
        row("file size", {3}, "c b d a, 3 up");
        row("file size twice, then progress", {3, 3, 4, 5}, "a d b c, 3 down");
        row("then file size", {3, 3, 4, 3}, "c b d a, 3 up");
        row("then file name", {3, 3, 2}, "a b c d, 2 up");
        row("start time", {1}, "c d a b, 1 up");
        // Endpoints in the session table's order: the fourth octet decides first, then the
        // port's low byte before its high byte (256 before 1).
        row("client", {0}, "b d c a, 0 up");
        row("client twice", {0, 0}, "a c d b, 0 down");
    }
    void headerClicksSortAndShowTheIndicator() {
        QFETCH(QList<int>, clicks);
        QFETCH(QString, expected);
        MainDialog& dialog = open();
        const auto at = ClientEndpoint::fromHostOrder;
        postStarted(dialog, at(0x09000001, 69), 1000, "c", 10);
        postStarted(dialog, at(0x01000002, 69), 4000, "a", 30);
        postStarted(dialog, at(0x01000001, 1), 3000, "d", 20);
        postStarted(dialog, at(0x01000001, 256), 2000, "b", 40);
        QCoreApplication::processEvents();
        TransferListCtrl& list = Access::list(dialog);
        list.setCurrentItem(list.topLevelItem(2));  // "d"
        for (int section : clicks) {
            clickHeader(dialog, section);
        }
        const QHeaderView* header = list.header();
        const QString indicator =
            !header->isSortIndicatorShown()
                ? QStringLiteral("none")
                : QStringLiteral("%1 %2")
                      .arg(header->sortIndicatorSection())
                      .arg(header->sortIndicatorOrder() == Qt::AscendingOrder ? "up" : "down");
        QCOMPARE(column(list, kFileNameColumn).join(' ') + ", " + indicator, expected);
        // The current row moves with its transfer and stays selected.
        QTreeWidgetItem* current = list.currentItem();
        QVERIFY(current != nullptr && current->text(kFileNameColumn) == "d");
        QCOMPARE(list.selectedItems(), QList<QTreeWidgetItem*>({current}));
    }

    void windowTextsMenusAndAStartedRow() {
        MainDialog& dialog = open();
        postStarted(dialog, client(1), 26579, "boot/pxelinux.0", 1772719629);
        QCoreApplication::processEvents();
        const TransferListCtrl& list = Access::list(dialog);
        QStringList texts{dialog.windowTitle()};
        for (int index = 0; index < list.columnCount(); ++index) {
            texts << QStringLiteral("%1 %2: %3")
                         .arg(list.headerItem()->text(index))
                         .arg(list.columnWidth(index))
                         .arg(list.topLevelItem(0)->text(index));
        }
        for (const QAction* menu : Access::menuBar(dialog).actions()) {
            texts << menu->text();
            for (const QAction* item : menu->menu()->actions()) {
                texts << item->text();
            }
        }
        QTimer::singleShot(0, &dialog, [&texts] {
            auto* about = qobject_cast<AboutDialog*>(QApplication::activeModalWidget());
            texts << about->windowTitle();
            for (const QLabel* label : about->findChildren<QLabel*>()) {
                texts << (label->pixmap().isNull() ? label->text() : "[icon]");
            }
            QTest::keyClick(about, Qt::Key_Return);  // the OK button is the default
        });
        Access::menuBar(dialog).actions()[1]->menu()->actions()[0]->trigger();  // "&About"
        QCOMPARE(texts,
                 QStringList({"Quillet", "Client Address (port) 125: 10.0.0.1 (1001)",
                              "Start Time 90: " + QString::fromStdString(startTimeText(1772719629)),
                              "File Name 120: boot/pxelinux.0", "File Size 70: 25.96kB",
                              "Progress 125: 0", "Elapsed 60: 0:00", "&File", "&Clear Entries",
                              "&Help", "&About", "About Ravelin", "[icon]", "Quillet Version 1.0",
                              "Copyright (C) Carrowmore"}));

        // The "&File" pop-up opens for a right click over the transfer list (header included).
        const QRect area = Access::list(dialog).geometry();
        const QPoint overHeader = area.topLeft() + QPoint(area.width() / 2, 5);
        using Case = std::tuple<QPoint, QContextMenuEvent::Reason, bool>;  // where, how, opens
        for (const auto& [at, reason, opens] :
             {Case{overHeader, QContextMenuEvent::Mouse, true},
              Case{area.center(), QContextMenuEvent::Mouse, true},
              Case{Access::logList(dialog).geometry().center(), QContextMenuEvent::Mouse, false},
              Case{area.center(), QContextMenuEvent::Keyboard, false}}) {
            QWidget* target = dialog.childAt(at);
            const QPoint global = dialog.mapToGlobal(at);
            QContextMenuEvent event(reason, target->mapFromGlobal(global), global);
            QApplication::sendEvent(target, &event);
            QCOMPARE(Access::fileMenu(dialog).isVisible(), opens);
            Access::fileMenu(dialog).hide();
        }
    }

    void serverErrorShowsTheTextAndEndsWithCode3() {
        const int port = Access::boundPort(open());  // held by the first dialog's engine
        MainDialog dialog(static_cast<std::uint16_t>(port));
        QString text;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                box->accept();
            }
        });
        poll.start(20);
        soon(dialog, [] {});
        QCOMPARE(dialog.exec(), MainDialog::kServerErrorResult);
        const QString expected = QString::asprintf(
            "Bind failed, Maybe Port %d already in use: 0x%08X", port, EADDRINUSE);
        QCOMPARE(text, expected);
        QVERIFY(logShows(dialog, expected));  // the level-3 line came first
        QVERIFY(dialog.engineFailedToStart());
    }

    void everyWayOfEndingRunsTheCloseSteps_data() {
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<int>("result");
        const auto row = [](const char* name, int result, Ending ending) {
            QTest::newRow(name) << ending << result;
        };
        row("close box", QDialog::Rejected, &MainDialog::close);
        row("Escape", QDialog::Rejected,
            [](MainDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); });
        // Enter does not end the dialog (it has no default button): the close box then does.
        row("Enter", QDialog::Rejected, [](MainDialog& d) {
            QTest::keyClick(&d, Qt::Key_Enter);
            d.close();
        });
        row("accept", QDialog::Accepted, &MainDialog::accept);
        row("reject", QDialog::Rejected, &MainDialog::reject);
        row("done", 7, [](MainDialog& d) { d.done(7); });
    }
    void everyWayOfEndingRunsTheCloseSteps() {
        QFETCH(Ending, ending);
        QFETCH(int, result);
        QFile file("long.bin");
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(100 * 512, 'x')) > 0);
        file.close();
        MainDialog dialog(0);  // with the real engine, serving until it is stopped
        int fd = -1;
        soon(dialog, [&] {
            QVERIFY(QTest::qWaitFor([&] { return logShows(dialog, "Ready"); }, 5000));
            fd = requestFile(Access::boundPort(dialog), "long.bin");
            QTRY_COMPARE(column(Access::list(dialog), kProgressColumn), QStringList({"0"}));
            // Queued before the close, delivered after it: the rows they refer to are gone.
            QVERIFY(post(dialog, TransferProgressMessage{client(1), 5}));
            QVERIFY(postStarted(dialog, client(1), 1));
            QVERIFY(post(dialog, ServerErrorMessage{"late error"}));
            ending(dialog);  // while the transfer runs
        });
        QCOMPARE(dialog.exec(), result);
        ::close(fd);
        QTimer::singleShot(300, &dialog, [] {  // should a late error box open after all
            if (QWidget* box = QApplication::activeModalWidget()) {
                box->close();
                QFAIL("an error box opened after the close");
            }
        });
        QCoreApplication::processEvents();
        QVERIFY(!Access::isRunning(dialog));
        QVERIFY(!dialog.engineAbandoned());
        QCOMPARE(Access::boundPort(dialog), 0);  // the engine has ended and closed its socket
        QCOMPARE(Access::list(dialog).topLevelItemCount(), 0);
        // The window is detached now: posts are refused on the posting thread.
        QVERIFY(!post(dialog, LogLineMessage{"late line"}));
    }

    void anEngineThatDoesNotStopInTimeIsLetGoWithItsPartsAlive() {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<int> latePostsAccepted{-1};
        std::weak_ptr<const EngineParts> parts;
        {
            MainDialog dialog(0);
            Access::stopWaitLimit(dialog) = 100ms;
            Access::engineBody(dialog) = [released, &latePostsAccepted](EngineParts& engine) {
                engine.server.run();
                // Stopped, but slow to end: it goes on using the log and the sink afterwards.
                released.wait_for(10s);
                engine.log.write(3, "a line from an engine that was let go");
                latePostsAccepted = int{engine.eventSink.transferDone(ClientEndpoint{})} +
                                    int{engine.eventSink.serverError("late")};
            };
            dialog.show();
            QTRY_VERIFY(logShows(dialog, "Quillet Server Ready..."));
            parts = Access::parts(dialog);
            dialog.close();
            QVERIFY(dialog.engineAbandoned());
        }
        QVERIFY(!parts.expired());  // the dialog is gone, the engine's parts are not
        release.set_value();
        QTRY_VERIFY(parts.expired());
        QCOMPARE(latePostsAccepted.load(), 0);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
