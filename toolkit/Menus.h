// Menus: a menu bar for a form, a context menu for a control, and their
// items. Every item has a command id; WM_COMMAND messages find it by id.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Classes.h"
#include "Method.h"

namespace tk {

class TMenu;

class TMenuItem : public TComponent {
public:
    explicit TMenuItem(TComponent* owner);
    ~TMenuItem() override;

    // "&" marks the accelerator letter; "-" makes a separator.
    const std::wstring& Caption() const { return caption_; }
    void SetCaption(const std::wstring& caption);
    bool Checked() const { return checked_; }
    void SetChecked(bool value);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    bool Visible() const { return visible_; }
    void SetVisible(bool value);
    // Ticks and unticks itself on each click.
    bool AutoCheck() const { return autoCheck_; }
    void SetAutoCheck(bool value) { autoCheck_ = value; }
    bool IsLine() const { return caption_ == L"-"; }

    TNotifyEvent OnClick() const { return onClick_; }
    void SetOnClick(TNotifyEvent e) { onClick_ = e; }

    // Sub-items, in order. The item does not own them (their owner does),
    // but drops them when they are destroyed.
    int Count() const { return static_cast<int>(items_.size()); }
    TMenuItem* Items(int index) const { return items_.at(static_cast<std::size_t>(index)); }
    TMenuItem* operator[](int index) const { return Items(index); }
    void Add(TMenuItem* item);
    void Insert(int index, TMenuItem* item);
    void Remove(TMenuItem* item);
    int IndexOf(const TMenuItem* item) const;
    TMenuItem* Parent() const { return parent_; }

    // The id in WM_COMMAND.
    WORD Command() const { return command_; }
    // The menu this item shows its sub-items in (created on demand).
    HMENU Handle();

    // What a click does: ticks an auto-check item, then OnClick. Disabled
    // items do nothing.
    virtual void Click();

    // Finds the item with the command id and clicks it; false if none.
    static bool DispatchCommand(WORD id);
    static TMenuItem* FindCommand(WORD id);

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    friend class TMenu;
    void Changed();
    void Rebuild();
    void AppendTo(HMENU menu);

    std::wstring caption_;
    bool checked_ = false;
    bool enabled_ = true;
    bool visible_ = true;
    bool autoCheck_ = false;
    WORD command_ = 0;
    HMENU handle_ = nullptr;
    TMenuItem* parent_ = nullptr;
    TMenu* menu_ = nullptr;  // set on the root item of a menu
    std::vector<TMenuItem*> items_;
    TNotifyEvent onClick_;
};

class TMenu : public TComponent {
public:
    explicit TMenu(TComponent* owner);
    ~TMenu() override;
    // The root item; its sub-items are the menu's entries.
    TMenuItem* Items() { return items_; }
    HMENU Handle();

protected:
    friend class TMenuItem;
    virtual HMENU CreateMenuHandle() = 0;
    virtual void MenuChanged() {}
    HMENU handle_ = nullptr;

private:
    TMenuItem* items_;
};

// The menu bar of a form (TForm::SetMenu).
class TMainMenu : public TMenu {
public:
    using TMenu::TMenu;
    // The form window that shows it, redrawn when an item changes.
    void SetWindow(HWND wnd) { window_ = wnd; }

protected:
    HMENU CreateMenuHandle() override { return CreateMenu(); }
    void MenuChanged() override;

private:
    HWND window_ = nullptr;
};

// The answer to WM_MENUCHAR for a key no access key matched: the first
// enabled item without one whose caption starts with that letter, as users
// expect Alt+F to open "File". 0 (the system's beep) when none does.
LRESULT MenuCharByFirstLetter(HMENU menu, wchar_t key);

class TPopupMenu : public TMenu {
public:
    using TMenu::TMenu;
    // Shows the menu at a screen position and runs the chosen item.
    virtual void Popup(int x, int y);
    TComponent* PopupComponent() const { return popupComponent_; }
    void SetPopupComponent(TComponent* c) { popupComponent_ = c; }

protected:
    HMENU CreateMenuHandle() override { return CreatePopupMenu(); }

private:
    TComponent* popupComponent_ = nullptr;
};

}  // namespace tk
