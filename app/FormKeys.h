// Keys that work wherever the focus is in a window (F5 in the grid, the log
// view or the send line alike): seen as the thread takes them from its
// queue, before the focused control does.
#pragma once

#include <windows.h>

#include <functional>

class TFormKeys {
public:
    // `handle` is asked about every key pressed in `window` or a window
    // inside it; true swallows the key.
    using THandler = std::function<bool(WPARAM key)>;

    TFormKeys(HWND window, THandler handle);
    ~TFormKeys();
    TFormKeys(const TFormKeys&) = delete;
    TFormKeys& operator=(const TFormKeys&) = delete;

private:
    static LRESULT CALLBACK GetMessageHook(int code, WPARAM wParam, LPARAM lParam);

    HWND window_;
    THandler handle_;
    HHOOK hook_ = nullptr;
    TFormKeys* previous_ = nullptr;
};
