// Common controls: the rich-text edit and the status bar.
#pragma once

#include <richedit.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "StdCtrls.h"

namespace tk {

class TRichEdit;

// Character attributes of a rich edit's selection (or insertion point), or
// its default attributes.
class TTextAttributes {
public:
    TTextAttributes(TRichEdit* edit, bool selection) : edit_(edit), selection_(selection) {}
    TColor Color() const;
    void SetColor(TColor color);
    std::wstring Name() const;
    void SetName(const std::wstring& name);
    // Height in pixels, as TFont::Height (negative: character height).
    int Height() const;
    void SetHeight(int height);
    TFontStyles Style() const;
    void SetStyle(TFontStyles style);
    BYTE Charset() const;
    void Assign(const TFont& font);

private:
    CHARFORMAT2W Get() const;
    void Set(CHARFORMAT2W& cf);
    TRichEdit* edit_;
    bool selection_;
};

// Lines of a rich edit: an added line takes the attributes of the selection
// that was current before (so a colour set just before applies to it), and
// the caret ends after it.
class TRichEditStrings : public TEditStrings {
public:
    using TEditStrings::TEditStrings;
    void InsertObject(int index, const std::wstring& s, TObject* object) override;
};

// A rich edit that stays quick however much text it is given. Wine's rich
// edit lays a paragraph out whole on every insert (with word wrap in a time
// that grows with the square of its length), and dropping or clearing text
// costs it a walk over every paragraph per paragraph removed. So:
// - text put in at the caret (EM_REPLACESEL, a typed character) never makes
//   a paragraph longer than kMaxLineLength characters: a longer run is
//   broken with a paragraph mark;
// - once the text would hold more than kMaxLines lines or kMaxChars
//   characters, the oldest lines are dropped until at most kKeptLines and
//   kKeptChars remain; the newest text, its formatting, the selection, the
//   scroll position, the focus and the place among the siblings carry over
//   into a new window, which is
//   cheaper than deleting (keeping a quarter, not half, makes a flood go in
//   half again as fast: carrying text over costs more than taking it in);
// - replacing a long text (WM_SETTEXT, Clear) starts from a new window too.
// The window therefore changes when old text goes: use Handle(), not a copy.
// Painting switched off with WM_SETREDRAW stays off in the new window, for
// whoever switched it off to switch on again.
class TRichEdit : public TCustomMemo {
public:
    static constexpr int kMaxLines = 20000;
    static constexpr int kMaxChars = 2 << 20;
    static constexpr int kMaxLineLength = 1024;
    static constexpr int kKeptLines = kMaxLines / 4;
    static constexpr int kKeptChars = kMaxChars / 4;

    explicit TRichEdit(TComponent* owner);
    TTextAttributes& SelAttributes() { return selAttributes_; }
    TTextAttributes& DefAttributes() { return defAttributes_; }
    // Length of the text in characters (as the control counts them).
    int GetTextLen();
    // Window class in use: "RICHEDIT50W" (msftedit.dll) or riched20's.
    static const wchar_t* WindowClassName();

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void DestroyWnd() override;
    void WndProc(TMessage& message) override;
    void FontChanged() override;
    void GetSel(int& start, int& end) override;
    void SetSel(int start, int end) override;

private:
    // Characters of the caret's paragraph before the selection and after it.
    struct TSpan {
        int before = 0;
        int after = 0;
    };
    // What a window hands on to the next one.
    struct TCarried {
        std::string rtf;    // the newest text with its formatting (UTF-8 RTF)
        std::wstring text;  // the same as plain text, to check the RTF by
        CHARRANGE sel{0, 0};
        bool caretFormatKept = false;
        CHARFORMAT2W caretFormat{};
        CHARFORMAT2W lastFormat{};  // of the last character
        POINT scroll{0, 0};
        bool focused = false;
        bool paintingOff = false;  // switched off by whoever writes into the view
        HWND above = nullptr;      // the sibling over it (a new window goes to the bottom)
    };

    void SetUpWindow();
    void ReplaceSel(TMessage& m);
    void TypeChar(TMessage& m);
    void ReplaceText(TMessage& m);
    // Drops the oldest lines when `chars` more characters and `lines` more
    // lines would pass a bound.
    void MakeRoom(int chars, int lines);
    // Starts a new window that holds only the text from `cut` on.
    void KeepFrom(int cut);
    void Restore(TCarried& c);
    TSpan SpanAt(const CHARRANGE& sel, int length);
    std::wstring Range(int start, int end);
    // Notes where an insertion of `stored` characters left the caret.
    void RememberTail(int lengthBefore, int stored, const TSpan& span);

    TTextAttributes selAttributes_;
    TTextAttributes defAttributes_;
    int keepFrom_ = 0;  // where the text the next window gets starts
    bool carry_ = true;
    std::unique_ptr<TCarried> carried_;
    // After our own insertion the caret's paragraph is known without asking
    // the control (which walks every paragraph to answer): valid while the
    // caret and the length are still where that insertion left them.
    struct TTail {
        bool valid = false;
        int caret = 0;
        int length = 0;
        TSpan span;
    } tail_;
};

class TStatusBar;

class TStatusPanel {
public:
    const std::wstring& Text() const { return text_; }
    void SetText(const std::wstring& text);
    int Width() const { return width_; }
    void SetWidth(int width);

private:
    friend class TStatusPanels;
    TStatusBar* bar_ = nullptr;
    std::wstring text_;
    int width_ = 50;
};

class TStatusPanels {
public:
    explicit TStatusPanels(TStatusBar* bar) : bar_(bar) {}
    int Count() const { return static_cast<int>(panels_.size()); }
    TStatusPanel& Add();
    TStatusPanel& operator[](int index);
    TStatusPanel& Items(int index) { return (*this)[index]; }
    void Clear();
    // Changes between these reach the bar's window together, at the end.
    void BeginUpdate();
    void EndUpdate();
    // BeginUpdate for a scope.
    class TUpdate {
    public:
        explicit TUpdate(TStatusPanels& panels) : panels_(panels) { panels_.BeginUpdate(); }
        ~TUpdate() { panels_.EndUpdate(); }
        TUpdate(const TUpdate&) = delete;
        TUpdate& operator=(const TUpdate&) = delete;

    private:
        TStatusPanels& panels_;
    };

private:
    TStatusBar* bar_;
    std::vector<TStatusPanel*> panels_;

public:
    ~TStatusPanels();
    TStatusPanels(const TStatusPanels&) = delete;
    TStatusPanels& operator=(const TStatusPanels&) = delete;
};

class TStatusBar : public TWinControl {
public:
    explicit TStatusBar(TComponent* owner);
    ~TStatusBar() override;
    TStatusPanels& Panels() { return panels_; }
    // One part across the whole bar, showing SimpleText.
    bool SimplePanel() const { return simplePanel_; }
    void SetSimplePanel(bool value);
    const std::wstring& SimpleText() const { return simpleText_; }
    void SetSimpleText(const std::wstring& text);
    bool SizeGrip() const { return sizeGrip_; }
    void SetSizeGrip(bool value);

protected:
    friend class TStatusPanel;
    friend class TStatusPanels;
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    // The bar paints only what it thinks changed; a new size repaints all.
    void Resize() override;
    // Tells the bar's window what differs from what it was last told: each
    // message makes the bar repaint, and panels change a text at a time.
    void UpdatePanels();

private:
    TStatusPanels panels_;
    int updating_ = 0;
    bool simplePanel_ = false;
    std::wstring simpleText_;
    bool sizeGrip_ = true;
    // What the window shows now; cleared when a window is made.
    struct TShown {
        bool known = false;
        bool simple = false;
        std::optional<std::wstring> simpleText;
        std::vector<int> edges;
        std::vector<std::optional<std::wstring>> texts;  // empty: not told yet
    } shown_;
};

}  // namespace tk
