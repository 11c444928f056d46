// The Qt window as a view of the window model (whose rows and order tests/unit pins); then, with
// a real engine, a server that cannot start and every way of ending.

#include <arpa/inet.h>

#include <QTest>
#include <QtWidgets>
#include <future>

#include "ui/dialog_units.h"
#include "ui/main_dialog.h"
#include "ui/settings_dialog.h"

using namespace quillet;
using namespace quillet::ui;
using namespace std::chrono_literals;

namespace quillet::ui {

/// What the tests reach inside the dialog: its widgets, the model, the engine's parts.
class MainDialogTestAccess {
  public:
    static QTreeView& list(const MainDialog& d) { return *d.transferList_; }
    static QListView& logList(const MainDialog& d) { return *d.logList_; }
    static QMenu& fileMenu(const MainDialog& d) { return *d.fileMenu_; }
    static window::WindowModel& model(MainDialog& d) { return d.model_; }
    static std::shared_ptr<EngineParts> parts(const MainDialog& d) { return d.engine_; }
    static EngineBody& engineBody(MainDialog& d) { return d.engineBody_; }
    static std::chrono::milliseconds& stopWaitLimit(MainDialog& d) { return d.stopWaitLimit_; }
};

}  // namespace quillet::ui

namespace {

using Access = MainDialogTestAccess;

/// Posts as the engine does, and lets the window take it.
bool post(MainDialog& dialog, EngineMessage message) {
    const bool posted =
        Access::parts(dialog)->window.post(std::make_unique<EngineMessage>(std::move(message)));
    QCoreApplication::processEvents();
    return posted;
}

bool postStarted(MainDialog& dialog, const ClientEndpoint& from, std::int64_t size,
                 std::string name = "f") {
    return post(dialog, TransferStartedMessage{from, std::make_unique<TransferRecord>(
                                                         TransferRecord{from, name, size})});
}

ClientEndpoint client(int n) {
    return {htonl(0x0A000000 + n), htons(static_cast<std::uint16_t>(1000 + n))};
}

bool logShows(const MainDialog& dialog, const QString& text) {
    const QAbstractItemModel& lines = *Access::logList(dialog).model();
    return !lines.match(lines.index(0, 0), Qt::DisplayRole, text, 1, Qt::MatchContains).isEmpty();
}

using Ending = std::function<void(MainDialog&)>;

/// Records the value of every progress bar and the arrow of every header section it draws.
struct RecordingStyle final : QProxyStyle {
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (const auto* bar = qstyleoption_cast<const QStyleOptionProgressBar*>(option);
            bar != nullptr && element == CE_ProgressBar) {
            bars.push_back(bar->progress);
        } else if (const auto* header = qstyleoption_cast<const QStyleOptionHeader*>(option);
                   header != nullptr && element == CE_Header) {
            arrows[header->section] = header->sortIndicator;
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }
    mutable QList<int> bars;
    mutable QMap<int, QStyleOptionHeader::SortIndicator> arrows;
};

}  // namespace

Q_DECLARE_METATYPE(Ending)

class WindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MainDialog> dialog_;
    QList<QUrl> opened_;

    /// A shown dialog on a free port whose engine runs body; by default it only binds and reports
    /// ready.
    MainDialog& open(EngineBody body = [](EngineParts& parts) { parts.server.start(); }) {
        dialog_ = std::make_unique<MainDialog>(0);
        Access::engineBody(*dialog_) = std::move(body);
        dialog_->show();
        [&] { QTRY_VERIFY(logShows(*dialog_, "Quillet Server Ready...")); }();
        return *dialog_;
    }

  public slots:
    void openUrl(const QUrl& url) { opened_ << url; }

  private slots:
    void cleanup() { dialog_.reset(); }

    // Each column holds its title beside the arrow and its widest usual text in the font in use;
    // a text that its cell cuts shows whole in a tooltip, and only then.
    void columnsFitTheirTextsAndACutCellHasATooltip() {
        MainDialog& dialog = open();
        QTreeView& list = Access::list(dialog);
        const QHeaderView& header = *list.header();
        const QFontMetrics metrics(list.font());
        const QStringList widest = {
            "255.255.255.255 (65535)", "Sep-30 23:59:59", "File Name", "9999.99MB",
            "Client Unreachable",      "999:59"};
        const QStyle& style = *list.style();
        QStyleOptionHeader title;
        QStyleOptionViewItem cell;
        title.initFrom(&header), cell.initFrom(&list);
        title.sortIndicator = QStyleOptionHeader::SortUp;
        cell.features = QStyleOptionViewItem::HasDisplay;
        for (int column = 0; column < widest.size(); ++column) {
            cell.rect = title.rect = QRect(0, 0, header.sectionSize(column), header.height());
            title.text = header.model()->headerData(column, Qt::Horizontal).toString();
            cell.text = widest[column];
            QVERIFY(metrics.horizontalAdvance(title.text) <=
                    style.subElementRect(QStyle::SE_HeaderLabel, &title, &header).width());
            QVERIFY(metrics.horizontalAdvance(cell.text) <=
                    style.subElementRect(QStyle::SE_ItemViewItemText, &cell, &list).width());
        }
        const std::string longName(300, 'n');
        postStarted(dialog, client(1), 1000, longName);
        const auto askTooltip = [&](int column) {
            const QRect cell = list.visualRect(list.model()->index(0, column));
            QHelpEvent help(QEvent::ToolTip, cell.center(),
                            list.viewport()->mapToGlobal(cell.center()));
            QApplication::sendEvent(list.viewport(), &help);
        };
        askTooltip(window::kFileNameColumn);
        QVERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), QString::fromStdString(longName));
        askTooltip(window::kFileSizeColumn);  // fits: the tip goes (after a short delay)
        QTRY_VERIFY(!QToolTip::isVisible());
    }

    // A bar exactly where a row runs; the arrow up while ascending, on the sorted column only;
    // the current row moves with its transfer and stays selected.
    void barsAndTheHeaderArrowFollowTheModel() {
        MainDialog& dialog = open();
        QTreeView& list = Access::list(dialog);
        RecordingStyle style;
        list.setStyle(&style);
        list.header()->setStyle(&style);
        for (int n : {1, 2, 3}) {
            postStarted(dialog, client(n), 5000 * n, std::string(1, char('a' + n % 3)));
        }
        post(dialog, TransferProgressMessage{client(2), 10});
        post(dialog, TransferDoneMessage{client(3)});
        list.setCurrentIndex(list.model()->index(0, 0));  // "b", 5000 bytes
        const QHeaderView* header = list.header();
        for (const auto arrow : {QStyleOptionHeader::SortUp, QStyleOptionHeader::SortDown}) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                              QPoint(header->sectionViewportPosition(3) + 5, header->height() / 2));
            QCoreApplication::processEvents();
            style.bars.clear();
            style.arrows.clear();
            list.grab();
            QCOMPARE(style.bars,
                     (arrow == QStyleOptionHeader::SortUp ? QList{0, 50} : QList{50, 0}));
            QCOMPARE(style.arrows.value(3), arrow);
            QCOMPARE(style.arrows.value(2), QStyleOptionHeader::None);
            QCOMPARE(list.currentIndex().data().toString(), "10.0.0.1 (1001)");
            QCOMPARE(list.selectionModel()->selectedRows(), QModelIndexList{list.currentIndex()});
        }
        list.setStyle(nullptr);
        list.header()->setStyle(nullptr);
    }

    // The log keeps arrival order and follows new lines while it shows the newest; scrolled up,
    // it stays put. Copy takes the selected lines, or the selected row's texts.
    void logFollowsAndCopyTakesWhatIsSelected() {
        MainDialog& dialog = open();
        QListView& log = Access::logList(dialog);
        QScrollBar& scroll = *log.verticalScrollBar();
        // Posted in one go, taken by the window as one batch.
        const auto lines = [&](int from, int to) {
            for (int line = from; line < to; ++line) {
                Access::parts(dialog)->window.post(std::make_unique<EngineMessage>(
                    LogLineMessage{"line " + std::to_string(line)}));
            }
            QCoreApplication::processEvents();
        };
        lines(0, 6000);
        QTRY_VERIFY(scroll.maximum() > 0 && scroll.value() == scroll.maximum());
        scroll.setValue(3000);
        const QString top = log.indexAt(QPoint(2, 2)).data().toString();
        lines(6000, 10'100);  // the oldest lines give way
        QTRY_COMPARE(log.model()->rowCount(), 10'000);
        QCOMPARE(log.indexAt(QPoint(2, 2)).data().toString(), top);
        scroll.setValue(scroll.maximum());
        lines(10'100, 10'200);
        const QModelIndex last = log.model()->index(log.model()->rowCount() - 1, 0);
        QCOMPARE(last.data().toString(), "line 10199");
        QTRY_VERIFY(log.viewport()->rect().contains(log.visualRect(last)));

        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        log.setFocus();
        log.selectionModel()->select(log.model()->index(5, 0), QItemSelectionModel::Select);
        log.selectionModel()->select(log.model()->index(4, 0), QItemSelectionModel::Select);
        QTest::keySequence(&log, QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(), "line 204\nline 205");
        QTreeView& list = Access::list(dialog);
        postStarted(dialog, client(1), 5000);
        list.setFocus();
        list.setCurrentIndex(list.model()->index(0, 2));
        QTest::keySequence(&list, QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QString::fromStdString(Access::model(dialog).row(0).copyText()));
    }

    // OK writes LOG_FILE_LEVEL and TFTP_OPTIONS to the settings file and nothing else; Cancel
    // writes nothing. "Open Served Folder" opens the working directory.
    void settingsWriteTheirTwoKeysAndNothingElse() {
        QSettings stored("Carrowmore", "Quillet");
        stored.clear();
        stored.setValue("LOG_FILE_LEVEL", 9);
        stored.setValue("OTHER", "kept");
        stored.sync();
        const QString conf = stored.fileName();
        for (bool accept : {false, true}) {
            SettingsDialog settings;
            auto* level = settings.findChild<QComboBox*>();
            auto* options = settings.findChild<QCheckBox*>();
            QCOMPARE(level->count(), 7);
            QCOMPARE(level->currentData().toInt(), 7);  // 9 shows as the nearest
            QVERIFY(!options->isChecked());
            level->setCurrentIndex(level->findData(3));
            options->setChecked(true);
            accept ? settings.accept() : settings.reject();
            QFile file(conf);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(QString(file.readAll()).split('\n', Qt::SkipEmptyParts),
                     accept ? QStringList(
                                  {"[General]", "LOG_FILE_LEVEL=3", "OTHER=kept", "TFTP_OPTIONS=1"})
                            : QStringList({"[General]", "LOG_FILE_LEVEL=9", "OTHER=kept"}));
        }
        // Nothing else under the settings' folder: no other file, no leftover lock.
        QDirIterator found(qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::Files,
                           QDirIterator::Subdirectories);
        QCOMPARE(found.next(), conf);
        QVERIFY(!found.hasNext());

        MainDialog& dialog = open();
        QDesktopServices::setUrlHandler("file", this, "openUrl");
        for (QAction* action : Access::fileMenu(dialog).actions()) {
            action->text() == "&Open Served Folder" ? action->trigger() : void();
        }
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(opened_, QList{QUrl::fromLocalFile(QDir::currentPath())});
    }

    // Run again at QT_SCALE_FACTOR=2 on a 1280 x 800 screen (CTest: ui_window_scale2): the
    // window opens inside the screen's available area, with both lists visible, and can grow.
    void windowFitsTheScreen() {
        MainDialog& dialog = open();
        const QRect available = dialog.screen()->availableGeometry();
        QVERIFY(available.contains(dialog.frameGeometry()));
        const QSize design = DialogUnits(dialog.font()).size(402, 275);
        QVERIFY(dialog.width() >= std::min(design.width(), available.width() * 3 / 4));
        const int line = QFontMetrics(dialog.font()).height();
        QVERIFY(Access::list(dialog).viewport()->height() >= 2 * line);
        QVERIFY(Access::logList(dialog).viewport()->height() >= 2 * line);
        QVERIFY(dialog.windowFlags().testFlag(Qt::WindowMaximizeButtonHint) &&
                dialog.maximumWidth() > available.width());
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
        const Ending closeBox = &MainDialog::close, done = [](MainDialog&d) { d.done(7); };
        const Ending escape = [](MainDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); };
        QTest::newRow("close box") << closeBox << int{QDialog::Rejected} << false;
        QTest::newRow("Escape") << escape << int{QDialog::Rejected} << false;
        QTest::newRow("done") << done << 7 << false;
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
        postStarted(dialog, client(1), 5000);
        // Queued before the close and never taken: the close drops it.
        QVERIFY(Access::parts(dialog)->window.post(
            std::make_unique<EngineMessage>(TransferProgressMessage{client(1), 5})));
        ending(dialog);
        QCoreApplication::processEvents();
        QCOMPARE(dialog.result(), result);
        QCOMPARE(dialog.engineAbandoned(), slowToStop);
        if (!slowToStop) {
            QCOMPARE(Access::parts(dialog)->server.boundPort(), 0);  // it has closed its socket
        }
        QCOMPARE(Access::parts(dialog)->window.queued(), 0u);
        QCOMPARE(Access::model(dialog).row(0).percent(), 0);
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
