#include "ComCtrls.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "SysUtils.h"

namespace tk {

namespace {

bool RunningOnWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// The rich edit library stays loaded for the life of the process.
struct RichEditLibrary {
    HMODULE module = nullptr;
    const wchar_t* className = nullptr;
    RichEditLibrary() {
        // Wine's msftedit.dll is a front for riched20.dll, which registers
        // RICHEDIT50W itself: loading riched20 alone gives the same control
        // and spares a library load at start-up.
        if (RunningOnWine()) {
            module = LoadLibraryW(L"riched20.dll");
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            if (module && GetClassInfoExW(nullptr, L"RICHEDIT50W", &wc)) {
                className = L"RICHEDIT50W";
                return;
            }
        }
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

// RTF carried from one window to the next, in UTF-8: the ANSI form passes
// characters through the font's code page with best-fit replacements (for
// a Thai font Wine turns U+00A7 into U+0015).
constexpr WPARAM kRtfUtf8 = SF_RTF | SF_USECODEPAGE | (static_cast<WPARAM>(CP_UTF8) << 16);

// Replacing a text of more lines than this starts from a new window: the
// control deletes paragraph by paragraph, each time walking all of them.
constexpr int kReplaceInNewWindowLines = 256;

struct TStreamBuffer {
    std::string data;
    std::size_t pos = 0;
};

DWORD CALLBACK StreamOut(DWORD_PTR cookie, LPBYTE buf, LONG n, LONG* done) {
    reinterpret_cast<TStreamBuffer*>(cookie)->data.append(reinterpret_cast<const char*>(buf),
                                                          static_cast<std::size_t>(n));
    *done = n;
    return 0;
}

DWORD CALLBACK StreamIn(DWORD_PTR cookie, LPBYTE buf, LONG n, LONG* done) {
    auto* in = reinterpret_cast<TStreamBuffer*>(cookie);
    const std::size_t k = std::min(static_cast<std::size_t>(n), in->data.size() - in->pos);
    std::memcpy(buf, in->data.data() + in->pos, k);
    in->pos += k;
    *done = static_cast<LONG>(k);
    return 0;
}

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
    TCustomMemo::CreateWnd();
    SetUpWindow();
    if (updateCount_ > 0) SendMessageW(Handle(), WM_SETREDRAW, FALSE, 0);
    if (std::unique_ptr<TCarried> c = std::move(carried_)) Restore(*c);
}

void TRichEdit::SetUpWindow() {
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
}

void TRichEdit::DestroyWnd() {
    // The text goes on as RTF, not as the plain window text.
    SetKeptText(L"");
    const int cut = std::exchange(keepFrom_, 0);
    tail_.valid = false;
    if (!carry_) return;
    auto c = std::make_unique<TCarried>();
    HWND h = Handle();
    const int length = GetTextLen();
    const int from = std::clamp(cut, 0, length);
    CHARRANGE sel{0, 0};
    SendMessageW(h, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&sel));
    c->sel = {std::max(0L, sel.cpMin - from), std::max(0L, sel.cpMax - from)};
    if (sel.cpMin == sel.cpMax) {
        // What text typed or received next would look like.
        c->caretFormat.cbSize = sizeof(c->caretFormat);
        SendMessageW(h, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&c->caretFormat));
        c->caretFormatKept = true;
    }
    POINT scroll{0, 0};
    SendMessageW(h, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scroll));
    POINTL at{0, 0};
    SendMessageW(h, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&at), from);
    // The kept text stays where it was on screen (at the top if it was below).
    c->scroll = {scroll.x, std::max(0L, -at.y)};
    c->focused = GetFocus() == h;
    c->paintingOff = Visible() && !(GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE);
    c->above = GetWindow(h, GW_HWNDPREV);
    if (from < length) {
        // Selecting what goes on must not paint the old window.
        SendMessageW(h, WM_SETREDRAW, FALSE, 0);
        CHARRANGE last{length - 1, length};
        SendMessageW(h, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&last));
        c->lastFormat.cbSize = sizeof(c->lastFormat);
        SendMessageW(h, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&c->lastFormat));
        CHARRANGE kept{from, length};
        SendMessageW(h, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&kept));
        TStreamBuffer out;
        EDITSTREAM es{reinterpret_cast<DWORD_PTR>(&out), 0, &StreamOut};
        SendMessageW(h, EM_STREAMOUT, kRtfUtf8 | SFF_SELECTION, reinterpret_cast<LPARAM>(&es));
        c->rtf = std::move(out.data);
        c->text = Range(from, length);
    }
    carried_ = std::move(c);
}

void TRichEdit::Restore(TCarried& c) {
    HWND h = Handle();
    SendMessageW(h, WM_SETREDRAW, FALSE, 0);
    if (!c.text.empty()) {
        TStreamBuffer in{std::move(c.rtf)};
        EDITSTREAM es{reinterpret_cast<DWORD_PTR>(&in), 0, &StreamIn};
        SendMessageW(h, EM_STREAMIN, kRtfUtf8, reinterpret_cast<LPARAM>(&es));
        std::wstring got = Range(0, GetTextLen());
        // The reader takes a closing paragraph mark for the text's own end.
        if (got.size() + 1 == c.text.size() && c.text.back() == L'\r' &&
            c.text.compare(0, got.size(), got) == 0) {
            CHARRANGE end{-1, -1};
            SendMessageW(h, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&end));
            SendMessageW(h, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&c.lastFormat));
            TMessage r{EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(L"\r"), 0};
            DefaultHandler(r);
            got += L'\r';
        }
        if (got != c.text) {
            // The RTF reader changed the text: the text matters more than
            // its formatting, so it goes as plain text into a fresh window
            // (emptying this one would cost what the new window saves).
            carry_ = false;
            DestroyHandle();
            carry_ = true;
            h = Handle();
            SendMessageW(h, WM_SETREDRAW, FALSE, 0);
            for (std::size_t pos = 0; pos < c.text.size(); pos += 4096) {
                const std::wstring piece = c.text.substr(pos, 4096);
                TMessage r{EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(piece.c_str()), 0};
                DefaultHandler(r);
            }
        }
    }
    SendMessageW(h, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&c.sel));
    if (c.caretFormatKept)
        SendMessageW(h, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&c.caretFormat));
    SendMessageW(h, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&c.scroll));
    SetWindowPos(h, c.above && IsWindow(c.above) ? c.above : HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
    if (updateCount_ == 0 && !c.paintingOff) {
        SendMessageW(h, WM_SETREDRAW, TRUE, 0);
        RedrawWindow(h, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE);
    }
    if (c.focused) ::SetFocus(h);
}

void TRichEdit::KeepFrom(int cut) {
    keepFrom_ = cut;
    RecreateWnd();
}

void TRichEdit::MakeRoom(int chars, int lines) {
    HWND h = Handle();
    const int length = GetTextLen();
    const int count = static_cast<int>(SendMessageW(h, EM_GETLINECOUNT, 0, 0));
    if (length + chars <= kMaxChars && count + lines <= kMaxLines) return;
    int cut = length - kKeptChars;
    if (count > kKeptLines)
        cut = std::max(cut, static_cast<int>(SendMessageW(h, EM_LINEINDEX, static_cast<WPARAM>(count - kKeptLines), 0)));
    if (cut <= 0) return;
    // Keep whole paragraphs where one starts close by.
    const std::wstring around = Range(cut - 1, std::min(length, cut + kMaxLineLength));
    const std::size_t mark = around.find(L'\r');
    if (mark != std::wstring::npos) cut += static_cast<int>(mark);
    KeepFrom(cut);
}

std::wstring TRichEdit::Range(int start, int end) {
    if (end <= start) return L"";
    std::wstring s(static_cast<std::size_t>(end - start) + 1, L'\0');
    TEXTRANGEW tr{{start, end}, s.data()};
    const LRESULT n = SendMessageW(Handle(), EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&tr));
    s.resize(static_cast<std::size_t>(std::clamp<LRESULT>(n, 0, end - start)));
    return s;
}

TRichEdit::TSpan TRichEdit::SpanAt(const CHARRANGE& sel, int length) {
    if (tail_.valid && sel.cpMin == sel.cpMax && sel.cpMin == tail_.caret && length == tail_.length)
        return tail_.span;
    // Paragraph marks read back as CR.
    TSpan span;
    if (sel.cpMin > 0) {
        const int from = std::max(0, static_cast<int>(sel.cpMin) - kMaxLineLength);
        const std::wstring t = Range(from, sel.cpMin);
        const std::size_t mark = t.rfind(L'\r');
        span.before = mark != std::wstring::npos ? static_cast<int>(t.size() - mark - 1)
                      : from == 0                ? static_cast<int>(t.size())
                                                 : kMaxLineLength;
    }
    if (sel.cpMax < length) {
        const int to = std::min(length, static_cast<int>(sel.cpMax) + kMaxLineLength);
        const std::wstring t = Range(sel.cpMax, to);
        const std::size_t mark = t.find(L'\r');
        span.after = mark != std::wstring::npos ? static_cast<int>(mark)
                     : to == length             ? static_cast<int>(t.size())
                                                : kMaxLineLength;
    }
    return span;
}

void TRichEdit::RememberTail(int lengthBefore, int stored, const TSpan& span) {
    CHARRANGE now{0, 0};
    SendMessageW(Handle(), EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&now));
    const int length = GetTextLen();
    tail_.valid = now.cpMin == now.cpMax && length == lengthBefore + stored;
    tail_.caret = now.cpMin;
    tail_.length = length;
    tail_.span = span;
}

void TRichEdit::ReplaceSel(TMessage& m) {
    const std::wstring_view s(reinterpret_cast<const wchar_t*>(m.LParam));
    // CR, LF and CR LF each end a paragraph.
    int marks = 0;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (s[i] == L'\r' || (s[i] == L'\n' && (i == 0 || s[i - 1] != L'\r'))) ++marks;
    const int breaks = static_cast<int>(s.size()) / kMaxLineLength + 2;
    MakeRoom(static_cast<int>(s.size()) + breaks, marks + breaks);

    HWND h = Handle();
    CHARRANGE sel{0, 0};
    SendMessageW(h, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&sel));
    const int length = GetTextLen();
    const TSpan span = SpanAt(sel, length);
    std::wstring out;
    out.reserve(s.size() + static_cast<std::size_t>(breaks));
    int stored = 0;
    int run = span.before;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const wchar_t ch = s[i];
        if (ch == L'\r' || ch == L'\n') {
            out += ch;
            if (ch == L'\r' || i == 0 || s[i - 1] != L'\r') ++stored;
            run = 0;
            continue;
        }
        if (run >= kMaxLineLength) {
            out += L'\r';
            ++stored;
            run = 0;
        }
        out += ch;
        ++stored;
        ++run;
    }
    // The text after the selection stays a paragraph of its own if joining
    // it would make one too long.
    if (run > 0 && span.after > 0 && run + span.after > kMaxLineLength) {
        out += L'\r';
        ++stored;
        run = 0;
    }
    TMessage r{EM_REPLACESEL, m.WParam, reinterpret_cast<LPARAM>(out.c_str()), 0};
    TCustomMemo::WndProc(r);
    m.Result = r.Result;
    RememberTail(length - static_cast<int>(sel.cpMax - sel.cpMin), stored, {run, span.after});
}

void TRichEdit::TypeChar(TMessage& m) {
    const wchar_t ch = static_cast<wchar_t>(LOWORD(m.WParam));
    // Typed control characters (BS, CR, ...) edit rather than insert.
    if (ReadOnly() || (ch < 0x20 && ch != L'\t')) {
        if (ch == L'\r' || ch == L'\n') MakeRoom(1, 1);
        tail_.valid = false;
        TCustomMemo::WndProc(m);
        return;
    }
    MakeRoom(2, 1);
    HWND h = Handle();
    CHARRANGE sel{0, 0};
    SendMessageW(h, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&sel));
    const int length = GetTextLen();
    const int lengthBefore = length - static_cast<int>(sel.cpMax - sel.cpMin);
    TSpan span = SpanAt(sel, length);
    int stored = 1;
    if (span.before >= kMaxLineLength) {
        TMessage r{EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(L"\r"), 0};
        TCustomMemo::WndProc(r);
        span.before = 0;
        ++stored;
    }
    TCustomMemo::WndProc(m);
    RememberTail(lengthBefore, stored, {span.before + 1, span.after});
}

void TRichEdit::ReplaceText(TMessage& m) {
    if (HandleAllocated() && SendMessageW(Handle(), EM_GETLINECOUNT, 0, 0) > kReplaceInNewWindowLines)
        KeepFrom(GetTextLen());
    tail_.valid = false;
    TCustomMemo::WndProc(m);
}

void TRichEdit::WndProc(TMessage& m) {
    switch (m.Msg) {
        case EM_REPLACESEL:
            if (m.LParam) {
                ReplaceSel(m);
                return;
            }
            break;
        case WM_CHAR:
            TypeChar(m);
            return;
        case WM_SETTEXT:
            ReplaceText(m);
            return;
        default:
            break;
    }
    TCustomMemo::WndProc(m);
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

void TStatusPanels::BeginUpdate() { ++bar_->updating_; }

void TStatusPanels::EndUpdate() {
    if (bar_->updating_ > 0 && --bar_->updating_ == 0) bar_->UpdatePanels();
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
    shown_ = TShown();
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
    if (updating_ > 0 || !HandleAllocated()) return;
    HWND h = Handle();
    if (!shown_.known || shown_.simple != simplePanel_) {
        SendMessageW(h, SB_SIMPLE, simplePanel_, 0);
        shown_.simple = simplePanel_;
        shown_.simpleText.reset();
        shown_.known = true;
    }
    if (simplePanel_) {
        if (shown_.simpleText != simpleText_) {
            SendMessageW(h, SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(simpleText_.c_str()));
            shown_.simpleText = simpleText_;
        }
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
    if (edges != shown_.edges) {
        SendMessageW(h, SB_SETPARTS, static_cast<WPARAM>(n), reinterpret_cast<LPARAM>(edges.data()));
        shown_.edges = std::move(edges);
        // Parts that stay keep their texts; new ones start empty.
        shown_.texts.resize(shown_.edges.size(), std::wstring());
    }
    if (shown_.texts.size() < static_cast<std::size_t>(panels_.Count()))
        shown_.texts.resize(static_cast<std::size_t>(panels_.Count()));
    for (int i = 0; i < panels_.Count(); ++i) {
        std::optional<std::wstring>& was = shown_.texts[static_cast<std::size_t>(i)];
        if (was == panels_[i].Text()) continue;
        SendMessageW(h, SB_SETTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(panels_[i].Text().c_str()));
        was = panels_[i].Text();
    }
}

}  // namespace tk
