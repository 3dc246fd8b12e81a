// Threads and the blocking main-thread call.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "Application.h"
#include "SysUtils.h"
#include "Threads.h"

namespace {

// A thread running a callable; it can be created suspended.
class TLambdaThread : public tk::TThread {
public:
    explicit TLambdaThread(std::function<void(TLambdaThread&)> body, bool start = true)
        : tk::TThread(true), body_(std::move(body)) {
        if (start) Start();
    }
    ~TLambdaThread() override {
        // Execute reads body_: end the thread before the member goes.
        Terminate();
        Start();  // a thread never started ends at once, without Execute
        WaitFor();
    }
    using tk::TThread::SetReturnValue;

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(TLambdaThread&)> body_;
};

// Waits for a condition while serving the main thread's queue; the limit
// only keeps a broken build from hanging.
template <class F>
bool PumpUntil(F done, DWORD limitMs = 10000) {
    DWORD start = GetTickCount();
    while (!done()) {
        tk::Application().ProcessMessages();
        if (GetTickCount() - start > limitMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return true;
}

TEST(ThreadMainCall, SynchronizeRunsOnTheMainThreadWhileItWaitsForTheWorker) {
    ASSERT_TRUE(tk::IsMainThread());
    DWORD ranOn = 0;
    int calls = 0;
    TLambdaThread t([&](TLambdaThread& self) {
        self.Synchronize([&] {
            ranOn = GetCurrentThreadId();
            ++calls;
        });
        self.SetReturnValue(42);
    });
    EXPECT_EQ(t.WaitFor(), 42u);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ranOn, tk::MainThreadID());
}

TEST(ThreadMainCall, SynchronizeRunsFromProcessMessages) {
    std::atomic<bool> done = false;
    DWORD ranOn = 0;
    TLambdaThread t([&](TLambdaThread& self) {
        self.Synchronize([&] { ranOn = GetCurrentThreadId(); });
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    EXPECT_EQ(ranOn, tk::MainThreadID());
}

struct TCounter {
    int n = 0;
    void Inc() { ++n; }
    void Fail() { throw tk::EListError(L"broken on purpose"); }
};

TEST(ThreadMainCall, BoundMethodsAndExceptionsCrossBackToTheWorker) {
    TCounter counter;
    std::wstring caught;
    bool caughtType = false;
    TLambdaThread t([&](TLambdaThread& self) {
        self.Synchronize(tk::TThreadMethod(&counter, &TCounter::Inc));
        try {
            self.Synchronize(tk::TThreadMethod(&counter, &TCounter::Fail));
        } catch (const tk::EListError& e) {
            caughtType = true;
            caught = e.Message();
        }
        // An unset method is not called.
        self.Synchronize(tk::TThreadMethod());
    });
    t.WaitFor();
    EXPECT_EQ(counter.n, 1);
    EXPECT_TRUE(caughtType);
    EXPECT_EQ(caught, L"broken on purpose");
}

TEST(ThreadMainCall, SynchronizeOnTheMainThreadRunsAtOnce) {
    int calls = 0;
    tk::TThread::Synchronize(nullptr, std::function<void()>([&] { ++calls; }));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(tk::CheckSynchronize());
}

TEST(ThreadMainCall, ManyWorkersAllGetServed) {
    std::atomic<int> total = 0;
    {
        TLambdaThread a([&](TLambdaThread& self) {
            for (int i = 0; i < 50; ++i) self.Synchronize([&] { ++total; });
        });
        TLambdaThread b([&](TLambdaThread& self) {
            for (int i = 0; i < 50; ++i) self.Synchronize([&] { ++total; });
        });
        a.WaitFor();
        b.WaitFor();
    }
    EXPECT_EQ(total.load(), 100);
}

// Messages sent from a worker to a main-thread window must be handled while
// the main thread waits for that worker, or both would hang.
LRESULT CALLBACK EchoWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_APP + 7) return static_cast<LRESULT>(wParam * 2);
    return DefWindowProcW(wnd, msg, wParam, lParam);
}

TEST(ThreadWaitFor, KeepsHandlingMessagesSentToMainThreadWindows) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = EchoWndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ThreadsTestEcho";
    RegisterClassW(&wc);
    HWND wnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
    ASSERT_NE(wnd, nullptr);
    LRESULT answer = 0;
    TLambdaThread t([&](TLambdaThread&) { answer = SendMessageW(wnd, WM_APP + 7, 21, 0); });
    t.WaitFor();
    EXPECT_EQ(answer, 42);
    DestroyWindow(wnd);
}

TEST(ThreadLifecycle, TerminateIsSeenByExecuteAndDestructionWaits) {
    std::atomic<bool> running = false;
    std::atomic<bool> ended = false;
    {
        TLambdaThread t([&](TLambdaThread& self) {
            running = true;
            while (!self.Terminated()) Sleep(1);
            ended = true;
        });
        EXPECT_NE(t.ThreadID(), 0u);
        EXPECT_NE(t.Handle(), nullptr);
        while (!running) Sleep(1);
        EXPECT_FALSE(t.Terminated());
    }  // the destructor terminates and waits
    EXPECT_TRUE(ended.load());
}

TEST(ThreadLifecycle, SuspendedThreadRunsOnlyAfterStart) {
    std::atomic<int> runs = 0;
    TLambdaThread t([&](TLambdaThread&) { ++runs; }, /*start=*/false);
    Sleep(20);
    EXPECT_EQ(runs.load(), 0);
    t.Start();
    t.Resume();  // a second start does nothing
    t.WaitFor();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(t.Finished());
}

TEST(ThreadLifecycle, ThreadDestroyedBeforeStartNeverExecutes) {
    std::atomic<int> runs = 0;
    {
        TLambdaThread t([&](TLambdaThread&) { ++runs; }, /*start=*/false);
    }
    EXPECT_EQ(runs.load(), 0);
}

TEST(ThreadLifecycle, ExceptionsInExecuteStayInTheThread) {
    TLambdaThread t([](TLambdaThread&) { throw tk::Exception(L"inside"); });
    t.WaitFor();
    ASSERT_TRUE(t.FatalException());
    try {
        std::rethrow_exception(t.FatalException());
    } catch (const tk::Exception& e) {
        EXPECT_EQ(e.Message(), L"inside");
    }
}

TEST(ThreadLifecycle, PriorityIsApplied) {
    TLambdaThread t([](TLambdaThread& self) {
        while (!self.Terminated()) Sleep(1);
    });
    t.SetPriority(tk::tpLower);
    EXPECT_EQ(t.Priority(), tk::tpLower);
    EXPECT_EQ(GetThreadPriority(t.Handle()), THREAD_PRIORITY_BELOW_NORMAL);
    t.Terminate();
    t.WaitFor();
}

// A self-freeing thread tells the test when its destructor ran.
class TSelfFreeing : public tk::TThread {
public:
    TSelfFreeing(HANDLE destroyed, bool syncFirst)
        : tk::TThread(true), destroyed_(destroyed), sync_(syncFirst) {
        SetFreeOnTerminate(true);
        Start();
    }
    ~TSelfFreeing() override {
        destroyedOn = GetCurrentThreadId();
        SetEvent(destroyed_);
    }
    static DWORD destroyedOn;

protected:
    void Execute() override {
        if (sync_) Synchronize([] {});
    }

private:
    HANDLE destroyed_;
    bool sync_;
};
DWORD TSelfFreeing::destroyedOn = 0;

TEST(ThreadLifecycle, FreeOnTerminateDeletesTheObjectOnItsOwnThread) {
    HANDLE destroyed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    new TSelfFreeing(destroyed, /*syncFirst=*/true);
    // The worker first needs the main thread, then frees itself.
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(destroyed, 0) == WAIT_OBJECT_0; }));
    EXPECT_NE(TSelfFreeing::destroyedOn, 0u);
    EXPECT_NE(TSelfFreeing::destroyedOn, tk::MainThreadID());
    CloseHandle(destroyed);
}

TEST(ThreadLifecycle, WaitForOnItselfIsRefused) {
    bool refused = false;
    TLambdaThread t([&](TLambdaThread& self) {
        try {
            self.WaitFor();
        } catch (const tk::Exception&) {
            refused = true;
        }
    });
    t.WaitFor();
    EXPECT_TRUE(refused);
}

// Must stay the last suite: Run ends the application's loop for good.
TEST(ThreadMessageLoop, RunRunsPendingCalls) {
    DWORD ranOn = 0;
    TLambdaThread t([&](TLambdaThread& self) {
        self.Synchronize([&] {
            ranOn = GetCurrentThreadId();
            tk::Application().Terminate();
        });
    });
    tk::Application().Run();
    t.WaitFor();
    EXPECT_EQ(ranOn, tk::MainThreadID());
}

}  // namespace
