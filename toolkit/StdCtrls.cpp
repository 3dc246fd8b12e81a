#include "StdCtrls.h"

#include <algorithm>

#include "Forms.h"
#include "SysUtils.h"

namespace tk {

namespace {
[[noreturn]] void IndexError(int index) { throw EListError(Format(L"List index out of bounds (%d)", {index})); }
}  // namespace

// --- TStrings ---------------------------------------------------------------------

void TStrings::SetStrings(int index, const std::wstring& s) {
    TObject* o = Objects(index);
    Delete(index);
    InsertObject(index, s, o);
}

int TStrings::IndexOf(const std::wstring& s) const {
    for (int i = 0, n = Count(); i < n; ++i)
        if (Strings(i) == s) return i;
    return -1;
}

std::wstring TStrings::Text() const {
    std::wstring t;
    for (int i = 0, n = Count(); i < n; ++i) {
        t += Strings(i);
        t += L"\r\n";
    }
    return t;
}

void TStrings::SetText(const std::wstring& text) {
    BeginUpdate();
    try {
        Clear();
        std::size_t i = 0;
        while (i < text.size()) {
            std::size_t j = text.find_first_of(L"\r\n", i);
            if (j == std::wstring::npos) j = text.size();
            Add(text.substr(i, j - i));
            if (j < text.size() && text[j] == L'\r') ++j;
            if (j < text.size() && text[j] == L'\n') ++j;
            i = j;
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TStrings::Assign(const TStringList& list) {
    BeginUpdate();
    try {
        Clear();
        for (int i = 0; i < list.Count(); ++i) AddObject(list.Strings(i), list.Objects(i));
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TStrings::AssignTo(TStringList& list) const {
    list.Clear();
    for (int i = 0, n = Count(); i < n; ++i) list.AddObject(Strings(i), Objects(i));
}

// --- TItemStrings ---------------------------------------------------------------------

TStringList& TItemStrings::MadeList() const {
    if (lines_) {
        const std::shared_ptr<const TLineSource> lines = std::move(lines_);  // leaves lines_ empty
        list_.Clear();
        list_.Reserve(static_cast<std::size_t>(lines->Count()));
        for (int i = 0; i < lines->Count(); ++i) list_.Add(lines->Line(i));
    }
    return list_;
}

void TItemStrings::SetStrings(int index, const std::wstring& s) {
    MadeList().SetStrings(index, s);
    if (!updating_) {
        control_->ItemDeleted(index);
        control_->ItemInserted(index, s);
    }
}

void TItemStrings::InsertObject(int index, const std::wstring& s, TObject* object) {
    MadeList();
    if (index < 0 || index > list_.Count()) IndexError(index);
    if (control_->Sorted()) {
        index = 0;
        while (index < list_.Count() && lstrcmpiW(list_.Strings(index).c_str(), s.c_str()) <= 0) ++index;
    }
    list_.InsertObject(index, s, object);
    if (!updating_) control_->ItemInserted(index, s);
}

void TItemStrings::Delete(int index) {
    MadeList().Delete(index);
    if (!updating_) control_->ItemDeleted(index);
}

void TItemStrings::SetLines(std::shared_ptr<const TLineSource> lines) {
    BeginUpdate();
    list_.Clear();
    lines_ = std::move(lines);
    // A sorted control puts the lines in its order as they come.
    if (control_->Sorted() && lines_) {
        const std::shared_ptr<const TLineSource> given = std::move(lines_);
        for (int i = 0; i < given->Count(); ++i)
            InsertObject(list_.Count(), given->Line(i), nullptr);
    }
    EndUpdate();
}

void TItemStrings::Clear() {
    lines_.reset();
    list_.Clear();
    if (!updating_) control_->SyncItems();
}

void TItemStrings::BeginUpdate() { ++updating_; }

void TItemStrings::EndUpdate() {
    if (updating_ > 0 && --updating_ == 0) control_->SyncItems();
}

// --- TLabel -------------------------------------------------------------------------------

TLabel::TLabel(TComponent* owner) : TCustomControl(owner) {
    SetDefaultColor(clBtnFace, true);
    clickOnMouseUp_ = true;
    SetBoundsInternal(0, 0, 65, 13);
}

void TLabel::CreateParams(TCreateParams& p) { TCustomControl::CreateParams(p); }

void TLabel::SetAutoSize(bool value) {
    autoSize_ = value;
    AdjustSize();
}

void TLabel::SetTransparent(bool value) {
    transparent_ = value;
    Invalidate();
}

SIZE TLabel::TextSize() {
    const std::wstring t = Text();
    return MeasureText(Font().Handle(), t.empty() ? L" " : t);
}

void TLabel::AdjustSize() {
    if (!autoSize_ || IsLoading()) return;
    const SIZE size = TextSize();
    SetBounds(Left(), Top(), size.cx, size.cy);
}

// The window is made at the size of its text, so that sizing it once
// loading ends (to the same text) moves no window.
void TLabel::CreateWnd() {
    if (autoSize_) {
        const SIZE size = TextSize();
        SetBoundsInternal(Left(), Top(), size.cx, size.cy);
    }
    TCustomControl::CreateWnd();
}

void TLabel::TextChanged() {
    AdjustSize();
    Invalidate();
}

void TLabel::FontChanged() {
    TCustomControl::FontChanged();
    AdjustSize();
}

void TLabel::Loaded() {
    TCustomControl::Loaded();
    AdjustSize();
}

void TLabel::EraseBackground(HDC dc) {
    if (transparent_ && Parent() && Parent()->HandleAllocated()) {
        // Let the parent paint its background under us.
        POINT org;
        OffsetViewportOrgEx(dc, -Left(), -Top(), &org);
        Parent()->Perform(CM_ERASEBACKGROUND, reinterpret_cast<WPARAM>(dc), 0);
        SetViewportOrgEx(dc, org.x, org.y, nullptr);
        return;
    }
    TCustomControl::EraseBackground(dc);
}

void TLabel::Paint(HDC dc, const RECT& client) {
    std::wstring t = Text();
    TSelectObject sel(dc, Font().Handle());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, ColorToRGB(Enabled() ? Font().Color() : clGrayText));
    RECT r = client;
    DrawTextW(dc, t.c_str(), static_cast<int>(t.size()), &r, DT_LEFT | DT_TOP);
}

// --- TButton --------------------------------------------------------------------------------

TButton::TButton(TComponent* owner) : TWinControl(owner) { SetBoundsInternal(0, 0, 75, 25); }

void TButton::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.ClassName = L"BUTTON";
    p.Style |= BS_PUSHBUTTON | WS_TABSTOP;
}

void TButton::WndProc(TMessage& m) {
    if (m.Msg == CN_COMMAND) {
        if (HIWORD(m.WParam) == BN_CLICKED) Click();
        m.Result = 0;
        return;
    }
    TWinControl::WndProc(m);
}

void TButton::Click() {
    if (modalResult_ != 0) {
        TWinControl* p = Parent();
        while (p && !dynamic_cast<TForm*>(p)) p = p->Parent();
        if (p) static_cast<TForm*>(p)->SetModalResult(modalResult_);
    }
    TWinControl::Click();
}

// --- TCheckBox -------------------------------------------------------------------------------

TCheckBox::TCheckBox(TComponent* owner) : TWinControl(owner) {
    SetDefaultColor(clBtnFace, true);
    SetBoundsInternal(0, 0, 97, 17);
}

void TCheckBox::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.ClassName = L"BUTTON";
    p.Style |= BS_AUTOCHECKBOX | WS_TABSTOP;
}

void TCheckBox::CreateWnd() {
    TWinControl::CreateWnd();
    SendMessageW(Handle(), BM_SETCHECK, checked_ ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TCheckBox::Checked() const {
    if (HandleAllocated())
        return SendMessageW(const_cast<TCheckBox*>(this)->Handle(), BM_GETCHECK, 0, 0) == BST_CHECKED;
    return checked_;
}

void TCheckBox::SetChecked(bool value) {
    if (value == Checked()) return;
    checked_ = value;
    if (HandleAllocated()) SendMessageW(Handle(), BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED, 0);
    if (!IsLoading()) Click();
}

void TCheckBox::WndProc(TMessage& m) {
    if (m.Msg == CN_COMMAND) {
        if (HIWORD(m.WParam) == BN_CLICKED) {
            checked_ = SendMessageW(Handle(), BM_GETCHECK, 0, 0) == BST_CHECKED;
            Click();
        }
        m.Result = 0;
        return;
    }
    TWinControl::WndProc(m);
}

// --- TCustomEdit ----------------------------------------------------------------------------------

TCustomEdit::TCustomEdit(TComponent* owner) : TWinControl(owner) {
    SetDefaultColor(clWindow, false);
    SetBoundsInternal(0, 0, 121, 21);
}

void TCustomEdit::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.ClassName = L"EDIT";
    p.Style |= WS_TABSTOP | ES_AUTOHSCROLL | (readOnly_ ? ES_READONLY : 0);
    p.ExStyle |= WS_EX_CLIENTEDGE;
}

void TCustomEdit::CreateWnd() { TWinControl::CreateWnd(); }

void TCustomEdit::SetReadOnly(bool value) {
    readOnly_ = value;
    if (HandleAllocated()) SendMessageW(Handle(), EM_SETREADONLY, value, 0);
}

void TCustomEdit::GetSel(int& start, int& end) {
    DWORD s = 0, e = 0;
    SendMessageW(Handle(), EM_GETSEL, reinterpret_cast<WPARAM>(&s), reinterpret_cast<LPARAM>(&e));
    start = static_cast<int>(s);
    end = static_cast<int>(e);
}

void TCustomEdit::SetSel(int start, int end) { SendMessageW(Handle(), EM_SETSEL, start, end); }

int TCustomEdit::SelStart() {
    int s, e;
    GetSel(s, e);
    return s;
}

void TCustomEdit::SetSelStart(int value) { SetSel(value, value); }

int TCustomEdit::SelLength() {
    int s, e;
    GetSel(s, e);
    return e - s;
}

void TCustomEdit::SetSelLength(int value) {
    int s, e;
    GetSel(s, e);
    SetSel(s, s + value);
}

std::wstring TCustomEdit::SelText() {
    int s, e;
    GetSel(s, e);
    std::wstring t = Text();
    if (s < 0 || e < s || static_cast<std::size_t>(e) > t.size()) return L"";
    return t.substr(static_cast<std::size_t>(s), static_cast<std::size_t>(e - s));
}

void TCustomEdit::SetSelText(const std::wstring& text) {
    SendMessageW(Handle(), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void TCustomEdit::SelectAll() { SetSel(0, -1); }

void TCustomEdit::Change() {
    if (onChange_) onChange_(this);
}

void TCustomEdit::WndProc(TMessage& m) {
    if (m.Msg == CN_COMMAND) {
        if (HIWORD(m.WParam) == EN_CHANGE) Change();
        m.Result = 0;
        return;
    }
    TWinControl::WndProc(m);
}

// --- TEditStrings ------------------------------------------------------------------------------

namespace {
LRESULT Send(TCustomMemo* memo, UINT msg, WPARAM w = 0, LPARAM l = 0) {
    return SendMessageW(memo->Handle(), msg, w, l);
}
}  // namespace

int TEditStrings::Count() const {
    int n = static_cast<int>(Send(memo_, EM_GETLINECOUNT));
    // The empty line after a final line break is no line.
    if (n > 0 && Send(memo_, EM_LINELENGTH, static_cast<WPARAM>(Send(memo_, EM_LINEINDEX, n - 1))) == 0) --n;
    return n;
}

std::wstring TEditStrings::Strings(int index) const {
    LRESULT start = Send(memo_, EM_LINEINDEX, static_cast<WPARAM>(index));
    if (index < 0 || start < 0) IndexError(index);
    int len = static_cast<int>(Send(memo_, EM_LINELENGTH, static_cast<WPARAM>(start)));
    std::wstring s(static_cast<std::size_t>(std::max(len, 1)) + 1, L'\0');
    *reinterpret_cast<WORD*>(s.data()) = static_cast<WORD>(std::min<std::size_t>(s.size(), 0xFFFF));
    int got = static_cast<int>(Send(memo_, EM_GETLINE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(s.data())));
    s.resize(static_cast<std::size_t>(std::clamp(got, 0, len)));
    return s;
}

void TEditStrings::InsertObject(int index, const std::wstring& s, TObject*) {
    if (index < 0) IndexError(index);
    LRESULT start = Send(memo_, EM_LINEINDEX, static_cast<WPARAM>(index));
    std::wstring line;
    if (start >= 0) {
        line = s + L"\r\n";
    } else {
        // After a last line that has no line break.
        start = Send(memo_, EM_LINEINDEX, static_cast<WPARAM>(index - 1));
        if (start < 0) IndexError(index);
        start += Send(memo_, EM_LINELENGTH, static_cast<WPARAM>(start));
        line = L"\r\n" + s;
    }
    Send(memo_, EM_SETSEL, static_cast<WPARAM>(start), start);
    Send(memo_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
}

void TEditStrings::Delete(int index) {
    LRESULT start = Send(memo_, EM_LINEINDEX, static_cast<WPARAM>(index));
    if (index < 0 || start < 0) IndexError(index);
    LRESULT end = Send(memo_, EM_LINEINDEX, static_cast<WPARAM>(index + 1));
    if (end < 0) end = start + Send(memo_, EM_LINELENGTH, static_cast<WPARAM>(start));
    Send(memo_, EM_SETSEL, static_cast<WPARAM>(start), end);
    Send(memo_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
}

void TEditStrings::Clear() { memo_->SetText(L""); }
std::wstring TEditStrings::Text() const { return memo_->Text(); }
void TEditStrings::SetText(const std::wstring& text) { memo_->SetText(text); }
void TEditStrings::BeginUpdate() { memo_->BeginUpdate(); }
void TEditStrings::EndUpdate() { memo_->EndUpdate(); }

// --- TCustomMemo ------------------------------------------------------------------------------

TCustomMemo::TCustomMemo(TComponent* owner) : TCustomEdit(owner), lines_(new TEditStrings(this)) {
    SetBoundsInternal(0, 0, 185, 89);
}

TCustomMemo::~TCustomMemo() { delete lines_; }

void TCustomMemo::CreateParams(TCreateParams& p) {
    TCustomEdit::CreateParams(p);
    p.Style |= ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL;
    if (wordWrap_) p.Style &= ~static_cast<DWORD>(ES_AUTOHSCROLL);
    if (scrollBars_ == ssVertical || scrollBars_ == ssBoth) p.Style |= WS_VSCROLL;
    if (scrollBars_ == ssHorizontal || scrollBars_ == ssBoth) p.Style |= WS_HSCROLL;
}

void TCustomMemo::SetScrollBars(TScrollStyle value) {
    if (value == scrollBars_) return;
    scrollBars_ = value;
    RecreateWnd();
}

void TCustomMemo::SetWordWrap(bool value) {
    if (value == wordWrap_) return;
    wordWrap_ = value;
    RecreateWnd();
}

void TCustomMemo::BeginUpdate() {
    if (updateCount_++ == 0 && HandleAllocated()) SendMessageW(Handle(), WM_SETREDRAW, FALSE, 0);
}

void TCustomMemo::EndUpdate() {
    if (updateCount_ > 0 && --updateCount_ == 0 && HandleAllocated()) {
        SendMessageW(Handle(), WM_SETREDRAW, TRUE, 0);
        InvalidateRect(Handle(), nullptr, TRUE);
    }
}

// --- list controls --------------------------------------------------------------------------------

TCustomListControl::TCustomListControl(TComponent* owner) : TWinControl(owner), items_(new TItemStrings(this)) {
    SetDefaultColor(clWindow, false);
}

TCustomListControl::~TCustomListControl() {
    // The window goes first; the items are our own memory.
    DestroyHandle();
    delete items_;
}

void TCustomListControl::RefillWindow(UINT reset, UINT reserve, UINT add) {
    HWND h = Handle();
    SendMessageW(h, WM_SETREDRAW, FALSE, 0);
    SendMessageW(h, reset, 0, 0);
    if (reserve) SendMessageW(h, reserve, static_cast<WPARAM>(items_->Count()), 0);
    for (int i = 0; i < items_->Count(); ++i)
        SendMessageW(h, add, 0, reinterpret_cast<LPARAM>(items_->List().Strings(i).c_str()));
    SendMessageW(h, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(h, nullptr, TRUE);
}

void TCustomListControl::SetSorted(bool value) {
    if (value == sorted_) return;
    sorted_ = value;
    if (value) {
        TStringList copy;
        items_->AssignTo(copy);
        items_->Assign(copy);  // re-inserted in order
    }
    RecreateWnd();
}

TListBox::TListBox(TComponent* owner) : TCustomListControl(owner) { SetBoundsInternal(0, 0, 121, 97); }

void TListBox::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.ClassName = L"LISTBOX";
    p.Style |= WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT;
    p.ExStyle |= WS_EX_CLIENTEDGE;
}

void TListBox::CreateWnd() {
    TWinControl::CreateWnd();
    SyncItems();
}

void TListBox::SyncItems() {
    if (!HandleAllocated()) return;
    if (!Visible()) {
        // Nobody sees a hidden list: fill its window when it is shown.
        windowStale_ = true;
        return;
    }
    RefillWindow(LB_RESETCONTENT, LB_INITSTORAGE, LB_ADDSTRING);
    SendMessageW(Handle(), LB_SETCURSEL, static_cast<WPARAM>(itemIndex_), 0);
    windowStale_ = false;
}

void TListBox::ItemInserted(int index, const std::wstring& s) {
    if (!HandleAllocated() || windowStale_ || !Visible()) {
        windowStale_ = HandleAllocated();
        return;
    }
    SendMessageW(Handle(), LB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(s.c_str()));
}

void TListBox::ItemDeleted(int index) {
    if (itemIndex_ >= items_->Count()) itemIndex_ = -1;
    if (!HandleAllocated() || windowStale_ || !Visible()) {
        windowStale_ = HandleAllocated();
        return;
    }
    SendMessageW(Handle(), LB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

void TListBox::SetVisible(bool value) {
    TWinControl::SetVisible(value);
    if (value && windowStale_) SyncItems();
}

int TListBox::ItemIndex() const {
    if (HandleAllocated() && !windowStale_)
        return static_cast<int>(SendMessageW(const_cast<TListBox*>(this)->Handle(), LB_GETCURSEL, 0, 0));
    return itemIndex_;
}

void TListBox::SetItemIndex(int index) {
    if (index < -1 || index >= items_->Count()) index = -1;
    itemIndex_ = index;
    if (HandleAllocated() && !windowStale_) SendMessageW(Handle(), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

TComboBox::TComboBox(TComponent* owner) : TCustomListControl(owner) { SetBoundsInternal(0, 0, 145, 21); }

void TComboBox::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.ClassName = L"COMBOBOX";
    p.Style |= WS_VSCROLL | WS_TABSTOP | (style_ == csDropDownList ? CBS_DROPDOWNLIST : CBS_DROPDOWN | CBS_AUTOHSCROLL);
    if (sorted_) p.Style |= CBS_SORT;
}

int TComboBox::WindowHeight(int height) const { return height + dropDownCount_ * itemHeight_ + 2; }

void TComboBox::CreateWnd() {
    TWinControl::CreateWnd();
    SyncItems();
}

void TComboBox::SetStyle(TComboBoxStyle style) {
    if (style == style_) return;
    style_ = style;
    RecreateWnd();
}

void TComboBox::SetDropDownCount(int value) {
    dropDownCount_ = std::max(1, value);
    if (HandleAllocated()) SetWindowPos(Handle(), nullptr, 0, 0, Width(), WindowHeight(Height()), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TComboBox::SyncItems() {
    if (!HandleAllocated()) return;
    HWND h = Handle();
    std::wstring text = style_ == csDropDown ? Text() : L"";
    RefillWindow(CB_RESETCONTENT, 0, CB_ADDSTRING);
    if (itemIndex_ >= items_->Count()) itemIndex_ = -1;
    SendMessageW(h, CB_SETCURSEL, static_cast<WPARAM>(itemIndex_), 0);
    if (style_ == csDropDown && itemIndex_ < 0) SetWindowTextW(h, text.c_str());
}

void TComboBox::ItemInserted(int index, const std::wstring& s) {
    if (itemIndex_ >= index) ++itemIndex_;
    if (HandleAllocated())
        SendMessageW(Handle(), CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(s.c_str()));
}

void TComboBox::ItemDeleted(int index) {
    if (itemIndex_ == index) itemIndex_ = -1;
    else if (itemIndex_ > index) --itemIndex_;
    if (HandleAllocated()) SendMessageW(Handle(), CB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

int TComboBox::ItemIndex() const {
    if (HandleAllocated())
        return static_cast<int>(SendMessageW(const_cast<TComboBox*>(this)->Handle(), CB_GETCURSEL, 0, 0));
    return itemIndex_;
}

void TComboBox::SetItemIndex(int index) {
    if (index < -1 || index >= items_->Count()) index = -1;
    itemIndex_ = index;
    if (HandleAllocated()) SendMessageW(Handle(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void TComboBox::SetText(const std::wstring& text) {
    if (style_ == csDropDownList) {
        SetItemIndex(items_->IndexOf(text));
        return;
    }
    TWinControl::SetText(text);
}

bool TComboBox::DroppedDown() const {
    return HandleAllocated() && SendMessageW(const_cast<TComboBox*>(this)->Handle(), CB_GETDROPPEDSTATE, 0, 0);
}

void TComboBox::SetDroppedDown(bool value) { SendMessageW(Handle(), CB_SHOWDROPDOWN, value, 0); }

void TComboBox::Change() {
    if (onChange_) onChange_(this);
}

void TComboBox::DropDown() {
    if (onDropDown_) onDropDown_(this);
}

void TComboBox::WndProc(TMessage& m) {
    if (m.Msg == CN_COMMAND) {
        switch (HIWORD(m.WParam)) {
            case CBN_SELCHANGE:
                itemIndex_ = static_cast<int>(SendMessageW(Handle(), CB_GETCURSEL, 0, 0));
                Click();
                Change();
                break;
            case CBN_EDITCHANGE:
                itemIndex_ = -1;
                Change();
                break;
            case CBN_DROPDOWN: DropDown(); break;
            default: break;
        }
        m.Result = 0;
        return;
    }
    TWinControl::WndProc(m);
}

}  // namespace tk
