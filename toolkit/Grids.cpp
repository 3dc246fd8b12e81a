#include "Grids.h"

#include <windowsx.h>

#include <algorithm>
#include <climits>

#include "SysUtils.h"

namespace tk {

// --- TInplaceEdit --------------------------------------------------------------------

TInplaceEdit::TInplaceEdit(TStringGrid* grid) : TCustomEdit(grid), grid_(grid) {
    SetVisible(false);
    SetParent(grid);
}

void TInplaceEdit::CreateParams(TCreateParams& p) {
    TCustomEdit::CreateParams(p);
    p.ExStyle &= ~static_cast<DWORD>(WS_EX_CLIENTEDGE);
    p.Style &= ~static_cast<DWORD>(WS_TABSTOP);
}

void TInplaceEdit::DblClick() {
    TCustomEdit::DblClick();
    grid_->DblClick();
}

void TInplaceEdit::WndProc(TMessage& m) {
    switch (m.Msg) {
        case WM_GETDLGCODE:
            m.Result = DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTCHARS;
            return;
        case WM_CHAR:
            if (m.WParam == VK_RETURN || m.WParam == VK_ESCAPE || m.WParam == VK_TAB) {
                m.Result = 0;  // handled on key down; no beep
                return;
            }
            break;
        case WM_KEYDOWN:
            switch (m.WParam) {
                case VK_ESCAPE:
                    grid_->HideEditor(false);
                    grid_->SetFocus();
                    m.Result = 0;
                    return;
                case VK_RETURN:
                    grid_->HideEditor(true);
                    grid_->SetFocus();
                    m.Result = 0;
                    return;
                case VK_UP:
                case VK_DOWN:
                case VK_PRIOR:
                case VK_NEXT:
                case VK_TAB: {
                    WPARAM key = m.WParam;
                    grid_->HideEditor(true);
                    grid_->SetFocus();
                    grid_->Perform(WM_KEYDOWN, key, m.LParam);
                    m.Result = 0;
                    return;
                }
                default: break;
            }
            break;
        case WM_KILLFOCUS:
            TCustomEdit::WndProc(m);
            if (Visible() && grid_->EditorMode()) grid_->HideEditor(true);
            return;
        default: break;
    }
    TCustomEdit::WndProc(m);
}

// --- TStringGrid ---------------------------------------------------------------------------

TStringGrid::TStringGrid(TComponent* owner) : TCustomControl(owner), TGridModel(5, 5, 24) {
    SetDefaultColor(clWindow, false);
    SetBoundsInternal(0, 0, 320, 120);
    colWidths_.assign(static_cast<std::size_t>(ColCount()), defaultColWidth_);
    lastRowCount_ = RowCount();
    lastColCount_ = ColCount();
}

TStringGrid::~TStringGrid() {
    // The window goes while the grid is whole (its paint uses the model).
    DestroyHandle();
}

void TStringGrid::CreateParams(TCreateParams& p) {
    TCustomControl::CreateParams(p);
    p.Style |= WS_TABSTOP;
    if (scrollBars_ == ssVertical || scrollBars_ == ssBoth) p.Style |= WS_VSCROLL;
    if (scrollBars_ == ssHorizontal || scrollBars_ == ssBoth) p.Style |= WS_HSCROLL;
    p.ExStyle |= WS_EX_CLIENTEDGE;
}

void TStringGrid::CreateWnd() {
    TCustomControl::CreateWnd();
    UpdateScrollBars();
}

// --- layout ---------------------------------------------------------------------------------

int TStringGrid::RowExtent(int row) const { return std::max(1, std::max(0, RowHeights(row)) + lineWidth_); }
int TStringGrid::ColExtent(int col) const { return std::max(1, std::max(0, ColWidths(col)) + lineWidth_); }

int TStringGrid::FixedHeight() const {
    int h = 0;
    for (int r = 0; r < fixedRows_ && r < RowCount(); ++r) h += RowExtent(r);
    return h;
}

int TStringGrid::FixedWidth() const {
    int w = 0;
    for (int c = 0; c < fixedCols_ && c < ColCount(); ++c) w += ColExtent(c);
    return w;
}

int TStringGrid::MaxTopRow() {
    int avail = ClientHeight() - FixedHeight();
    int r = RowCount() - 1;
    int sum = 0;
    // Walk up from the last row while the rows still fit: only visible rows.
    while (r >= fixedRows_) {
        sum += RowExtent(r);
        if (sum > avail) break;
        --r;
    }
    return std::clamp(r + 1, fixedRows_, std::max(fixedRows_, RowCount() - 1));
}

int TStringGrid::MaxLeftCol() {
    int avail = ClientWidth() - FixedWidth();
    int c = ColCount() - 1;
    int sum = 0;
    while (c >= fixedCols_) {
        sum += ColExtent(c);
        if (sum > avail) break;
        --c;
    }
    return std::clamp(c + 1, fixedCols_, std::max(fixedCols_, ColCount() - 1));
}

int TStringGrid::VisibleRowCount() {
    int avail = ClientHeight() - FixedHeight();
    int n = 0;
    for (int r = topRow_; r < RowCount(); ++r) {
        avail -= RowExtent(r);
        if (avail < 0) break;
        ++n;
    }
    return n;
}

int TStringGrid::VisibleColCount() {
    int avail = ClientWidth() - FixedWidth();
    int n = 0;
    for (int c = leftCol_; c < ColCount(); ++c) {
        avail -= ColExtent(c);
        if (avail < 0) break;
        ++n;
    }
    return n;
}

void TStringGrid::MouseToCell(int X, int Y, int& ACol, int& ARow) {
    ACol = ARow = -1;
    const int cw = ClientWidth(), ch = ClientHeight();
    if (X >= 0 && X < cw) {
        int x = 0;
        for (int c = 0; c < fixedCols_ && c < ColCount() && ACol < 0; ++c) {
            x += ColExtent(c);
            if (X < x) ACol = c;
        }
        for (int c = leftCol_; c < ColCount() && ACol < 0 && x < cw; ++c) {
            x += ColExtent(c);
            if (X < x) ACol = c;
        }
    }
    if (Y >= 0 && Y < ch) {
        int y = 0;
        for (int r = 0; r < fixedRows_ && r < RowCount() && ARow < 0; ++r) {
            y += RowExtent(r);
            if (Y < y) ARow = r;
        }
        for (int r = topRow_; r < RowCount() && ARow < 0 && y < ch; ++r) {
            y += RowExtent(r);
            if (Y < y) ARow = r;
        }
    }
}

RECT TStringGrid::CellRect(int ACol, int ARow) {
    RECT r = {0, 0, 0, 0};
    if (ACol < 0 || ARow < 0 || ACol >= ColCount() || ARow >= RowCount()) return r;
    const int cw = ClientWidth(), ch = ClientHeight();
    int x = -1, y = -1;
    if (ACol < fixedCols_) {
        x = 0;
        for (int c = 0; c < ACol; ++c) x += ColExtent(c);
    } else if (ACol >= leftCol_) {
        x = FixedWidth();
        for (int c = leftCol_; c < ACol && x < cw; ++c) x += ColExtent(c);
    }
    if (ARow < fixedRows_) {
        y = 0;
        for (int rr = 0; rr < ARow; ++rr) y += RowExtent(rr);
    } else if (ARow >= topRow_) {
        y = FixedHeight();
        for (int rr = topRow_; rr < ARow && y < ch; ++rr) y += RowExtent(rr);
    }
    if (x < 0 || y < 0 || x >= cw || y >= ch) return r;
    return RECT{x, y, x + std::max(0, ColWidths(ACol)), y + std::max(0, RowHeights(ARow))};
}

// --- properties ---------------------------------------------------------------------------------

void TStringGrid::SetFixedCols(int value) {
    value = std::clamp(value, 0, std::max(0, ColCount() - 1));
    fixedCols_ = value;
    // The view and the current cell start again after the fixed part.
    leftCol_ = col_ = value;
    ClampCurrent();
    Invalidate();
}

void TStringGrid::SetFixedRows(int value) {
    value = std::clamp(value, 0, std::max(0, RowCount() - 1));
    fixedRows_ = value;
    topRow_ = row_ = value;
    ClampCurrent();
    UpdateScrollBars();
    Invalidate();
}

void TStringGrid::SetDefaultRowHeight(int value) {
    TGridModel::SetDefaultRowHeight(value);
    ClampCurrent();
    if (HandleAllocated() && topRow_ > MaxTopRow()) topRow_ = MaxTopRow();
    UpdateScrollBars();
    Invalidate();
}

void TStringGrid::SetDefaultColWidth(int value) {
    defaultColWidth_ = value;
    std::fill(colWidths_.begin(), colWidths_.end(), value);
    UpdateScrollBars();
    Invalidate();
}

int TStringGrid::ColWidths(int col) const {
    if (col < 0 || static_cast<std::size_t>(col) >= colWidths_.size()) return defaultColWidth_;
    return colWidths_[static_cast<std::size_t>(col)];
}

void TStringGrid::SetColWidths(int col, int width) {
    if (col < 0 || col >= ColCount()) throw Exception(L"Grid index out of range");
    colWidths_[static_cast<std::size_t>(col)] = width;
    if (EditorMode()) PlaceEditor();
    UpdateScrollBars();
    Invalidate();
}

void TStringGrid::SetGridLineWidth(int value) {
    lineWidth_ = std::max(0, value);
    Invalidate();
}

void TStringGrid::SetOptions(TGridOptions options) {
    bool wasEditing = options_.Contains(goEditing);
    options_ = options;
    if (wasEditing && !options_.Contains(goEditing)) HideEditor(true);
    Invalidate();
}

void TStringGrid::SetScrollBars(TScrollStyle value) {
    if (value == scrollBars_) return;
    scrollBars_ = value;
    RecreateWnd();
}

void TStringGrid::ClampCurrent() {
    int maxRow = RowCount() - 1, maxCol = ColCount() - 1;
    row_ = std::clamp(row_, std::min(fixedRows_, maxRow), maxRow);
    col_ = std::clamp(col_, std::min(fixedCols_, maxCol), maxCol);
    topRow_ = std::clamp(topRow_, fixedRows_, std::max(fixedRows_, maxRow));
    leftCol_ = std::clamp(leftCol_, fixedCols_, std::max(fixedCols_, maxCol));
    if (row_ < fixedRows_) row_ = fixedRows_;
    if (col_ < fixedCols_) col_ = fixedCols_;
    anchorRow_ = std::max(std::clamp(anchorRow_, std::min(fixedRows_, maxRow), maxRow), fixedRows_);
    anchorCol_ = std::max(std::clamp(anchorCol_, std::min(fixedCols_, maxCol), maxCol), fixedCols_);
}

TStringGrid::TGridRect TStringGrid::Selection() const {
    return {std::min(col_, anchorCol_), std::min(row_, anchorRow_), std::max(col_, anchorCol_),
            std::max(row_, anchorRow_)};
}

void TStringGrid::Changed() {
    if (RowCount() != lastRowCount_ || ColCount() != lastColCount_) {
        if (ColCount() != lastColCount_)
            colWidths_.resize(static_cast<std::size_t>(ColCount()), defaultColWidth_);
        lastRowCount_ = RowCount();
        lastColCount_ = ColCount();
        if (fixedRows_ >= RowCount()) fixedRows_ = std::max(0, RowCount() - 1);
        if (fixedCols_ >= ColCount()) fixedCols_ = std::max(0, ColCount() - 1);
        if (editor_ && EditorMode() && (editRow_ >= RowCount() || editCol_ >= ColCount())) HideEditor(false);
        ClampCurrent();
        if (HandleAllocated()) {
            int maxTop = MaxTopRow();
            if (topRow_ > maxTop) topRow_ = maxTop;
        }
        UpdateScrollBars();
    }
    // Called for every cell written: one invalidation per paint is enough.
    if (!invalidated_ && HandleAllocated()) {
        invalidated_ = true;
        Invalidate();
    }
}

void TStringGrid::FontChanged() {
    TCustomControl::FontChanged();
    if (EditorMode()) PlaceEditor();
}

void TStringGrid::Resize() {
    TCustomControl::Resize();
    if (updatingScroll_) return;
    int maxTop = MaxTopRow();
    if (topRow_ > maxTop) topRow_ = maxTop;
    int maxLeft = MaxLeftCol();
    if (leftCol_ > maxLeft) leftCol_ = maxLeft;
    UpdateScrollBars();
    if (EditorMode()) PlaceEditor();
    Invalidate();
}

// --- scrolling --------------------------------------------------------------------------------------

void TStringGrid::UpdateScrollBars() {
    if (!HandleAllocated() || updatingScroll_) return;
    updatingScroll_ = true;
    HWND h = Handle();
    // Positions count rows, not pixels: a 32-bit range covers any row count.
    if (scrollBars_ == ssVertical || scrollBars_ == ssBoth) {
        SCROLLINFO si = {sizeof(si), SIF_RANGE | SIF_PAGE | SIF_POS, 0, 0, 0, 0, 0};
        int scrollRows = RowCount() - fixedRows_;
        int maxTop = MaxTopRow();
        si.nMin = 0;
        si.nMax = std::max(0, scrollRows - 1);
        si.nPage = static_cast<UINT>(std::max(1, RowCount() - maxTop));
        si.nPos = topRow_ - fixedRows_;
        if (maxTop <= fixedRows_) si.nPage = static_cast<UINT>(si.nMax) + 1;  // everything fits: no bar
        SetScrollInfo(h, SB_VERT, &si, TRUE);
    }
    if (scrollBars_ == ssHorizontal || scrollBars_ == ssBoth) {
        SCROLLINFO si = {sizeof(si), SIF_RANGE | SIF_PAGE | SIF_POS, 0, 0, 0, 0, 0};
        int scrollCols = ColCount() - fixedCols_;
        int maxLeft = MaxLeftCol();
        si.nMax = std::max(0, scrollCols - 1);
        si.nPage = static_cast<UINT>(std::max(1, ColCount() - maxLeft));
        si.nPos = leftCol_ - fixedCols_;
        if (maxLeft <= fixedCols_) si.nPage = static_cast<UINT>(si.nMax) + 1;
        SetScrollInfo(h, SB_HORZ, &si, TRUE);
    }
    updatingScroll_ = false;
}

void TStringGrid::SetTopRow(int row) {
    int maxTop = HandleAllocated() ? MaxTopRow() : std::max(fixedRows_, RowCount() - 1);
    row = std::clamp(row, fixedRows_, std::max(fixedRows_, maxTop));
    if (row == topRow_) return;
    topRow_ = row;
    if (EditorMode()) PlaceEditor();
    UpdateScrollBars();
    Invalidate();
}

void TStringGrid::SetLeftCol(int col) {
    int maxLeft = HandleAllocated() ? MaxLeftCol() : std::max(fixedCols_, ColCount() - 1);
    col = std::clamp(col, fixedCols_, std::max(fixedCols_, maxLeft));
    if (col == leftCol_) return;
    leftCol_ = col;
    if (EditorMode()) PlaceEditor();
    UpdateScrollBars();
    Invalidate();
}

void TStringGrid::Scroll(int bar, int code) {
    const bool vert = bar == SB_VERT;
    int pos = vert ? topRow_ : leftCol_;
    int fixed = vert ? fixedRows_ : fixedCols_;
    int page = std::max(1, vert ? VisibleRowCount() : VisibleColCount());
    switch (code) {
        case SB_LINEUP: --pos; break;
        case SB_LINEDOWN: ++pos; break;
        case SB_PAGEUP: pos -= page; break;
        case SB_PAGEDOWN: pos += page; break;
        case SB_TOP: pos = fixed; break;
        case SB_BOTTOM: pos = INT_MAX; break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
            SCROLLINFO si = {sizeof(si), SIF_TRACKPOS, 0, 0, 0, 0, 0};
            GetScrollInfo(Handle(), bar, &si);
            pos = fixed + si.nTrackPos;
            break;
        }
        default: return;
    }
    if (vert)
        SetTopRow(pos);
    else
        SetLeftCol(pos);
}

void TStringGrid::ScrollIntoView(int col, int row) {
    if (!HandleAllocated()) return;
    if (row >= fixedRows_) {
        if (row < topRow_) {
            SetTopRow(row);
        } else {
            // Lowest top row that still shows `row` wholly.
            int avail = ClientHeight() - FixedHeight();
            int top = row, sum = RowExtent(row);
            while (top > fixedRows_ && sum + RowExtent(top - 1) <= avail) sum += RowExtent(--top);
            if (top > topRow_) SetTopRow(top);
        }
    }
    if (col >= fixedCols_) {
        if (col < leftCol_) {
            SetLeftCol(col);
        } else {
            int avail = ClientWidth() - FixedWidth();
            int left = col, sum = ColExtent(col);
            while (left > fixedCols_ && sum + ColExtent(left - 1) <= avail) sum += ColExtent(--left);
            if (left > leftCol_) SetLeftCol(left);
        }
    }
}

// --- current cell and editing ---------------------------------------------------------------------

bool TStringGrid::SelectCell(int ACol, int ARow) {
    bool can = true;
    if (onSelectCell_) onSelectCell_(this, ACol, ARow, can);
    return can;
}

void TStringGrid::MoveCurrent(int col, int row, bool show, bool extend) {
    if (col < fixedCols_ || row < fixedRows_ || col >= ColCount() || row >= RowCount()) return;
    bool editing = EditorMode();
    if (editing && (col != col_ || row != row_)) HideEditor(true);
    if (!SelectCell(col, row)) return;
    extend = extend && options_.Contains(goRangeSelect) && !options_.Contains(goEditing);
    const bool ranged = anchorCol_ != col_ || anchorRow_ != row_;
    if (!extend) {
        anchorCol_ = col;
        anchorRow_ = row;
    }
    if (col != col_ || row != row_ || ranged) {
        RECT old = CellRect(col_, row_);
        col_ = col;
        row_ = row;
        if (HandleAllocated()) {
            if (options_.Contains(goRowSelect) || ranged || extend) {
                Invalidate();
            } else {
                InvalidateRect(Handle(), &old, FALSE);
                RECT now = CellRect(col_, row_);
                InvalidateRect(Handle(), &now, FALSE);
            }
        }
    }
    if (show) ScrollIntoView(col_, row_);
    if (editing && options_.Contains(goEditing)) ShowEditor();
}

bool TStringGrid::EditorMode() const { return editor_ && editor_->Visible(); }

void TStringGrid::SetEditorMode(bool value) {
    if (value)
        ShowEditor();
    else
        HideEditor(true);
}

void TStringGrid::PlaceEditor() {
    if (!editor_) return;
    RECT r = CellRect(editCol_, editRow_);
    if (r.right <= r.left || r.bottom <= r.top) {
        HideEditor(true);
        return;
    }
    editor_->SetBounds(r.left + 1, r.top + 1, r.right - r.left - 1, r.bottom - r.top - 1);
}

void TStringGrid::ShowEditor(const std::wstring* startText) {
    if (!options_.Contains(goEditing) || col_ < fixedCols_ || row_ < fixedRows_) return;
    bool canEdit = true;
    if (onCanEditCell_) onCanEditCell_(this, col_, row_, canEdit);
    if (!canEdit) return;
    if (!editor_) editor_ = new TInplaceEdit(this);
    ScrollIntoView(col_, row_);
    editCol_ = col_;
    editRow_ = row_;
    editor_->SetText(startText ? *startText : Cells(col_, row_));
    PlaceEditor();
    if (!editor_->HandleAllocated() && HandleAllocated()) editor_->Handle();
    editor_->Show();
    if (HandleAllocated()) {
        editor_->SetFocus();
        int len = static_cast<int>(editor_->Text().size());
        if (startText)
            editor_->SetSelStart(len);
        else
            SendMessageW(editor_->Handle(), EM_SETSEL, 0, -1);
    }
}

void TStringGrid::HideEditor(bool commit) {
    if (!EditorMode()) return;
    int c = editCol_, r = editRow_;
    std::wstring text = editor_->Text();
    bool hadFocus = editor_->Focused();
    editor_->Hide();
    editCol_ = editRow_ = -1;
    const bool changed =
        commit && c >= 0 && r >= 0 && c < ColCount() && r < RowCount() && text != Cells(c, r);
    if (changed) SetCells(c, r, text);
    if (hadFocus && HandleAllocated()) ::SetFocus(Handle());
    if (changed && onSetEditText_) onSetEditText_(this, c, r, text);
}

// --- input ---------------------------------------------------------------------------------------------

void TStringGrid::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    if (HandleAllocated() && GetFocus() != Handle() && !(editor_ && editor_->Focused())) ::SetFocus(Handle());
    if (button == mbLeft && !shift.Contains(ssDouble)) {
        int c, r;
        MouseToCell(x, y, c, r);
        if (c >= fixedCols_ && r >= fixedRows_) {
            if (options_.Contains(goEditing) && c == col_ && r == row_)
                ShowEditor();
            else
                MoveCurrent(c, r, true, shift.Contains(ssShift));
        }
    }
    TCustomControl::MouseDown(button, shift, x, y);
}

void TStringGrid::KeyDown(WORD& key, TShiftState shift) {
    TCustomControl::KeyDown(key, shift);
    if (key == 0) return;
    int c = col_, r = row_;
    const bool ctrl = shift.Contains(ssCtrl);
    switch (key) {
        case VK_UP: --r; break;
        case VK_DOWN: ++r; break;
        case VK_LEFT: --c; break;
        case VK_RIGHT: ++c; break;
        case VK_PRIOR: r -= std::max(1, VisibleRowCount()); break;
        case VK_NEXT: r += std::max(1, VisibleRowCount()); break;
        case VK_HOME:
            if (ctrl) r = fixedRows_;
            else c = fixedCols_;
            break;
        case VK_END:
            if (ctrl) r = RowCount() - 1;
            else c = ColCount() - 1;
            break;
        case VK_TAB:
            if (!options_.Contains(goTabs)) return;
            if (shift.Contains(ssShift)) --c;
            else ++c;
            break;
        case VK_F2:
        case VK_RETURN:
            ShowEditor();
            key = 0;
            return;
        default: return;
    }
    r = std::clamp(r, fixedRows_, RowCount() - 1);
    c = std::clamp(c, fixedCols_, ColCount() - 1);
    MoveCurrent(c, r, true, key != VK_TAB && shift.Contains(ssShift));
    key = 0;
}

void TStringGrid::WndProc(TMessage& m) {
    switch (m.Msg) {
        case WM_GETDLGCODE:
            m.Result = DLGC_WANTARROWS | DLGC_WANTCHARS | (options_.Contains(goTabs) ? DLGC_WANTTAB : 0);
            return;
        case WM_VSCROLL:
        case WM_HSCROLL:
            if (m.LParam == 0) {
                Scroll(m.Msg == WM_VSCROLL ? SB_VERT : SB_HORZ, LOWORD(m.WParam));
                m.Result = 0;
                return;
            }
            break;
        case WM_MOUSEMOVE:
            // A drag with the left button held selects a range.
            if ((m.WParam & MK_LBUTTON) && options_.Contains(goRangeSelect) && !EditorMode()) {
                int c, r;
                MouseToCell(GET_X_LPARAM(m.LParam), GET_Y_LPARAM(m.LParam), c, r);
                if (c >= fixedCols_ && r >= fixedRows_ && (c != col_ || r != row_)) MoveCurrent(c, r, true, true);
            }
            break;
        case WM_MOUSEWHEEL: {
            int notches = GET_WHEEL_DELTA_WPARAM(m.WParam) / WHEEL_DELTA;
            SetTopRow(topRow_ - 3 * notches);
            m.Result = 0;
            return;
        }
        case WM_CHAR:
            if (options_.Contains(goEditing) && m.WParam >= 32 && !EditorMode()) {
                std::wstring start(1, static_cast<wchar_t>(m.WParam));
                ShowEditor(&start);
                m.Result = 0;
                return;
            }
            break;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            Invalidate();
            break;
        case WM_PAINT:
            invalidated_ = false;
            UpdateScrollBars();  // row heights may have changed the page
            break;
        default: break;
    }
    TCustomControl::WndProc(m);
}

// --- painting -----------------------------------------------------------------------------------------

void TStringGrid::DrawCell(HDC dc, int col, int row, const RECT& r, bool fixed) {
    const TGridRect sel = Selection();
    const bool selected = !fixed && row >= sel.Top && row <= sel.Bottom &&
                          (options_.Contains(goRowSelect) || (col >= sel.Left && col <= sel.Right));
    const bool editing = EditorMode() && col == editCol_ && row == editRow_;
    TColor bg = fixed ? clBtnFace : (selected && !editing ? clHighlight : Color());
    TColor fg = fixed ? clBtnText : (selected && !editing ? clHighlightText : Font().Color());
    SetBkColor(dc, ColorToRGB(bg));
    SetTextColor(dc, ColorToRGB(fg));
    const std::wstring& text = Cells(col, row);
    ExtTextOutW(dc, r.left + 2, r.top + 2, ETO_CLIPPED | ETO_OPAQUE, &r, text.c_str(),
                static_cast<UINT>(text.size()), nullptr);
    if (fixed) {
        RECT e = r;
        DrawEdge(dc, &e, BDR_RAISEDINNER, BF_RECT);
    } else if (row == row_ && col == col_ && Focused() && !options_.Contains(goRowSelect) && !editing) {
        RECT f = r;
        DrawFocusRect(dc, &f);
    }
}

void TStringGrid::Paint(HDC dc, const RECT& client) {
    TSelectObject font(dc, Font().Handle());
    HBRUSH lineBrush = ColorBrush(clSilver);
    HBRUSH fixedLineBrush = ColorBrush(clGray);
    const int cw = client.right, ch = client.bottom;

    // Visible rows: the fixed ones, then from TopRow while on screen.
    std::vector<std::pair<int, int>> rows;  // row, top
    int y = 0;
    for (int r = 0; r < fixedRows_ && r < RowCount() && y < ch; ++r) {
        rows.emplace_back(r, y);
        y += RowExtent(r);
    }
    for (int r = topRow_; r < RowCount() && y < ch; ++r) {
        rows.emplace_back(r, y);
        y += RowExtent(r);
    }
    const int bottom = y;
    std::vector<std::pair<int, int>> cols;
    int x = 0;
    for (int c = 0; c < fixedCols_ && c < ColCount() && x < cw; ++c) {
        cols.emplace_back(c, x);
        x += ColExtent(c);
    }
    for (int c = leftCol_; c < ColCount() && x < cw; ++c) {
        cols.emplace_back(c, x);
        x += ColExtent(c);
    }
    const int right = x;

    for (auto [r, top] : rows) {
        int h = std::max(0, RowHeights(r));
        for (auto [c, left] : cols) {
            int w = std::max(0, ColWidths(c));
            RECT cell{left, top, left + w, top + h};
            bool fixed = r < fixedRows_ || c < fixedCols_;
            if (w > 0 && h > 0) DrawCell(dc, c, r, cell, fixed);
            if (lineWidth_ > 0) {
                bool vert = fixed ? options_.Contains(goFixedVertLine) : options_.Contains(goVertLine);
                bool horz = fixed ? options_.Contains(goFixedHorzLine) : options_.Contains(goHorzLine);
                HBRUSH b = fixed ? fixedLineBrush : lineBrush;
                RECT v{left + w, top, left + w + lineWidth_, top + h + lineWidth_};
                RECT hz{left, top + h, left + w + lineWidth_, top + h + lineWidth_};
                FillRect(dc, &v, vert ? b : ColorBrush(Color()));
                FillRect(dc, &hz, horz ? b : ColorBrush(Color()));
            }
        }
    }
    // The area beyond the last row and column.
    RECT rest{right, 0, cw, ch};
    FillRect(dc, &rest, ColorBrush(Color()));
    RECT below{0, bottom, std::min(right, cw), ch};
    FillRect(dc, &below, ColorBrush(Color()));
}

}  // namespace tk
