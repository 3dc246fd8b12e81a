#include "UfrmRepeat.h"

#include <string>

namespace {

// A whole number from 0 to limit, or -1.
int ParseCount(const std::wstring& text, int limit) {
    if (text.empty() || text.size() > 9) return -1;
    int v = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return -1;
        v = v * 10 + (c - L'0');
    }
    return v <= limit ? v : -1;
}

}  // namespace

TfrmRepeat::TfrmRepeat(tk::TComponent* AOwner) : tk::TForm(AOwner) {
    using namespace tk;
    lblCount = new TLabel(this);
    edtCount = new TEdit(this);
    chkUntilStopped = new TCheckBox(this);
    lblPeriod = new TLabel(this);
    edtPeriod = new TEdit(this);
    btnOK = new TButton(this);
    btnCancel = new TButton(this);
    SetBorderStyle(bsToolWindow);
    SetCaption(L"Repeat");
    SetColor(clBtnFace);
    Font().SetName(L"Tahoma");
    Font().SetHeight(-11);
    SetClientWidth(250);
    SetClientHeight(104);
    lblCount->SetParent(this);
    lblCount->SetBounds(8, 11, 60, 14);
    lblCount->SetCaption(L"Repeats:");
    edtCount->SetParent(this);
    edtCount->SetBounds(90, 8, 60, 21);
    chkUntilStopped->SetParent(this);
    chkUntilStopped->SetBounds(158, 10, 90, 17);
    chkUntilStopped->SetCaption(L"Until stopped");
    lblPeriod->SetParent(this);
    lblPeriod->SetBounds(8, 41, 80, 14);
    lblPeriod->SetCaption(L"Period (ms):");
    edtPeriod->SetParent(this);
    edtPeriod->SetBounds(90, 38, 60, 21);
    btnOK->SetParent(this);
    btnOK->SetBounds(88, 72, 75, 25);
    btnOK->SetCaption(L"OK");
    btnOK->SetModalResult(mrOk);
    btnCancel->SetParent(this);
    btnCancel->SetBounds(168, 72, 75, 25);
    btnCancel->SetCaption(L"Cancel");
    btnCancel->SetModalResult(mrCancel);
}

bool TfrmRepeat::Ask(TRunOptions& options) {
    edtCount->SetText(std::to_wstring(options.repeats > 0 ? options.repeats : 1));
    chkUntilStopped->SetChecked(options.repeats == 0);
    edtPeriod->SetText(std::to_wstring(options.periodMs));
    if (ShowModal() != tk::mrOk) return false;
    const int count = ParseCount(edtCount->Text(), 100000000);
    const int period = ParseCount(edtPeriod->Text(), 3600000);
    if (chkUntilStopped->Checked())
        options.repeats = 0;
    else if (count > 0)
        options.repeats = count;
    if (period >= 0) options.periodMs = period;
    return true;
}
