#include "Forms.h"

#include <algorithm>
#include <vector>

#include "Application.h"
#include "SysUtils.h"

namespace tk {

TForm::TForm(TComponent* owner) : TWinControl(owner) {
    TWinControl::SetVisible(false);
    SetBoundsInternal(0, 0, 320, 240);
    SetParentFont(false);
    SetDefaultColor(clBtnFace, false);
}

TForm::~TForm() {
    if (onDestroy_) {
        try {
            onDestroy_(this);
        } catch (...) {
            try {
                Application().HandleException();
            } catch (...) {
            }
        }
    }
    if (menu_) {
        // DestroyWindow would destroy the menu bar with the window.
        if (HandleAllocated()) ::SetMenu(Handle(), nullptr);
        menu_->SetWindow(nullptr);
        menu_->RemoveFreeNotification(this);
        menu_ = nullptr;
    }
    if (HandleAllocated() && Application().MainWindow() == Handle()) Application().SetMainWindow(nullptr);
}

bool TForm::IsMainForm() const {
    return HandleAllocated() && Application().MainWindow() == const_cast<TForm*>(this)->Handle();
}

void TForm::SetBorderStyle(TFormBorderStyle style) {
    if (style == borderStyle_) return;
    int cw = ClientWidth(), ch = ClientHeight();
    borderStyle_ = style;
    if (HandleAllocated()) {
        RecreateWnd();
    } else {
        SetClientWidth(cw);
        SetClientHeight(ch);
    }
}

void TForm::SetMenu(TMainMenu* menu) {
    if (menu == menu_) return;
    int cw = ClientWidth(), ch = ClientHeight();
    if (menu_) {
        menu_->SetWindow(nullptr);
        menu_->RemoveFreeNotification(this);
    }
    menu_ = menu;
    if (menu_) menu_->FreeNotification(this);
    if (HandleAllocated()) {
        ::SetMenu(Handle(), menu_ ? menu_->Handle() : nullptr);
        if (menu_) menu_->SetWindow(Handle());
    } else {
        // The designed client size stays; the frame grows by the menu bar.
        SetClientWidth(cw);
        SetClientHeight(ch);
    }
}

void TForm::Notification(TComponent* component, TOperation operation) {
    TWinControl::Notification(component, operation);
    if (operation == opRemove && component == menu_) {
        if (HandleAllocated()) ::SetMenu(Handle(), nullptr);
        menu_ = nullptr;
    }
}

void TForm::CreateParams(TCreateParams& p) {
    TWinControl::CreateParams(p);
    p.Style &= ~(WS_CHILD | WS_VISIBLE);
    switch (borderStyle_) {
        case bsNone: p.Style |= WS_POPUP; break;
        case bsSingle: p.Style |= WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX; break;
        case bsSizeable: p.Style |= WS_OVERLAPPEDWINDOW; break;
        case bsDialog:
            p.Style |= WS_POPUP | WS_CAPTION | WS_SYSMENU;
            p.ExStyle |= WS_EX_DLGMODALFRAME;
            break;
        case bsToolWindow:
            p.Style |= WS_CAPTION | WS_SYSMENU;
            p.ExStyle |= WS_EX_TOOLWINDOW;
            break;
        case bsSizeToolWin:
            p.Style |= WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;
            p.ExStyle |= WS_EX_TOOLWINDOW;
            break;
    }
    // A dialog belongs to the form that owns it (or the main window), so it
    // stays above it and has no taskbar button of its own.
    HWND ownerWnd = nullptr;
    if (auto* f = dynamic_cast<TForm*>(Owner()); f && f != this) ownerWnd = f->Handle();
    if (!ownerWnd && Application().MainWindow() && Application().MainWindow() != p.WndParent)
        ownerWnd = Application().MainWindow();
    p.WndParent = ownerWnd;
    if (!ownerWnd) p.ExStyle |= WS_EX_APPWINDOW;
    if (position_ == poDefault || position_ == poDefaultPosOnly) p.X = p.Y = CW_USEDEFAULT;
    if (position_ == poDefault) p.Width = p.Height = CW_USEDEFAULT;
    p.Menu = menu_ ? menu_->Handle() : nullptr;
}

void TForm::CreateWnd() {
    TWinControl::CreateWnd();
    if (menu_) menu_->SetWindow(Handle());
    if (Visible()) ShowWindow(Handle(), SW_SHOW);
}

void TForm::PlaceOnFirstShow() {
    if (placed_) return;
    placed_ = true;
    RECT area;
    if (position_ == poScreenCenter) {
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    } else if (position_ == poOwnerFormCenter && dynamic_cast<TForm*>(Owner())) {
        GetWindowRect(static_cast<TForm*>(Owner())->Handle(), &area);
    } else {
        return;
    }
    SetBounds(area.left + (area.right - area.left - Width()) / 2, area.top + (area.bottom - area.top - Height()) / 2,
              Width(), Height());
}

void TForm::SetVisible(bool value) {
    if (value) {
        HWND h = Handle();
        PlaceOnFirstShow();
        TWinControl::SetVisible(true);
        ShowWindow(h, SW_SHOW);
    } else {
        TWinControl::SetVisible(false);
    }
}

void TForm::DoCreate() {
    if (!onCreate_) return;
    try {
        onCreate_(this);
    } catch (...) {
        Application().HandleException();
    }
}

void TForm::Resize() {
    TWinControl::Resize();
    if (onResize_) onResize_(this);
}

void TForm::Close() {
    TCloseAction action = caHide;
    if (onClose_) onClose_(this, action);
    if (action == caNone) return;
    if (modal_) {
        if (modalResult_ == mrNone) modalResult_ = mrCancel;
        return;
    }
    if (IsMainForm()) {
        Application().Terminate();
        return;
    }
    if (action == caMinimize)
        ShowWindow(Handle(), SW_MINIMIZE);
    else
        Hide();  // caFree: the owner frees the form
}

namespace {
struct DisabledWindows {
    HWND self;
    std::vector<HWND> windows;
};

BOOL CALLBACK DisableOne(HWND wnd, LPARAM param) {
    auto* d = reinterpret_cast<DisabledWindows*>(param);
    if (wnd != d->self && IsWindowVisible(wnd) && IsWindowEnabled(wnd)) {
        EnableWindow(wnd, FALSE);
        d->windows.push_back(wnd);
    }
    return TRUE;
}
}  // namespace

int TForm::ShowModal() {
    if (modal_ || Visible()) throw Exception(L"Cannot make a visible window modal");
    HWND self = Handle();
    DisabledWindows disabled{self, {}};
    EnumThreadWindows(GetCurrentThreadId(), &DisableOne, reinterpret_cast<LPARAM>(&disabled));
    auto restore = [&] {
        for (HWND w : disabled.windows)
            if (IsWindow(w)) EnableWindow(w, TRUE);
        modal_ = false;
    };
    modal_ = true;
    modalResult_ = mrNone;
    try {
        Show();
        while (modalResult_ == mrNone) {
            MSG msg;
            BOOL got = GetMessageW(&msg, nullptr, 0, 0);
            if (got == 0 || got == -1) {
                // The program is ending: leave the quit message for the main loop.
                PostQuitMessage(static_cast<int>(msg.wParam));
                modalResult_ = mrCancel;
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (!HandleAllocated()) modalResult_ = mrCancel;
        }
    } catch (...) {
        restore();
        throw;
    }
    // Enable the others before hiding, so activation goes back to them.
    restore();
    if (HandleAllocated()) Hide();
    return modalResult_;
}

void TForm::WMDeviceChange(TMessage& m) {
    if (onDeviceChange_) {
        onDeviceChange_(this, m);
        return;
    }
    DefaultHandler(m);
}

void TForm::WndProc(TMessage& m) {
    switch (m.Msg) {
        case WM_CLOSE:
            Close();
            m.Result = 0;
            return;
        case WM_DEVICECHANGE:
            WMDeviceChange(m);
            return;
        case WM_MENUCHAR:
            m.Result = MenuCharByFirstLetter(reinterpret_cast<HMENU>(m.LParam), LOWORD(m.WParam));
            if (m.Result) return;
            break;
        default:
            break;
    }
    TWinControl::WndProc(m);
}

}  // namespace tk
