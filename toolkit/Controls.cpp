#include "Controls.h"

#include <windowsx.h>

#include <algorithm>
#include <map>

#include "Application.h"
#include "Menus.h"
#include "SysUtils.h"

namespace tk {

namespace {

const wchar_t kControlProp[] = L"tk.Control";
const wchar_t kWindowClass[] = L"TkWindow";

ATOM RegisterToolkitClass(WNDPROC proc) {
    static ATOM atom = 0;
    if (atom) return atom;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    // The program's own icon if it has one, else the system's. The system's
    // comes in its small size too: given only the large one, the system makes
    // the small one by copying at registration (milliseconds under Wine).
    wc.hIcon = LoadIconW(GetModuleHandleW(nullptr), L"MAINICON");
    if (!wc.hIcon) wc.hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1));
    if (!wc.hIcon) {
        wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
        wc.hIconSm = static_cast<HICON>(LoadImageW(nullptr, IDI_APPLICATION, IMAGE_ICON,
                                                   GetSystemMetrics(SM_CXSMICON),
                                                   GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    }
    wc.lpszClassName = kWindowClass;
    atom = RegisterClassExW(&wc);
    if (!atom) RaiseLastOSError();
    return atom;
}

UINT_PTR NextControlId() {
    static UINT_PTR id = 100;
    if (++id > 0xFFF0) id = 101;
    return id;
}

LPCWSTR CursorResource(TCursor c) {
    switch (c) {
        case crCross: return IDC_CROSS;
        case crIBeam: return IDC_IBEAM;
        case crSizeNS: return IDC_SIZENS;
        case crSizeWE: return IDC_SIZEWE;
        case crHourGlass: return IDC_WAIT;
        case crHandPoint: return IDC_HAND;
        default: return IDC_ARROW;
    }
}

}  // namespace

COLORREF ColorToRGB(TColor color) {
    if ((color & 0xFF000000u) == clSystemColor) return GetSysColor(static_cast<int>(color & 0xFFu));
    return color & 0x00FFFFFFu;
}

HBRUSH ColorBrush(TColor color) {
    if ((color & 0xFF000000u) == clSystemColor) return GetSysColorBrush(static_cast<int>(color & 0xFFu));
    static std::map<TColor, HBRUSH> cache;  // lives as long as the process
    auto it = cache.find(color);
    if (it != cache.end()) return it->second;
    HBRUSH b = CreateSolidBrush(ColorToRGB(color));
    cache.emplace(color, b);
    return b;
}

// --- TFont ---------------------------------------------------------------------

TFont::TFont() = default;

TFont::~TFont() {
    if (handle_) DeleteObject(handle_);
}

void TFont::Assign(const TFont& other) {
    if (&other == this) return;
    name_ = other.name_;
    height_ = other.height_;
    style_ = other.style_;
    color_ = other.color_;
    charset_ = other.charset_;
    Changed();
}

void TFont::SetName(const std::wstring& name) {
    if (name == name_) return;
    name_ = name;
    Changed();
}

void TFont::SetHeight(int height) {
    if (height == height_) return;
    height_ = height;
    Changed();
}

namespace {
int ScreenDpi() {
    HDC dc = GetDC(nullptr);
    int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc) ReleaseDC(nullptr, dc);
    return dpi > 0 ? dpi : 96;
}
}  // namespace

int TFont::Size() const { return -MulDiv(height_, 72, ScreenDpi()); }
void TFont::SetSize(int points) { SetHeight(-MulDiv(points, ScreenDpi(), 72)); }

void TFont::SetStyle(TFontStyles style) {
    if (style == style_) return;
    style_ = style;
    Changed();
}

void TFont::SetColor(TColor color) {
    if (color == color_) return;
    color_ = color;
    Changed();
}

void TFont::SetCharset(BYTE charset) {
    if (charset == charset_) return;
    charset_ = charset;
    Changed();
}

LOGFONTW TFont::LogFont() const {
    LOGFONTW lf = {};
    lf.lfHeight = height_;
    lf.lfWeight = style_.Contains(fsBold) ? FW_BOLD : FW_NORMAL;
    lf.lfItalic = style_.Contains(fsItalic);
    lf.lfUnderline = style_.Contains(fsUnderline);
    lf.lfStrikeOut = style_.Contains(fsStrikeOut);
    lf.lfCharSet = charset_;
    lf.lfQuality = DEFAULT_QUALITY;
    lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
    lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    lf.lfPitchAndFamily = DEFAULT_PITCH;
    lstrcpynW(lf.lfFaceName, name_.c_str(), LF_FACESIZE);
    return lf;
}

HFONT TFont::Handle() const {
    if (!handle_) {
        LOGFONTW lf = LogFont();
        handle_ = CreateFontIndirectW(&lf);
        if (!handle_) handle_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    }
    return handle_;
}

void TFont::Changed() {
    if (handle_) {
        DeleteObject(handle_);
        handle_ = nullptr;
    }
    if (onChange_) onChange_(this);
}

// --- shift states ----------------------------------------------------------------

TShiftState MouseShiftState(WPARAM keyFlags) {
    TShiftState s;
    if (keyFlags & MK_SHIFT) s.Include(ssShift);
    if (keyFlags & MK_CONTROL) s.Include(ssCtrl);
    if (keyFlags & MK_LBUTTON) s.Include(ssLeft);
    if (keyFlags & MK_RBUTTON) s.Include(ssRight);
    if (keyFlags & MK_MBUTTON) s.Include(ssMiddle);
    if (GetKeyState(VK_MENU) < 0) s.Include(ssAlt);
    return s;
}

TShiftState KeyboardShiftState() {
    TShiftState s;
    if (GetKeyState(VK_SHIFT) < 0) s.Include(ssShift);
    if (GetKeyState(VK_CONTROL) < 0) s.Include(ssCtrl);
    if (GetKeyState(VK_MENU) < 0) s.Include(ssAlt);
    return s;
}

// --- TWinControl -------------------------------------------------------------------

TWinControl::TWinControl(TComponent* owner) : TComponent(owner) {
    windowProc_ = TWndMethod(this, &TWinControl::WndProc);
    font_.SetOnChange(TNotifyEvent(this, &TWinControl::FontChange));
}

TWinControl::~TWinControl() {
    // Whoever hooked the message handler may already be gone; the window
    // is going away, so its last messages go to the control itself.
    windowProc_ = TWndMethod(this, &TWinControl::WndProc);
    if (popupMenu_) popupMenu_->RemoveFreeNotification(this);
    // Child controls go with their parent.
    while (!controls_.empty()) {
        TWinControl* c = controls_.back();
        delete c;  // removes itself from controls_
    }
    if (handle_) {
        HWND h = handle_;
        DestroyWindow(h);
        if (handle_ == h) Detach();
    }
    if (parent_) parent_->RemoveControl(this);
}

TWinControl* TWinControl::FindControl(HWND wnd) {
    if (!wnd) return nullptr;
    return static_cast<TWinControl*>(GetPropW(wnd, kControlProp));
}

void TWinControl::SetParent(TWinControl* parent) {
    if (parent == parent_) return;
    if (parent == this) throw Exception(L"A control cannot be its own parent");
    if (handle_) DestroyHandle();
    if (parent_) parent_->RemoveControl(this);
    parent_ = parent;
    if (parent_) {
        parent_->InsertControl(this);
        if (parentFont_) ParentFontChanged();
        if (parentColor_) ParentColorChanged();
        UpdateAnchorRules();
        if (align_ != alNone) parent_->RequestAlign();
        if (parent_->HandleAllocated()) Handle();
    }
}

void TWinControl::InsertControl(TWinControl* c) { controls_.push_back(c); }

void TWinControl::RemoveControl(TWinControl* c) {
    controls_.erase(std::remove(controls_.begin(), controls_.end(), c), controls_.end());
    if (c->align_ != alNone && !IsDestroying()) RequestAlign();
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
    SetBoundsInternal(left, top, width, height);
    UpdateAnchorRules();
    if (align_ != alNone && parent_) parent_->RequestAlign();
}

void TWinControl::SetBoundsInternal(int left, int top, int width, int height) {
    if (width < 0) width = 0;
    if (height < 0) height = 0;
    bool sized = width != width_ || height != height_;
    if (left == left_ && top == top_ && !sized) return;
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    if (handle_) {
        SetWindowPos(handle_, nullptr, left, top, width, WindowHeight(height), SWP_NOZORDER | SWP_NOACTIVATE);
    } else if (sized) {
        AlignControls();
    }
}

void TWinControl::UpdateBoundsFromWindow() {
    if (!handle_) return;
    RECT r;
    GetWindowRect(handle_, &r);
    HWND parentWnd = (GetWindowLongW(handle_, GWL_STYLE) & WS_CHILD) ? GetParent(handle_) : nullptr;
    if (parentWnd) MapWindowPoints(nullptr, parentWnd, reinterpret_cast<POINT*>(&r), 2);
    left_ = r.left;
    top_ = r.top;
    width_ = r.right - r.left;
    height_ = r.bottom - r.top;
}

namespace {

// The frames windows of given styles get. AdjustWindowRectEx asks the
// window system each time (about 40 us under Wine), and laying out
// controls before their windows exist asks the same few questions over
// and over. Forgotten when the system's settings change.
struct TFrameCache {
    struct TEntry {
        DWORD style, exStyle;
        bool menu;
        RECT frame;
    };
    std::vector<TEntry> entries;

    RECT Frame(DWORD style, DWORD exStyle, bool menu) {
        for (const TEntry& e : entries)
            if (e.style == style && e.exStyle == exStyle && e.menu == menu) return e.frame;
        RECT frame = {0, 0, 0, 0};
        AdjustWindowRectEx(&frame, style, menu, exStyle);
        entries.push_back({style, exStyle, menu, frame});
        return frame;
    }
};

thread_local TFrameCache frames;

}  // namespace

RECT TWinControl::ClientRect() const {
    RECT r = {0, 0, 0, 0};
    if (handle_) {
        GetClientRect(handle_, &r);
        return r;
    }
    // No window yet: the outer size less the frame its styles would give.
    TCreateParams p;
    const_cast<TWinControl*>(this)->CreateParams(p);
    const RECT frame = frames.Frame(p.Style & ~(WS_VSCROLL | WS_HSCROLL), p.ExStyle, HasMenuBar());
    r.right = std::max(0L, width_ - (frame.right - frame.left));
    r.bottom = std::max(0L, height_ - (frame.bottom - frame.top));
    return r;
}

int TWinControl::ClientWidth() const { return ClientRect().right; }
int TWinControl::ClientHeight() const { return ClientRect().bottom; }

void TWinControl::SetClientWidth(int v) { SetWidth(width_ - ClientWidth() + v); }
void TWinControl::SetClientHeight(int v) { SetHeight(height_ - ClientHeight() + v); }

void TWinControl::SetAlign(TAlign align) {
    if (align == align_) return;
    align_ = align;
    if (parent_) parent_->RequestAlign();
}

void TWinControl::SetAnchors(TAnchors anchors) {
    anchors_ = anchors;
    UpdateAnchorRules();
}

void TWinControl::UpdateAnchorRules() {
    if (!parent_) return;
    anchorRight_ = parent_->ClientWidth() - (left_ + width_);
    anchorBottom_ = parent_->ClientHeight() - (top_ + height_);
}

void TWinControl::Loaded() {
    TComponent::Loaded();
    UpdateAnchorRules();
    if (!controls_.empty()) AlignControls();
}

void TWinControl::RequestAlign() {
    if (!IsDestroying()) AlignControls();
}

void TWinControl::AlignControls() {
    if (aligning_ || IsLoading() || controls_.empty()) return;
    aligning_ = true;
    RECT r = ClientRect();
    const int cw = r.right, ch = r.bottom;
    for (TAlign a : {alTop, alBottom, alLeft, alRight, alClient}) {
        for (TWinControl* c : controls_) {
            if (c->align_ != a || !c->visible_) continue;
            switch (a) {
                case alTop:
                    c->SetBoundsInternal(r.left, r.top, r.right - r.left, c->height_);
                    r.top += c->height_;
                    break;
                case alBottom:
                    c->SetBoundsInternal(r.left, r.bottom - c->height_, r.right - r.left, c->height_);
                    r.bottom -= c->height_;
                    break;
                case alLeft:
                    c->SetBoundsInternal(r.left, r.top, c->width_, r.bottom - r.top);
                    r.left += c->width_;
                    break;
                case alRight:
                    c->SetBoundsInternal(r.right - c->width_, r.top, c->width_, r.bottom - r.top);
                    r.right -= c->width_;
                    break;
                default:
                    c->SetBoundsInternal(r.left, r.top, r.right - r.left, r.bottom - r.top);
                    break;
            }
        }
    }
    for (TWinControl* c : controls_) {
        if (c->align_ != alNone) continue;
        int l = c->left_, t = c->top_, w = c->width_, h = c->height_;
        if (c->anchors_.Contains(akRight)) {
            if (c->anchors_.Contains(akLeft))
                w = cw - c->anchorRight_ - l;
            else
                l = cw - c->anchorRight_ - w;
        }
        if (c->anchors_.Contains(akBottom)) {
            if (c->anchors_.Contains(akTop))
                h = ch - c->anchorBottom_ - t;
            else
                t = ch - c->anchorBottom_ - h;
        }
        c->SetBoundsInternal(l, t, w, h);
    }
    aligning_ = false;
}

void TWinControl::SetParentFont(bool value) {
    parentFont_ = value;
    if (value && parent_) ParentFontChanged();
}

void TWinControl::ParentFontChanged() {
    settingParentFont_ = true;
    font_.Assign(parent_->font_);
    settingParentFont_ = false;
}

void TWinControl::FontChange(TObject*) {
    if (!settingParentFont_) parentFont_ = false;
    FontChanged();
}

void TWinControl::FontChanged() {
    if (handle_) {
        SendMessageW(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Handle()), TRUE);
        InvalidateRect(handle_, nullptr, TRUE);
    }
    for (TWinControl* c : controls_)
        if (c->parentFont_) c->ParentFontChanged();
}

void TWinControl::SetColor(TColor color) {
    parentColor_ = false;
    if (color == color_) return;
    color_ = color;
    ColorChanged();
}

void TWinControl::SetParentColor(bool value) {
    parentColor_ = value;
    if (value && parent_) ParentColorChanged();
}

void TWinControl::SetDefaultColor(TColor color, bool parentColor) {
    color_ = color;
    parentColor_ = parentColor;
}

void TWinControl::ParentColorChanged() {
    if (color_ == parent_->color_) return;
    color_ = parent_->color_;
    ColorChanged();
}

void TWinControl::ColorChanged() {
    if (handle_) InvalidateRect(handle_, nullptr, TRUE);
    for (TWinControl* c : controls_)
        if (c->parentColor_) c->ParentColorChanged();
}

std::wstring TWinControl::Text() const {
    if (!handle_) return text_;
    int n = GetWindowTextLengthW(handle_);
    std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
    n = GetWindowTextW(handle_, s.data(), n + 1);
    s.resize(static_cast<std::size_t>(n < 0 ? 0 : n));
    return s;
}

void TWinControl::SetText(const std::wstring& text) {
    text_ = text;
    if (handle_) SetWindowTextW(handle_, text.c_str());
    TextChanged();
}

void TWinControl::SetVisible(bool value) {
    if (value == visible_) return;
    visible_ = value;
    if (handle_)
        ShowWindow(handle_, value ? SW_SHOW : SW_HIDE);
    else if (value && parent_ && parent_->handle_)
        Handle();  // a control hidden so far gets its window now
    if (align_ != alNone && parent_) parent_->RequestAlign();
}

void TWinControl::SetEnabled(bool value) {
    enabled_ = value;
    if (handle_) EnableWindow(handle_, value);
}

void TWinControl::SetPopupMenu(TPopupMenu* menu) {
    if (menu == popupMenu_) return;
    if (popupMenu_) popupMenu_->RemoveFreeNotification(this);
    popupMenu_ = menu;
    if (menu) menu->FreeNotification(this);
}

void TWinControl::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == popupMenu_) popupMenu_ = nullptr;
}

HWND TWinControl::Handle() {
    if (!handle_) {
        if (parent_) parent_->HandleNeeded();
        if (!handle_) CreateWnd();
    }
    return handle_;
}

void TWinControl::CreateParams(TCreateParams& p) {
    p.Style = WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
    if (parent_) p.Style |= WS_CHILD;
    if (visible_) p.Style |= WS_VISIBLE;
    if (!enabled_) p.Style |= WS_DISABLED;
    p.X = left_;
    p.Y = top_;
    p.Width = width_;
    p.Height = WindowHeight(height_);
    if (parent_) {
        p.WndParent = parent_->handle_;
        p.Menu = reinterpret_cast<HMENU>(NextControlId());
    }
}

void TWinControl::CreateWnd() {
    TCreateParams p;
    CreateParams(p);
    if ((p.Style & WS_CHILD) && !p.WndParent) {
        if (!parent_)
            throw Exception(Format(L"Control '%s' has no parent window", {Name()}));
        p.WndParent = parent_->Handle();
        if (handle_) return;
    }
    bool own = p.ClassName.empty();
    if (own) RegisterToolkitClass(&TWinControl::StdWndProc);
    HWND h = CreateWindowExW(p.ExStyle, own ? kWindowClass : p.ClassName.c_str(), text_.c_str(), p.Style,
                             p.X, p.Y, p.Width, p.Height, p.WndParent, p.Menu, GetModuleHandleW(nullptr),
                             own ? this : nullptr);
    if (!h) RaiseLastOSError();
    if (!own) {
        Attach(h);
        oldProc_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TWinControl::StdWndProc)));
    }
    if (parent_) TakeZOrderPlace();
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Handle()), FALSE);
    UpdateBoundsFromWindow();
    // Hidden controls get their windows when they are shown or asked for
    // their handle: a window costs time at start, and nobody sees these.
    for (TWinControl* c : std::vector<TWinControl*>(controls_))
        if (!c->handle_ && c->visible_) c->CreateWnd();
    if (!controls_.empty()) AlignControls();
}

void TWinControl::TakeZOrderPlace() {
    // Windows made in the order of the controls lie in that order, each new
    // one below the others; one made later (hidden until now) goes below the
    // last earlier sibling that has a window, as if all had been made in order.
    HWND above = HWND_TOP;
    bool laterHasWindow = false;
    bool seenSelf = false;
    for (TWinControl* c : parent_->controls_) {
        if (c == this) {
            seenSelf = true;
        } else if (c->handle_) {
            if (seenSelf)
                laterHasWindow = true;
            else
                above = c->handle_;
        }
    }
    if (laterHasWindow)
        SetWindowPos(handle_, above, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
}

void TWinControl::DestroyWnd() {
    text_ = Text();
}

void TWinControl::DestroyHandle() {
    if (!handle_) return;
    for (TWinControl* c : controls_) c->DestroyHandle();
    DestroyWnd();
    HWND h = handle_;
    DestroyWindow(h);
    if (handle_ == h) Detach();
}

void TWinControl::RecreateWnd() {
    if (!handle_) return;
    DestroyHandle();
    Handle();
}

void TWinControl::Attach(HWND wnd) {
    handle_ = wnd;
    SetPropW(wnd, kControlProp, this);
}

void TWinControl::Detach() {
    if (handle_) {
        RemovePropW(handle_, kControlProp);
        if (oldProc_) SetWindowLongPtrW(handle_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(oldProc_));
    }
    handle_ = nullptr;
    oldProc_ = nullptr;
}

LRESULT CALLBACK TWinControl::StdWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    TWinControl* c = FindControl(wnd);
    if (!c) {
        if (msg != WM_NCCREATE) return DefWindowProcW(wnd, msg, wParam, lParam);
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        c = static_cast<TWinControl*>(cs->lpCreateParams);
        if (!c) return DefWindowProcW(wnd, msg, wParam, lParam);
        c->Attach(wnd);
    }
    TMessage m{msg, wParam, lParam, 0};
    WNDPROC old = c->oldProc_;
    try {
        if (c->windowProc_)
            c->windowProc_(m);
        else
            c->WndProc(m);
    } catch (...) {
        // Nothing may unwind through the system's code that called us.
        try {
            Application().HandleException();
        } catch (...) {
        }
    }
    if (msg == WM_NCDESTROY && c->handle_ == wnd) {
        RemovePropW(wnd, kControlProp);
        c->handle_ = nullptr;
        c->oldProc_ = nullptr;
        (void)old;
    }
    return m.Result;
}

void TWinControl::DefaultHandler(TMessage& m) {
    HWND h = handle_;
    if (!h) return;
    if (oldProc_)
        m.Result = CallWindowProcW(oldProc_, h, m.Msg, m.WParam, m.LParam);
    else
        m.Result = DefWindowProcW(h, m.Msg, m.WParam, m.LParam);
}

LRESULT TWinControl::Perform(UINT msg, WPARAM wParam, LPARAM lParam) {
    TMessage m{msg, wParam, lParam, 0};
    if (windowProc_)
        windowProc_(m);
    else
        WndProc(m);
    return m.Result;
}

void TWinControl::SetWindowProc(TWndMethod proc) {
    windowProc_ = proc.Assigned() ? proc : TWndMethod(this, &TWinControl::WndProc);
}

void TWinControl::EraseBackground(HDC dc) {
    RECT r;
    GetClientRect(handle_, &r);
    FillRect(dc, &r, ColorBrush(color_));
}

void TWinControl::ShowPopup(LPARAM pos) {
    POINT p{GET_X_LPARAM(pos), GET_Y_LPARAM(pos)};
    if (pos == -1) {  // from the keyboard: the middle of the control
        p = {width_ / 2, height_ / 2};
        p = ClientToScreen(p);
    }
    popupMenu_->SetPopupComponent(this);
    popupMenu_->Popup(p.x, p.y);
}

void TWinControl::WndProc(TMessage& m) {
    switch (m.Msg) {
        case WM_SETTINGCHANGE:
        case WM_DPICHANGED:
            frames.entries.clear();
            break;
        case WM_COMMAND:
            if (m.LParam == 0) {
                if (HIWORD(m.WParam) <= 1 && TMenuItem::DispatchCommand(LOWORD(m.WParam))) {
                    m.Result = 0;
                    return;
                }
            } else if (TWinControl* c = FindControl(reinterpret_cast<HWND>(m.LParam)); c && c != this) {
                m.Result = c->Perform(CN_COMMAND, m.WParam, m.LParam);
                return;
            }
            break;
        case WM_NOTIFY: {
            auto* hdr = reinterpret_cast<NMHDR*>(m.LParam);
            if (TWinControl* c = FindControl(hdr->hwndFrom); c && c != this) {
                m.Result = c->Perform(CN_NOTIFY, m.WParam, m.LParam);
                return;
            }
            break;
        }
        case WM_HSCROLL:
        case WM_VSCROLL:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORSTATIC:
            if (TWinControl* c = FindControl(reinterpret_cast<HWND>(m.LParam)); c && c != this) {
                m.Result = c->Perform(CN_BASE + m.Msg, m.WParam, m.LParam);
                return;
            }
            break;
        case CN_CTLCOLOREDIT:
        case CN_CTLCOLORLISTBOX:
        case CN_CTLCOLORBTN:
        case CN_CTLCOLORSTATIC: {
            HDC dc = reinterpret_cast<HDC>(m.WParam);
            SetTextColor(dc, ColorToRGB(enabled_ ? font_.Color() : clGrayText));
            SetBkColor(dc, ColorToRGB(color_));
            m.Result = reinterpret_cast<LRESULT>(ColorBrush(color_));
            return;
        }
        case CM_ERASEBACKGROUND:
            EraseBackground(reinterpret_cast<HDC>(m.WParam));
            m.Result = 1;
            return;
        case WM_ERASEBKGND:
            if (!IsSystemClass()) {
                EraseBackground(reinterpret_cast<HDC>(m.WParam));
                m.Result = 1;
                return;
            }
            break;
        case WM_SIZE:
            UpdateBoundsFromWindow();
            if (m.WParam != SIZE_MINIMIZED) {
                DefaultHandler(m);
                AlignControls();
                Resize();
                return;
            }
            break;
        case WM_MOVE:
            UpdateBoundsFromWindow();
            break;
        case WM_SETCURSOR:
            if (cursor_ != crDefault && LOWORD(m.LParam) == HTCLIENT) {
                ::SetCursor(LoadCursorW(nullptr, CursorResource(cursor_)));
                m.Result = TRUE;
                return;
            }
            break;
        case WM_CONTEXTMENU:
            if (popupMenu_) {
                ShowPopup(m.LParam);
                m.Result = 0;
                return;
            }
            break;
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
        case WM_MBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
        case WM_RBUTTONDBLCLK:
        case WM_MBUTTONDBLCLK: {
            TMouseButton b = (m.Msg == WM_LBUTTONDOWN || m.Msg == WM_LBUTTONDBLCLK)   ? mbLeft
                             : (m.Msg == WM_RBUTTONDOWN || m.Msg == WM_RBUTTONDBLCLK) ? mbRight
                                                                                      : mbMiddle;
            TShiftState shift = MouseShiftState(m.WParam);
            bool dbl = m.Msg == WM_LBUTTONDBLCLK || m.Msg == WM_RBUTTONDBLCLK || m.Msg == WM_MBUTTONDBLCLK;
            if (dbl) shift.Include(ssDouble);
            if (b == mbLeft && clickOnMouseUp_) {
                SetCapture(handle_);
                mouseCaptured_ = true;
            }
            if (m.Msg == WM_LBUTTONDBLCLK) DblClick();
            MouseDown(b, shift, GET_X_LPARAM(m.LParam), GET_Y_LPARAM(m.LParam));
            break;
        }
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
        case WM_MBUTTONUP: {
            TMouseButton b = m.Msg == WM_LBUTTONUP ? mbLeft : m.Msg == WM_RBUTTONUP ? mbRight : mbMiddle;
            int x = GET_X_LPARAM(m.LParam), y = GET_Y_LPARAM(m.LParam);
            bool click = false;
            if (b == mbLeft && mouseCaptured_) {
                mouseCaptured_ = false;
                if (GetCapture() == handle_) ReleaseCapture();
                click = x >= 0 && y >= 0 && x < width_ && y < height_;
            }
            MouseUp(b, MouseShiftState(m.WParam), x, y);
            if (click) Click();
            break;
        }
        case WM_KEYDOWN: {
            WORD key = static_cast<WORD>(m.WParam);
            KeyDown(key, KeyboardShiftState());
            if (key == 0) {
                m.Result = 0;
                return;
            }
            m.WParam = key;
            break;
        }
        default:
            break;
    }
    DefaultHandler(m);
}

void TWinControl::Click() {
    if (onClick_) onClick_(this);
}

void TWinControl::DblClick() {
    if (onDblClick_) onDblClick_(this);
}

void TWinControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    if (onMouseDown_) onMouseDown_(this, button, shift, x, y);
}

void TWinControl::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    if (onMouseUp_) onMouseUp_(this, button, shift, x, y);
}

void TWinControl::KeyDown(WORD& key, TShiftState shift) {
    if (onKeyDown_) onKeyDown_(this, key, shift);
}

void TWinControl::Resize() {}

void TWinControl::Invalidate() {
    if (handle_) InvalidateRect(handle_, nullptr, TRUE);
}

void TWinControl::Update() {
    if (handle_) UpdateWindow(handle_);
}

bool TWinControl::Focused() const { return handle_ && GetFocus() == handle_; }

void TWinControl::SetFocus() { ::SetFocus(Handle()); }

POINT TWinControl::ClientToScreen(POINT p) {
    ::ClientToScreen(Handle(), &p);
    return p;
}

POINT TWinControl::ScreenToClient(POINT p) {
    ::ScreenToClient(Handle(), &p);
    return p;
}

// --- TCustomControl ------------------------------------------------------------------

void TCustomControl::WndProc(TMessage& m) {
    if (m.Msg == WM_PAINT) {
        HWND h = Handle();
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(h, &ps);
        RECT client;
        GetClientRect(h, &client);
        if (doubleBuffered_ && client.right > 0 && client.bottom > 0) {
            HDC mem = CreateCompatibleDC(dc);
            TGdiObject bmp(CreateCompatibleBitmap(dc, client.right, client.bottom));
            {
                TSelectObject sel(mem, bmp.Get());
                // Draw the area to repaint only; the rest of the bitmap is not copied.
                IntersectClipRect(mem, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right, ps.rcPaint.bottom);
                EraseBackground(mem);
                Paint(mem, client);
                BitBlt(dc, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left,
                       ps.rcPaint.bottom - ps.rcPaint.top, mem, ps.rcPaint.left, ps.rcPaint.top, SRCCOPY);
            }
            DeleteDC(mem);
        } else {
            Paint(dc, client);
        }
        EndPaint(h, &ps);
        m.Result = 0;
        return;
    }
    if (m.Msg == WM_ERASEBKGND && doubleBuffered_) {
        m.Result = 1;  // painted with the rest in WM_PAINT
        return;
    }
    TWinControl::WndProc(m);
}

SIZE MeasureText(HFONT font, const std::wstring& text, UINT format) {
    static const HDC kept = CreateCompatibleDC(nullptr);
    HDC screen = kept ? nullptr : GetDC(nullptr);
    HDC dc = kept ? kept : screen;
    RECT r = {0, 0, 0, 0};
    {
        TSelectObject sel(dc, font);
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | format);
    }
    if (screen) ReleaseDC(nullptr, screen);
    return SIZE{r.right, r.bottom};
}

}  // namespace tk
