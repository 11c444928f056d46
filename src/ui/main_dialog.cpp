#include "ui/main_dialog.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <array>
#include <memory>
#include <system_error>
#include <utility>
#include <variant>

#include "ui/about_dialog.h"
#include "ui/app_icon.h"
#include "ui/dialog_units.h"
#include "ui/engine_event.h"
#include "ui/transfer_list_ctrl.h"
#include "ui/transfer_row.h"
#include "ui/transfer_texts.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace quillet::ui {
namespace {

struct ColumnSpec {
    const char* title;
    int width;  // pixels
};

constexpr std::array<ColumnSpec, kTransferColumnCount> kColumns = {{
    {"Client Address (port)", 125},
    {"Start Time", 90},
    {"File Name", 120},
    {"File Size", 70},
    {"Progress", 125},
    {"Elapsed", 60},
}};

constexpr std::chrono::milliseconds kElapsedInterval{1000};
constexpr int kMaxLogLines = 10'000;

/// Adds a line to the log list; past kMaxLogLines the oldest goes, so that a flood of lines
/// cannot fill the window's memory.
void addLogLine(QListWidget& list, const QString& line) {
    list.addItem(line);
    if (list.count() > kMaxLogLines) {
        std::unique_ptr<QListWidgetItem>(list.takeItem(0));
    }
}

}  // namespace

MainDialog::MainDialog(std::shared_ptr<EngineParts> engine, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      engine_(std::move(engine)),
      engineBody_([](EngineParts& parts) { parts.runResult = parts.server.run(); }),
      menuBar_(new QMenuBar(this)),
      fileMenu_(nullptr),
      transferList_(new TransferListCtrl(this)),
      logList_(new QListWidget(this)) {
    setWindowTitle(QStringLiteral("Quillet"));
    setWindowIcon(appIcon());
    buildMenus();
    buildTransferList();
    logList_->setObjectName(QStringLiteral("logList"));
    logList_->setSortingEnabled(true);  // lines start with their time stamp: time order

    // A fixed layout in dialog units of the dialog's font, with the menu bar on top of it.
    const DialogUnits units(font());
    const int menuHeight = menuBar_->sizeHint().height();
    const QPoint belowMenu(0, menuHeight);
    menuBar_->setGeometry(0, 0, units.x(402), menuHeight);
    transferList_->setGeometry(units.rect(3, 2, 396, 196).translated(belowMenu));
    logList_->setGeometry(units.rect(3, 201, 396, 71).translated(belowMenu));
    setFixedSize(units.x(402), units.y(275) + menuHeight);
    setTabOrder(transferList_, logList_);

    elapsedTimer_.setInterval(kElapsedInterval);
    connect(&elapsedTimer_, &QTimer::timeout, this, &MainDialog::elapsedPass);
}

MainDialog::~MainDialog() {
    runCloseSteps();
}

void MainDialog::buildMenus() {
    menuBar_->setNativeMenuBar(false);  // the layout counts on it standing in the window
    fileMenu_ = menuBar_->addMenu(QStringLiteral("&File"));
    connect(fileMenu_->addAction(QStringLiteral("&Clear Entries")), &QAction::triggered, this,
            &MainDialog::clearEntries);
    QMenu* help = menuBar_->addMenu(QStringLiteral("&Help"));
    connect(help->addAction(QStringLiteral("&About")), &QAction::triggered, this,
            &MainDialog::showAbout);
}

void MainDialog::buildTransferList() {
    transferList_->setObjectName(QStringLiteral("transferList"));
    transferList_->setColumnCount(kTransferColumnCount);
    QStringList titles;
    for (const ColumnSpec& column : kColumns) {
        titles << QString::fromLatin1(column.title);
    }
    transferList_->setHeaderLabels(titles);
    for (int column = 0; column < kTransferColumnCount; ++column) {
        transferList_->setColumnWidth(column, kColumns[static_cast<std::size_t>(column)].width);
    }
    [[maybe_unused]] const ProgressResult chosen =
        transferList_->setProgressColumn(kProgressColumn);
    Q_ASSERT(chosen == ProgressResult::Changed);  // the columns are made just above
    connect(transferList_->header(), &QHeaderView::sectionClicked, this,
            &MainDialog::headerClicked);
}

void MainDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (state_ == State::Constructed) {
        addSystemMenuEntry();
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
    // From here on every post fails on the engine thread; events already queued find no rows.
    engine_->window.detach();
    transferList_->clear();
}

void MainDialog::customEvent(QEvent* event) {
    if (!EngineEvent::isEngineEventType(event->type())) {
        QDialog::customEvent(event);
        return;
    }
    const std::unique_ptr<EngineMessage> message = static_cast<EngineEvent*>(event)->takeMessage();
    // After the close steps the rows are gone and the dialog is ending: the message just dies.
    if (message != nullptr && state_ != State::Ended) {
        handle(*message);
    }
}

void MainDialog::handle(EngineMessage& message) {
    std::visit(
        Overloaded{
            [this](LogLineMessage& log) { addLogLine(*logList_, QString::fromUtf8(log.line)); },
            [this](TransferStartedMessage& started) {
                if (started.record != nullptr) {
                    addTransferRow(*transferList_, std::move(started.record));
                }
            },
            [this](TransferProgressMessage& progress) {
                showTransferProgress(*transferList_, progress.endpoint, progress.blocksSent);
            },
            [this](TransferDoneMessage& doneMessage) {
                finishTransfer(*transferList_, doneMessage.endpoint, TransferState::Done,
                               QStringLiteral("Done"));
            },
            [this](TransferFailedMessage& failed) {
                finishTransfer(*transferList_, failed.endpoint, TransferState::Failed,
                               QString::fromStdString(failed.reason));
            },
            [this](ServerErrorMessage& error) { showServerError(error.text); },
        },
        message);
}

void MainDialog::showServerError(const std::string& text) {
    // No caption of its own: the application's name stands there.
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                    QString::fromStdString(text), QMessageBox::Ok, this);
    box.exec();
    done(kServerErrorResult);
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event) {
    // Only a right click over the transfer list (its header included) opens the menu; a
    // request from the keyboard has no point to judge and opens nothing.
    if (event->reason() != QContextMenuEvent::Mouse) {
        return;
    }
    const QRect listArea(transferList_->mapToGlobal(QPoint(0, 0)), transferList_->size());
    if (listArea.contains(event->globalPos())) {
        fileMenu_->popup(event->globalPos());
    }
}

void MainDialog::clearEntries() {
    clearFinishedRows(*transferList_);
}

void MainDialog::showAbout() {
    AboutDialog about(this);
    about.exec();
}

void MainDialog::elapsedPass() {
    advanceElapsedTimes(*transferList_);
}

void MainDialog::headerClicked(int column) {
    // The header has already moved its indicator by itself; ours is put back in every case.
    if (column >= 0 && column <= kLastSortableColumn) {
        if (column == sortColumn_) {
            sortAscending_ = !sortAscending_;
        } else {
            sortColumn_ = column;
            sortAscending_ = true;
        }
        sortTransferRows(*transferList_, sortColumn_, sortAscending_);
    }
    showSortIndicator();
}

void MainDialog::showSortIndicator() {
    QHeaderView* header = transferList_->header();
    if (sortColumn_ < 0) {
        header->setSortIndicatorShown(false);
        header->setSortIndicator(-1, Qt::AscendingOrder);
        return;
    }
    header->setSortIndicator(sortColumn_,
                             sortAscending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
    header->setSortIndicatorShown(true);
}

#ifdef Q_OS_WIN
// Windows gives the window a system menu: the about box gets an entry at its end, as command
// 0x0010, which reaches the window as WM_SYSCOMMAND.
namespace {
constexpr UINT_PTR kAboutSystemCommand = 0x0010;
}

void MainDialog::addSystemMenuEntry() {
    HMENU systemMenu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
    if (systemMenu != nullptr) {
        AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(systemMenu, MF_STRING, kAboutSystemCommand, L"&About Ravelin...");
    }
}

bool MainDialog::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    const auto* msg = static_cast<const MSG*>(message);
    if (eventType == "windows_generic_MSG" && msg->message == WM_SYSCOMMAND &&
        (msg->wParam & 0xFFF0) == kAboutSystemCommand) {
        showAbout();
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}
#else
void MainDialog::addSystemMenuEntry() {
    // No system menu for applications here; the about box is reached through "&Help".
}
#endif

}  // namespace quillet::ui
