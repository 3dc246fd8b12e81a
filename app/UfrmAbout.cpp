#include "UfrmAbout.h"

#include <shellapi.h>

#include "Application.h"
#include "UAppFunction.h"

namespace {

TShellExecuteFn& ShellExecuteHook() {
    static TShellExecuteFn hook;
    return hook;
}

void ShellExecuteOpen(HWND parent, const wchar_t* file) {
    if (const TShellExecuteFn& hook = ShellExecuteHook()) {
        (void)hook(parent, L"open", file, nullptr, nullptr, SW_SHOW);
        return;
    }
    (void)ShellExecuteW(parent, L"open", file, nullptr, nullptr, SW_SHOW);
}

}  // namespace

TShellExecuteFn SetShellExecuteHook(TShellExecuteFn hook) {
    TShellExecuteFn old = std::move(ShellExecuteHook());
    ShellExecuteHook() = std::move(hook);
    return old;
}

TfrmAbout::TfrmAbout(tk::TComponent* AOwner) : tk::TForm(AOwner) {
    Image1 = new tk::TImage(this);
    Label1 = new tk::TLabel(this);
    btnAboutOK = new tk::TButton(this);
    Memo1 = new tk::TMemo(this);
    tk::TComponent::LoadLayout(this, [this] { ApplyDesignedLayout(); });
    DoCreate();
}

void TfrmAbout::ApplyDesignedLayout() {
    using namespace tk;
    SetName(L"frmAbout");
    SetBorderStyle(bsToolWindow);
    SetCaption(L"About");
    SetColor(clBtnFace);
    Font().SetName(L"Tahoma");
    Font().SetHeight(-11);
    SetClientWidth(332);
    SetClientHeight(107);

    Image1->SetName(L"Image1");
    Image1->SetParent(this);
    Image1->SetBounds(8, 8, 146, 57);
    Image1->SetStretch(true);
    // Without the resource (a build without the program's resources) the
    // dialog shows no logo rather than failing.
    if (FindResourceW(GetModuleHandleW(nullptr), kLogoResource, MAKEINTRESOURCEW(10)))
        Image1->Picture().LoadFromResourceName(GetModuleHandleW(nullptr), kLogoResource);

    Label1->SetName(L"Label1");
    Label1->SetParent(this);
    Label1->SetAutoSize(false);
    Label1->SetBounds(8, 78, 146, 14);
    Label1->Font().SetName(L"Tahoma");
    Label1->Font().SetHeight(-12);
    Label1->Font().SetColor(clNavy);
    Label1->SetCursor(crHandPoint);
    Label1->SetCaption(kMakerAddress);
    Label1->SetOnClick(TNotifyEvent(this, &TfrmAbout::Label1Click));

    btnAboutOK->SetName(L"btnAboutOK");
    btnAboutOK->SetParent(this);
    btnAboutOK->SetBounds(251, 74, 75, 25);
    btnAboutOK->SetCaption(L"OK");
    btnAboutOK->SetModalResult(mrOk);

    Memo1->SetName(L"Memo1");
    Memo1->SetParent(this);
    Memo1->SetBounds(160, 8, 166, 57);

    SetOnCreate(TNotifyEvent(this, &TfrmAbout::FormCreate));
}

void TfrmAbout::FormCreate(tk::TObject*) {
    Memo1->Lines().Clear();
    Memo1->Lines().Add(L"Quolm Portwright \r\nVersion " + GetAppVersion());
}

void TfrmAbout::Label1Click(tk::TObject*) {
    ShellExecuteOpen(tk::Application().MainWindow(), kMakerAddress);
}
