// The string grid driven with real mouse, keyboard and scroll messages:
// hit testing with custom row heights, the order of its events, in-place
// editing switched at run time, and very large row counts.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "Application.h"
#include "Forms.h"
#include "Grids.h"

using namespace tk;

namespace {

struct Events : TObject {
    std::vector<std::wstring> log;
    bool allow = true;
    void Select(TObject*, int c, int r, bool& can) {
        log.push_back(L"select " + std::to_wstring(c) + L"," + std::to_wstring(r));
        can = allow;
    }
    void Down(TObject*, TMouseButton b, TShiftState s, int, int) {
        std::wstring t = L"down ";
        t += b == mbLeft ? L"L" : b == mbRight ? L"R" : L"M";
        if (s.Contains(ssShift)) t += L" shift";
        if (s.Contains(ssCtrl)) t += L" ctrl";
        if (s.Contains(ssDouble)) t += L" double";
        if (s.Contains(ssLeft)) t += L" left";
        log.push_back(t);
    }
    void Dbl(TObject*) { log.push_back(L"dblclick"); }
};

// The command grid as the main window lays it out.
struct GridFixture : ::testing::Test {
    std::unique_ptr<TForm> form;
    TStringGrid* grid = nullptr;
    Events ev;

    void SetUp() override {
        form = std::make_unique<TForm>(nullptr);
        form->SetClientWidth(621);
        form->SetClientHeight(374);
        grid = new TStringGrid(form.get());
        grid->SetParent(form.get());
        grid->SetBounds(0, 32, 621, 154);
        grid->SetColCount(4);
        grid->SetRowCount(2);
        grid->SetFixedRows(0);
        grid->SetFixedCols(1);
        grid->SetScrollBars(ssVertical);
        grid->SetRowHeights(0, 18);
        grid->SetRowHeights(1, 18);
        const int widths[] = {30, 70, 180, 317};
        for (int c = 0; c < 4; ++c) grid->SetColWidths(c, widths[c]);
        grid->SetOnSelectCell(TSelectCellEvent(&ev, &Events::Select));
        grid->SetOnMouseDown(TMouseEvent(&ev, &Events::Down));
        grid->SetOnDblClick(TNotifyEvent(&ev, &Events::Dbl));
        grid->Handle();
    }

    LPARAM At(int x, int y) { return MAKELPARAM(x, y); }
    // The middle of a cell in client coordinates.
    LPARAM Mid(int col, int row) {
        RECT r = grid->CellRect(col, row);
        return MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    }
    LRESULT Send(UINT msg, WPARAM w, LPARAM l) { return SendMessageW(grid->Handle(), msg, w, l); }
};

}  // namespace

TEST_F(GridFixture, HitTestingWithCustomRowHeights) {
    grid->SetRowCount(6);
    grid->SetRowHeights(2, 40);  // rows 3.. keep the default height 24
    int c, r;
    grid->MouseToCell(5, 5, c, r);
    EXPECT_EQ(c, 0);
    EXPECT_EQ(r, 0);
    // Column edges: 30 + 1 line, then 70 + 1, 180 + 1.
    grid->MouseToCell(30, 5, c, r);
    EXPECT_EQ(c, 0);  // the grid line belongs to the cell before it
    grid->MouseToCell(31, 5, c, r);
    EXPECT_EQ(c, 1);
    grid->MouseToCell(31 + 71 + 180, 5, c, r);
    EXPECT_EQ(c, 2);
    grid->MouseToCell(31 + 71 + 181, 5, c, r);
    EXPECT_EQ(c, 3);
    // Rows: 18+1, 18+1, 40+1, 24+1 ...
    grid->MouseToCell(40, 18, c, r);
    EXPECT_EQ(r, 0);
    grid->MouseToCell(40, 19, c, r);
    EXPECT_EQ(r, 1);
    grid->MouseToCell(40, 38, c, r);
    EXPECT_EQ(r, 2);
    grid->MouseToCell(40, 38 + 40, c, r);
    EXPECT_EQ(r, 2);
    grid->MouseToCell(40, 38 + 41, c, r);
    EXPECT_EQ(r, 3);
    grid->MouseToCell(40, 38 + 41 + 25, c, r);
    EXPECT_EQ(r, 4);
    // Outside: no cell.
    grid->MouseToCell(-1, 5, c, r);
    EXPECT_EQ(c, -1);
    grid->MouseToCell(40, 10000, c, r);
    EXPECT_EQ(r, -1);
    RECT cell = grid->CellRect(2, 2);
    EXPECT_EQ(cell.left, 102);
    EXPECT_EQ(cell.top, 38);
    EXPECT_EQ(cell.right, 282);
    EXPECT_EQ(cell.bottom, 78);
    // A new default height moves only the rows without a height of their own.
    grid->SetDefaultRowHeight(30);
    grid->MouseToCell(40, 38 + 41 + 30, c, r);
    EXPECT_EQ(r, 3);
    grid->MouseToCell(40, 38 + 41 + 31, c, r);
    EXPECT_EQ(r, 4);
    EXPECT_EQ(grid->CellRect(1, 2).top, 38);
}

TEST_F(GridFixture, LeftPressSelectsThenRaisesMouseDown) {
    grid->SetRowCount(5);
    Send(WM_LBUTTONDOWN, MK_LBUTTON, Mid(2, 3));
    Send(WM_LBUTTONUP, 0, Mid(2, 3));
    EXPECT_EQ(ev.log, (std::vector<std::wstring>{L"select 2,3", L"down L left"}));
    EXPECT_EQ(grid->Row(), 3);
    EXPECT_EQ(grid->Col(), 2);

    // The second press of a double click: double-click event, then mouse down
    // (with ssDouble), and no new selection.
    ev.log.clear();
    Send(WM_LBUTTONDBLCLK, MK_LBUTTON | MK_CONTROL, Mid(1, 1));
    EXPECT_EQ(ev.log, (std::vector<std::wstring>{L"dblclick", L"down L ctrl double left"}));
    EXPECT_EQ(grid->Row(), 3);

    // Other buttons do not move the current cell.
    ev.log.clear();
    Send(WM_RBUTTONDOWN, MK_RBUTTON | MK_SHIFT, Mid(1, 1));
    Send(WM_MBUTTONDOWN, MK_MBUTTON, Mid(1, 1));
    EXPECT_EQ(ev.log, (std::vector<std::wstring>{L"down R shift", L"down M"}));
    EXPECT_EQ(grid->Row(), 3);

    // A click on the fixed column selects nothing; a refused cell stays unselected.
    ev.log.clear();
    Send(WM_LBUTTONDOWN, MK_LBUTTON | MK_SHIFT, Mid(0, 1));
    EXPECT_EQ(ev.log, (std::vector<std::wstring>{L"down L shift left"}));
    ev.allow = false;
    Send(WM_LBUTTONDOWN, MK_LBUTTON, Mid(1, 1));
    EXPECT_EQ(grid->Row(), 3);
    EXPECT_EQ(ev.log.back(), L"down L left");
    // Row 0 is selectable when there is no fixed row.
    ev.allow = true;
    Send(WM_LBUTTONDOWN, MK_LBUTTON, Mid(1, 0));
    EXPECT_EQ(grid->Row(), 0);
}

TEST_F(GridFixture, KeyboardMovesTheCurrentCell) {
    grid->SetRowCount(50);
    grid->SetRow(1);
    ev.log.clear();
    Send(WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(grid->Row(), 2);
    EXPECT_EQ(ev.log, (std::vector<std::wstring>{L"select 1,2"}));
    Send(WM_KEYDOWN, VK_RIGHT, 0);
    EXPECT_EQ(grid->Col(), 2);
    Send(WM_KEYDOWN, VK_LEFT, 0);
    Send(WM_KEYDOWN, VK_LEFT, 0);  // not into the fixed column
    EXPECT_EQ(grid->Col(), 1);
    Send(WM_KEYDOWN, VK_NEXT, 0);
    EXPECT_GT(grid->Row(), 2);
    EXPECT_GE(grid->Row(), grid->TopRow());
    Send(WM_KEYDOWN, VK_UP, 0);
    Send(WM_KEYDOWN, VK_PRIOR, 0);
    Send(WM_KEYDOWN, VK_PRIOR, 0);
    EXPECT_EQ(grid->Row(), 0);
    EXPECT_EQ(grid->TopRow(), 0);
}

// Shift with a click, a drag, or Shift with the arrows selects a range from
// where the selection began; a plain move starts it anew, and in editing
// mode there are no ranges.
TEST_F(GridFixture, RangeSelection) {
    grid->SetRowCount(20);
    auto rows = [&] {
        const auto sel = grid->Selection();
        return std::vector<int>{sel.Top, sel.Bottom};
    };
    Send(WM_LBUTTONDOWN, MK_LBUTTON, Mid(1, 1));
    Send(WM_LBUTTONUP, 0, Mid(1, 1));
    Send(WM_LBUTTONDOWN, MK_LBUTTON | MK_SHIFT, Mid(2, 4));
    Send(WM_LBUTTONUP, 0, Mid(2, 4));
    const auto sel = grid->Selection();
    EXPECT_EQ((std::vector<int>{sel.Left, sel.Top, sel.Right, sel.Bottom}), (std::vector<int>{1, 1, 2, 4}));
    EXPECT_EQ(grid->Row(), 4);

    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_SHIFT] = 0x80;
    SetKeyboardState(keys);
    for (int i = 0; i < 4; ++i) Send(WM_KEYDOWN, VK_UP, 0);  // past the anchor: the range turns upwards
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    EXPECT_EQ(rows(), (std::vector<int>{0, 1}));

    Send(WM_LBUTTONDOWN, MK_LBUTTON, Mid(1, 2));
    Send(WM_MOUSEMOVE, MK_LBUTTON, Mid(1, 4));
    Send(WM_LBUTTONUP, 0, Mid(1, 4));
    EXPECT_EQ(rows(), (std::vector<int>{2, 4}));

    Send(WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(rows(), (std::vector<int>{5, 5}));

    grid->SetTopRow(0);
    grid->SetOptions(grid->Options() + tk::TGridOptions{tk::goEditing});
    Send(WM_LBUTTONDOWN, MK_LBUTTON | MK_SHIFT, Mid(1, 3));
    Send(WM_LBUTTONUP, 0, Mid(1, 3));
    EXPECT_EQ(rows(), (std::vector<int>{3, 3}));
}

TEST_F(GridFixture, EditingSwitchedOnAndOffAtRunTime) {
    grid->SetCells(1, 1, L"ASCII");
    grid->SetRow(1);
    EXPECT_FALSE(grid->EditorMode());
    // Without goEditing a press on the current cell edits nothing.
    Send(WM_LBUTTONDOWN, MK_LBUTTON, Mid(1, 1));
    EXPECT_FALSE(grid->EditorMode());

    grid->SetOptions(grid->Options() + goEditing);
    Send(WM_LBUTTONDOWN, MK_LBUTTON, Mid(1, 1));
    ASSERT_TRUE(grid->EditorMode());
    HWND ed = grid->InplaceEditor()->Handle();
    EXPECT_EQ(GetParent(ed), grid->Handle());
    EXPECT_EQ(grid->InplaceEditor()->Text(), L"ASCII");
    SetWindowTextW(ed, L"HEX");
    SendMessageW(ed, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_FALSE(grid->EditorMode());
    EXPECT_EQ(grid->Cells(1, 1), L"HEX");

    // Escape drops the change.
    Send(WM_KEYDOWN, VK_F2, 0);
    ASSERT_TRUE(grid->EditorMode());
    SetWindowTextW(ed, L"junk");
    SendMessageW(ed, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_EQ(grid->Cells(1, 1), L"HEX");

    // Typing on the grid starts the editor with that character.
    Send(WM_CHAR, L'A', 0);
    ASSERT_TRUE(grid->EditorMode());
    EXPECT_EQ(grid->InplaceEditor()->Text(), L"A");
    // A double click in the editor is the grid's double click.
    ev.log.clear();
    SendMessageW(ed, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(2, 2));
    EXPECT_EQ(ev.log, (std::vector<std::wstring>{L"dblclick"}));

    // Switching the option off closes the editor and keeps the text.
    grid->SetOptions(grid->Options() - goEditing);
    EXPECT_FALSE(grid->EditorMode());
    EXPECT_EQ(grid->Cells(1, 1), L"A");
    Send(WM_LBUTTONDOWN, MK_LBUTTON, Mid(1, 1));
    EXPECT_FALSE(grid->EditorMode());
}

TEST_F(GridFixture, HundredThousandRowsScrollToTheEnd) {
    const int rows = 100001;
    grid->SetRowCount(rows);
    for (int r = 1; r < rows; ++r) {
        grid->SetRowHeights(r, 18);
        grid->SetCells(0, r, std::to_wstring(r));
    }
    Application().ProcessMessages();
    Send(WM_VSCROLL, SB_BOTTOM, 0);
    EXPECT_EQ(grid->TopRow(), grid->MaxTopRow());
    UpdateWindow(grid->Handle());
    // The last row is on screen, wholly.
    RECT last = grid->CellRect(1, rows - 1);
    EXPECT_GT(last.bottom, last.top);
    EXPECT_LE(last.bottom, grid->ClientHeight());
    int c, r;
    grid->MouseToCell(40, last.top + 2, c, r);
    EXPECT_EQ(r, rows - 1);
    // The scroll bar counts rows.
    SCROLLINFO si = {sizeof(si), SIF_ALL, 0, 0, 0, 0, 0};
    GetScrollInfo(grid->Handle(), SB_VERT, &si);
    EXPECT_EQ(si.nMax, rows - 1);
    EXPECT_EQ(si.nPos, grid->TopRow());
    EXPECT_EQ(si.nPos + static_cast<int>(si.nPage) - 1, si.nMax);
    // Page up and line up move back.
    Send(WM_VSCROLL, SB_PAGEUP, 0);
    Send(WM_VSCROLL, SB_LINEUP, 0);
    EXPECT_EQ(grid->TopRow(), grid->MaxTopRow() - grid->VisibleRowCount() - 1);
    Send(WM_VSCROLL, SB_TOP, 0);
    EXPECT_EQ(grid->TopRow(), 0);
    // Ctrl+End selects the last row and brings it into view.
    Send(WM_KEYDOWN, VK_END, 0);  // (Ctrl is read from the keyboard: not held)
    EXPECT_EQ(grid->Col(), 3);
    grid->SetRow(rows - 1);
    EXPECT_EQ(grid->TopRow(), grid->MaxTopRow());
}

TEST_F(GridFixture, TwoBillionRowsCostNothing) {
    grid->SetFixedRows(1);
    grid->SetRowCount(2000000000);
    Send(WM_VSCROLL, SB_BOTTOM, 0);
    EXPECT_GT(grid->TopRow(), 1999999990);
    UpdateWindow(grid->Handle());
    SCROLLINFO si = {sizeof(si), SIF_ALL, 0, 0, 0, 0, 0};
    GetScrollInfo(grid->Handle(), SB_VERT, &si);
    EXPECT_EQ(si.nMax, 2000000000 - 1 - 1);
    EXPECT_EQ(si.nPos, grid->TopRow() - 1);
    grid->SetRow(1999999999);
    EXPECT_EQ(grid->Row(), 1999999999);
    int c, r;
    RECT last = grid->CellRect(1, 1999999999);
    grid->MouseToCell(40, last.top + 1, c, r);
    EXPECT_EQ(r, 1999999999);
    // Shrinking the count pulls the current and top rows back.
    grid->SetRowCount(3);
    EXPECT_EQ(grid->Row(), 2);
    EXPECT_EQ(grid->TopRow(), 1);
    UpdateWindow(grid->Handle());
}

TEST_F(GridFixture, ColumnsNarrowerThanNothingAndAnchors) {
    grid->SetAnchors({akLeft, akTop, akRight});
    grid->SetColWidths(3, -20);  // as computed for a very narrow window
    EXPECT_EQ(grid->ColWidths(3), -20);
    UpdateWindow(grid->Handle());
    int c, r;
    grid->MouseToCell(31 + 71 + 181, 5, c, r);
    EXPECT_EQ(c, 3);  // only its grid line remains
    grid->MouseToCell(31 + 71 + 181 + 1, 5, c, r);
    EXPECT_EQ(c, -1);
    EXPECT_THROW(grid->SetColWidths(4, 10), Exception);
    EXPECT_EQ(grid->ColWidths(9), grid->DefaultColWidth());

    RECT wr;
    GetWindowRect(form->Handle(), &wr);
    SetWindowPos(form->Handle(), nullptr, 0, 0, wr.right - wr.left + 79, wr.bottom - wr.top, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(grid->Width(), 700);
    EXPECT_EQ(grid->Height(), 154);
}
