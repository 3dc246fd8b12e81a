// The send line under the log view: a one-line edit, the form of the
// command (as in the table's Type column) and a Send button. Enter sends,
// Up and Down recall earlier lines. What is sent goes to OnSend, which
// takes it down the same path as a table row.
#pragma once

#include <string>

#include "ExtCtrls.h"
#include "SendHistory.h"
#include "StdCtrls.h"

using TSendLineEvent =
    tk::TMethod<void(tk::TObject* Sender, const std::wstring& Type, const std::wstring& Text)>;

class TSendLine : public tk::TPanel {
public:
    explicit TSendLine(tk::TComponent* owner);
    ~TSendLine() override;

    tk::TEdit* Edit() const { return edit_; }
    tk::TComboBox* TypeBox() const { return type_; }
    tk::TButton* SendButton() const { return button_; }
    // Sends what the edit holds (as the button and Enter do).
    void Send();

    TSendLineEvent OnSend() const { return onSend_; }
    void SetOnSend(TSendLineEvent e) { onSend_ = e; }

protected:
    void Resize() override;

private:
    void ButtonClick(tk::TObject* Sender);
    void EditWindowProc(tk::TMessage& Message);

    tk::TEdit* edit_;
    tk::TComboBox* type_;
    tk::TButton* button_;
    tk::TWndMethod editProc_;
    SendHistory history_;
    TSendLineEvent onSend_;
};
