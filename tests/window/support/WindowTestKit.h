// Helpers of the window tests: the harness's port pair, the peer end read
// with plain Win32 calls, recorded message boxes, a private working
// directory, and real mouse and menu input for the main window.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Application.h"
#include "UfrmMain.h"
#include "PtyPeer.h"

namespace wintest {

using commtest::PairPorts;

// The far end of the pair.
using commtest::TPeer;

struct TBox {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT flags;
};

// Answers every message box with OK and records it, for its lifetime.
class TBoxRecorder {
public:
    TBoxRecorder();
    ~TBoxRecorder();
    TBoxRecorder(const TBoxRecorder&) = delete;
    TBoxRecorder& operator=(const TBoxRecorder&) = delete;
    std::vector<TBox> boxes;

private:
    tk::TApplication::MessageBoxFn saved_;
};

// A fresh empty directory made the current one for its lifetime.
class TTempWorkDir {
public:
    TTempWorkDir();
    ~TTempWorkDir();
    TTempWorkDir(const TTempWorkDir&) = delete;
    TTempWorkDir& operator=(const TTempWorkDir&) = delete;
    const std::wstring& Path() const { return path_; }
    // Writes a file (bytes as given) into the directory.
    void WriteFile(const std::wstring& name, const std::string& bytes);

private:
    std::wstring saved_;
    std::wstring path_;
};

// Mouse input on the grid at the centre of a cell; keys are MK_CONTROL
// and/or MK_SHIFT.
void ClickCell(tk::TStringGrid* grid, int col, int row, WPARAM keys = 0);
void RightClickCell(tk::TStringGrid* grid, int col, int row, WPARAM keys = 0);
void DoubleClickCell(tk::TStringGrid* grid, int col, int row, WPARAM keys = 0);
// The menu command of an item, as the menu sends it to the window.
void MenuCommand(tk::TForm* form, tk::TMenuItem* item);
void Pump();

// Text of the rich edit as the control holds it (lines end in CR).
std::wstring RichText(tk::TRichEdit* edit);
// The colour of characters [start, end) of a rich edit; CLR_INVALID when
// they differ.
COLORREF RangeColor(tk::TRichEdit* edit, int start, int end);
// The colour of the current insertion point.
COLORREF CaretColor(tk::TRichEdit* edit);

// Fills the grid with rows (Type, Function, Command Data) from row 1 on.
struct TRow {
    std::wstring type, function, data;
};
void FillGrid(tk::TStringGrid* grid, const std::vector<TRow>& rows);

// Bytes as two-digit hexadecimal numbers, for readable failures.
std::string Hex(const std::string& bytes);

}  // namespace wintest
