#include "Application.h"

#include <cwctype>

#include "Threads.h"

namespace tk {

TApplication::TApplication() {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    title_ = TitleFromExeName(std::wstring(path, n));
}

std::wstring TApplication::TitleFromExeName(const std::wstring& path) {
    std::size_t slash = path.find_last_of(L"\\/:");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.find(L'.');
    if (dot != std::wstring::npos) name.resize(dot);
    if (name.size() > 1) CharLowerBuffW(name.data() + 1, static_cast<DWORD>(name.size() - 1));
    return name;
}

void TApplication::ShowException(const Exception& e) {
    MessageBox(mainWindow_, WithFullStop(e.Message()), title_, MB_OK | MB_ICONERROR);
}

void TApplication::HandleException() {
    try {
        throw;
    } catch (const Exception& e) {
        ShowException(e);
    } catch (const std::bad_alloc&) {
        ShowException(Exception(L"Out of memory"));
    } catch (const std::exception& e) {
        std::string what = e.what();
        ShowException(Exception(std::wstring(what.begin(), what.end())));
    }
}

int TApplication::MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
    if (messageBoxHook_) return messageBoxHook_(owner, text, caption, flags);
    // windows.h renames this member to MessageBoxW too: without "::" the call
    // would be this function again (the texts convert back to wstring).
    return ::MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

TApplication::MessageBoxFn TApplication::SetMessageBoxHook(MessageBoxFn hook) {
    MessageBoxFn old = std::move(messageBoxHook_);
    messageBoxHook_ = std::move(hook);
    return old;
}

bool TApplication::ProcessOneMessage() {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        terminated_ = true;
        return true;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    return true;
}

void TApplication::ProcessMessages() {
    CheckSynchronize();
    while (ProcessOneMessage()) {
    }
    // Workers blocked in Synchronize wait for this thread.
    CheckSynchronize();
}

void TApplication::Run() {
    while (!terminated_) {
        MSG msg;
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            terminated_ = true;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        CheckSynchronize();
    }
}

void TApplication::Terminate() {
    terminated_ = true;
    PostQuitMessage(0);
}

TApplication& Application() {
    static TApplication app;
    return app;
}

}  // namespace tk
