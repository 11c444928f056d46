#include "ui/main_dialog.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QGuiApplication>
#include <QHeaderView>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <system_error>
#include <utility>

#include "ui/about_dialog.h"
#include "ui/app_icon.h"
#include "ui/dialog_units.h"
#include "ui/settings_dialog.h"
#include "ui/transfer_table.h"
#include "ui/transfer_view.h"

namespace quillet::ui {
namespace {

constexpr std::chrono::milliseconds kElapsedInterval{1000};

// The design layout, in dialog units: the dialog, and the heights of the two lists.
constexpr int kDesignWidth = 402;
constexpr int kDesignHeight = 275;
constexpr int kTransferListHeight = 196;
constexpr int kLogListHeight = 71;

}  // namespace

MainDialog::MainDialog(std::shared_ptr<EngineParts> engine, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                          Qt::WindowCloseButtonHint),
      engine_(std::move(engine)),
      engineBody_([](EngineParts& parts) { parts.runResult = parts.server.run(); }),
      table_(std::make_unique<TransferTable>(model_)),
      menuBar_(new QMenuBar(this)),
      fileMenu_(nullptr),
      splitter_(new QSplitter(Qt::Vertical, this)),
      transferList_(new QTreeView(splitter_)),
      logList_(new QListView(splitter_)),
      copyRow_(new QAction(QStringLiteral("&Copy"), this)),
      copyLines_(new QAction(QStringLiteral("&Copy"), this)) {
    setWindowTitle(QStringLiteral("Quillet"));
    setWindowIcon(appIcon());
    buildMenus();
    buildTransferList();
    buildLogList();

    const DialogUnits units(font());
    auto* layout = new QVBoxLayout(this);
    layout->setMenuBar(menuBar_);
    layout->setContentsMargins(units.x(3), units.y(2), units.x(3), units.y(3));
    layout->addWidget(splitter_);
    splitter_->setChildrenCollapsible(false);
    splitter_->setStretchFactor(0, kTransferListHeight);
    splitter_->setStretchFactor(1, kLogListHeight);
    splitter_->setSizes({units.y(kTransferListHeight), units.y(kLogListHeight)});
    setSizeGripEnabled(true);
    resize(openingSize());

    elapsedTimer_.setInterval(kElapsedInterval);
    connect(&elapsedTimer_, &QTimer::timeout, this, [this] { model_.elapsedPass(); });
}

MainDialog::~MainDialog() {
    runCloseSteps();
}

void MainDialog::buildMenus() {
    menuBar_->setNativeMenuBar(false);  // it belongs to the window, as the dialog's menu
    fileMenu_ = menuBar_->addMenu(QStringLiteral("&File"));
    connect(fileMenu_->addAction(QStringLiteral("&Settings...")), &QAction::triggered, this,
            &MainDialog::showSettings);
    connect(fileMenu_->addAction(QStringLiteral("&Open Served Folder")), &QAction::triggered, this,
            &MainDialog::openServedFolder);
    connect(fileMenu_->addAction(QStringLiteral("&Clear Entries")), &QAction::triggered, this,
            [this] { model_.clearEntries(); });
    QMenu* help = menuBar_->addMenu(QStringLiteral("&Help"));
    connect(help->addAction(QStringLiteral("&About")), &QAction::triggered, this,
            &MainDialog::showAbout);
}

void MainDialog::buildTransferList() {
    transferList_->setObjectName(QStringLiteral("transferList"));
    transferList_->setModel(table_.get());
    transferList_->setItemDelegate(new CellDelegate(transferList_));
    transferList_->setRootIsDecorated(false);
    transferList_->setItemsExpandable(false);
    transferList_->setUniformRowHeights(true);
    transferList_->setSelectionMode(QAbstractItemView::SingleSelection);
    transferList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    transferList_->setAllColumnsShowFocus(true);
    transferList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    transferList_->setSortingEnabled(false);  // rows are sorted on a header click only
    QHeaderView* header = transferList_->header();
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    header->setSectionsClickable(true);
    // Shown throughout, so that every title keeps room for the arrow; no section has one yet.
    header->setSortIndicatorShown(true);
    showSortIndicator();
    fitColumns(*transferList_);
    connect(header, &QHeaderView::sectionClicked, this, &MainDialog::headerClicked);

    copyRow_->setShortcut(QKeySequence::Copy);
    copyRow_->setShortcutContext(Qt::WidgetShortcut);
    transferList_->addAction(copyRow_);
    connect(copyRow_, &QAction::triggered, this, &MainDialog::copyTransferRow);
}

void MainDialog::buildLogList() {
    logList_->setObjectName(QStringLiteral("logList"));
    logList_->setModel(&table_->logLines());
    logList_->setUniformItemSizes(true);
    logList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    logList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    copyLines_->setShortcut(QKeySequence::Copy);
    copyLines_->setShortcutContext(Qt::WidgetShortcut);
    logList_->addAction(copyLines_);
    connect(copyLines_, &QAction::triggered, this, &MainDialog::copyLogLines);

    // The list follows new lines while it shows the newest one; once the user scrolls up it
    // stays where it is, also while the oldest lines give way to new ones.
    QScrollBar* scroll = logList_->verticalScrollBar();
    connect(scroll, &QScrollBar::valueChanged, this,
            [this, scroll](int value) { logFollows_ = value == scroll->maximum(); });
    connect(scroll, &QScrollBar::rangeChanged, this, [this, scroll](int, int maximum) {
        if (logFollows_) {
            scroll->setValue(maximum);
        }
    });
    connect(&table_->logLines(), &QAbstractItemModel::rowsRemoved, this,
            [this, scroll](const QModelIndex&, int first, int last) {
                if (!logFollows_) {
                    scroll->setValue(scroll->value() - (last - first + 1));
                }
            });
}

QSize MainDialog::openingSize() const {
    const DialogUnits units(font());
    QSize size = units.size(kDesignWidth, kDesignHeight);
    size.rheight() += menuBar_->sizeHint().height();
    // Wide enough for every column whole, beside the margins, the frame and a scroll bar.
    const int columns = transferList_->header()->length() + 2 * transferList_->frameWidth() +
                        style()->pixelMetric(QStyle::PM_ScrollBarExtent) + units.x(6);
    size.setWidth(std::max(size.width(), columns));
    const QScreen* shown = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    if (shown == nullptr) {
        return size;
    }
    // The window manager's frame is not known before the window is shown: leave room for a
    // title bar and borders.
    const int titleBar = 2 * fontMetrics().height();
    const QSize available =
        shown->availableGeometry().size() - QSize(units.x(8), titleBar + units.y(8));
    return size.boundedTo(available).expandedTo(minimumSizeHint());
}

void MainDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (state_ == State::Constructed) {
        startEngine();
    }
}

void MainDialog::startEngine() {
    EngineParts& parts = *engine_;
    parts.prepare();
    parts.window.attach(this);
    parts.log.attachWindow(&parts.window);
    parts.log.windowLevel = Logger::kDefaultWindowLevel;
    parts.eventSink.attachWindow(&parts.window);
    parts.server.setLog(&parts.log);
    parts.server.setEventSink(&parts.eventSink);
    parts.server.setNegotiatesOptions(readTransferOptionsSetting());
    servedFolder_ = QDir::currentPath();  // the engine serves its working directory
    state_ = State::Running;
    try {
        // The thread shares the parts, so they live as long as it needs them.
        engineThread_ =
            std::make_unique<EngineThread>([parts = engine_, body = engineBody_] { body(*parts); });
    } catch (const std::system_error&) {
        // No thread could be made: the window runs without an engine, and says nothing.
    }
    elapsedTimer_.start();
}

void MainDialog::done(int result) {
    runCloseSteps();
    QDialog::done(result);
}

void MainDialog::runCloseSteps() {
    if (state_ != State::Running) {
        return;
    }
    state_ = State::Ended;
    elapsedTimer_.stop();
    engine_->server.requestStop();
    if (engineThread_ != nullptr && !engineThread_->waitFor(stopWaitLimit_)) {
        // Let go: the thread keeps its share of the parts until it ends by itself.
        engineAbandoned_ = true;
    }
    engineThread_.reset();
    // From here on every post fails on the engine thread, and what was queued is gone.
    engine_->window.detach();
}

void MainDialog::customEvent(QEvent* event) {
    if (event->type() != QtMessageWindow::wakeEventType()) {
        QDialog::customEvent(event);
        return;
    }
    // After the close steps the dialog is ending: nothing is queued any more.
    if (state_ == State::Running) {
        takeEngineMessages();
    }
}

void MainDialog::takeEngineMessages() {
    window::MessageBatch batch = engine_->window.take();
    model_.apply(batch);
    if (const auto error = model_.takeServerError()) {
        showServerError(*error);
    }
}

void MainDialog::showServerError(const std::string& text) {
    // No caption of its own: the application's name stands there.
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                    QString::fromStdString(text), QMessageBox::Ok, this);
    box.exec();
    done(kServerErrorResult);
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event) {
    const auto over = [&](const QWidget* widget) {
        return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size())
            .contains(event->globalPos());
    };
    QMenu menu(this);
    if (over(transferList_)) {
        copyRow_->setEnabled(transferList_->selectionModel()->hasSelection());
        menu.addAction(copyRow_);
        menu.addSeparator();
        menu.addActions(fileMenu_->actions());
    } else if (over(logList_)) {
        copyLines_->setEnabled(logList_->selectionModel()->hasSelection());
        menu.addAction(copyLines_);
    } else {
        return;
    }
    menu.exec(event->globalPos());
    copyRow_->setEnabled(true);
    copyLines_->setEnabled(true);
}

void MainDialog::copyTransferRow() {
    const QModelIndexList selected = transferList_->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        return;
    }
    const auto& row = model_.row(static_cast<std::size_t>(selected.first().row()));
    QGuiApplication::clipboard()->setText(QString::fromStdString(row.copyText()));
}

void MainDialog::copyLogLines() {
    QModelIndexList selected = logList_->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        return;
    }
    std::sort(selected.begin(), selected.end());  // in the list's order, not the clicks'
    QStringList lines;
    for (const QModelIndex& line : selected) {
        lines << line.data().toString();
    }
    QGuiApplication::clipboard()->setText(lines.join(u'\n'));
}

void MainDialog::showAbout() {
    AboutDialog about(this);
    about.exec();
}

void MainDialog::showSettings() {
    SettingsDialog settings(this);
    settings.exec();
}

void MainDialog::openServedFolder() {
    QDesktopServices::openUrl(QUrl::fromLocalFile(servedFolder_));
}

void MainDialog::headerClicked(int column) {
    model_.headerClicked(column);
    // The header has already moved its indicator by itself; the model's is put back in any case.
    showSortIndicator();
}

void MainDialog::showSortIndicator() {
    const int column = model_.sortColumn();
    // Qt's header draws Qt::AscendingOrder as a downward arrow: the order is the one that draws
    // the model's arrow.
    const auto drawn = model_.sortArrow(column) == window::SortArrow::Up ? Qt::DescendingOrder
                                                                         : Qt::AscendingOrder;
    transferList_->header()->setSortIndicator(column, drawn);
}

}  // namespace quillet::ui
