// The string grid: a custom-drawn table over a TGridModel. Only the rows on
// screen are ever visited, so the row count may be as large as an int.
#pragma once

#include <vector>

#include "Controls.h"
#include "GridModel.h"
#include "StdCtrls.h"

namespace tk {

enum TGridOption { goFixedVertLine, goFixedHorzLine, goVertLine, goHorzLine, goRangeSelect, goDrawFocusSelected,
                   goRowSizing, goColSizing, goRowMoving, goColMoving, goEditing, goTabs, goRowSelect,
                   goAlwaysShowEditor, goThumbTracking };
using TGridOptions = TSet<TGridOption>;

using TSelectCellEvent = TMethod<void(TObject* Sender, int ACol, int ARow, bool& CanSelect)>;
// Asked before the in-place editor opens on a cell; CanEdit false keeps it closed.
using TCanEditCellEvent = TMethod<void(TObject* Sender, int ACol, int ARow, bool& CanEdit)>;
// The in-place editor's text has just been written into the cell.
using TSetEditTextEvent =
    TMethod<void(TObject* Sender, int ACol, int ARow, const std::wstring& Value)>;

class TStringGrid;

// The edit box that edits the current cell in place.
class TInplaceEdit : public TCustomEdit {
public:
    explicit TInplaceEdit(TStringGrid* grid);

protected:
    void CreateParams(TCreateParams& params) override;
    void WndProc(TMessage& message) override;
    void DblClick() override;

private:
    TStringGrid* grid_;
};

class TStringGrid : public TCustomControl, public TGridModel {
public:
    explicit TStringGrid(TComponent* owner);
    ~TStringGrid() override;

    int FixedCols() const { return fixedCols_; }
    void SetFixedCols(int value);
    int FixedRows() const { return fixedRows_; }
    void SetFixedRows(int value);

    // The height of rows without one of their own (the model's), redrawn.
    void SetDefaultRowHeight(int value);
    int DefaultColWidth() const { return defaultColWidth_; }
    // Sets every column to this width.
    void SetDefaultColWidth(int value);
    // A width below 0 shows the column with no width.
    int ColWidths(int col) const;
    void SetColWidths(int col, int width);
    int GridLineWidth() const { return lineWidth_; }
    void SetGridLineWidth(int value);

    TGridOptions Options() const { return options_; }
    void SetOptions(TGridOptions options);
    TScrollStyle ScrollBars() const { return scrollBars_; }
    void SetScrollBars(TScrollStyle value);

    // The selected cells: from the anchor (where the selection began) to the
    // current cell. With goRangeSelect, Shift with a click, a drag or the
    // movement keys extends it; any other move starts it anew.
    struct TGridRect {
        int Left, Top, Right, Bottom;
    };
    TGridRect Selection() const;

    // The current cell. Setting it asks OnSelectCell first.
    int Row() const { return row_; }
    void SetRow(int row) { MoveCurrent(col_, row, true); }
    int Col() const { return col_; }
    void SetCol(int col) { MoveCurrent(col, row_, true); }
    // The first scrollable row and column on screen.
    int TopRow() const { return topRow_; }
    void SetTopRow(int row);
    int LeftCol() const { return leftCol_; }
    void SetLeftCol(int col);
    // Scrollable rows (columns) that fit wholly in the view from TopRow.
    int VisibleRowCount();
    int VisibleColCount();
    // The largest TopRow: the one that shows the last row at the bottom.
    int MaxTopRow();

    // The cell under a client point; -1 where there is none.
    void MouseToCell(int X, int Y, int& ACol, int& ARow);
    // The cell's rectangle in client coordinates (empty when not on screen).
    RECT CellRect(int ACol, int ARow);

    bool EditorMode() const;
    void SetEditorMode(bool value);
    TInplaceEdit* InplaceEditor() const { return editor_; }

    TSelectCellEvent OnSelectCell() const { return onSelectCell_; }
    void SetOnSelectCell(TSelectCellEvent e) { onSelectCell_ = e; }
    TCanEditCellEvent OnCanEditCell() const { return onCanEditCell_; }
    void SetOnCanEditCell(TCanEditCellEvent e) { onCanEditCell_ = e; }
    TSetEditTextEvent OnSetEditText() const { return onSetEditText_; }
    void SetOnSetEditText(TSetEditTextEvent e) { onSetEditText_ = e; }

protected:
    friend class TInplaceEdit;
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void WndProc(TMessage& message) override;
    void Paint(HDC dc, const RECT& client) override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void KeyDown(WORD& key, TShiftState shift) override;
    void Resize() override;
    void Changed() override;
    void FontChanged() override;
    virtual bool SelectCell(int ACol, int ARow);
    // Moves the current cell (asking SelectCell) and scrolls it into view.
    // `extend`: the anchor stays (a range selection grows or shrinks).
    void MoveCurrent(int col, int row, bool show, bool extend = false);

private:
    int RowExtent(int row) const;  // height plus grid line, at least 1
    int ColExtent(int col) const;
    int FixedHeight() const;
    int FixedWidth() const;
    int MaxLeftCol();
    void ScrollIntoView(int col, int row);
    void UpdateScrollBars();
    void Scroll(int bar, int code);
    void ClampCurrent();
    void ShowEditor(const std::wstring* startText = nullptr);
    void HideEditor(bool commit);
    void PlaceEditor();
    void DrawCell(HDC dc, int col, int row, const RECT& r, bool fixed);

    int fixedCols_ = 1, fixedRows_ = 1;
    int defaultColWidth_ = 64;
    std::vector<int> colWidths_;
    int lineWidth_ = 1;
    TGridOptions options_{goFixedVertLine, goFixedHorzLine, goVertLine, goHorzLine, goRangeSelect};
    TScrollStyle scrollBars_ = ssBoth;
    int row_ = 1, col_ = 1, topRow_ = 1, leftCol_ = 1;
    int anchorRow_ = 1, anchorCol_ = 1;
    int lastRowCount_ = 0, lastColCount_ = 0;
    bool invalidated_ = false;
    bool updatingScroll_ = false;
    TInplaceEdit* editor_ = nullptr;
    int editCol_ = -1, editRow_ = -1;
    TSelectCellEvent onSelectCell_;
    TCanEditCellEvent onCanEditCell_;
    TSetEditTextEvent onSetEditText_;
};

}  // namespace tk
