#include "Threads.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "SysUtils.h"

namespace tk {

namespace {

// Taken during static initialisation, which runs on the program's first thread.
const DWORD g_mainThreadId = GetCurrentThreadId();

struct SyncRequest {
    const std::function<void()>* proc;
    std::exception_ptr error;
    bool done = false;
};

class SyncQueue {
public:
    SyncQueue() {
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (GetCurrentThreadId() == g_mainThreadId) CreateWakeWindow();
    }
    SyncQueue(const SyncQueue&) = delete;
    SyncQueue& operator=(const SyncQueue&) = delete;
    ~SyncQueue() {
        if (window_) DestroyWindow(window_);
        if (event_) CloseHandle(event_);
    }

    HANDLE Event() const { return event_; }

    void Call(const std::function<void()>& proc) {
        SyncRequest req{&proc, nullptr, false};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(&req);
        }
        SetEvent(event_);
        // Wakes a GetMessage loop (also modal ones, since the message goes
        // to a window); WaitFor watches the event instead.
        if (!window_ || !PostMessageW(window_, kWakeMessage, 0, 0))
            PostThreadMessageW(g_mainThreadId, WM_NULL, 0, 0);
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return req.done; });
        if (req.error) std::rethrow_exception(req.error);
    }

    bool RunPending() {
        bool ran = false;
        for (;;) {
            SyncRequest* req;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (queue_.empty()) break;
                req = queue_.front();
                queue_.pop_front();
            }
            try {
                (*req->proc)();
            } catch (...) {
                req->error = std::current_exception();
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                req->done = true;
            }
            done_.notify_all();
            ran = true;
        }
        return ran;
    }

private:
    static constexpr UINT kWakeMessage = WM_APP + 0x3A51;

    static LRESULT CALLBACK WndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == kWakeMessage) {
            CheckSynchronize();
            return 0;
        }
        return DefWindowProcW(wnd, msg, wParam, lParam);
    }

    void CreateWakeWindow() {
        HINSTANCE inst = GetModuleHandleW(nullptr);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &SyncQueue::WndProc;
        wc.hInstance = inst;
        wc.lpszClassName = L"TkThreadSyncWindow";
        RegisterClassW(&wc);
        window_ = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  inst, nullptr);
    }

    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<SyncRequest*> queue_;
    HANDLE event_ = nullptr;
    HWND window_ = nullptr;
};

SyncQueue& Queue() {
    static SyncQueue queue;
    return queue;
}

// Create the queue (and its window, on the main thread) before any worker
// can ask for it.
const bool g_queueReady = (Queue(), true);

int WinPriority(TThreadPriority p) {
    switch (p) {
        case tpIdle:
            return THREAD_PRIORITY_IDLE;
        case tpLowest:
            return THREAD_PRIORITY_LOWEST;
        case tpLower:
            return THREAD_PRIORITY_BELOW_NORMAL;
        case tpNormal:
            return THREAD_PRIORITY_NORMAL;
        case tpHigher:
            return THREAD_PRIORITY_ABOVE_NORMAL;
        case tpHighest:
            return THREAD_PRIORITY_HIGHEST;
        case tpTimeCritical:
            return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

}  // namespace

DWORD MainThreadID() { return g_mainThreadId; }
bool IsMainThread() { return GetCurrentThreadId() == g_mainThreadId; }

bool CheckSynchronize() {
    if (!IsMainThread()) return false;
    return Queue().RunPending();
}

TThread::TThread(bool createSuspended) {
    (void)g_queueReady;
    handle_ = CreateThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &threadId_);
    if (!handle_) RaiseLastOSError();
    if (!createSuspended) Start();
}

TThread::~TThread() {
    if (handle_ && GetCurrentThreadId() != threadId_) {
        // Explicit destruction: the object is not freed twice.
        freeOnTerminate_ = false;
        if (!finished_) {
            TThread::Terminate();
            // A thread that never ran is let go without running Execute.
            if (!started_) Start();
        }
        // Always wait for the real end: the system cancels the thread's
        // pending transfers only then.
        try {
            WaitFor();
        } catch (...) {
        }
    }
    if (handle_) CloseHandle(handle_);
}

void TThread::Start() {
    if (started_) return;
    started_ = true;
    ResumeThread(handle_);
}

void TThread::Terminate() { terminated_ = true; }

void TThread::SetPriority(TThreadPriority value) {
    priority_ = value;
    SetThreadPriority(handle_, WinPriority(value));
}

DWORD TThread::WaitFor() {
    if (GetCurrentThreadId() == threadId_) throw Exception(L"A thread cannot wait for itself");
    if (IsMainThread()) {
        HANDLE handles[2] = {handle_, Queue().Event()};
        for (;;) {
            CheckSynchronize();
            DWORD r = MsgWaitForMultipleObjects(2, handles, FALSE, INFINITE, QS_SENDMESSAGE);
            if (r == WAIT_OBJECT_0) break;
            if (r == WAIT_OBJECT_0 + 1) continue;  // a call was queued
            if (r == WAIT_OBJECT_0 + 2) {
                // Lets the system deliver messages sent to our windows.
                MSG msg;
                PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
                continue;
            }
            if (r == WAIT_FAILED) break;
        }
        // Calls queued just before the end would otherwise wait for the loop.
        CheckSynchronize();
    } else {
        WaitForSingleObject(handle_, INFINITE);
    }
    return returnValue_;
}

void TThread::Synchronize(TThread* /*thread*/, const std::function<void()>& proc) {
    if (IsMainThread()) {
        proc();
        return;
    }
    Queue().Call(proc);
}

void TThread::Synchronize(TThread* thread, const TThreadMethod& method) {
    if (!method.Assigned()) return;
    std::function<void()> proc = [&method] { method(); };
    Synchronize(thread, proc);
}

DWORD WINAPI TThread::ThreadProc(LPVOID param) {
    auto* self = static_cast<TThread*>(param);
    if (!self->terminated_) {
        try {
            self->Execute();
        } catch (...) {
            self->fatalException_ = std::current_exception();
        }
    }
    DWORD result = self->returnValue_;
    bool freeSelf = self->freeOnTerminate_;
    self->finished_ = true;
    if (freeSelf) delete self;
    return result;
}

}  // namespace tk
