// The native Windows window in-process under Wine: the dialog made from its resources, the
// engine's messages posted through its queue, everything read back through the controls.

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "net/udp_socket.h"
#include "win32/main_dialog.h"
#include "win32/resource_ids.h"
#include "win32/text.h"

using namespace quillet;
using namespace quillet::win32;
using namespace std::chrono_literals;

namespace quillet::win32 {

/// What the tests reach inside the dialog.
class MainDialogTestAccess {
  public:
    static window::WindowModel& model(MainDialog& d) { return d.model_; }
    static std::shared_ptr<EngineParts> parts(const MainDialog& d) { return d.engine_; }
    static EngineBody& engineBody(MainDialog& d) { return d.engineBody_; }
    static std::chrono::milliseconds& stopWaitLimit(MainDialog& d) { return d.stopWaitLimit_; }
    static TransferListCtrl& list(MainDialog& d) { return d.transferList_; }
};

}  // namespace quillet::win32

namespace {

using Access = MainDialogTestAccess;

ClientEndpoint client(int n) {
    return {htonl(0x0A000000 + n), htons(static_cast<std::uint16_t>(1000 + n))};
}

/// While it lives, acts on each visible window of this thread with the caption, at each tick of a
/// thread timer (which fires inside the modal loop of a box too).
struct BoxHandler {
    inline static std::pair<std::wstring, std::function<void(HWND)>> action;
    static BOOL CALLBACK actOn(HWND window, LPARAM) {
        const bool found = ::IsWindowVisible(window) && windowText(window) == action.first;
        return found ? (action.second(window), FALSE) : TRUE;
    }
    BoxHandler(std::wstring caption, std::function<void(HWND)> act) {
        action = {std::move(caption), std::move(act)};
    }
    ~BoxHandler() {
        ::KillTimer(nullptr, timer);
        action = {};
    }
    UINT_PTR timer = ::SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR, DWORD) {
        ::EnumThreadWindows(::GetCurrentThreadId(), actOn, 0);
    });
};

class WindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(net::startup());
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&controls);
        // The settings go to a key of the test's own, never the user's.
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
        HKEY scratch = nullptr;
        ::RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &scratch, nullptr);
        ASSERT_EQ(::RegOverridePredefKey(HKEY_CURRENT_USER, scratch), ERROR_SUCCESS);
        ::RegCloseKey(scratch);
    }

    /// A shown dialog on a free port whose engine runs body; by default it only binds and reports
    /// ready.
    MainDialog& open(EngineBody body = [](EngineParts& parts) { parts.server.start(); }) {
        dialog_ = std::make_unique<MainDialog>(std::make_shared<EngineParts>(
            std::uint16_t{0}, ServedFolderChoice{ServedFolder::workingDirectory(), {}}));
        Access::engineBody(*dialog_) = std::move(body);
        EXPECT_TRUE(dialog_->create());
        EXPECT_TRUE(pumpUntil([&] { return dialog_->ended() || lineCount() > 0; }));
        return *dialog_;
    }

    /// Handles what is queued, until done() holds (at most 5 s).
    bool pumpUntil(const std::function<bool()>& done) {
        for (auto until = std::chrono::steady_clock::now() + 5s;
             std::chrono::steady_clock::now() < until;) {
            pump();
            if (done()) {
                return true;
            }
            ::Sleep(5);
        }
        return false;
    }
    void pump() {
        for (MSG message; ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
            dialog_ ? dialog_->dispatch(message) : void(::DispatchMessageW(&message));
        }
    }

    /// Posts as the engine does, and lets the window take it.
    void post(EngineMessage message) {
        ASSERT_TRUE(parts().window.post(std::make_unique<EngineMessage>(std::move(message))));
        pumpUntil([&] { return parts().window.queued() == 0; });
    }
    void postStarted(int n, std::int64_t size, std::string name = "f", std::time_t start = 0) {
        post(TransferStartedMessage{client(n), std::make_unique<TransferRecord>(TransferRecord{
                                                   client(n), std::move(name), size, start})});
    }

    EngineParts& parts() { return *Access::parts(*dialog_); }
    HWND list() { return Access::list(*dialog_).handle(); }
    HWND header() { return ListView_GetHeader(list()); }
    HWND logList() { return ::GetDlgItem(dialog_->window(), IDC_LOG_LIST); }
    int rows() { return ListView_GetItemCount(list()); }
    int lineCount() { return static_cast<int>(::SendMessageW(logList(), LB_GETCOUNT, 0, 0)); }
    std::wstring cell(int row, int column) {
        wchar_t text[512] = {};
        ListView_GetItemText(list(), row, column, text, 512);
        return text;
    }
    std::wstring line(int index) {
        wchar_t text[1024] = {};  // a log line's most
        ::SendMessageW(logList(), LB_GETTEXT, index, reinterpret_cast<LPARAM>(text));
        return text;
    }
    /// Every cell shows the model's text, row by row in the model's order; a bar lies over the
    /// progress cell of each running row, showing its percentage, and no other bar is shown
    /// (shrunk to nothing does not count).
    void expectTheModel() {
        const window::WindowModel& model = Access::model(*dialog_);
        ASSERT_EQ(static_cast<std::size_t>(rows()), model.rowCount());
        for (int row = 0; row < rows(); ++row) {
            for (int column = 0; column < window::kTransferColumnCount; ++column) {
                EXPECT_EQ(cell(row, column), widen(model.row(row).text(column))) << row << column;
            }
        }
        ::InvalidateRect(list(), nullptr, TRUE);
        ::UpdateWindow(list());
        std::vector<std::pair<RECT, int>> bars;
        for (HWND child = ::GetWindow(list(), GW_CHILD); child != nullptr;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            RECT area{};
            ::GetWindowRect(child, &area);
            ::MapWindowPoints(nullptr, list(), reinterpret_cast<POINT*>(&area), 2);
            wchar_t type[64] = {};
            ::GetClassNameW(child, type, 64);
            if (std::wstring(type) == PROGRESS_CLASSW && area.right > area.left) {
                bars.push_back({area, static_cast<int>(::SendMessageW(child, PBM_GETPOS, 0, 0))});
            }
        }
        std::size_t running = 0;
        for (int row = 0; row < rows(); ++row) {
            const auto& shown = model.row(row);
            RECT cell{};
            ListView_GetSubItemRect(list(), row, window::kProgressColumn, LVIR_BOUNDS, &cell);
            running += shown.isRunning();
            const auto over = [&](const auto& bar) {
                return ::EqualRect(&bar.first, &cell) && bar.second == shown.percent();
            };
            EXPECT_EQ(std::ranges::count_if(bars, over), int{shown.isRunning()}) << row;
        }
        EXPECT_EQ(bars.size(), running);
    }
    std::wstring clipboard() {
        EXPECT_TRUE(::OpenClipboard(nullptr));
        const HANDLE data = ::GetClipboardData(CF_UNICODETEXT);
        std::wstring text = data != nullptr ? static_cast<const wchar_t*>(::GlobalLock(data)) : L"";
        ::GlobalUnlock(data);
        ::CloseClipboard();
        return text;
    }
    /// Ctrl+C on the focused control, through the window's keys as the message loop sees them.
    void pressCopy(HWND focus) {
        ::SetFocus(focus);
        BYTE keys[256] = {};
        for (const BYTE control : {0x80, 0}) {
            keys[VK_CONTROL] = control;
            ::SetKeyboardState(keys);
            MSG key{focus, WM_KEYDOWN, 'C', 0x002E0001, 0, {}};
            if (control != 0) {
                dialog_->dispatch(key);
            }
        }
    }

    static constexpr wchar_t kScratch[] = L"Software\\Carrowmore\\QuilletWindowTest";
    std::unique_ptr<MainDialog> dialog_;
};

// Rows show the model's texts, bars over the running ones; header clicks sort up, then down, with
// the arrow on that column only and the selection kept ("Progress" sorts nothing); Clear Entries
// leaves the running rows.
TEST_F(WindowTest, RowsShowTheModelSortedByHeaderClicksWithBarsOverRunningRows) {
    open();
    postStarted(1, 5000, "a.bin"), postStarted(2, 10240, "b.bin"), postStarted(3, 600, "c.bin");
    post(TransferProgressMessage{client(2), 10});
    post(TransferDoneMessage{client(3)});
    ListView_SetItemState(list(), 2, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    const auto click = [&](int column) {
        RECT title{};
        Header_GetItemRect(header(), column, &title);
        const LPARAM at =
            MAKELPARAM((title.left + title.right) / 2, (title.top + title.bottom) / 2);
        ::SendMessageW(header(), WM_LBUTTONDOWN, MK_LBUTTON, at);
        ::SendMessageW(header(), WM_LBUTTONUP, 0, at);
        pump();
    };
    // The clients top to bottom, and the image each sortable column shows (0 the up arrow, 1 the
    // down one, '-' none); the orders are the model's, tested in tests/unit.
    const std::tuple<int, std::wstring, std::wstring> sorts[] = {
        {-1, L"123", L"----"}, {3, L"312", L"---0"}, {3, L"213", L"---1"},
        {0, L"123", L"0---"},  {0, L"321", L"1---"}, {window::kProgressColumn, L"321", L"1---"}};
    for (const auto& [column, order, arrows] : sorts) {
        column >= 0 ? click(column) : void();
        std::wstring clients, images;
        for (int row = 0; row < rows(); ++row) {
            clients += cell(row, 0).substr(7, 1);  // "10.0.0.N (...)"
        }
        for (int column = 0; column <= window::kLastSortableColumn; ++column) {
            HDITEMW item{};
            item.mask = HDI_FORMAT | HDI_IMAGE;
            Header_GetItem(header(), column, &item);
            const bool image = (item.fmt & HDF_IMAGE) && (item.fmt & HDF_BITMAP_ON_RIGHT);
            images += image ? static_cast<wchar_t>(L'0' + item.iImage) : L'-';
        }
        EXPECT_EQ(clients, order) << column;
        EXPECT_EQ(images, arrows) << column;
        expectTheModel();
        EXPECT_EQ(cell(ListView_GetNextItem(list(), -1, LVNI_SELECTED), 0), L"10.0.0.3 (1003)");
    }
    post(TransferFailedMessage{client(1), "Socket Error"});
    ::SendMessageW(dialog_->window(), WM_TIMER, MainDialog::kElapsedTimer, 0);
    expectTheModel();  // the failure and the elapsed pass shown where the model has them
    ListView_SetItemState(list(), 1, LVIS_SELECTED, LVIS_SELECTED);  // b.bin, the running one
    ::SendMessageW(dialog_->window(), WM_COMMAND, ID_FILE_CLEAR_ENTRIES, 0);
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, window::kFileNameColumn), L"b.bin");
    EXPECT_EQ(ListView_GetNextItem(list(), -1, LVNI_SELECTED), 0);  // the row, moved up
}

// The log keeps arrival order and follows new lines while it shows the newest; scrolled up, it
// stays put while the oldest lines give way past the cap. Ctrl+C copies the selected lines, or
// the selected row's texts.
TEST_F(WindowTest, TheLogKeepsItsCapAndFollowsAndCopyTakesTheSelection) {
    open();
    const auto lines = [&](int from, int to) {
        for (int n = from; n < to; ++n) {
            parts().window.post(
                std::make_unique<EngineMessage>(LogLineMessage{"line " + std::to_string(n)}));
        }
        pumpUntil([&] { return parts().window.queued() == 0; });
    };
    const int before = lineCount();  // the engine's own lines
    lines(0, 6000);
    EXPECT_EQ(line(before + 5), L"line 5");
    const auto top = [&] { return int(::SendMessageW(logList(), LB_GETTOPINDEX, 0, 0)); };
    RECT inside{};
    ::GetClientRect(logList(), &inside);
    const int shown = inside.bottom / int(::SendMessageW(logList(), LB_GETITEMHEIGHT, 0, 0));
    EXPECT_EQ(top() + shown, lineCount());
    ::SendMessageW(logList(), LB_SETTOPINDEX, 3000, 0);
    const std::wstring topLine = line(top());
    lines(6000, 10'100);
    ASSERT_EQ(lineCount(), 10'000);
    EXPECT_EQ(line(top()), topLine);
    ::SendMessageW(logList(), LB_SETTOPINDEX, lineCount() - 1, 0);
    lines(10'100, 10'101);
    EXPECT_EQ(line(lineCount() - 1), L"line 10100");
    EXPECT_EQ(top() + shown, lineCount());

    ::SendMessageW(logList(), LB_SELITEMRANGE, TRUE, MAKELPARAM(4, 5));
    pressCopy(logList());
    EXPECT_EQ(clipboard(), line(4) + L"\r\n" + line(5));

    postStarted(1, 5000), postStarted(2, 5000);
    ListView_SetItemState(list(), 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    pressCopy(list());
    EXPECT_EQ(clipboard(), widen(Access::model(*dialog_).row(1).copyText()));
}

// Columns fit their widest usual texts; only a cut cell has a tooltip, its whole text. The window
// opens at its design size inside the screen, and both lists grow with it.
TEST_F(WindowTest, ColumnsFitTheirTextsCutCellsHaveTipsAndTheWindowGrows) {
    open();
    const wchar_t* widest[] = {
        L"255.255.255.255 (65535)", L"Sep-30 23:59:59", L"File Name", L"9999.99MB",
        L"Client Unreachable",      L"999:59"};
    for (int column = 0; column < window::kTransferColumnCount; ++column) {
        const int width = ListView_GetColumnWidth(list(), column);
        EXPECT_GT(width, ListView_GetStringWidth(list(), widest[column]) + 8) << column;
    }
    const std::string longName(300, 'n');
    postStarted(1, 1000, longName);
    TransferListCtrl& cells = Access::list(*dialog_);
    EXPECT_EQ(cells.cutText(0, window::kFileNameColumn), widen(longName));
    EXPECT_EQ(cells.cutText(0, window::kFileSizeColumn), L"");
    EXPECT_EQ(cells.cutText(0, window::kProgressColumn), L"");  // a bar, not a text

    // Inside the screen's working area, at the design size where that fits.
    const HWND window = dialog_->window();
    MONITORINFO monitor{sizeof monitor, {}, {}, 0};
    ::GetMonitorInfoW(::MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor);
    RECT frame{}, inside{}, client{}, design = {0, 0, 402, 275};
    ::GetWindowRect(window, &frame);
    ::IntersectRect(&inside, &frame, &monitor.rcWork);
    EXPECT_TRUE(::EqualRect(&inside, &frame));
    ::MapDialogRect(window, &design);
    ::GetClientRect(window, &client);
    EXPECT_TRUE(client.right >= design.right || frame.left == monitor.rcWork.left);
    EXPECT_TRUE(client.bottom >= design.bottom || frame.top == monitor.rcWork.top);
    // Both lists grow with the window.
    const auto height = [](HWND control) {
        RECT area{};
        ::GetWindowRect(control, &area);
        return area.bottom - area.top;
    };
    const int width = frame.right - frame.left, tall = frame.bottom - frame.top;
    ::SetWindowPos(window, nullptr, 0, 0, width, tall * 2 / 3, SWP_NOMOVE | SWP_NOZORDER);
    const int listHeight = height(list()), logHeight = height(logList());
    ::SetWindowPos(window, nullptr, 0, 0, width, tall, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_GT(height(list()), listHeight + tall / 6);
    EXPECT_GT(height(logList()), logHeight + tall / 15);
}

// The about box opens from Help and from the system menu's last entry, shows the version, and
// closes with OK. The settings' OK writes LOG_FILE_LEVEL and TFTP_OPTIONS and nothing else;
// Cancel writes nothing.
TEST_F(WindowTest, AboutBoxAndSettingsOpenFromTheirMenus) {
    open();
    const HMENU system = ::GetSystemMenu(dialog_->window(), FALSE);
    const int last = ::GetMenuItemCount(system) - 1;
    wchar_t entry[64] = {};
    ::GetMenuStringW(system, last, entry, 64, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(entry), L"&About Ravelin...");
    EXPECT_EQ(::GetMenuItemID(system, last), UINT{IDM_ABOUTBOX});
    std::wstring version;
    int opened = 0;
    BoxHandler about(L"About Ravelin", [&](HWND box) {
        version = windowText(::GetDlgItem(box, IDC_ABOUT_VERSION));
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        ++opened;
    });
    ::SendMessageW(dialog_->window(), WM_COMMAND, ID_HELP_ABOUT, 0);
    ::SendMessageW(dialog_->window(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(version, L"Quillet Version 1.0");

    const DWORD nine = 9;
    const wchar_t* const program = L"Software\\Carrowmore\\Quillet";
    ::RegSetKeyValueW(HKEY_CURRENT_USER, program, L"LOG_FILE_LEVEL", REG_DWORD, &nine, 4);
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, program, L"TFTP_OPTIONS");
    const auto stored = [&] {  // "values: level options" of the program's key
        HKEY key = nullptr;
        ::RegOpenKeyExW(HKEY_CURRENT_USER, program, 0, KEY_READ, &key);
        DWORD values = 0, value[2] = {}, size = 4;
        ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                           nullptr, nullptr, nullptr, nullptr);
        for (int i : {0, 1}) {
            ::RegGetValueW(key, nullptr, i ? L"TFTP_OPTIONS" : L"LOG_FILE_LEVEL", RRF_RT_DWORD,
                           nullptr, &value[i], &size);
        }
        ::RegCloseKey(key);
        return std::to_wstring(values) + L": " + std::to_wstring(value[0]) + L" " +
               std::to_wstring(value[1]);
    };
    for (const bool accept : {false, true}) {
        LRESULT count = 0, shown = 0;
        BoxHandler settings(L"Settings", [&](HWND box) {
            count = ::SendDlgItemMessageW(box, IDC_FILE_LEVEL, CB_GETCOUNT, 0, 0);
            shown = ::SendDlgItemMessageW(box, IDC_FILE_LEVEL, CB_GETCURSEL, 0, 0);
            ::SendDlgItemMessageW(box, IDC_FILE_LEVEL, CB_SETCURSEL, 2, 0);  // level 3
            ::CheckDlgButton(box, IDC_TRANSFER_OPTIONS, BST_CHECKED);
            ::PostMessageW(box, WM_COMMAND, accept ? IDOK : IDCANCEL, 0);
        });
        ::SendMessageW(dialog_->window(), WM_COMMAND, ID_FILE_SETTINGS, 0);
        EXPECT_EQ(count, 7);
        EXPECT_EQ(shown, 6);  // 9 shows as the nearest, 7
        EXPECT_EQ(stored(), accept ? L"2: 3 1" : L"1: 9 0");
    }
}

// The close box and Escape end the dialog after the close steps; Enter does not end it. An
// engine slow to stop is let go after the wait, keeping its share of the parts until it ends.
TEST_F(WindowTest, ClosingRunsTheCloseStepsOnce) {
    const struct {
        UINT message;
        WPARAM command;
        bool slowToStop;
    } endings[] = {{WM_CLOSE, 0, false}, {WM_COMMAND, IDCANCEL, false}, {WM_CLOSE, 0, true}};
    for (const auto& ending : endings) {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        MainDialog& dialog = open([=](EngineParts& engine) {
            engine.server.run();
            if (ending.slowToStop) {
                released.wait_for(10s);
                engine.log.write(3, "a line from an engine that was let go");
            }
        });
        Access::stopWaitLimit(dialog) = ending.slowToStop ? 100ms : 10s;
        ::SendMessageW(dialog.window(), WM_COMMAND, IDOK, 0);
        EXPECT_FALSE(dialog.ended());
        ::SendMessageW(dialog.window(), ending.message, ending.command, 0);
        EXPECT_TRUE(dialog.ended());
        EXPECT_EQ(dialog.result(), IDCANCEL);
        EXPECT_EQ(dialog.engineAbandoned(), ending.slowToStop);
        if (!ending.slowToStop) {
            EXPECT_EQ(parts().server.boundPort(), 0);  // it has closed its socket
        }
        EXPECT_FALSE(parts().window.post(std::make_unique<EngineMessage>(LogLineMessage{"late"})));
        const std::weak_ptr<const EngineParts> weak = Access::parts(dialog);
        dialog_.reset();
        EXPECT_EQ(weak.expired(), !ending.slowToStop);
        release.set_value();
        EXPECT_TRUE(pumpUntil([&] { return weak.expired(); }));
    }
}

}  // namespace
