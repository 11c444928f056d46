// The transfer list: a report-style list view that shows the window model's rows as they are,
// with a progress bar laid over the progress cell of every visible running row before each
// paint, the sort arrow in the header, and a tooltip for a cell that cuts its text.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "window/window_model.h"

namespace quillet::win32 {

/// A view of the model's rows on one list view control that holds no texts of its own
/// (LVS_OWNERDATA): it has as many items as the model has rows and asks for each text it shows,
/// which comes from the model's row at the same position. The calls below, which the dialog makes
/// as the model tells it of its changes, keep the count, the selection and the painting up to
/// date.
class TransferListCtrl {
  public:
    /// Shows model, which must outlive it.
    explicit TransferListCtrl(const window::WindowModel& model) : model_(model) {}
    TransferListCtrl(const TransferListCtrl&) = delete;
    TransferListCtrl& operator=(const TransferListCtrl&) = delete;

    /// Takes over the list view: full-row selection, the six columns, the header's arrow images,
    /// the tooltip and the bars. Its windows go with the dialog that holds the list.
    void attach(HWND list);

    /// Gives every column the width of its design scaled to the font in use, and never less
    /// than its title beside the arrow and its widest usual text. Again after a DPI change.
    void fitColumns();

    /// The width that the columns take together, in pixels.
    int columnsWidth() const;

    /// Rows first to last (display positions) are new at the bottom of the model.
    void insertRows(std::size_t first, std::size_t last);

    /// Rows first to last have left the model; the selected row stays selected.
    void removeRows(std::size_t first, std::size_t last);

    /// Rows first to last have new texts in columns firstColumn to lastColumn.
    void updateCells(std::size_t first, std::size_t last, int firstColumn, int lastColumn);

    /// The model has sorted its rows (the row at i went to newPositionOf[i]); the selection moves
    /// with its row.
    void reorderRows(std::span<const std::size_t> newPositionOf);

    /// Answers the list's request for a cell's text (LVN_GETDISPINFOW) with the model's.
    void showText(NMLVDISPINFOW& cell) const;

    /// Puts the model's arrow on the sorted column's header and takes it off the others.
    void showSortArrows();

    /// Lays the pool of bars over the progress cells of the visible running rows: bar i on the
    /// i-th of them from the top, showing its percentage; bars left over shrink to nothing.
    void layoutBars();

    /// A cell's whole text when the cell is too narrow for it, or empty: what its tooltip shows.
    /// A running row's progress cell shows a bar and has none.
    std::wstring cutText(int row, int column) const;

    /// The selected row, or -1.
    int selectedRow() const;

    HWND handle() const { return list_; }

  private:
    struct ImageListDestroyer {
        void operator()(HIMAGELIST images) const { ImageList_Destroy(images); }
    };

    static LRESULT CALLBACK subclassProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR self);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

    void createArrowImages();
    void createTooltip();

    void select(int row);

    /// The room a cell or a title needs around its text, in pixels.
    int cellPadding() const;
    int textWidth(const std::wstring& text) const;

    /// Moves the tooltip to the cell under the point, in the list's client coordinates.
    void trackTooltip(POINT at);

    const window::WindowModel& model_;
    HWND list_ = nullptr;
    HWND tooltip_ = nullptr;
    int averageCharWidth_ = 6;  // of the dialog's font, in pixels
    // Child windows of the list, which destroys those still there when it goes.
    std::vector<HWND> bars_;
    std::unique_ptr<std::remove_pointer_t<HIMAGELIST>, ImageListDestroyer> headerImages_;
    int upArrowImage_ = -1;
    int downArrowImage_ = -1;
    // The cell under the pointer, whose text the tooltip shows when it is cut.
    int tipRow_ = -1;
    int tipColumn_ = -1;
    std::wstring tipText_;
};

}  // namespace quillet::win32
