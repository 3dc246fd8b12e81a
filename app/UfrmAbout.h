// The About dialog: the maker's logo and web address, the product name and
// the program version.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "ExtCtrls.h"
#include "Forms.h"
#include "StdCtrls.h"

// The maker's web address, shown and opened by the dialog.
inline const wchar_t* const kMakerAddress = L"https://quolm.example/";
// Name of the RCDATA resource that holds the logo (a PNG picture).
inline const wchar_t* const kLogoResource = L"LOGO";

// ShellExecuteW, replaceable so tests can see the call without a browser.
using TShellExecuteFn =
    std::function<HINSTANCE(HWND parent, const wchar_t* verb, const wchar_t* file,
                            const wchar_t* parameters, const wchar_t* directory, int show)>;
// Installs a replacement (empty: the system's) and returns the previous one.
TShellExecuteFn SetShellExecuteHook(TShellExecuteFn hook);

class TfrmAbout : public tk::TForm {
public:
    // Creates the controls with their designed values, then FormCreate.
    explicit TfrmAbout(tk::TComponent* AOwner);

    tk::TImage* Image1;
    tk::TLabel* Label1;
    tk::TButton* btnAboutOK;
    tk::TMemo* Memo1;

    void FormCreate(tk::TObject* Sender);
    void Label1Click(tk::TObject* Sender);

private:
    void ApplyDesignedLayout();
};
