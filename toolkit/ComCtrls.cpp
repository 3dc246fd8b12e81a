#include "ComCtrls.h"

#include <commctrl.h>

#include <algorithm>

#include "SysUtils.h"

namespace tk {

namespace {

// The rich edit library stays loaded for the life of the process.
struct RichEditLibrary {
    HMODULE module = nullptr;
    const wchar_t* className = nullptr;
    RichEditLibrary() {
        module = LoadLibraryW(L"msftedit.dll");
        if (module) {
            className = L"RICHEDIT50W";
            return;
        }
        module = LoadLibraryW(L"riched20.dll");
        if (module) className = RICHEDIT_CLASSW;
    }
};

const RichEditLibrary& RichEdit() {
    static RichEditLibrary lib;
    if (!lib.className) throw Exception(L"No rich edit control is available (msftedit.dll, riched20.dll)");
    return lib;
}

int PixelsPerInch() {
    HDC dc = GetDC(nullptr);
    int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc) ReleaseDC(nullptr, dc);
    return dpi > 0 ? dpi : 96;
}

// Font height in pixels (TFont::Height) <-> twips of a character format.
LONG HeightToTwips(int height) {
    int points20 = MulDiv(std::abs(height), 1440, PixelsPerInch());
    return points20;
}
int TwipsToHeight(LONG twips) { return -MulDiv(twips, PixelsPerInch(), 1440); }

void FontToFormat(const TFont& font, CHARFORMAT2W& cf) {
    cf.dwMask |= CFM_FACE | CFM_SIZE | CFM_CHARSET | CFM_COLOR | CFM_BOLD | CFM_ITALIC | CFM_UNDERLINE | CFM_STRIKEOUT;
    lstrcpynW(cf.szFaceName, font.Name().c_str(), LF_FACESIZE);
    cf.yHeight = HeightToTwips(font.Height());
    cf.bCharSet = font.Charset();
    cf.crTextColor = ColorToRGB(font.Color());
    cf.dwEffects = 0;
    if (font.Style().Contains(fsBold)) cf.dwEffects |= CFE_BOLD;
    if (font.Style().Contains(fsItalic)) cf.dwEffects |= CFE_ITALIC;
    if (font.Style().Contains(fsUnderline)) cf.dwEffects |= CFE_UNDERLINE;
    if (font.Style().Contains(fsStrikeOut)) cf.dwEffects |= CFE_STRIKEOUT;
}

}  // namespace

// --- TTextAttributes ---------------------------------------------------------------

CHARFORMAT2W TTextAttributes::Get() const {
    CHARFORMAT2W cf = {};
    cf.cbSize = sizeof(cf);
    SendMessageW(edit_->Handle(), EM_GETCHARFORMAT, selection_ ? SCF_SELECTION : SCF_DEFAULT,
                 reinterpret_cast<LPARAM>(&cf));
    return cf;
}

void TTextAttributes::Set(CHARFORMAT2W& cf) {
    cf.cbSize = sizeof(cf);
    SendMessageW(edit_->Handle(), EM_SETCHARFORMAT, selection_ ? SCF_SELECTION : SCF_DEFAULT,
                 reinterpret_cast<LPARAM>(&cf));
}

TColor TTextAttributes::Color() const {
    CHARFORMAT2W cf = Get();
    if (cf.dwEffects & CFE_AUTOCOLOR) return clWindowText;
    return cf.crTextColor;
}

void TTextAttributes::SetColor(TColor color) {
    CHARFORMAT2W cf = {};
    cf.dwMask = CFM_COLOR;
    if (color == clWindowText)
        cf.dwEffects = CFE_AUTOCOLOR;
    else
        cf.crTextColor = ColorToRGB(color);
    Set(cf);
}

std::wstring TTextAttributes::Name() const { return Get().szFaceName; }

void TTextAttributes::SetName(const std::wstring& name) {
    CHARFORMAT2W cf = {};
    cf.dwMask = CFM_FACE;
    lstrcpynW(cf.szFaceName, name.c_str(), LF_FACESIZE);
    Set(cf);
}

int TTextAttributes::Height() const { return TwipsToHeight(Get().yHeight); }

void TTextAttributes::SetHeight(int height) {
    CHARFORMAT2W cf = {};
    cf.dwMask = CFM_SIZE;
    cf.yHeight = HeightToTwips(height);
    Set(cf);
}

TFontStyles TTextAttributes::Style() const {
    CHARFORMAT2W cf = Get();
    TFontStyles s;
    if (cf.dwEffects & CFE_BOLD) s.Include(fsBold);
    if (cf.dwEffects & CFE_ITALIC) s.Include(fsItalic);
    if (cf.dwEffects & CFE_UNDERLINE) s.Include(fsUnderline);
    if (cf.dwEffects & CFE_STRIKEOUT) s.Include(fsStrikeOut);
    return s;
}

void TTextAttributes::SetStyle(TFontStyles style) {
    CHARFORMAT2W cf = {};
    cf.dwMask = CFM_BOLD | CFM_ITALIC | CFM_UNDERLINE | CFM_STRIKEOUT;
    if (style.Contains(fsBold)) cf.dwEffects |= CFE_BOLD;
    if (style.Contains(fsItalic)) cf.dwEffects |= CFE_ITALIC;
    if (style.Contains(fsUnderline)) cf.dwEffects |= CFE_UNDERLINE;
    if (style.Contains(fsStrikeOut)) cf.dwEffects |= CFE_STRIKEOUT;
    Set(cf);
}

BYTE TTextAttributes::Charset() const { return Get().bCharSet; }

void TTextAttributes::Assign(const TFont& font) {
    CHARFORMAT2W cf = {};
    FontToFormat(font, cf);
    Set(cf);
}

// --- TRichEditStrings ------------------------------------------------------------------

void TRichEditStrings::InsertObject(int index, const std::wstring& s, TObject* object) {
    HWND h = memo_->Handle();
    CHARFORMAT2W cf = {};
    cf.cbSize = sizeof(cf);
    SendMessageW(h, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
    // Moving the caret would give the new text the attributes found there;
    // it takes the ones of the selection as it was instead.
    LRESULT start = SendMessageW(h, EM_LINEINDEX, static_cast<WPARAM>(index), 0);
    std::wstring line;
    if (index < 0) {
        TEditStrings::InsertObject(index, s, object);  // raises
        return;
    }
    if (start >= 0) {
        line = s + L"\r";
    } else {
        start = SendMessageW(h, EM_LINEINDEX, static_cast<WPARAM>(index - 1), 0);
        if (start < 0) {
            TEditStrings::InsertObject(index, s, object);  // raises
            return;
        }
        start += SendMessageW(h, EM_LINELENGTH, static_cast<WPARAM>(start), 0);
        line = L"\r" + s;
    }
    CHARRANGE cr{static_cast<LONG>(start), static_cast<LONG>(start)};
    SendMessageW(h, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&cr));
    SendMessageW(h, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
    SendMessageW(h, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
}

// --- TRichEdit ----------------------------------------------------------------------------

TRichEdit::TRichEdit(TComponent* owner) : TCustomMemo(owner), selAttributes_(this, true), defAttributes_(this, false) {
    delete lines_;
    lines_ = new TRichEditStrings(this);
}

const wchar_t* TRichEdit::WindowClassName() { return RichEdit().className; }

void TRichEdit::CreateParams(TCreateParams& p) {
    TCustomMemo::CreateParams(p);
    p.ClassName = WindowClassName();
    p.Style &= ~static_cast<DWORD>(ES_AUTOHSCROLL);
    if (!WordWrap()) p.Style |= ES_AUTOHSCROLL;
}

void TRichEdit::CreateWnd() {
    std::wstring text = Text();
    TCustomMemo::CreateWnd();
    HWND h = Handle();
    // The default limit is 32K characters; a log grows beyond that.
    SendMessageW(h, EM_EXLIMITTEXT, 0, 0x7FFFFFFE);
    SendMessageW(h, EM_SETTARGETDEVICE, 0, WordWrap() ? 0 : 1);
    SendMessageW(h, EM_SETEVENTMASK, 0, ENM_CHANGE);
    CHARFORMAT2W cf = {};
    cf.cbSize = sizeof(cf);
    FontToFormat(Font(), cf);
    SendMessageW(h, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&cf));
    SendMessageW(h, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&cf));
    SendMessageW(h, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(ColorToRGB(Color())));
    (void)text;
}

void TRichEdit::FontChanged() {
    if (!HandleAllocated()) return;
    CHARFORMAT2W cf = {};
    cf.cbSize = sizeof(cf);
    FontToFormat(Font(), cf);
    SendMessageW(Handle(), EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&cf));
}

void TRichEdit::GetSel(int& start, int& end) {
    CHARRANGE cr{0, 0};
    SendMessageW(Handle(), EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&cr));
    start = cr.cpMin;
    end = cr.cpMax;
}

void TRichEdit::SetSel(int start, int end) {
    CHARRANGE cr{start, end};
    SendMessageW(Handle(), EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&cr));
}

int TRichEdit::GetTextLen() {
    GETTEXTLENGTHEX gl{GTL_NUMCHARS | GTL_PRECISE, 1200};
    return static_cast<int>(SendMessageW(Handle(), EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&gl), 0));
}

// --- TStatusBar ------------------------------------------------------------------------------

void TStatusPanel::SetText(const std::wstring& text) {
    text_ = text;
    if (bar_) bar_->UpdatePanels();
}

void TStatusPanel::SetWidth(int width) {
    width_ = width;
    if (bar_) bar_->UpdatePanels();
}

TStatusPanels::~TStatusPanels() {
    for (TStatusPanel* p : panels_) delete p;
}

TStatusPanel& TStatusPanels::Add() {
    auto* p = new TStatusPanel;
    p->bar_ = bar_;
    panels_.push_back(p);
    bar_->UpdatePanels();
    return *p;
}

TStatusPanel& TStatusPanels::operator[](int index) {
    if (index < 0 || index >= Count()) throw EListError(Format(L"List index out of bounds (%d)", {index}));
    return *panels_[static_cast<std::size_t>(index)];
}

void TStatusPanels::Clear() {
    for (TStatusPanel* p : panels_) delete p;
    panels_.clear();
    bar_->UpdatePanels();
}

TStatusBar::TStatusBar(TComponent* owner) : TWinControl(owner), panels_(this) {
    static bool initialised = [] {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES};
        return InitCommonControlsEx(&icc) != FALSE;
    }();
    (void)initialised;
    SetDefaultColor(clBtnFace, false);
    SetBoundsInternal(0, 0, 200, 19);
    SetAlign(alBottom);
}

TStatusBar::~TStatusBar() { DestroyHandle(); }

void TStatusBar::Resize() {
    TWinControl::Resize();
    Invalidate();
}

void TStatusBar::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.ClassName = STATUSCLASSNAMEW;
    // We place the bar ourselves (Align), so it must not move itself.
    p.Style |= CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER | (sizeGrip_ ? SBARS_SIZEGRIP : 0);
    p.Style &= ~static_cast<DWORD>(WS_CLIPSIBLINGS);
}

void TStatusBar::CreateWnd() {
    TWinControl::CreateWnd();
    UpdatePanels();
}

void TStatusBar::SetSimplePanel(bool value) {
    simplePanel_ = value;
    UpdatePanels();
}

void TStatusBar::SetSimpleText(const std::wstring& text) {
    simpleText_ = text;
    UpdatePanels();
}

void TStatusBar::SetSizeGrip(bool value) {
    if (value == sizeGrip_) return;
    sizeGrip_ = value;
    RecreateWnd();
}

void TStatusBar::UpdatePanels() {
    if (!HandleAllocated()) return;
    HWND h = Handle();
    SendMessageW(h, SB_SIMPLE, simplePanel_, 0);
    if (simplePanel_) {
        SendMessageW(h, SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(simpleText_.c_str()));
        return;
    }
    int n = std::max(1, panels_.Count());
    std::vector<int> edges(static_cast<std::size_t>(n), -1);
    int x = 0;
    // The last panel reaches to the right edge.
    for (int i = 0; i + 1 < panels_.Count(); ++i) {
        x += panels_[i].Width();
        edges[static_cast<std::size_t>(i)] = x;
    }
    SendMessageW(h, SB_SETPARTS, static_cast<WPARAM>(n), reinterpret_cast<LPARAM>(edges.data()));
    for (int i = 0; i < panels_.Count(); ++i)
        SendMessageW(h, SB_SETTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(panels_[i].Text().c_str()));
}

}  // namespace tk
