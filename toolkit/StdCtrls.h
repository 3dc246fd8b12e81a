// Standard controls: label, button, check box, edit and memo, list box and
// drop-down combo box, with the string lists they show.
#pragma once

#include <memory>
#include <string>

#include "Classes.h"
#include "Controls.h"

namespace tk {

// The lines or items of a control, as a list of strings.
class TStrings : public TObject {
public:
    virtual int Count() const = 0;
    virtual std::wstring Strings(int index) const = 0;
    virtual void SetStrings(int index, const std::wstring& s);
    virtual TObject* Objects(int) const { return nullptr; }
    virtual void SetObjects(int, TObject*) {}
    virtual void InsertObject(int index, const std::wstring& s, TObject* object) = 0;
    virtual void Delete(int index) = 0;
    virtual void Clear() = 0;
    virtual int Add(const std::wstring& s) { return AddObject(s, nullptr); }
    int AddObject(const std::wstring& s, TObject* object) {
        int n = Count();
        InsertObject(n, s, object);
        return n;
    }
    void Insert(int index, const std::wstring& s) { InsertObject(index, s, nullptr); }
    int IndexOf(const std::wstring& s) const;
    // The lines joined, each followed by CR LF.
    virtual std::wstring Text() const;
    virtual void SetText(const std::wstring& text);
    void Assign(const TStringList& list);
    void AssignTo(TStringList& list) const;
    // Batches of changes: the control is redrawn once at the end.
    virtual void BeginUpdate() {}
    virtual void EndUpdate() {}
};

// Items kept in memory (fast to read) and mirrored into a list control.
class TItemStrings : public TStrings {
public:
    explicit TItemStrings(class TCustomListControl* control) : control_(control) {}
    int Count() const override { return lines_ ? lines_->Count() : list_.Count(); }
    std::wstring Strings(int index) const override { return List().Strings(index); }
    void SetStrings(int index, const std::wstring& s) override;
    TObject* Objects(int index) const override { return List().Objects(index); }
    void SetObjects(int index, TObject* object) override { MadeList().SetObjects(index, object); }
    void InsertObject(int index, const std::wstring& s, TObject* object) override;
    void Delete(int index) override;
    void Clear() override;
    void BeginUpdate() override;
    void EndUpdate() override;
    // Read access without copies.
    const TStringList& List() const { return MadeList(); }
    // The items become these lines (in order, or sorted by a sorted control),
    // made into strings when first read: a hidden list that keeps a file's
    // lines need not make ten thousand strings that nobody reads.
    void SetLines(std::shared_ptr<const TLineSource> lines);

private:
    TStringList& MadeList() const;
    TCustomListControl* control_;
    mutable TStringList list_;
    mutable std::shared_ptr<const TLineSource> lines_;  // not yet in list_
    int updating_ = 0;
};

class TLabel : public TCustomControl {
public:
    explicit TLabel(TComponent* owner);
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);
    // Shows the parent's background instead of its own colour.
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void Paint(HDC dc, const RECT& client) override;
    void EraseBackground(HDC dc) override;
    void TextChanged() override;
    void FontChanged() override;
    void Loaded() override;

private:
    void AdjustSize();
    SIZE TextSize();
    bool autoSize_ = true;
    bool transparent_ = false;
};

class TButton : public TWinControl {
public:
    explicit TButton(TComponent* owner);
    // Set on the parent form when clicked; ends a modal form.
    int ModalResult() const { return modalResult_; }
    void SetModalResult(int value) { modalResult_ = value; }

protected:
    void CreateParams(TCreateParams& params) override;
    void WndProc(TMessage& message) override;
    void Click() override;

private:
    int modalResult_ = 0;
};

class TCheckBox : public TWinControl {
public:
    explicit TCheckBox(TComponent* owner);
    bool Checked() const;
    // A change raises OnClick, as a click by the user does.
    void SetChecked(bool value);
    // "Checked" by name (the serial component's line monitors use it).
    bool SetBooleanProperty(const std::wstring& name, bool value) override {
        if (name != L"Checked") return TWinControl::SetBooleanProperty(name, value);
        SetChecked(value);
        return true;
    }

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void WndProc(TMessage& message) override;

private:
    bool checked_ = false;
};

// Edit controls: the single-line edit, memo and rich edit share these.
class TCustomEdit : public TWinControl {
public:
    explicit TCustomEdit(TComponent* owner);
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool value);
    int SelStart();
    void SetSelStart(int value);
    int SelLength();
    void SetSelLength(int value);
    std::wstring SelText();
    // Replaces the selection (inserts at the caret) without undo.
    void SetSelText(const std::wstring& text);
    void SelectAll();
    void Clear() { SetText(L""); }
    TNotifyEvent OnChange() const { return onChange_; }
    void SetOnChange(TNotifyEvent e) { onChange_ = e; }

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void WndProc(TMessage& message) override;
    virtual void Change();
    // Selection range in characters.
    virtual void GetSel(int& start, int& end);
    virtual void SetSel(int start, int end);

private:
    bool readOnly_ = false;
    TNotifyEvent onChange_;
};

class TEdit : public TCustomEdit {
public:
    using TCustomEdit::TCustomEdit;
};

class TCustomMemo;

// The lines of a memo or rich edit, read from and written to the window.
class TEditStrings : public TStrings {
public:
    explicit TEditStrings(TCustomMemo* memo) : memo_(memo) {}
    int Count() const override;
    std::wstring Strings(int index) const override;
    void InsertObject(int index, const std::wstring& s, TObject* object) override;
    void Delete(int index) override;
    void Clear() override;
    std::wstring Text() const override;
    void SetText(const std::wstring& text) override;
    void BeginUpdate() override;
    void EndUpdate() override;

protected:
    TCustomMemo* memo_;
};

class TCustomMemo : public TCustomEdit {
public:
    explicit TCustomMemo(TComponent* owner);
    ~TCustomMemo() override;
    virtual TStrings& Lines() { return *lines_; }
    TScrollStyle ScrollBars() const { return scrollBars_; }
    void SetScrollBars(TScrollStyle value);
    bool WordWrap() const { return wordWrap_; }
    void SetWordWrap(bool value);
    // Switches painting off around a batch of changes (nested).
    void BeginUpdate();
    void EndUpdate();

protected:
    void CreateParams(TCreateParams& params) override;
    TStrings* lines_;
    int updateCount_ = 0;

private:
    TScrollStyle scrollBars_ = ssNone;
    bool wordWrap_ = true;
};

class TMemo : public TCustomMemo {
public:
    using TCustomMemo::TCustomMemo;
};

class TCustomListControl : public TWinControl {
public:
    explicit TCustomListControl(TComponent* owner);
    ~TCustomListControl() override;
    TItemStrings& Items() { return *items_; }
    virtual int ItemIndex() const = 0;
    virtual void SetItemIndex(int index) = 0;
    bool Sorted() const { return sorted_; }
    void SetSorted(bool value);

protected:
    friend class TItemStrings;
    // The window shows the items anew (after a batch, or a new window).
    virtual void SyncItems() = 0;
    // Puts the items into the window with drawing off, so that the list
    // sets its scroll bar and repaints once, not once per item. `reset`,
    // `reserve` (0: none) and `add` are the control's own messages.
    void RefillWindow(UINT reset, UINT reserve, UINT add);
    virtual void ItemInserted(int index, const std::wstring& s) = 0;
    virtual void ItemDeleted(int index) = 0;
    TItemStrings* items_;
    bool sorted_ = false;
};

class TListBox : public TCustomListControl {
public:
    explicit TListBox(TComponent* owner);
    int ItemIndex() const override;
    void SetItemIndex(int index) override;
    void SetVisible(bool value) override;

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void SyncItems() override;
    void ItemInserted(int index, const std::wstring& s) override;
    void ItemDeleted(int index) override;

private:
    int itemIndex_ = -1;
    bool windowStale_ = false;  // hidden list boxes fill their window when shown
};

enum TComboBoxStyle { csDropDown, csDropDownList };

class TComboBox : public TCustomListControl {
public:
    explicit TComboBox(TComponent* owner);
    TComboBoxStyle Style() const { return style_; }
    void SetStyle(TComboBoxStyle style);
    int ItemIndex() const override;
    void SetItemIndex(int index) override;
    int DropDownCount() const { return dropDownCount_; }
    void SetDropDownCount(int value);
    int ItemHeight() const { return itemHeight_; }
    void SetItemHeight(int value) { itemHeight_ = value; }
    // In a drop-down list, setting the text selects the item with that text.
    void SetText(const std::wstring& text) override;
    bool DroppedDown() const;
    void SetDroppedDown(bool value);

    TNotifyEvent OnChange() const { return onChange_; }
    void SetOnChange(TNotifyEvent e) { onChange_ = e; }
    TNotifyEvent OnDropDown() const { return onDropDown_; }
    void SetOnDropDown(TNotifyEvent e) { onDropDown_ = e; }

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void WndProc(TMessage& message) override;
    // The user picked an item (or edited the text).
    virtual void Change();
    virtual void DropDown();
    void SyncItems() override;
    void ItemInserted(int index, const std::wstring& s) override;
    void ItemDeleted(int index) override;
    int WindowHeight(int height) const override;

private:
    TComboBoxStyle style_ = csDropDown;
    int itemIndex_ = -1;
    int dropDownCount_ = 8;
    int itemHeight_ = 16;
    TNotifyEvent onChange_, onDropDown_;
};

}  // namespace tk
