#include "SendLine.h"

#include <algorithm>

namespace {
constexpr int kButtonWidth = 60, kTypeWidth = 90, kGap = 2;
}

TSendLine::TSendLine(tk::TComponent* owner) : tk::TPanel(owner) {
    SetBevelOuter(tk::bvNone);
    SetText(L"");
    edit_ = new tk::TEdit(this);
    edit_->SetParent(this);
    edit_->SetName(L"edtSend");
    type_ = new tk::TComboBox(this);
    type_->SetParent(this);
    type_->SetName(L"cmbSendType");
    type_->SetStyle(tk::csDropDownList);
    for (const wchar_t* t : {L"ASCII", L"ASCII+CR", L"ASCII+CRLF", L"HEX"}) type_->Items().Add(t);
    type_->SetItemIndex(1);
    button_ = new tk::TButton(this);
    button_->SetParent(this);
    button_->SetName(L"btnSend");
    button_->SetCaption(L"Send");
    button_->SetOnClick(tk::TNotifyEvent(this, &TSendLine::ButtonClick));
    // Enter and the arrows are the edit's own keys here.
    editProc_ = edit_->WindowProc();
    edit_->SetWindowProc(tk::TWndMethod(this, &TSendLine::EditWindowProc));
}

TSendLine::~TSendLine() {
    // The edit outlives this part of the panel: it gets its own handler back.
    edit_->SetWindowProc(editProc_);
}

void TSendLine::Resize() {
    tk::TPanel::Resize();
    const int w = ClientWidth(), h = ClientHeight();
    button_->SetBounds(w - kButtonWidth, 0, kButtonWidth, h);
    type_->SetBounds(w - kButtonWidth - kGap - kTypeWidth, 0, kTypeWidth, h);
    edit_->SetBounds(0, 0, std::max(0, w - kButtonWidth - kTypeWidth - 2 * kGap), h);
}

void TSendLine::ButtonClick(tk::TObject*) { Send(); }

void TSendLine::Send() {
    const std::wstring text = edit_->Text();
    const int i = type_->ItemIndex();
    const std::wstring type = i >= 0 ? type_->Items().Strings(i) : L"ASCII";
    history_.Add(text);
    edit_->SetText(L"");
    if (onSend_) onSend_(this, type, text);
}

void TSendLine::EditWindowProc(tk::TMessage& m) {
    if (m.Msg == WM_KEYDOWN && (m.WParam == VK_RETURN || m.WParam == VK_UP || m.WParam == VK_DOWN)) {
        if (m.WParam == VK_RETURN) {
            Send();
        } else if (m.WParam == VK_UP) {
            if (const std::wstring* line = history_.Older()) edit_->SetText(*line);
        } else {
            edit_->SetText(history_.Newer());
        }
        if (m.WParam != VK_RETURN) SendMessageW(edit_->Handle(), EM_SETSEL, 0x7FFF, 0x7FFF);
        m.Result = 0;
        return;
    }
    // The edit would beep at the Enter character.
    if (m.Msg == WM_CHAR && m.WParam == L'\r') {
        m.Result = 0;
        return;
    }
    editProc_(m);
}
