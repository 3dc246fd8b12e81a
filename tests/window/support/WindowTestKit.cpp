#include "WindowTestKit.h"

#include <richedit.h>

#include <cstdio>
#include <cstdlib>

namespace wintest {

TBoxRecorder::TBoxRecorder() {
    saved_ = tk::Application().SetMessageBoxHook(
        [this](HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
            boxes.push_back({owner, text, caption, flags});
            return IDOK;
        });
}

TBoxRecorder::~TBoxRecorder() { tk::Application().SetMessageBoxHook(std::move(saved_)); }

TTempWorkDir::TTempWorkDir() {
    wchar_t buf[MAX_PATH * 2];
    DWORD n = ::GetCurrentDirectoryW(MAX_PATH * 2, buf);
    saved_.assign(buf, n);
    wchar_t tmp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, tmp);
    static int serial = 0;
    path_ = std::wstring(tmp) + L"quolm-window-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(++serial);
    ::CreateDirectoryW(path_.c_str(), nullptr);
    ::SetCurrentDirectoryW(path_.c_str());
}

TTempWorkDir::~TTempWorkDir() {
    ::SetCurrentDirectoryW(saved_.c_str());
    WIN32_FIND_DATAW fd;
    HANDLE f = ::FindFirstFileW((path_ + L"\\*").c_str(), &fd);
    if (f != INVALID_HANDLE_VALUE) {
        do {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileW((path_ + L"\\" + fd.cFileName).c_str());
        } while (::FindNextFileW(f, &fd));
        ::FindClose(f);
    }
    ::RemoveDirectoryW(path_.c_str());
}

void TTempWorkDir::WriteFile(const std::wstring& name, const std::string& bytes) {
    HANDLE h = ::CreateFileW((path_ + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD n = 0;
    ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    ::CloseHandle(h);
}

namespace {
LPARAM CellCentre(tk::TStringGrid* grid, int col, int row) {
    RECT r = grid->CellRect(col, row);
    return MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}
}  // namespace

void ClickCell(tk::TStringGrid* grid, int col, int row, WPARAM keys) {
    const LPARAM at = CellCentre(grid, col, row);
    ::SendMessageW(grid->Handle(), WM_LBUTTONDOWN, MK_LBUTTON | keys, at);
    ::SendMessageW(grid->Handle(), WM_LBUTTONUP, keys, at);
    Pump();
}

void RightClickCell(tk::TStringGrid* grid, int col, int row, WPARAM keys) {
    const LPARAM at = CellCentre(grid, col, row);
    ::SendMessageW(grid->Handle(), WM_RBUTTONDOWN, MK_RBUTTON | keys, at);
    ::SendMessageW(grid->Handle(), WM_RBUTTONUP, keys, at);
    Pump();
}

void DoubleClickCell(tk::TStringGrid* grid, int col, int row, WPARAM keys) {
    const LPARAM at = CellCentre(grid, col, row);
    ::SendMessageW(grid->Handle(), WM_LBUTTONDOWN, MK_LBUTTON | keys, at);
    ::SendMessageW(grid->Handle(), WM_LBUTTONUP, keys, at);
    ::SendMessageW(grid->Handle(), WM_LBUTTONDBLCLK, MK_LBUTTON | keys, at);
    ::SendMessageW(grid->Handle(), WM_LBUTTONUP, keys, at);
    Pump();
}

void MenuCommand(tk::TForm* form, tk::TMenuItem* item) {
    ::SendMessageW(form->Handle(), WM_COMMAND, MAKEWPARAM(item->Command(), 0), 0);
    Pump();
}

void Pump() { tk::Application().ProcessMessages(); }

std::wstring RichText(tk::TRichEdit* edit) {
    const int n = ::GetWindowTextLengthW(edit->Handle());
    std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
    TEXTRANGEW tr{{0, n}, s.data()};
    const LRESULT got =
        ::SendMessageW(edit->Handle(), EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&tr));
    s.resize(static_cast<std::size_t>(got));
    return s;
}

COLORREF RangeColor(tk::TRichEdit* edit, int start, int end) {
    HWND h = edit->Handle();
    CHARRANGE saved{};
    ::SendMessageW(h, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&saved));
    CHARRANGE cr{start, end};
    ::SendMessageW(h, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&cr));
    CHARFORMAT2W cf = {};
    cf.cbSize = sizeof(cf);
    ::SendMessageW(h, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
    ::SendMessageW(h, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&saved));
    if (!(cf.dwMask & CFM_COLOR)) return CLR_INVALID;
    return cf.crTextColor;
}

COLORREF CaretColor(tk::TRichEdit* edit) {
    CHARFORMAT2W cf = {};
    cf.cbSize = sizeof(cf);
    ::SendMessageW(edit->Handle(), EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
    return cf.crTextColor;
}

void FillGrid(tk::TStringGrid* grid, const std::vector<TRow>& rows) {
    grid->SetRowCount(static_cast<int>(rows.size()) + 1);
    int r = 1;
    for (const TRow& row : rows) {
        grid->SetCells(0, r, std::to_wstring(r));
        grid->SetCells(1, r, row.type);
        grid->SetCells(2, r, row.function);
        grid->SetCells(3, r, row.data);
        grid->SetRowHeights(r, 18);
        ++r;
    }
}

std::string Hex(const std::string& bytes) {
    std::string s;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        s += b;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

}  // namespace wintest
