// Program start: the application object, the main window and its message loop.
#include <windows.h>

#include "Application.h"
#include "UfrmMain.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    tk::TApplication& app = tk::Application();
    try {
        // The main window carries the taskbar button: it is created without
        // an owner window and becomes the application's main window.
        frmMain = new TfrmMain(nullptr);
        app.SetMainWindow(frmMain->Handle());
        frmMain->Show();
        app.Run();
    } catch (...) {
        app.HandleException();
    }
    delete frmMain;
    return 0;
}
