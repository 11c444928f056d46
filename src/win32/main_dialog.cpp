#include "win32/main_dialog.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

#include "win32/dialogs.h"
#include "win32/resource_ids.h"
#include "win32/text.h"

namespace quillet::win32 {
namespace {

constexpr UINT kElapsedIntervalMs = 1000;

// The design layout in dialog units: margins around and between the lists, their heights, and
// the smallest size the window may be given.
constexpr RECT kMargins = {3, 2, 3, 3};  // left, top, right, bottom
constexpr int kGap = 3;
constexpr int kTransferListHeight = 196;
constexpr int kLogListHeight = 71;
constexpr SIZE kSmallestClient = {160, 100};

// Above this many messages in one batch, the lists are redrawn once at its end.
constexpr std::size_t kRedrawAfterBatchOf = 16;

struct MenuDestroyer {
    void operator()(HMENU menu) const { ::DestroyMenu(menu); }
};
using OwnedMenu = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDestroyer>;

HINSTANCE instance() {
    return ::GetModuleHandleW(nullptr);
}

/// The name of the program's file without its extension: the caption of a message box that
/// has none of its own.
std::wstring applicationName() {
    wchar_t path[MAX_PATH] = {};
    const std::wstring_view file(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
    std::wstring_view name = file.substr(file.find_last_of(L"\\/") + 1);
    return std::wstring(name.substr(0, name.rfind(L'.')));
}

/// Stops a control from painting while a batch changes it, and has it painted once afterwards.
class RedrawPause {
  public:
    RedrawPause(std::initializer_list<HWND> controls, bool pause) {
        if (pause) {
            controls_.assign(controls);
        }
        for (const HWND control : controls_) {
            ::SendMessageW(control, WM_SETREDRAW, FALSE, 0);
        }
    }
    ~RedrawPause() {
        for (const HWND control : controls_) {
            ::SendMessageW(control, WM_SETREDRAW, TRUE, 0);
            ::RedrawWindow(control, nullptr, nullptr,
                           RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
        }
    }
    RedrawPause(const RedrawPause&) = delete;
    RedrawPause& operator=(const RedrawPause&) = delete;

  private:
    std::vector<HWND> controls_;
};

}  // namespace

MainDialog::MainDialog(std::shared_ptr<EngineParts> engine)
    : engine_(std::move(engine)),
      engineBody_([](EngineParts& parts) { parts.runResult = parts.server.run(); }),
      transferList_(model_) {
    model_.setObserver(this);
}

MainDialog::~MainDialog() {
    runCloseSteps();
    if (dialog_ != nullptr) {
        ::DestroyWindow(dialog_);
    }
    model_.setObserver(nullptr);
}

bool MainDialog::create() {
    if (::CreateDialogParamW(instance(), MAKEINTRESOURCEW(IDD_MAIN_DIALOG), nullptr, dialogProc,
                             reinterpret_cast<LPARAM>(this)) == nullptr) {
        return false;
    }
    ::ShowWindow(dialog_, SW_SHOW);
    ::UpdateWindow(dialog_);
    startEngine();
    return true;
}

void MainDialog::dispatch(MSG& message) {
    if (dialog_ != nullptr && (::TranslateAcceleratorW(dialog_, accelerators_.get(), &message) ||
                               ::IsDialogMessageW(dialog_, &message))) {
        return;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
}

int MainDialog::run() {
    MSG message;
    while (!ended_) {
        if (::GetMessageW(&message, nullptr, 0, 0) <= 0) {
            end(IDCANCEL);  // the thread is asked to quit
            break;
        }
        dispatch(message);
    }
    return result_;
}

INT_PTR CALLBACK MainDialog::dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto* self = reinterpret_cast<MainDialog*>(lParam);
        self->dialog_ = dialog;
        self->initialise();
        return TRUE;
    }
    auto* self = reinterpret_cast<MainDialog*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (self == nullptr) {
        return FALSE;  // the messages before WM_INITDIALOG
    }
    if (message == WM_NCDESTROY) {
        self->dialog_ = nullptr;
        self->logList_ = nullptr;
        return FALSE;
    }
    return self->handle(message, wParam, lParam);
}

void MainDialog::initialise() {
    logList_ = ::GetDlgItem(dialog_, IDC_LOG_LIST);
    if (const HMENU system = ::GetSystemMenu(dialog_, FALSE)) {
        wchar_t about[64] = {};
        if (::LoadStringW(instance(), IDS_ABOUTBOX, about, 64) > 0) {
            ::AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(system, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    for (auto [icon, which, side] : {std::tuple{&bigIcon_, ICON_BIG, SM_CXICON},
                                     std::tuple{&smallIcon_, ICON_SMALL, SM_CXSMICON}}) {
        const int pixels = ::GetSystemMetrics(side);
        icon->reset(static_cast<HICON>(::LoadImageW(instance(), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                    IMAGE_ICON, pixels, pixels, 0)));
        ::SendMessageW(dialog_, WM_SETICON, which, reinterpret_cast<LPARAM>(icon->get()));
    }
    accelerators_.reset(::LoadAcceleratorsW(instance(), MAKEINTRESOURCEW(IDR_ACCELERATORS)));
    transferList_.attach(::GetDlgItem(dialog_, IDC_TRANSFER_LIST));
    placeAtOpeningSize();
}

void MainDialog::placeAtOpeningSize() {
    // The design size in dialog units of the font in use, widened for every column whole.
    RECT client = {0, 0, 402, 275};
    ::MapDialogRect(dialog_, &client);
    RECT margins = kMargins;
    ::MapDialogRect(dialog_, &margins);
    const int listWidth = transferList_.columnsWidth() + ::GetSystemMetrics(SM_CXVSCROLL) +
                          4 * ::GetSystemMetrics(SM_CXEDGE);
    client.right = std::max<LONG>(client.right, listWidth + margins.left + margins.right);
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(dialog_, GWL_STYLE));
    const auto extended = static_cast<DWORD>(::GetWindowLongPtrW(dialog_, GWL_EXSTYLE));
    ::AdjustWindowRectEx(&client, style, TRUE, extended);
    // Never larger than the screen's working area, and in its middle.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromWindow(dialog_, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& work = monitor.rcWork;
    const int width = std::min(client.right - client.left, work.right - work.left);
    const int height = std::min(client.bottom - client.top, work.bottom - work.top);
    ::SetWindowPos(dialog_, nullptr, work.left + (work.right - work.left - width) / 2,
                   work.top + (work.bottom - work.top - height) / 2, width, height,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    layout();
}

void MainDialog::layout() {
    RECT client{};
    ::GetClientRect(dialog_, &client);
    RECT margins = kMargins;
    ::MapDialogRect(dialog_, &margins);
    RECT gap = {0, 0, 0, kGap};
    ::MapDialogRect(dialog_, &gap);
    const int width = std::max<int>(0, client.right - margins.left - margins.right);
    const int heights = std::max<int>(0, client.bottom - margins.top - margins.bottom - gap.bottom);
    const int listHeight =
        ::MulDiv(heights, kTransferListHeight, kTransferListHeight + kLogListHeight);
    ::MoveWindow(transferList_.handle(), margins.left, margins.top, width, listHeight, TRUE);
    ::MoveWindow(logList_, margins.left, margins.top + listHeight + gap.bottom, width,
                 heights - listHeight, TRUE);
}

void MainDialog::startEngine() {
    EngineParts& parts = *engine_;
    parts.prepare();
    parts.window.attach(dialog_);
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
    ::SetTimer(dialog_, kElapsedTimer, kElapsedIntervalMs, nullptr);
}

void MainDialog::end(int result) {
    if (ended_) {
        return;
    }
    runCloseSteps();
    result_ = result;
    ended_ = true;
    if (dialog_ != nullptr) {
        ::DestroyWindow(dialog_);
    }
}

void MainDialog::runCloseSteps() {
    if (state_ != State::Running) {
        return;
    }
    state_ = State::Ended;
    if (dialog_ != nullptr) {
        ::KillTimer(dialog_, kElapsedTimer);
    }
    engine_->server.requestStop();
    if (engineThread_ != nullptr && !engineThread_->waitFor(stopWaitLimit_)) {
        // Let go: the thread keeps its share of the parts until it ends by itself.
        engineAbandoned_ = true;
    }
    engineThread_.reset();
    // From here on every post fails on the engine thread, and what was queued is gone.
    engine_->window.detach();
}

void MainDialog::takeEngineMessages() {
    // A server error's box runs its own message loop: nothing more is taken while it is up.
    if (state_ != State::Running || showingServerError_) {
        return;
    }
    window::MessageBatch batch = engine_->window.take();
    {
        const RedrawPause pause({transferList_.handle(), logList_},
                                batch.size() > kRedrawAfterBatchOf);
        // The log list follows new lines while it shows its last one; scrolled up, it stays.
        logFollows_ = logShowsLastLine();
        logTop_ = ::SendMessageW(logList_, LB_GETTOPINDEX, 0, 0);
        logChanged_ = false;
        model_.apply(batch);
        scrollLogList();
    }
    if (const auto error = model_.takeServerError()) {
        showServerError(*error);
    }
}

void MainDialog::showServerError(const std::string& text) {
    showingServerError_ = true;
    // No caption of its own: the application's name stands there.
    ::MessageBoxW(dialog_, widen(text).c_str(), applicationName().c_str(), MB_OK);
    end(kServerErrorResult);
}

INT_PTR MainDialog::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case Win32MessageWindow::kWakeMessage:
            takeEngineMessages();
            return TRUE;
        case WM_TIMER:
            if (wParam == kElapsedTimer) {
                takeEngineMessages();  // in case a wake-up could not be posted
                model_.elapsedPass();
            }
            return TRUE;
        case WM_COMMAND:
            command(LOWORD(wParam));
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                showAboutBox(dialog_);
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            end(IDCANCEL);
            return TRUE;
        case WM_NOTIFY: {
            const auto* notice = reinterpret_cast<const NMHDR*>(lParam);
            if (notice->hwndFrom != transferList_.handle()) {
                return FALSE;
            }
            if (notice->code == LVN_GETDISPINFOW) {
                transferList_.showText(*reinterpret_cast<NMLVDISPINFOW*>(lParam));
            } else if (notice->code == LVN_COLUMNCLICK) {
                model_.headerClicked(reinterpret_cast<const NMLISTVIEW*>(lParam)->iSubItem);
                transferList_.showSortArrows();
            }
            return TRUE;
        }
        case WM_CONTEXTMENU:
            showContextMenu({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return TRUE;
        case WM_SIZE:
            layout();
            return TRUE;
        case WM_GETMINMAXINFO: {
            RECT smallest = {0, 0, kSmallestClient.cx, kSmallestClient.cy};
            ::MapDialogRect(dialog_, &smallest);
            ::AdjustWindowRectEx(&smallest,
                                 static_cast<DWORD>(::GetWindowLongPtrW(dialog_, GWL_STYLE)), TRUE,
                                 static_cast<DWORD>(::GetWindowLongPtrW(dialog_, GWL_EXSTYLE)));
            auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
            limits->ptMinTrackSize = {smallest.right - smallest.left,
                                      smallest.bottom - smallest.top};
            return TRUE;
        }
        case WM_DPICHANGED: {
            // The dialog manager scales the dialog's font as well; the columns and the log's
            // width follow once it has.
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            ::SetWindowPos(dialog_, nullptr, suggested->left, suggested->top,
                           suggested->right - suggested->left, suggested->bottom - suggested->top,
                           SWP_NOZORDER | SWP_NOACTIVATE);
            ::PostMessageW(dialog_, kRefitMessage, 0, 0);
            return FALSE;
        }
        case kRefitMessage:
            transferList_.fitColumns();
            widestLogLine_ = 0;
            for (std::size_t line = 0; line < model_.logLineCount(); ++line) {
                widenLogList(model_.logLine(line));
            }
            return TRUE;
        case WM_ENDSESSION:
            // Windows is shutting down or the user logs off: the engine stops as at a close.
            if (wParam) {
                end(IDCANCEL);
            }
            return TRUE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(bigIcon_.get());
        default:
            return FALSE;
    }
}

void MainDialog::command(int id) {
    switch (id) {
        case ID_FILE_SETTINGS:
            showSettingsDialog(dialog_);
            break;
        case ID_FILE_OPEN_FOLDER:
            openServedFolder();
            break;
        case ID_FILE_CLEAR_ENTRIES:
            model_.clearEntries();
            break;
        case ID_HELP_ABOUT:
            showAboutBox(dialog_);
            break;
        case ID_EDIT_COPY:
            if (::GetFocus() == transferList_.handle()) {
                copyTransferRow();
            } else if (::GetFocus() == logList_) {
                copyLogLines();
            }
            break;
        case ID_COPY_ROW:
            copyTransferRow();
            break;
        case ID_COPY_LINES:
            copyLogLines();
            break;
        case IDCANCEL:  // Escape, as the close box
            end(IDCANCEL);
            break;
        default:  // Enter (IDOK) does not end a server's window
            break;
    }
}

void MainDialog::showContextMenu(POINT at) {
    HWND over = nullptr;
    if (at.x == -1 && at.y == -1) {
        // From the keyboard: the focused list's menu at its corner.
        over = ::GetFocus();
        at = {0, 0};
        ::ClientToScreen(over, &at);
    } else {
        for (const HWND list : {transferList_.handle(), logList_}) {
            RECT area{};
            ::GetWindowRect(list, &area);  // the header included
            if (::PtInRect(&area, at)) {
                over = list;
            }
        }
    }
    OwnedMenu loaded;
    HMENU menu = nullptr;
    if (over == transferList_.handle()) {
        // "Copy" above the "&File" pop-up of menu 129, loaded afresh.
        loaded.reset(::LoadMenuW(instance(), MAKEINTRESOURCEW(IDR_MAIN_MENU)));
        menu = ::GetSubMenu(loaded.get(), 0);
        const UINT enabled = transferList_.selectedRow() >= 0 ? MF_ENABLED : MF_GRAYED;
        ::InsertMenuW(menu, 0, MF_BYPOSITION | MF_STRING | enabled, ID_COPY_ROW, L"&Copy\tCtrl+C");
        ::InsertMenuW(menu, 1, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    } else if (over == logList_ && logList_ != nullptr) {
        loaded.reset(::CreatePopupMenu());
        menu = loaded.get();
        const bool selected = ::SendMessageW(logList_, LB_GETSELCOUNT, 0, 0) > 0;
        ::AppendMenuW(menu, MF_STRING | (selected ? MF_ENABLED : MF_GRAYED), ID_COPY_LINES,
                      L"&Copy\tCtrl+C");
    } else {
        return;
    }
    ::TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, dialog_,
                     nullptr);
}

void MainDialog::copyTransferRow() {
    const int row = transferList_.selectedRow();
    if (row >= 0 && static_cast<std::size_t>(row) < model_.rowCount()) {
        copyToClipboard(dialog_, widen(model_.row(static_cast<std::size_t>(row)).copyText()));
    }
}

void MainDialog::copyLogLines() {
    const auto count = ::SendMessageW(logList_, LB_GETSELCOUNT, 0, 0);
    if (count <= 0) {
        return;
    }
    std::vector<int> selected(static_cast<std::size_t>(count));
    ::SendMessageW(logList_, LB_GETSELITEMS, selected.size(),
                   reinterpret_cast<LPARAM>(selected.data()));
    std::sort(selected.begin(), selected.end());  // in the list's order
    std::string lines;
    for (const int line : selected) {
        if (line >= 0 && static_cast<std::size_t>(line) < model_.logLineCount()) {
            lines += (lines.empty() ? "" : "\r\n") + model_.logLine(static_cast<std::size_t>(line));
        }
    }
    copyToClipboard(dialog_, widen(lines));
}

void MainDialog::openServedFolder() {
    const std::wstring folder = widen(engine_->servedFolder.path);
    ::ShellExecuteW(dialog_, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

bool MainDialog::logShowsLastLine() const {
    const auto count = ::SendMessageW(logList_, LB_GETCOUNT, 0, 0);
    if (count <= 0) {
        return true;
    }
    RECT client{};
    ::GetClientRect(logList_, &client);
    const auto lineHeight = std::max<LRESULT>(1, ::SendMessageW(logList_, LB_GETITEMHEIGHT, 0, 0));
    const auto shown = std::max<LRESULT>(1, (client.bottom - client.top) / lineHeight);
    return ::SendMessageW(logList_, LB_GETTOPINDEX, 0, 0) + shown >= count;
}

void MainDialog::rowsInserting(std::size_t first, std::size_t last) {
    firstNewRow_ = first;
    lastNewRow_ = last;
}

void MainDialog::rowsInserted() {
    transferList_.insertRows(firstNewRow_, lastNewRow_);
}

void MainDialog::rowsRemoving(std::size_t first, std::size_t last) {
    firstGoneRow_ = first;
    lastGoneRow_ = last;
}

void MainDialog::rowsRemoved() {
    transferList_.removeRows(firstGoneRow_, lastGoneRow_);
}

void MainDialog::cellsChanged(std::size_t first, std::size_t last, int firstColumn,
                              int lastColumn) {
    transferList_.updateCells(first, last, firstColumn, lastColumn);
}

void MainDialog::rowsReordered(std::span<const std::size_t> newPositionOf) {
    transferList_.reorderRows(newPositionOf);
}

void MainDialog::logLinesInserted() {
    for (std::size_t line = firstNewLine_; line <= lastNewLine_; ++line) {
        ::SendMessageW(logList_, LB_ADDSTRING, 0,
                       reinterpret_cast<LPARAM>(widen(model_.logLine(line)).c_str()));
        widenLogList(model_.logLine(line));
    }
    logChanged_ = true;
}

void MainDialog::widenLogList(const std::string& line) {
    // The list scrolls sideways as far as its widest line reaches.
    const std::wstring text = widen(line);
    const HDC context = ::GetDC(logList_);
    const HGDIOBJ oldFont = ::SelectObject(
        context, reinterpret_cast<HFONT>(::SendMessageW(logList_, WM_GETFONT, 0, 0)));
    SIZE size{};
    ::GetTextExtentPoint32W(context, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(context, oldFont);
    ::ReleaseDC(logList_, context);
    if (size.cx + 2 * ::GetSystemMetrics(SM_CXEDGE) > widestLogLine_) {
        widestLogLine_ = size.cx + 2 * ::GetSystemMetrics(SM_CXEDGE);
        ::SendMessageW(logList_, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(widestLogLine_), 0);
    }
}

void MainDialog::logLinesRemoving(std::size_t first, std::size_t last) {
    for (std::size_t line = last + 1; line-- > first;) {
        ::SendMessageW(logList_, LB_DELETESTRING, line, 0);
    }
    // The lines shown stay the same ones: the top moves up by the lines gone above it.
    logTop_ -= static_cast<LRESULT>(
        std::clamp(static_cast<std::size_t>(std::max<LRESULT>(logTop_, 0)), first, last + 1) -
        first);
    logChanged_ = true;
}

void MainDialog::logLinesInserting(std::size_t first, std::size_t last) {
    firstNewLine_ = first;
    lastNewLine_ = last;
}

void MainDialog::scrollLogList() {
    if (logChanged_) {
        // The list scrolls no further than to show its last line at the bottom.
        const auto count = ::SendMessageW(logList_, LB_GETCOUNT, 0, 0);
        ::SendMessageW(logList_, LB_SETTOPINDEX, logFollows_ ? count - 1 : logTop_, 0);
    }
}

}  // namespace quillet::win32
