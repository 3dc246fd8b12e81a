// Top-level windows: the main window and modal dialogs.
#pragma once

#include "Controls.h"
#include "Menus.h"

namespace tk {

enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
enum TPosition { poDesigned, poDefault, poDefaultPosOnly, poScreenCenter, poOwnerFormCenter };
enum TCloseAction { caNone, caHide, caFree, caMinimize };

// Results of a modal window.
enum TModalResult : int { mrNone = 0, mrOk = IDOK, mrCancel = IDCANCEL, mrAbort = IDABORT, mrRetry = IDRETRY,
                          mrIgnore = IDIGNORE, mrYes = IDYES, mrNo = IDNO };

using TCloseEvent = TMethod<void(TObject* Sender, TCloseAction& Action)>;
using TMessageEvent = TMethod<void(TObject* Sender, TMessage& Message)>;

class TForm : public TWinControl {
public:
    // A form starts hidden; its controls are created by the derived
    // constructor, which then calls DoCreate.
    explicit TForm(TComponent* owner);
    // Raises OnDestroy, then destroys the controls and the window.
    ~TForm() override;

    TFormBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TFormBorderStyle style);
    TPosition Position() const { return position_; }
    void SetPosition(TPosition position) { position_ = position; }

    TMainMenu* Menu() const { return menu_; }
    void SetMenu(TMainMenu* menu);

    void SetVisible(bool value) override;
    // Shows the form modally: other windows of the program are disabled until
    // ModalResult is set (a button with a ModalResult, or closing the form).
    int ShowModal();
    int ModalResult() const { return modalResult_; }
    void SetModalResult(int value) { modalResult_ = value; }
    bool IsModal() const { return modal_; }
    // Asks the form to close: OnClose decides; the main window ends the program.
    void Close();

    // Raises OnCreate; an exception ends the handler and is reported.
    void DoCreate();

    TNotifyEvent OnCreate() const { return onCreate_; }
    void SetOnCreate(TNotifyEvent e) { onCreate_ = e; }
    TNotifyEvent OnDestroy() const { return onDestroy_; }
    void SetOnDestroy(TNotifyEvent e) { onDestroy_ = e; }
    TNotifyEvent OnResize() const { return onResize_; }
    void SetOnResize(TNotifyEvent e) { onResize_ = e; }
    TCloseEvent OnClose() const { return onClose_; }
    void SetOnClose(TCloseEvent e) { onClose_ = e; }
    // WM_DEVICECHANGE, when WMDeviceChange is not overridden.
    TMessageEvent OnDeviceChange() const { return onDeviceChange_; }
    void SetOnDeviceChange(TMessageEvent e) { onDeviceChange_ = e; }

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void WndProc(TMessage& message) override;
    void Resize() override;
    bool HasMenuBar() const override { return menu_ != nullptr; }
    void Notification(TComponent* component, TOperation operation) override;
    // WM_DEVICECHANGE (0x0219); the default raises OnDeviceChange, else
    // leaves it to DefWindowProc.
    virtual void WMDeviceChange(TMessage& message);

private:
    void PlaceOnFirstShow();
    bool IsMainForm() const;

    TFormBorderStyle borderStyle_ = bsSizeable;
    TPosition position_ = poDesigned;
    TMainMenu* menu_ = nullptr;
    int modalResult_ = 0;
    bool modal_ = false;
    bool placed_ = false;
    TNotifyEvent onCreate_, onDestroy_, onResize_;
    TCloseEvent onClose_;
    TMessageEvent onDeviceChange_;
};

}  // namespace tk
