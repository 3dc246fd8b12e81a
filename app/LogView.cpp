#include "LogView.h"

#include <algorithm>
#include <climits>

#include "SysUtils.h"

namespace {

constexpr UINT_PTR kSettleTimer = 1;

// Lines are ASCII but for notes, which are UTF-8.
std::wstring Widen(const std::string& utf8) {
    bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; });
    if (ascii) return std::wstring(utf8.begin(), utf8.end());
    return tk::Utf8ToWide(utf8);
}

}  // namespace

TLogView::TLogView(tk::TComponent* owner) : tk::TCustomControl(owner) {
    SetDefaultColor(tk::clWindow, false);
    SetCursor(tk::crIBeam);
}

TLogView::~TLogView() {
    // The window goes while the view is whole (painting reads the store).
    DestroyHandle();
    if (font_) DeleteObject(font_);
}

void TLogView::SetLog(const EventLog* log) {
    log_ = log;
    anchor_ = caret_ = -1;
    follow_ = true;
    Settle();
}

void TLogView::SetOptions(const LogFormatOptions& options) {
    const bool remap = options.Mode != options_.Mode;
    options_ = options;
    if (remap) {
        // Line numbers mean other things in the other rendering.
        anchor_ = caret_ = -1;
        follow_ = true;
        widest_ = 0;
        left_ = 0;
    }
    Settle();
    Invalidate();
}

std::uint64_t TLogView::Lines() const { return log_ ? log_->LineCount(Hex()) : 0; }
std::uint64_t TLogView::Base() const { return log_ ? log_->LineBase(Hex()) : 0; }
int TLogView::LineHeight() const { return std::max(1, lineHeight_); }
int TLogView::PageLines() const { return std::max(1, ClientHeight() / LineHeight()); }

void TLogView::CreateParams(tk::TCreateParams& p) {
    tk::TCustomControl::CreateParams(p);
    p.Style |= WS_TABSTOP | WS_VSCROLL | WS_HSCROLL;
    p.ExStyle |= WS_EX_CLIENTEDGE;
}

void TLogView::CreateWnd() {
    tk::TCustomControl::CreateWnd();
    MeasureFont();
    UpdateScrollBars();
}

void TLogView::MeasureFont() {
    if (!font_) {
        // Fixed pitch keeps the hex columns in line.
        font_ = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            FIXED_PITCH | FF_MODERN, L"Courier New");
    }
    HDC dc = GetDC(Handle());
    if (!dc) return;
    HGDIOBJ old = SelectObject(dc, font_);
    TEXTMETRICW tm = {};
    if (GetTextMetricsW(dc, &tm)) {
        lineHeight_ = tm.tmHeight;
        charWidth_ = std::max<int>(1, tm.tmAveCharWidth);
    }
    SelectObject(dc, old);
    ReleaseDC(Handle(), dc);
}

void TLogView::Resize() {
    tk::TCustomControl::Resize();
    if (follow_) ScrollTo(LLONG_MAX);
    UpdateScrollBars();
}

void TLogView::LogChanged() {
    // Hidden, or a stream so dense that the timer never comes (timers wait
    // for an empty queue): settle now.
    if (!HandleAllocated() || !IsWindowVisible(Handle()) || GetTickCount64() - settledAt_ >= 3 * kSettleMs) {
        Settle();
        return;
    }
    if (!settlePending_) settlePending_ = SetTimer(Handle(), kSettleTimer, kSettleMs, nullptr) != 0;
    if (!settlePending_) Settle();
}

void TLogView::Settle() {
    if (settlePending_) {
        KillTimer(Handle(), kSettleTimer);
        settlePending_ = false;
    }
    settledAt_ = GetTickCount64();
    const std::int64_t base = static_cast<std::int64_t>(Base());
    if (anchor_ >= 0 && caret_ < base) anchor_ = caret_ = -1;  // the selection was dropped
    if (follow_ || top_ < base)
        ScrollTo(follow_ ? LLONG_MAX : base);
    else
        UpdateScrollBars();
}

void TLogView::ScrollTo(std::int64_t top) {
    const std::int64_t base = static_cast<std::int64_t>(Base());
    const std::int64_t lines = static_cast<std::int64_t>(Lines());
    const std::int64_t last = base + std::max<std::int64_t>(0, lines - PageLines());
    top = std::clamp(top, base, last);
    follow_ = top >= last;
    if (top != top_ || !HandleAllocated()) {
        top_ = top;
        Invalidate();
    } else if (follow_) {
        Invalidate();  // new lines at the bottom
    }
    UpdateScrollBars();
}

void TLogView::ScrollSideways(int column) {
    const int page = std::max(1, ClientWidth() / charWidth_);
    column = std::clamp(column, 0, std::max(0, widest_ - page + 1));
    if (column != left_) {
        left_ = column;
        Invalidate();
    }
    UpdateScrollBars();
}

void TLogView::UpdateScrollBars() {
    if (!HandleAllocated()) return;
    // The bar works in ints; a store of more lines than that scrolls in steps.
    const std::int64_t lines = static_cast<std::int64_t>(Lines());
    SCROLLINFO si = {sizeof(si), SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL, 0, 0, 0, 0, 0};
    si.nMax = static_cast<int>(std::min<std::int64_t>(std::max<std::int64_t>(0, lines - 1), INT_MAX - 1));
    si.nPage = static_cast<UINT>(PageLines());
    si.nPos = static_cast<int>(std::min<std::int64_t>(top_ - static_cast<std::int64_t>(Base()), INT_MAX - 1));
    SetScrollInfo(Handle(), SB_VERT, &si, TRUE);
    SCROLLINFO hi = {sizeof(hi), SIF_RANGE | SIF_PAGE | SIF_POS, 0, 0, 0, 0, 0};
    hi.nMax = widest_;
    hi.nPage = static_cast<UINT>(std::max(1, ClientWidth() / charWidth_));
    hi.nPos = left_;
    SetScrollInfo(Handle(), SB_HORZ, &hi, TRUE);
}

void TLogView::VScroll(int code) {
    const std::int64_t page = PageLines();
    switch (code) {
        case SB_LINEUP: ScrollTo(top_ - 1); break;
        case SB_LINEDOWN: ScrollTo(top_ + 1); break;
        case SB_PAGEUP: ScrollTo(top_ - page); break;
        case SB_PAGEDOWN: ScrollTo(top_ + page); break;
        case SB_TOP: ScrollTo(0); break;
        case SB_BOTTOM: ScrollTo(LLONG_MAX); break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
            SCROLLINFO si = {sizeof(si), SIF_TRACKPOS, 0, 0, 0, 0, 0};
            GetScrollInfo(Handle(), SB_VERT, &si);
            ScrollTo(static_cast<std::int64_t>(Base()) + si.nTrackPos);
            break;
        }
        default: break;
    }
}

void TLogView::HScroll(int code) {
    const int page = std::max(1, ClientWidth() / charWidth_);
    switch (code) {
        case SB_LINELEFT: ScrollSideways(left_ - 1); break;
        case SB_LINERIGHT: ScrollSideways(left_ + 1); break;
        case SB_PAGELEFT: ScrollSideways(left_ - page); break;
        case SB_PAGERIGHT: ScrollSideways(left_ + page); break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
            SCROLLINFO si = {sizeof(si), SIF_TRACKPOS, 0, 0, 0, 0, 0};
            GetScrollInfo(Handle(), SB_HORZ, &si);
            ScrollSideways(si.nTrackPos);
            break;
        }
        default: UpdateScrollBars(); break;
    }
}

std::int64_t TLogView::LineAt(int y) const {
    const std::int64_t line = top_ + (y < 0 ? -1 : y / LineHeight());
    const std::int64_t base = static_cast<std::int64_t>(Base());
    return std::clamp<std::int64_t>(line, base, base + static_cast<std::int64_t>(Lines()) - 1);
}

void TLogView::Select(std::int64_t line, bool extend) {
    if (Lines() == 0) return;
    if (!extend || anchor_ < 0) anchor_ = line;
    caret_ = line;
    if (caret_ < top_)
        ScrollTo(caret_);
    else if (caret_ >= top_ + PageLines())
        ScrollTo(caret_ - PageLines() + 1);
    Invalidate();
}

std::wstring TLogView::LineText(std::uint64_t absLine) const {
    return Widen(FormatLogLine(*log_, absLine - Base(), options_));
}

std::wstring TLogView::SelectedText() const {
    std::wstring text;
    if (!log_ || anchor_ < 0) return text;
    const std::int64_t base = static_cast<std::int64_t>(Base());
    const std::int64_t end = base + static_cast<std::int64_t>(Lines());
    for (std::int64_t l = std::max(base, std::min(anchor_, caret_)); l <= std::max(anchor_, caret_) && l < end; ++l)
        text += LineText(static_cast<std::uint64_t>(l)) + L"\r\n";
    return text;
}

void TLogView::CopySelection() {
    const std::wstring text = SelectedText();
    if (text.empty() || !OpenClipboard(Handle())) return;
    EmptyClipboard();
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* p = GlobalLock(mem)) {
            memcpy(p, text.c_str(), bytes);
            GlobalUnlock(mem);
            if (!SetClipboardData(CF_UNICODETEXT, mem)) GlobalFree(mem);
        } else {
            GlobalFree(mem);
        }
    }
    CloseClipboard();
}

std::wstring TLogView::NewestText() const {
    std::wstring text;
    if (!log_) return text;
    // Newest lines, whole, until the amount is reached; then in order.
    std::vector<std::wstring> lines;
    std::size_t size = 0;
    for (std::uint64_t n = Lines(); n > 0 && size < kAccessibleText; --n) {
        lines.push_back(Widen(FormatLogLine(*log_, n - 1, options_)) + L"\r\n");
        size += lines.back().size();
    }
    text.reserve(size);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) text += *it;
    return text;
}

void TLogView::KeyDown(WORD& key, tk::TShiftState shift) {
    tk::TCustomControl::KeyDown(key, shift);
    const bool extend = shift.Contains(tk::ssShift);
    const std::int64_t base = static_cast<std::int64_t>(Base());
    const std::int64_t last = base + static_cast<std::int64_t>(Lines()) - 1;
    const std::int64_t at = caret_ >= 0 ? caret_ : top_;
    switch (key) {
        case 'C':
        case VK_INSERT:
            if (shift.Contains(tk::ssCtrl)) CopySelection();
            return;
        case 'A':
            if (shift.Contains(tk::ssCtrl) && last >= base) {
                anchor_ = base;
                caret_ = last;
                Invalidate();
            }
            return;
        case VK_UP: Select(std::max(base, at - 1), extend); break;
        case VK_DOWN: Select(std::min(last, at + 1), extend); break;
        case VK_PRIOR:
            if (extend) Select(std::max(base, at - PageLines()), true); else ScrollTo(top_ - PageLines());
            break;
        case VK_NEXT:
            if (extend) Select(std::min(last, at + PageLines()), true); else ScrollTo(top_ + PageLines());
            break;
        case VK_HOME:
            if (shift.Contains(tk::ssCtrl)) ScrollTo(0); else ScrollSideways(0);
            break;
        case VK_END:
            if (shift.Contains(tk::ssCtrl)) ScrollTo(LLONG_MAX);
            break;
        default: return;
    }
    key = 0;
}

void TLogView::WndProc(tk::TMessage& m) {
    switch (m.Msg) {
        case WM_GETDLGCODE:
            m.Result = DLGC_WANTARROWS | DLGC_WANTCHARS;
            return;
        case WM_TIMER:
            if (m.WParam == kSettleTimer) {
                Settle();
                m.Result = 0;
                return;
            }
            break;
        case WM_VSCROLL:
        case WM_HSCROLL:
            if (m.LParam == 0) {
                if (m.Msg == WM_VSCROLL) VScroll(LOWORD(m.WParam)); else HScroll(LOWORD(m.WParam));
                m.Result = 0;
                return;
            }
            break;
        case WM_MOUSEWHEEL:
            ScrollTo(top_ - 3 * (GET_WHEEL_DELTA_WPARAM(m.WParam) / WHEEL_DELTA));
            m.Result = 0;
            return;
        case WM_LBUTTONDOWN:
            SetFocus();
            SetCapture(Handle());
            selecting_ = true;
            Select(LineAt(static_cast<short>(HIWORD(m.LParam))), (m.WParam & MK_SHIFT) != 0);
            m.Result = 0;
            return;
        case WM_MOUSEMOVE:
            if (selecting_) Select(LineAt(static_cast<short>(HIWORD(m.LParam))), true);
            break;
        case WM_LBUTTONUP:
            if (selecting_) ReleaseCapture();
            selecting_ = false;
            break;
        case WM_CAPTURECHANGED:
            selecting_ = false;
            break;
        case WM_CHAR:
            // Control characters of the shortcuts above are not typed.
            if (onKeyChar_ && !(GetKeyState(VK_CONTROL) < 0 && (m.WParam == 3 || m.WParam == 1)))
                onKeyChar_(this, static_cast<wchar_t>(m.WParam));
            m.Result = 0;
            return;
        case WM_GETTEXTLENGTH:
            m.Result = static_cast<LRESULT>(NewestText().size());
            return;
        case WM_GETTEXT: {
            const std::wstring text = NewestText();
            const std::size_t room = static_cast<std::size_t>(m.WParam);
            auto* buf = reinterpret_cast<wchar_t*>(m.LParam);
            if (!buf || room == 0) {
                m.Result = 0;
                return;
            }
            const std::size_t n = std::min(room - 1, text.size());
            std::copy_n(text.c_str(), n, buf);
            buf[n] = L'\0';
            m.Result = static_cast<LRESULT>(n);
            return;
        }
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            Invalidate();
            break;
        default: break;
    }
    tk::TCustomControl::WndProc(m);
}

void TLogView::Paint(HDC dc, const RECT& client) {
    FillRect(dc, &client, tk::ColorBrush(Color()));
    if (!log_) return;
    tk::TSelectObject font(dc, font_ ? font_ : GetStockObject(ANSI_FIXED_FONT));
    SetBkMode(dc, OPAQUE);
    const std::int64_t base = static_cast<std::int64_t>(Base());
    const std::int64_t end = base + static_cast<std::int64_t>(Lines());
    const std::int64_t selFrom = std::min(anchor_, caret_), selTo = std::max(anchor_, caret_);
    const int lh = LineHeight();
    const int columns = (client.right - client.left) / charWidth_ + 2;
    int widest = widest_;
    // Old lines may have gone since the last settle.
    const std::int64_t top = std::max(top_, base);
    for (int row = 0; row * lh < client.bottom; ++row) {
        const std::int64_t line = top + row;
        if (line >= end) break;
        const std::uint64_t rel = static_cast<std::uint64_t>(line - base);
        const EventLog::LinePos pos = log_->Locate(rel, Hex());
        const std::wstring text = LineText(static_cast<std::uint64_t>(line));
        widest = std::max(widest, static_cast<int>(text.size()));
        const bool selected = anchor_ >= 0 && line >= selFrom && line <= selTo;
        tk::TColor fg = kRxColor;
        if (log_->At(pos.Event).Kind == LogEventKind::Tx) fg = kTxColor;
        if (log_->At(pos.Event).Kind == LogEventKind::Note) fg = kNoteColor;
        SetTextColor(dc, tk::ColorToRGB(selected ? tk::clHighlightText : fg));
        SetBkColor(dc, tk::ColorToRGB(selected ? tk::clHighlight : Color()));
        RECT r = {client.left, row * lh, client.right, row * lh + lh};
        // Only the characters that fit are drawn (the font is fixed pitch):
        // a line of a kilobyte costs no more than a short one.
        const std::size_t skip = std::min<std::size_t>(text.size(), static_cast<std::size_t>(left_));
        const std::size_t shown = std::min<std::size_t>(text.size() - skip, static_cast<std::size_t>(columns));
        ExtTextOutW(dc, 2, r.top, ETO_CLIPPED | ETO_OPAQUE, &r, text.c_str() + skip, static_cast<UINT>(shown),
                    nullptr);
    }
    if (Focused() && caret_ >= top && caret_ < top + PageLines()) {
        RECT f = {client.left, static_cast<int>(caret_ - top) * lh, client.right,
                  static_cast<int>(caret_ - top + 1) * lh};
        DrawFocusRect(dc, &f);
    }
    if (widest != widest_) {
        // Lines wider than any before: the sideways bar grows (after painting).
        widest_ = widest;
        PostMessageW(Handle(), WM_HSCROLL, SB_ENDSCROLL, 0);
    }
}
