#include "win32/transfer_list_ctrl.h"

#include <algorithm>

#include "win32/resource_ids.h"
#include "win32/text.h"
#include "window/transfer_texts.h"

namespace quillet::win32 {
namespace {

constexpr UINT_PTR kSubclassId = 1;
constexpr UINT_PTR kCellTool = 1;
constexpr int kBarId = 1;
constexpr int kArrowSide = 10;  // pixels, as the bitmaps are drawn
// Pixels for a font whose average character is 6 pixels wide, as the design widths are.
constexpr int kDesignAverageCharWidth = 6;
constexpr int kDesignCellPadding = 12;  // around a cell's text, both sides together
constexpr int kDesignTipWidth = 480;

}  // namespace

void TransferListCtrl::attach(HWND list) {
    list_ = list;
    ListView_SetExtendedListViewStyleEx(list, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    // The bars are children of the list, which must not paint over them.
    ::SetWindowLongPtrW(list, GWL_STYLE, ::GetWindowLongPtrW(list, GWL_STYLE) | WS_CLIPCHILDREN);
    for (int column = 0; column < window::kTransferColumnCount; ++column) {
        std::wstring title = widen(window::columnLayout(column).title);
        LVCOLUMNW item{};
        item.mask = LVCF_TEXT | LVCF_WIDTH | (column > 0 ? LVCF_SUBITEM : 0);
        item.pszText = title.data();
        item.cx = window::columnLayout(column).designWidth;
        item.iSubItem = column;
        ListView_InsertColumn(list, column, &item);
    }
    createArrowImages();
    createTooltip();
    fitColumns();
    ::SetWindowSubclass(list, subclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
}

void TransferListCtrl::createArrowImages() {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    headerImages_.reset(ImageList_Create(kArrowSide, kArrowSide, ILC_COLOR24 | ILC_MASK, 2, 0));
    for (const auto& [bitmapId, image] :
         {std::pair{IDB_SORT_UP, &upArrowImage_}, std::pair{IDB_SORT_DOWN, &downArrowImage_}}) {
        // Black arrows on white: the arrow in the colour of grey text, the white transparent.
        COLORMAP black = {RGB(0, 0, 0), ::GetSysColor(COLOR_GRAYTEXT)};
        const HBITMAP bitmap = ::CreateMappedBitmap(instance, bitmapId, 0, &black, 1);
        *image = ImageList_AddMasked(headerImages_.get(), bitmap, RGB(255, 255, 255));
        ::DeleteObject(bitmap);  // the image list has its own copy
    }
    Header_SetImageList(ListView_GetHeader(list_), headerImages_.get());
}

void TransferListCtrl::createTooltip() {
    // Owned by the dialog, so it goes with it.
    tooltip_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                 WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, ::GetParent(list_),
                                 nullptr, ::GetModuleHandleW(nullptr), nullptr);
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = list_;
    tool.uId = kCellTool;
    tool.lpszText = LPSTR_TEXTCALLBACKW;
    ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

int TransferListCtrl::cellPadding() const {
    return ::MulDiv(kDesignCellPadding, averageCharWidth_, kDesignAverageCharWidth);
}

int TransferListCtrl::textWidth(const std::wstring& text) const {
    return ListView_GetStringWidth(list_, text.c_str());
}

void TransferListCtrl::fitColumns() {
    // Four horizontal dialog units are the average width of a character of the dialog's font.
    RECT units = {0, 0, 4, 8};
    if (::MapDialogRect(::GetParent(list_), &units) && units.right > 0) {
        averageCharWidth_ = units.right;
    }
    ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0,
                   ::MulDiv(kDesignTipWidth, averageCharWidth_, kDesignAverageCharWidth));
    const HWND header = ListView_GetHeader(list_);
    const HDC context = ::GetDC(header);
    const auto font = reinterpret_cast<HFONT>(::SendMessageW(header, WM_GETFONT, 0, 0));
    const HGDIOBJ oldFont = ::SelectObject(context, font);
    const int margin = static_cast<int>(::SendMessageW(header, HDM_GETBITMAPMARGIN, 0, 0));
    for (int column = 0; column < window::kTransferColumnCount; ++column) {
        const int width = window::fittingColumnWidth(
            column, averageCharWidth_,
            [&](std::string_view title) {
                // The title, its margins, and the arrow beside it with its own.
                const std::wstring text = widen(title);
                SIZE size{};
                ::GetTextExtentPoint32W(context, text.c_str(), static_cast<int>(text.size()),
                                        &size);
                return size.cx + cellPadding() + kArrowSide + 2 * margin;
            },
            [&](std::string_view text) { return textWidth(widen(text)) + cellPadding(); });
        ListView_SetColumnWidth(list_, column, width);
    }
    ::SelectObject(context, oldFont);
    ::ReleaseDC(header, context);
}

int TransferListCtrl::columnsWidth() const {
    int width = 0;
    for (int column = 0; column < window::kTransferColumnCount; ++column) {
        width += ListView_GetColumnWidth(list_, column);
    }
    return width;
}

void TransferListCtrl::insertRows(std::size_t first, std::size_t last) {
    // New rows go to the bottom: nothing above them moves.
    ListView_SetItemCountEx(list_, static_cast<int>(model_.rowCount()),
                            LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL);
    ListView_RedrawItems(list_, static_cast<int>(first), static_cast<int>(last));
}

void TransferListCtrl::removeRows(std::size_t first, std::size_t last) {
    // The list keeps its selection by position: it follows its row up, or goes with it.
    const int selected = selectedRow();
    const auto removed = static_cast<int>(last - first + 1);
    ListView_SetItemState(list_, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemCountEx(list_, static_cast<int>(model_.rowCount()), LVSICF_NOSCROLL);
    if (selected > static_cast<int>(last)) {
        select(selected - removed);
    } else if (selected >= 0 && selected < static_cast<int>(first)) {
        select(selected);
    }
}

void TransferListCtrl::updateCells(std::size_t first, std::size_t last, int, int) {
    const std::size_t rows = model_.rowCount();
    if (first < rows) {
        ListView_RedrawItems(list_, static_cast<int>(first),
                             static_cast<int>(std::min(last, rows - 1)));
    }
}

void TransferListCtrl::reorderRows(std::span<const std::size_t> newPositionOf) {
    const int selected = selectedRow();
    if (selected >= 0 && static_cast<std::size_t>(selected) < newPositionOf.size()) {
        ListView_SetItemState(list_, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
        select(static_cast<int>(newPositionOf[static_cast<std::size_t>(selected)]));
    }
    ::InvalidateRect(list_, nullptr, TRUE);
}

void TransferListCtrl::select(int row) {
    ListView_SetItemState(list_, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

void TransferListCtrl::showText(NMLVDISPINFOW& cell) const {
    LVITEMW& item = cell.item;
    if ((item.mask & LVIF_TEXT) == 0 || item.pszText == nullptr || item.cchTextMax <= 0 ||
        item.iItem < 0 || static_cast<std::size_t>(item.iItem) >= model_.rowCount()) {
        return;
    }
    const std::wstring text =
        widen(model_.row(static_cast<std::size_t>(item.iItem)).text(item.iSubItem));
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(item.cchTextMax) - 1);
    std::copy_n(text.data(), length, item.pszText);
    item.pszText[length] = L'\0';
}

int TransferListCtrl::selectedRow() const {
    return ListView_GetNextItem(list_, -1, LVNI_SELECTED);
}

void TransferListCtrl::showSortArrows() {
    const HWND header = ListView_GetHeader(list_);
    for (int column = 0; column <= window::kLastSortableColumn; ++column) {
        HDITEMW item{};
        item.mask = HDI_FORMAT;
        Header_GetItem(header, column, &item);
        item.fmt = (item.fmt & HDF_JUSTIFYMASK) | HDF_STRING;
        const window::SortArrow arrow = model_.sortArrow(column);
        if (arrow != window::SortArrow::None) {
            item.mask |= HDI_IMAGE;
            item.fmt |= HDF_IMAGE | HDF_BITMAP_ON_RIGHT;
            item.iImage = arrow == window::SortArrow::Up ? upArrowImage_ : downArrowImage_;
        }
        Header_SetItem(header, column, &item);
    }
}

void TransferListCtrl::layoutBars() {
    const int top = ListView_GetTopIndex(list_);
    const int perPage = ListView_GetCountPerPage(list_) + 1;  // and a row cut at the bottom
    const int rows = std::min(ListView_GetItemCount(list_), static_cast<int>(model_.rowCount()));
    const int end = std::min(rows, top + perPage);
    // A pool grown for a taller list shrinks once it holds more than twice what a page needs.
    if (bars_.size() > 2 * static_cast<std::size_t>(perPage)) {
        while (bars_.size() > static_cast<std::size_t>(perPage)) {
            ::DestroyWindow(bars_.back());
            bars_.pop_back();
        }
    }
    std::size_t used = 0;
    for (int row = std::max(top, 0); row < end; ++row) {
        const int percent = model_.row(static_cast<std::size_t>(row)).percent();
        if (percent < 0) {
            continue;
        }
        if (bars_.size() <= used) {
            bars_.push_back(::CreateWindowExW(0, PROGRESS_CLASSW, nullptr,
                                              WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 0, 0, 0, 0, list_,
                                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(kBarId)),
                                              ::GetModuleHandleW(nullptr), nullptr));
        }
        RECT cell{};
        ListView_GetSubItemRect(list_, row, window::kProgressColumn, LVIR_BOUNDS, &cell);
        const HWND bar = bars_[used++];
        RECT was{};
        ::GetWindowRect(bar, &was);
        ::MapWindowPoints(nullptr, list_, reinterpret_cast<POINT*>(&was), 2);
        if (!::EqualRect(&was, &cell)) {
            ::MoveWindow(bar, cell.left, cell.top, cell.right - cell.left, cell.bottom - cell.top,
                         TRUE);
        }
        if (::SendMessageW(bar, PBM_GETPOS, 0, 0) != percent) {
            ::SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
        }
    }
    for (std::size_t spare = used; spare < bars_.size(); ++spare) {
        RECT was{};
        ::GetWindowRect(bars_[spare], &was);
        if (was.right != was.left) {
            ::MoveWindow(bars_[spare], 0, 0, 0, 0, TRUE);
        }
    }
}

std::wstring TransferListCtrl::cutText(int row, int column) const {
    if (row < 0 || static_cast<std::size_t>(row) >= model_.rowCount() || column < 0 ||
        column >= window::kTransferColumnCount) {
        return {};
    }
    const window::TransferRow& shown = model_.row(static_cast<std::size_t>(row));
    if (column == window::kProgressColumn && shown.isRunning()) {
        return {};
    }
    std::wstring text = widen(shown.text(column));
    if (textWidth(text) + cellPadding() <= ListView_GetColumnWidth(list_, column)) {
        return {};
    }
    return text;
}

void TransferListCtrl::trackTooltip(POINT at) {
    LVHITTESTINFO hit{};
    hit.pt = at;
    ListView_SubItemHitTest(list_, &hit);
    const int row = hit.iItem;
    const int column = row >= 0 ? hit.iSubItem : -1;
    if (row == tipRow_ && column == tipColumn_) {
        return;
    }
    tipRow_ = row;
    tipColumn_ = column;
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = list_;
    tool.uId = kCellTool;
    if (row >= 0) {
        // The first column's bounds are the whole row's; its label is the cell.
        ListView_GetSubItemRect(list_, row, column, column == 0 ? LVIR_LABEL : LVIR_BOUNDS,
                                &tool.rect);
    }
    ::SendMessageW(tooltip_, TTM_POP, 0, 0);
    ::SendMessageW(tooltip_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
}

LRESULT CALLBACK TransferListCtrl::subclassProc(HWND list, UINT message, WPARAM wParam,
                                                LPARAM lParam, UINT_PTR, DWORD_PTR self) {
    if (message == WM_NCDESTROY) {
        ::RemoveWindowSubclass(list, subclassProc, kSubclassId);
        return ::DefSubclassProc(list, message, wParam, lParam);
    }
    return reinterpret_cast<TransferListCtrl*>(self)->handle(message, wParam, lParam);
}

LRESULT TransferListCtrl::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            layoutBars();
            break;
        case WM_MOUSEMOVE:
            trackTooltip({static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))});
            break;
        case WM_NOTIFY: {
            auto* notice = reinterpret_cast<NMTTDISPINFOW*>(lParam);
            if (notice->hdr.hwndFrom == tooltip_ && notice->hdr.code == TTN_GETDISPINFOW) {
                // An empty text shows no tooltip.
                tipText_ = cutText(tipRow_, tipColumn_);
                notice->lpszText = tipText_.data();
                return 0;
            }
            break;
        }
        default:
            break;
    }
    return ::DefSubclassProc(list_, message, wParam, lParam);
}

}  // namespace quillet::win32
