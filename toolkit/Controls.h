// The window base of the toolkit: a component with a parent, bounds, font,
// colour, anchors and alignment, that owns one HWND (created on demand) and
// routes every message through a replaceable message handler.
#pragma once

#ifndef _WIN32
#error "Controls is Windows-only"
#endif

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "Classes.h"
#include "Method.h"

namespace tk {

// A small set of enumeration values (bit n for value n), like a Pascal set.
template <class E>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(E e) : bits_(Bit(e)) {}
    constexpr TSet(std::initializer_list<E> items) {
        for (E e : items) bits_ |= Bit(e);
    }
    static constexpr TSet FromBits(std::uint32_t bits) {
        TSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr std::uint32_t Bits() const { return bits_; }
    constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TSet& Include(E e) {
        bits_ |= Bit(e);
        return *this;
    }
    constexpr TSet& Exclude(E e) {
        bits_ &= ~Bit(e);
        return *this;
    }
    constexpr TSet operator+(TSet o) const { return FromBits(bits_ | o.bits_); }
    constexpr TSet operator-(TSet o) const { return FromBits(bits_ & ~o.bits_); }
    constexpr TSet operator*(TSet o) const { return FromBits(bits_ & o.bits_); }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr std::uint32_t Bit(E e) { return 1u << static_cast<unsigned>(e); }
    std::uint32_t bits_ = 0;
};

// Colours: 0x00BBGGRR, or a system colour as 0xFF000000 | COLOR_xxx.
using TColor = std::uint32_t;
constexpr TColor clBlack = 0x000000, clMaroon = 0x000080, clGreen = 0x008000, clOlive = 0x008080,
                 clNavy = 0x800000, clPurple = 0x800080, clTeal = 0x808000, clGray = 0x808080,
                 clSilver = 0xC0C0C0, clRed = 0x0000FF, clLime = 0x00FF00, clYellow = 0x00FFFF,
                 clBlue = 0xFF0000, clFuchsia = 0xFF00FF, clAqua = 0xFFFF00, clWhite = 0xFFFFFF;
constexpr TColor clSystemColor = 0xFF000000;
constexpr TColor clScrollBar = clSystemColor | COLOR_SCROLLBAR, clWindow = clSystemColor | COLOR_WINDOW,
                 clWindowText = clSystemColor | COLOR_WINDOWTEXT,
                 clHighlight = clSystemColor | COLOR_HIGHLIGHT,
                 clHighlightText = clSystemColor | COLOR_HIGHLIGHTTEXT,
                 clBtnFace = clSystemColor | COLOR_BTNFACE, clBtnShadow = clSystemColor | COLOR_BTNSHADOW,
                 clGrayText = clSystemColor | COLOR_GRAYTEXT, clBtnText = clSystemColor | COLOR_BTNTEXT,
                 clBtnHighlight = clSystemColor | COLOR_BTNHIGHLIGHT;
COLORREF ColorToRGB(TColor color);
// A brush of the colour, cached for the life of the process.
HBRUSH ColorBrush(TColor color);

// A window message with its result, as it passes the replaceable handler.
struct TMessage {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    LRESULT Result;
};
using TWndMethod = TMethod<void(TMessage&)>;

// Notifications that a parent hands back to the child control they concern.
constexpr UINT CN_BASE = 0xBC00;
constexpr UINT CN_COMMAND = CN_BASE + WM_COMMAND;
constexpr UINT CN_NOTIFY = CN_BASE + WM_NOTIFY;
constexpr UINT CN_HSCROLL = CN_BASE + WM_HSCROLL;
constexpr UINT CN_VSCROLL = CN_BASE + WM_VSCROLL;
constexpr UINT CN_CTLCOLOREDIT = CN_BASE + WM_CTLCOLOREDIT;
constexpr UINT CN_CTLCOLORLISTBOX = CN_BASE + WM_CTLCOLORLISTBOX;
constexpr UINT CN_CTLCOLORBTN = CN_BASE + WM_CTLCOLORBTN;
constexpr UINT CN_CTLCOLORSTATIC = CN_BASE + WM_CTLCOLORSTATIC;

// Internal messages of the toolkit.
constexpr UINT CM_BASE = 0xB000;
// Paints the control's background into the DC in wParam.
constexpr UINT CM_ERASEBACKGROUND = CM_BASE + 1;

enum TFontStyle { fsBold, fsItalic, fsUnderline, fsStrikeOut };
using TFontStyles = TSet<TFontStyle>;

// A font description with a lazily created GDI font. Height is in pixels as
// for LOGFONT (negative: character height); Size is in points.
class TFont : public TObject {
public:
    TFont();
    TFont(const TFont&) = delete;
    TFont& operator=(const TFont&) = delete;
    ~TFont() override;

    void Assign(const TFont& other);

    const std::wstring& Name() const { return name_; }
    void SetName(const std::wstring& name);
    int Height() const { return height_; }
    void SetHeight(int height);
    int Size() const;
    void SetSize(int points);
    TFontStyles Style() const { return style_; }
    void SetStyle(TFontStyles style);
    TColor Color() const { return color_; }
    void SetColor(TColor color);
    BYTE Charset() const { return charset_; }
    void SetCharset(BYTE charset);

    HFONT Handle() const;
    LOGFONTW LogFont() const;

    TNotifyEvent OnChange() const { return onChange_; }
    void SetOnChange(TNotifyEvent e) { onChange_ = e; }

private:
    void Changed();
    std::wstring name_ = L"Tahoma";
    int height_ = -11;
    TFontStyles style_;
    TColor color_ = clWindowText;
    BYTE charset_ = DEFAULT_CHARSET;
    mutable HFONT handle_ = nullptr;
    TNotifyEvent onChange_;
};

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TAnchorKind { akLeft, akTop, akRight, akBottom };
using TAnchors = TSet<TAnchorKind>;

enum TMouseButton { mbLeft, mbRight, mbMiddle };
enum TShiftStateItem { ssShift, ssAlt, ssCtrl, ssLeft, ssRight, ssMiddle, ssDouble };
using TShiftState = TSet<TShiftStateItem>;
// Shift state of a mouse message's key flags (MK_xxx); Alt from the keyboard.
TShiftState MouseShiftState(WPARAM keyFlags);
// Shift state of the keyboard now.
TShiftState KeyboardShiftState();

using TMouseEvent = TMethod<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TKeyEvent = TMethod<void(TObject* Sender, WORD& Key, TShiftState Shift)>;

enum TCursor : int { crDefault = 0, crArrow = -2, crCross = -3, crIBeam = -4, crSizeNS = -7,
                     crSizeWE = -9, crHourGlass = -11, crHandPoint = -21 };

enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

class TPopupMenu;

struct TCreateParams {
    std::wstring ClassName;  // empty: the toolkit's own window class
    DWORD Style = 0;
    DWORD ExStyle = 0;
    int X = 0, Y = 0, Width = 0, Height = 0;
    HWND WndParent = nullptr;
    HMENU Menu = nullptr;  // top level: the menu bar; child: the control id
};

class TWinControl : public TComponent {
public:
    explicit TWinControl(TComponent* owner);
    ~TWinControl() override;

    // The control whose client area this one sits in.
    TWinControl* Parent() const { return parent_; }
    virtual void SetParent(TWinControl* parent);
    int ControlCount() const { return static_cast<int>(controls_.size()); }
    TWinControl* Controls(int index) const { return controls_.at(static_cast<std::size_t>(index)); }

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
    void SetTop(int v) { SetBounds(left_, v, width_, height_); }
    void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
    void SetHeight(int v) { SetBounds(left_, top_, width_, v); }
    virtual void SetBounds(int left, int top, int width, int height);
    int ClientWidth() const;
    int ClientHeight() const;
    void SetClientWidth(int v);
    void SetClientHeight(int v);
    RECT ClientRect() const;

    TAlign Align() const { return align_; }
    void SetAlign(TAlign align);
    TAnchors Anchors() const { return anchors_; }
    void SetAnchors(TAnchors anchors);

    // Changing the font makes the control stop following its parent's font.
    TFont& Font() { return font_; }
    const TFont& Font() const { return font_; }
    bool ParentFont() const { return parentFont_; }
    void SetParentFont(bool value);
    TColor Color() const { return color_; }
    void SetColor(TColor color);
    bool ParentColor() const { return parentColor_; }
    void SetParentColor(bool value);

    // The window text (a caption for forms, labels and buttons).
    std::wstring Text() const;
    virtual void SetText(const std::wstring& text);
    std::wstring Caption() const { return Text(); }
    void SetCaption(const std::wstring& text) { SetText(text); }

    bool Visible() const { return visible_; }
    virtual void SetVisible(bool value);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    bool Enabled() const { return enabled_; }
    virtual void SetEnabled(bool value);
    TCursor Cursor() const { return cursor_; }
    void SetCursor(TCursor cursor) { cursor_ = cursor; }
    TPopupMenu* PopupMenu() const { return popupMenu_; }
    void SetPopupMenu(TPopupMenu* menu);

    // The window handle; creates it (and its parent's) on first use.
    HWND Handle();
    bool HandleAllocated() const { return handle_ != nullptr; }
    void HandleNeeded() { Handle(); }
    // Destroys the window (and its children's); the control keeps its state.
    void DestroyHandle();
    // Destroys and creates the window again, after a style change.
    void RecreateWnd();

    // Runs a message through the replaceable handler, as SendMessage would.
    LRESULT Perform(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
    // The replaceable message handler: every message of the window passes
    // through it. The default is the control's own WndProc; whoever replaces
    // it forwards to the handler it found and puts that one back later.
    TWndMethod WindowProc() const { return windowProc_; }
    void SetWindowProc(TWndMethod proc);
    TWndMethod DefaultWindowProc() { return TWndMethod(this, &TWinControl::WndProc); }

    void Invalidate();
    void Update();
    bool Focused() const;
    void SetFocus();
    // Screen and client coordinate conversion.
    POINT ClientToScreen(POINT p);
    POINT ScreenToClient(POINT p);

    TNotifyEvent OnClick() const { return onClick_; }
    void SetOnClick(TNotifyEvent e) { onClick_ = e; }
    TNotifyEvent OnDblClick() const { return onDblClick_; }
    void SetOnDblClick(TNotifyEvent e) { onDblClick_ = e; }
    TMouseEvent OnMouseDown() const { return onMouseDown_; }
    void SetOnMouseDown(TMouseEvent e) { onMouseDown_ = e; }
    TMouseEvent OnMouseUp() const { return onMouseUp_; }
    void SetOnMouseUp(TMouseEvent e) { onMouseUp_ = e; }
    TKeyEvent OnKeyDown() const { return onKeyDown_; }
    void SetOnKeyDown(TKeyEvent e) { onKeyDown_ = e; }

    // The control that owns a window handle, if it is one of ours.
    static TWinControl* FindControl(HWND wnd);

    void Loaded() override;

protected:
    virtual void CreateParams(TCreateParams& params);
    // Creates the window; derived classes apply their state after calling it.
    virtual void CreateWnd();
    // Called before the window goes away, to keep state the window held.
    virtual void DestroyWnd();
    // The text the next window is created with (DestroyWnd keeps the text).
    void SetKeptText(std::wstring text) { text_ = std::move(text); }
    // The control's own message handler.
    virtual void WndProc(TMessage& message);
    // The window class's own handling (or DefWindowProc).
    void DefaultHandler(TMessage& message);

    virtual void Click();
    virtual void DblClick();
    virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
    virtual void KeyDown(WORD& key, TShiftState shift);
    // The client area changed size (with a window).
    virtual void Resize();
    // Places aligned and anchored children in the client area.
    virtual void AlignControls();
    virtual void FontChanged();
    virtual void ColorChanged();
    virtual void TextChanged() {}
    // Fills the background; custom controls draw over it.
    virtual void EraseBackground(HDC dc);
    // Wraps the message handling of controls that do not take focus etc.
    bool IsSystemClass() const { return oldProc_ != nullptr; }
    // True for controls that raise Click on a left press and release.
    bool clickOnMouseUp_ = false;
    // Child windows default to following the parent's font and colour.
    void SetDefaultColor(TColor color, bool parentColor);

    void Notification(TComponent* component, TOperation operation) override;

    // Keeps the child's distances to the right and bottom edges.
    void UpdateAnchorRules();
    void SetBoundsInternal(int left, int top, int width, int height);
    // Client size computed from the outer size when there is no window.
    virtual bool HasMenuBar() const { return false; }
    // The height given to the window for a control height (a combo box
    // window also covers its drop-down list).
    virtual int WindowHeight(int height) const { return height; }
    void RequestAlign();

private:
    static LRESULT CALLBACK StdWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void Attach(HWND wnd);
    void Detach();
    void InsertControl(TWinControl* c);
    void RemoveControl(TWinControl* c);
    void FontChange(TObject* sender);
    void ParentFontChanged();
    void ParentColorChanged();
    void ShowPopup(LPARAM pos);
    void UpdateBoundsFromWindow();
    void TakeZOrderPlace();

    TWinControl* parent_ = nullptr;
    std::vector<TWinControl*> controls_;
    HWND handle_ = nullptr;
    WNDPROC oldProc_ = nullptr;
    TWndMethod windowProc_;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    int anchorRight_ = 0, anchorBottom_ = 0;
    TAlign align_ = alNone;
    TAnchors anchors_{akLeft, akTop};
    TFont font_;
    bool parentFont_ = true;
    bool settingParentFont_ = false;
    TColor color_ = clBtnFace;
    bool parentColor_ = false;
    std::wstring text_;
    bool visible_ = true;
    bool enabled_ = true;
    TCursor cursor_ = crDefault;
    TPopupMenu* popupMenu_ = nullptr;
    bool aligning_ = false;
    bool mouseCaptured_ = false;
    TNotifyEvent onClick_, onDblClick_;
    TMouseEvent onMouseDown_, onMouseUp_;
    TKeyEvent onKeyDown_;
};

// A control painted by the toolkit, double-buffered.
class TCustomControl : public TWinControl {
public:
    using TWinControl::TWinControl;

protected:
    void WndProc(TMessage& message) override;
    virtual void Paint(HDC dc, const RECT& client) = 0;
    bool doubleBuffered_ = true;
};

// RAII for a GDI object.
class TGdiObject {
public:
    explicit TGdiObject(HGDIOBJ h = nullptr) : h_(h) {}
    TGdiObject(const TGdiObject&) = delete;
    TGdiObject& operator=(const TGdiObject&) = delete;
    ~TGdiObject() {
        if (h_) DeleteObject(h_);
    }
    HGDIOBJ Get() const { return h_; }
    void Reset(HGDIOBJ h = nullptr) {
        if (h_) DeleteObject(h_);
        h_ = h;
    }

private:
    HGDIOBJ h_;
};

// Size of a text drawn in a font (DrawText with DT_CALCRECT and the given
// format), measured on a memory DC kept for the process: it maps fonts and
// counts pixels as a screen DC does, without asking the window system for
// a DC each time.
SIZE MeasureText(HFONT font, const std::wstring& text, UINT format = DT_LEFT);

// Selects an object into a DC for a scope.
class TSelectObject {
public:
    TSelectObject(HDC dc, HGDIOBJ obj) : dc_(dc), old_(SelectObject(dc, obj)) {}
    TSelectObject(const TSelectObject&) = delete;
    TSelectObject& operator=(const TSelectObject&) = delete;
    ~TSelectObject() { SelectObject(dc_, old_); }

private:
    HDC dc_;
    HGDIOBJ old_;
};

}  // namespace tk
