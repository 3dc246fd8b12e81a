#include "Menus.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <unordered_map>

#include "Controls.h"

namespace tk {

namespace {

// Command ids of the living items (main thread only).
std::unordered_map<WORD, TMenuItem*>& Commands() {
    static std::unordered_map<WORD, TMenuItem*> map;
    return map;
}

WORD AllocateCommand(TMenuItem* item) {
    static WORD next = 0x100;
    auto& map = Commands();
    for (int tries = 0; tries < 0xF000; ++tries) {
        WORD id = next++;
        if (next >= 0xF000) next = 0x100;  // above: system command range
        if (map.emplace(id, item).second) return id;
    }
    return 0;
}

void ClearMenu(HMENU menu) {
    while (GetMenuItemCount(menu) > 0)
        if (!RemoveMenu(menu, 0, MF_BYPOSITION)) break;
}

}  // namespace

// --- TMenuItem -------------------------------------------------------------------

TMenuItem::TMenuItem(TComponent* owner) : TComponent(owner) { command_ = AllocateCommand(this); }

TMenuItem::~TMenuItem() {
    if (parent_) parent_->Remove(this);
    for (TMenuItem* c : items_) c->parent_ = nullptr;
    items_.clear();
    if (handle_ && !menu_) {
        ClearMenu(handle_);
        DestroyMenu(handle_);
    }
    handle_ = nullptr;
    if (command_) Commands().erase(command_);
}

void TMenuItem::SetCaption(const std::wstring& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    Changed();
}

void TMenuItem::SetChecked(bool value) {
    if (value == checked_) return;
    checked_ = value;
    Changed();
}

void TMenuItem::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    Changed();
}

void TMenuItem::SetVisible(bool value) {
    if (value == visible_) return;
    visible_ = value;
    Changed();
}

void TMenuItem::Add(TMenuItem* item) { Insert(Count(), item); }

void TMenuItem::Insert(int index, TMenuItem* item) {
    if (!item || item == this) return;
    if (item->parent_) item->parent_->Remove(item);
    index = std::clamp(index, 0, Count());
    items_.insert(items_.begin() + index, item);
    item->parent_ = this;
    Changed();
}

void TMenuItem::Remove(TMenuItem* item) {
    auto it = std::find(items_.begin(), items_.end(), item);
    if (it == items_.end()) return;
    items_.erase(it);
    item->parent_ = nullptr;
    // A sub-menu that is no longer shown must not stay in our menu.
    Changed();
}

int TMenuItem::IndexOf(const TMenuItem* item) const {
    auto it = std::find(items_.begin(), items_.end(), item);
    return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

void TMenuItem::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
}

HMENU TMenuItem::Handle() {
    if (menu_) return menu_->Handle();
    if (!handle_) handle_ = CreatePopupMenu();
    return handle_;
}

void TMenuItem::Rebuild() {
    if (!handle_) return;
    ClearMenu(handle_);
    for (TMenuItem* c : items_)
        if (c->visible_) c->AppendTo(handle_);
}

void TMenuItem::AppendTo(HMENU menu) {
    if (IsLine()) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        return;
    }
    UINT flags = MF_STRING | (checked_ ? MF_CHECKED : MF_UNCHECKED) | (enabled_ ? MF_ENABLED : MF_GRAYED);
    if (!items_.empty()) {
        Handle();
        Rebuild();
        AppendMenuW(menu, flags | MF_POPUP, reinterpret_cast<UINT_PTR>(handle_), caption_.c_str());
    } else {
        AppendMenuW(menu, flags, command_, caption_.c_str());
    }
}

void TMenuItem::Changed() {
    TMenuItem* root = this;
    while (root->parent_) root = root->parent_;
    if (root->menu_ && root->handle_) {
        root->Rebuild();
        root->menu_->MenuChanged();
    } else if (root->handle_) {
        root->Rebuild();
    }
}

void TMenuItem::Click() {
    if (!enabled_) return;
    if (autoCheck_) SetChecked(!checked_);
    if (onClick_) onClick_(this);
}

TMenuItem* TMenuItem::FindCommand(WORD id) {
    auto& map = Commands();
    auto it = map.find(id);
    return it == map.end() ? nullptr : it->second;
}

bool TMenuItem::DispatchCommand(WORD id) {
    TMenuItem* item = FindCommand(id);
    if (!item) return false;
    item->Click();
    return true;
}

// --- TMenu ------------------------------------------------------------------------

TMenu::TMenu(TComponent* owner) : TComponent(owner) {
    items_ = new TMenuItem(this);
    items_->menu_ = this;
}

TMenu::~TMenu() {
    if (handle_) {
        ClearMenu(handle_);
        DestroyMenu(handle_);
        handle_ = nullptr;
    }
    items_->handle_ = nullptr;
}

HMENU TMenu::Handle() {
    if (!handle_) {
        handle_ = CreateMenuHandle();
        items_->handle_ = handle_;
        items_->Rebuild();
    }
    return handle_;
}

void TMainMenu::MenuChanged() {
    if (window_ && IsWindow(window_)) DrawMenuBar(window_);
}

void TPopupMenu::Popup(int x, int y) {
    HWND owner = nullptr;
    if (auto* c = dynamic_cast<TWinControl*>(popupComponent_); c && c->HandleAllocated()) owner = c->Handle();
    if (!owner) owner = GetActiveWindow();
    UINT cmd = static_cast<UINT>(TrackPopupMenuEx(Handle(), TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN, x,
                                                  y, owner, nullptr));
    if (cmd) TMenuItem::DispatchCommand(static_cast<WORD>(cmd));
}

LRESULT MenuCharByFirstLetter(HMENU menu, wchar_t key) {
    const int n = GetMenuItemCount(menu);
    for (int i = 0; i < n; ++i) {
        wchar_t text[128] = {};
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = static_cast<UINT>(std::size(text));
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) continue;
        if ((info.fType & (MFT_SEPARATOR | MFT_OWNERDRAW)) || (info.fState & MFS_DISABLED)) continue;
        if (!text[0] || std::wcschr(text, L'&')) continue;
        if (CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(text[0]))) ==
            CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(key))))
            return MAKELRESULT(i, MNC_EXECUTE);
    }
    return 0;
}

}  // namespace tk
