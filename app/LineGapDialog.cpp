#include "LineGapDialog.h"

#include <cwctype>
#include <string>
#include <vector>

namespace {

constexpr int kEditId = 100;

// A dialog template built in memory: no resource needed, so the dialog
// works in every build of the program.
class TTemplate {
public:
    TTemplate(const wchar_t* caption, short cx, short cy) {
        const DWORD style = DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
        Dword(style);
        Dword(0);
        countAt_ = words_.size();
        Word(0);  // items, counted as they are added
        for (short v : {short(0), short(0), cx, cy}) Word(static_cast<WORD>(v));
        Word(0);  // no menu
        Word(0);  // the standard dialog class
        Text(caption);
        Word(8);
        Text(L"MS Shell Dlg");
    }

    void Item(WORD atom, DWORD style, short x, short y, short cx, short cy, int id, const wchar_t* text) {
        if (words_.size() % 2) Word(0);  // items start on a DWORD
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(0);
        for (short v : {x, y, cx, cy}) Word(static_cast<WORD>(v));
        Word(static_cast<WORD>(id));
        Word(0xFFFF);
        Word(atom);
        Text(text);
        Word(0);  // no creation data
        ++words_[countAt_];
    }

    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void Word(WORD w) { words_.push_back(w); }
    void Dword(DWORD d) {
        Word(LOWORD(d));
        Word(HIWORD(d));
    }
    void Text(const wchar_t* s) {
        for (; *s; ++s) Word(static_cast<WORD>(*s));
        Word(0);
    }

    std::vector<WORD> words_;
    std::size_t countAt_ = 0;
};

constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082;

INT_PTR CALLBACK LineGapProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrW(dlg, DWLP_USER, lParam);
        const auto ms = *reinterpret_cast<const std::int64_t*>(lParam);
        SetDlgItemTextW(dlg, kEditId, std::to_wstring(ms).c_str());
        HWND edit = GetDlgItem(dlg, kEditId);
        SendMessageW(edit, EM_SETSEL, 0, -1);
        SetFocus(edit);
        return FALSE;  // the focus is set
    }
    if (msg != WM_COMMAND) return FALSE;
    if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
    }
    if (LOWORD(wParam) != IDOK) return FALSE;
    HWND edit = GetDlgItem(dlg, kEditId);
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(edit, text.data(), static_cast<int>(text.size()))));
    const std::optional<std::int64_t> ms = ParseLineGapMs(text);
    if (!ms) {
        // The bounds stand beside the field; the user types again.
        MessageBeep(MB_ICONWARNING);
        SendMessageW(edit, EM_SETSEL, 0, -1);
        SetFocus(edit);
        return TRUE;
    }
    *reinterpret_cast<std::int64_t*>(GetWindowLongPtrW(dlg, DWLP_USER)) = *ms;
    EndDialog(dlg, IDOK);
    return TRUE;
}

}  // namespace

std::optional<std::int64_t> ParseLineGapMs(std::wstring_view text) {
    while (!text.empty() && std::iswspace(text.front())) text.remove_prefix(1);
    while (!text.empty() && std::iswspace(text.back())) text.remove_suffix(1);
    if (text.empty() || text.size() > 9) return std::nullopt;
    std::int64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + (c - L'0');
    }
    if (value < kMinLineGapMs || value > kMaxLineGapMs) return std::nullopt;
    return value;
}

bool AskLineGapMs(HWND owner, std::int64_t& ms) {
    TTemplate t(kLineGapCaption, 186, 62);
    t.Item(kStatic, SS_LEFT, 7, 7, 172, 9, -1, L"&Silence that ends a received line:");
    t.Item(kEdit, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 7, 19, 50, 12, kEditId, L"");
    const std::wstring bounds =
        L"ms (" + std::to_wstring(kMinLineGapMs) + L" to " + std::to_wstring(kMaxLineGapMs) + L")";
    t.Item(kStatic, SS_LEFT, 61, 21, 118, 9, -1, bounds.c_str());
    t.Item(kButton, BS_DEFPUSHBUTTON | WS_TABSTOP, 75, 41, 50, 14, IDOK, L"OK");
    t.Item(kButton, BS_PUSHBUTTON | WS_TABSTOP, 129, 41, 50, 14, IDCANCEL, L"Cancel");
    std::int64_t value = ms;
    const INT_PTR r = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.Get(), owner, &LineGapProc,
                                              reinterpret_cast<LPARAM>(&value));
    if (r != IDOK) return false;
    ms = value;
    return true;
}
