// The application object: title, error report, message boxes and the
// message loop of the main thread.
#pragma once

#ifndef _WIN32
#error "Application is Windows-only"
#endif

#include <windows.h>

#include <functional>
#include <string>

#include "SysUtils.h"

namespace tk {

class TApplication {
public:
    // Replaceable message box, so tests can answer boxes without a user.
    using MessageBoxFn = std::function<int(HWND owner, const std::wstring& text, const std::wstring& caption,
                                           UINT flags)>;

    TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // The executable's file name up to its first ".", every letter after the
    // first in lower case ("QUOLM.EXE" -> "Quolm").
    const std::wstring& Title() const { return title_; }
    void SetTitle(std::wstring title) { title_ = std::move(title); }
    static std::wstring TitleFromExeName(const std::wstring& path);

    HWND MainWindow() const { return mainWindow_; }
    void SetMainWindow(HWND wnd) { mainWindow_ = wnd; }

    // The error report: the message (with a full stop after a letter or
    // digit) in a modal box, the title as caption, the error icon.
    void ShowException(const Exception& e);
    // To be called inside a catch block: reports the exception in flight.
    void HandleException();

    int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);
    MessageBoxFn SetMessageBoxHook(MessageBoxFn hook);

    // Handles every message waiting in the queue, then returns.
    void ProcessMessages();
    // Runs the message loop until WM_QUIT or Terminate.
    void Run();
    void Terminate();
    bool Terminated() const { return terminated_; }

private:
    bool ProcessOneMessage();

    std::wstring title_;
    HWND mainWindow_ = nullptr;
    bool terminated_ = false;
    MessageBoxFn messageBoxHook_;
};

// The process-wide application object (created on first use).
TApplication& Application();

}  // namespace tk
