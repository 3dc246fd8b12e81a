// Common controls: the rich-text edit and the status bar.
#pragma once

#include <richedit.h>

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

class TRichEdit : public TCustomMemo {
public:
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
    void FontChanged() override;
    void GetSel(int& start, int& end) override;
    void SetSel(int start, int end) override;

private:
    TTextAttributes selAttributes_;
    TTextAttributes defAttributes_;
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
    void UpdatePanels();

private:
    TStatusPanels panels_;
    bool simplePanel_ = false;
    std::wstring simpleText_;
    bool sizeGrip_ = true;
};

}  // namespace tk
