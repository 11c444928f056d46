// The window: row texts, progress bars, rows as posted engine events change them, sorting, the
// log list's cap; then, with a real engine, a server that cannot start and every way of ending.

#include <arpa/inet.h>

#include <QApplication>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProxyStyle>
#include <QScopeGuard>
#include <QStyleOptionProgressBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <clocale>
#include <ctime>
#include <functional>
#include <future>

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
    static QListWidget& logList(const MainDialog& d) { return *d.logList_; }
    static std::shared_ptr<EngineParts> parts(const MainDialog& d) { return d.engine_; }
    static EngineBody& engineBody(MainDialog& d) { return d.engineBody_; }
    static std::chrono::milliseconds& stopWaitLimit(MainDialog& d) { return d.stopWaitLimit_; }
    static void elapsedPass(MainDialog& d) { d.elapsedPass(); }
};

}  // namespace quillet::ui

namespace {

using Access = MainDialogTestAccess;

bool post(MainDialog& dialog, EngineMessage message) {
    return Access::parts(dialog)->window.post(std::make_unique<EngineMessage>(std::move(message)));
}

bool postStarted(MainDialog& dialog, const ClientEndpoint& from, std::int64_t size,
                 std::string name = "f", std::time_t start = 0, std::int32_t blockSize = 512) {
    return post(dialog,
                TransferStartedMessage{from, std::make_unique<TransferRecord>(TransferRecord{
                                                 from, name, size, start, 0, blockSize})});
}

QString column(const TransferListCtrl& list, int index, char separator = '|') {
    QStringList texts;
    for (int row = 0; row < list.topLevelItemCount(); ++row) {
        texts << list.topLevelItem(row)->text(index);
    }
    return texts.join(separator);
}

/// The endpoint of an address and port given in host order.
ClientEndpoint hostOrder(std::uint32_t address, std::uint16_t port) {
    return {htonl(address), htons(port)};
}

/// Client n: 10.0.0.(n % 10) port 1000 + n, so clients 1 and 11 share an address.
ClientEndpoint client(int n) {
    return hostOrder(0x0A000000 + n % 10, static_cast<std::uint16_t>(1000 + n));
}

bool logShows(const MainDialog& dialog, const QString& text) {
    return !Access::logList(dialog).findItems(text, Qt::MatchContains).isEmpty();
}

/// Plays steps "<letter><client>[=value]": S started (size[/block size]), P progress (blocks
/// sent), D done, F failed (reason); C clicks header section <n>, X clears entries, T one tick.
void play(MainDialog& dialog, const QString& script) {
    for (const QString& step : script.split(',')) {
        const QStringList parts = step.mid(1).split('=');
        const int n = parts[0].toInt();
        const ClientEndpoint from = client(n);
        const char kind = step[0].toLatin1();
        QHeaderView* header = Access::list(dialog).header();
        if (kind == 'X') {
            Access::menuBar(dialog).actions()[0]->menu()->actions()[0]->trigger();
        } else if (kind == 'T') {
            Access::elapsedPass(dialog);
        } else if (kind == 'C') {
            const QPoint centre(header->sectionViewportPosition(n) + header->sectionSize(n) / 2,
                                header->height() / 2);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
        } else if (kind == 'S') {
            const QStringList size = parts[1].split('/');
            postStarted(dialog, from, size[0].toLongLong(), "f", 0, size.value(1, "512").toInt());
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

using Ending = std::function<void(MainDialog&)>;

/// Records the value of every progress bar drawn through it.
struct BarRecordingStyle final : QProxyStyle {
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (const auto* bar = qstyleoption_cast<const QStyleOptionProgressBar*>(option);
            bar != nullptr && element == CE_ProgressBar) {
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

    /// A shown dialog on a free port whose engine runs body; by default it only binds and reports
    /// ready.
    MainDialog& open(EngineBody body = [](EngineParts& parts) { parts.server.start(); }) {
        dialog_ = std::make_unique<MainDialog>(0);
        Access::engineBody(*dialog_) = std::move(body);
        dialog_->show();
        [&] { QTRY_VERIFY(logShows(*dialog_, "Quillet Server Ready...")); }();
        return *dialog_;
    }

  private slots:
    void cleanup() { dialog_.reset(); }

    // QApplication takes the C library's locale from the environment: a German one's decimal
    // comma and month names must not show.
    void rowTextsIgnoreTheLocale() {
        qputenv("TZ", "UTC");  // start times read the same on every machine
        tzset();
        const std::string before = std::setlocale(LC_ALL, nullptr);
        const auto restore = qScopeGuard([&] { std::setlocale(LC_ALL, before.c_str()); });
        for (const char* locale : {"C", "de_DE.UTF-8"}) {
            if (std::setlocale(LC_ALL, locale) == nullptr) {
                QSKIP("the German locale is not installed");  // the C one passed
            }
            const std::string texts = sizeText(1023) + "|" + sizeText(1048575) + "|" +
                                      sizeText(1048576) + "|" + elapsedText(3725) + "|" +
                                      startTimeText(1793404800 + 23 * 3600 + 59 * 60);
            QCOMPARE(QString::fromStdString(texts), "1023B|1024.00kB|1.00MB|62:05|Oct-31 23:59:00");
        }
    }

    // Every refusal leaves the cell alone; a bar is drawn exactly where a cell holds a percentage,
    // and only in the progress column: not for a number written as plain text, nor after its end.
    void progressOperationsAndTheirBars() {
        using enum ProgressResult;
        BarRecordingStyle style;
        TransferListCtrl list;
        list.setStyle(&style);
        list.setColumnCount(3);
        for (const char* text : {"50", "", "", ""}) {
            new QTreeWidgetItem(&list, {text, text, text});  // owned by the list
        }
        const QList<ProgressResult> results = {
            list.setProgress(0, 50),     list.setProgressColumn(3),      list.setProgressColumn(1),
            list.setProgress(1, 101),    list.setProgress(1, -1),        list.setProgress(4, 50),
            list.setProgressEnd(4, "x"), list.setProgress(1, 0),         list.setProgress(2, 100),
            list.setProgress(3, 7),      list.setProgressEnd(3, "Done"),
        };
        QCOMPARE(results, QList<ProgressResult>({OutOfRange, OutOfRange, Changed, BadPercent,
                                                 BadPercent, OutOfRange, OutOfRange, Changed,
                                                 Changed, Changed, Changed}));
        QCOMPARE(column(list, 1), "50|0|100|Done");
        list.grab();
        QCOMPARE(style.bars, QList<int>({0, 100}));
        // A progress text is a whole number from 0 to 100 and nothing else (-1: not one).
        QList<int> percents;
        for (const char* text : {"0", " +7", "-0", "100", "-1", "101", "", "7%"}) {
            int percent = -1;
            percents << (TransferListCtrl::isProgressText(QString(text), &percent) ? percent : -1);
        }
        QCOMPARE(percents, QList<int>({0, 7, 0, 100, -1, -1, -1, -1}));
    }

    // Blocks: 10 of 5000 bytes, 12 of 6000, 25 of 12800, 35,715 of 50 MB in blocks of 1468.
    void eventsChangeTheRows_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");  // the column's texts, top to bottom
        QTest::addColumn<int>("column");
        const auto row = [](const char* name, const char* script, const char* expected,
                            int column = kProgressColumn) {
            QTest::newRow(name) << QString(script) << QString(expected) << column;
        };
        row("progress", "S1=12800,P1=10,S2=52428800/1468,P2=17858", "40|50");
        row("empty file, above the block count", "S1=0,P1=1,S2=1536,P2=2,P2=4", "100|66");
        row("done and failed texts, then nothing",
            "S1=12800,P1=25,D1,P1=5,S2=5000,F2=Client Error #0 \"bye\",P2=1",
            "Done|Client Error #0 \"bye\"");
        row("unknown endpoints (11: the address of 1, another port)",
            "S1=5000,P2=5,D2,F2=x,P11=5,D11", "0");
        row("the lowest running row", "S1=5000,D1,S1=5000,S1=5000,P1=5", "Done|0|50");
        row("clear entries", "S1=5000,S2=5000,S3=5000,S4=5000,P2=2,P4=4,D1,F3=x,X", "20|40");
        // Sorted by size, descending: the finished row of the client goes below its running one.
        row("a finished row never changes", "S1=5000,D1,S1=6000,C3,C3,P1=5,F1=Socket Error,P1=1,D1",
            "Socket Error|Done");
        row("elapsed time", "S1=5000,S2=5000,S3=5000,T,D2,F3=x,T,T", "0:03|0:01|0:01",
            kElapsedColumn);
    }
    void eventsChangeTheRows() {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        QFETCH(int, column);
        MainDialog& dialog = open();
        play(dialog, script);
        QCOMPARE(::column(Access::list(dialog), column), expected);
    }

    void logListKeepsTheLatestTenThousandLines() {
        MainDialog& dialog = open();
        for (int line = 0; line < 10'005; ++line) {
            post(dialog, LogLineMessage{QString::asprintf("9999 line %05d", line).toStdString()});
        }
        // The start's own lines are older still, so they go first, then the five oldest above.
        const QListWidget& list = Access::logList(dialog);
        QTRY_COMPARE(list.item(list.count() - 1)->text(), "9999 line 10004");
        QCOMPARE(list.count(), 10'000);
        QCOMPARE(list.item(0)->text(), "9999 line 00005");
    }

    void headerClicksSortAndShowTheIndicator_data() {
        QTest::addColumn<QString>("clicks");
        QTest::addColumn<QString>("expected");  // the file names top to bottom, the indicator
        const auto row = [](const char* clicks, const char* expected) {
            QTest::newRow(clicks) << QString(clicks) << QString(expected);
        };
        row("C4,C5", "c a d b, none");  // progress and elapsed do not sort
        row("C3", "c b d a, 3 up");     // by size
        row("C3,C3,C4,C5", "a d b c, 3 down");
        row("C3,C3,C2", "a b c d, 2 up");  // by name, ascending again
        row("C1", "c d a b, 1 up");        // by start time
        // Endpoints: the fourth octet first, then the port's low byte before its high (256 < 1).
        row("C0", "b d c a, 0 up");
        row("C0,C0", "a c d b, 0 down");
    }
    void headerClicksSortAndShowTheIndicator() {
        QFETCH(QString, clicks);
        QFETCH(QString, expected);
        MainDialog& dialog = open();
        postStarted(dialog, hostOrder(0x09000001, 69), 1000, "c", 10);
        postStarted(dialog, hostOrder(0x01000002, 69), 4000, "a", 30);
        postStarted(dialog, hostOrder(0x01000001, 1), 3000, "d", 20);
        postStarted(dialog, hostOrder(0x01000001, 256), 2000, "b", 40);
        QCoreApplication::processEvents();
        TransferListCtrl& list = Access::list(dialog);
        list.setCurrentItem(list.topLevelItem(2));  // "d"
        play(dialog, clicks);
        const QHeaderView* header = list.header();
        const char* order = header->sortIndicatorOrder() == Qt::AscendingOrder ? " up" : " down";
        const QString shown = header->isSortIndicatorShown()
                                  ? QString::number(header->sortIndicatorSection()) + order
                                  : "none";
        QCOMPARE(column(list, kFileNameColumn, ' ') + ", " + shown, expected);
        // The current row moves with its transfer and stays selected.
        QTreeWidgetItem* current = list.currentItem();
        QVERIFY(current != nullptr && current->text(kFileNameColumn) == "d");
        QCOMPARE(list.selectedItems(), QList<QTreeWidgetItem*>({current}));
    }

    void serverErrorShowsTheTextAndEndsWithCode3() {
        const int port = Access::parts(open())->server.boundPort();  // held by this engine
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
        dialog.show();
        QTRY_COMPARE(dialog.result(), MainDialog::kServerErrorResult);
        const QString expected = QString::asprintf(
            "Bind failed, Maybe Port %d already in use: 0x%08X", port, EADDRINUSE);
        QCOMPARE(text, expected);
        QVERIFY(logShows(dialog, expected));  // the level-3 line came first
        QVERIFY(dialog.engineFailedToStart());
    }

    void everyWayOfEndingRunsTheCloseSteps_data() {
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("slowToStop");  // the engine ends only long after it is stopped
        const Ending closeBox = &MainDialog::close;
        QTest::newRow("close box") << closeBox << int{QDialog::Rejected} << false;
        QTest::newRow("Escape") << Ending(
                                       [](MainDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); })
                                << int{QDialog::Rejected} << false;
        QTest::newRow("done") << Ending([](MainDialog& d) { d.done(7); }) << 7 << false;
        QTest::newRow("engine slow to stop") << closeBox << int{QDialog::Rejected} << true;
    }
    void everyWayOfEndingRunsTheCloseSteps() {
        QFETCH(Ending, ending);
        QFETCH(int, result);
        QFETCH(bool, slowToStop);
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<int> latePostsRefused{0};
        MainDialog& dialog = open([=, &latePostsRefused](EngineParts& engine) {
            engine.server.run();  // serves until it is stopped
            if (slowToStop) {     // then goes on using the log and the sink
                released.wait_for(10s);
                engine.log.write(3, "a line from an engine that was let go");
                latePostsRefused = int{!engine.eventSink.transferDone(ClientEndpoint{})} +
                                   int{!engine.eventSink.serverError("late")};
            }
        });
        Access::stopWaitLimit(dialog) = slowToStop ? 100ms : 10s;
        play(dialog, "S1=5000");
        // Queued before the close, delivered after it: the rows they refer to are gone.
        QVERIFY(post(dialog, TransferProgressMessage{client(1), 5}));
        QVERIFY(postStarted(dialog, client(1), 1));
        ending(dialog);
        QCoreApplication::processEvents();
        QCOMPARE(dialog.result(), result);
        QCOMPARE(dialog.engineAbandoned(), slowToStop);
        if (!slowToStop) {
            QCOMPARE(Access::parts(dialog)->server.boundPort(), 0);  // it has closed its socket
        }
        QCOMPARE(Access::list(dialog).topLevelItemCount(), 0);
        // The window is detached now: posts are refused on the posting thread.
        QVERIFY(!post(dialog, LogLineMessage{"late line"}));
        // An engine thread that was let go keeps its share of the parts until it ends.
        const std::weak_ptr<const EngineParts> parts = Access::parts(dialog);
        dialog_.reset();
        QCOMPARE(parts.expired(), !slowToStop);
        release.set_value();
        QTRY_VERIFY(parts.expired());
        QCOMPARE(latePostsRefused.load(), slowToStop ? 2 : 0);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
