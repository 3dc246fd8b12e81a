#include "FormKeys.h"

#include <utility>

namespace {
// The thread's innermost instance; hooks are per thread.
thread_local TFormKeys* current = nullptr;
}  // namespace

TFormKeys::TFormKeys(HWND window, THandler handle) : window_(window), handle_(std::move(handle)) {
    hook_ = SetWindowsHookExW(WH_GETMESSAGE, &TFormKeys::GetMessageHook, nullptr, GetCurrentThreadId());
    previous_ = current;
    current = this;
}

TFormKeys::~TFormKeys() {
    if (hook_) UnhookWindowsHookEx(hook_);
    if (current == this) current = previous_;
}

LRESULT CALLBACK TFormKeys::GetMessageHook(int code, WPARAM wParam, LPARAM lParam) {
    auto* msg = reinterpret_cast<MSG*>(lParam);
    // Only a message taken off the queue, once: a peek that leaves it
    // there would see it again.
    if (code == HC_ACTION && wParam == PM_REMOVE && msg->message == WM_KEYDOWN) {
        for (TFormKeys* keys = current; keys; keys = keys->previous_) {
            if (msg->hwnd != keys->window_ && !IsChild(keys->window_, msg->hwnd)) continue;
            if (keys->handle_ && keys->handle_(msg->wParam)) msg->message = WM_NULL;
            break;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
