// Program start: the application object, the main window and its message loop.
#include <windows.h>

#include "Application.h"

namespace {

const wchar_t kMainWindowClass[] = L"TfrmMain";

LRESULT CALLBACK MainWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    try {
        if (msg == WM_DESTROY) {
            tk::Application().Terminate();
            return 0;
        }
        return DefWindowProcW(wnd, msg, wParam, lParam);
    } catch (...) {
        // Nothing may unwind through the system's dispatcher.
        tk::Application().HandleException();
        return 0;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    tk::TApplication& app = tk::Application();

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kMainWindowClass;
    if (!RegisterClassExW(&wc)) return 1;

    HWND wnd = CreateWindowExW(0, kMainWindowClass, L"Quolm", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (!wnd) return 1;
    app.SetMainWindow(wnd);
    ShowWindow(wnd, show);
    UpdateWindow(wnd);
    app.Run();
    return 0;
}
