// Threads and the blocking main-thread call.
//
// A worker hands a callable to the main thread with Synchronize and blocks
// until the main thread has run it. The main thread runs pending calls from
// its message loop (a posted message to a hidden window wakes it), from
// Application().ProcessMessages(), and while it waits in TThread::WaitFor,
// where it also keeps handling messages sent to its windows.
#pragma once

#ifndef _WIN32
#error "Threads are Windows-only"
#endif

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>

#include "Method.h"

namespace tk {

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

using TThreadMethod = TMethod<void()>;

// The thread that initialised the program (the one that runs the message loop).
DWORD MainThreadID();
bool IsMainThread();

// Runs every pending main-thread call. Only acts on the main thread; returns
// true when at least one call ran.
bool CheckSynchronize();

class TThread : public TObject {
public:
    // The thread exists from construction on; it runs Execute once started
    // (at once unless createSuspended).
    explicit TThread(bool createSuspended);
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // A running thread is told to terminate and waited for (never from the
    // thread itself). A derived class whose Execute uses members with
    // non-trivial destructors must stop the thread in its own destructor.
    ~TThread() override;

    // Starts a thread created suspended; Resume does the same.
    void Start();
    void Resume() { Start(); }

    // Sets the terminated flag that Execute polls. Overrides may also wake
    // the thread (set an event, post a message); they call the base.
    virtual void Terminate();
    bool Terminated() const { return terminated_; }

    // Waits until the thread has ended and returns its ReturnValue. On the
    // main thread this keeps running main-thread calls and sent messages.
    DWORD WaitFor();
    bool Finished() const { return finished_; }

    bool FreeOnTerminate() const { return freeOnTerminate_; }
    void SetFreeOnTerminate(bool value) { freeOnTerminate_ = value; }

    TThreadPriority Priority() const { return priority_; }
    void SetPriority(TThreadPriority value);

    DWORD ThreadID() const { return threadId_; }
    HANDLE Handle() const { return handle_; }
    DWORD ReturnValue() const { return returnValue_; }
    // The exception that ended Execute, if any (Execute's errors never
    // leave the thread).
    std::exception_ptr FatalException() const { return fatalException_; }

    // The blocking main-thread call. On the main thread the method runs at
    // once. An exception thrown by the method is rethrown to the caller.
    void Synchronize(const TThreadMethod& method) { Synchronize(this, method); }
    void Synchronize(const std::function<void()>& proc) { Synchronize(this, proc); }
    static void Synchronize(TThread* thread, const TThreadMethod& method);
    static void Synchronize(TThread* thread, const std::function<void()>& proc);

protected:
    virtual void Execute() = 0;
    void SetReturnValue(DWORD value) { returnValue_ = value; }

private:
    static DWORD WINAPI ThreadProc(LPVOID param);

    HANDLE handle_ = nullptr;
    DWORD threadId_ = 0;
    std::atomic<bool> terminated_ = false;
    std::atomic<bool> finished_ = false;
    bool started_ = false;
    bool freeOnTerminate_ = false;
    TThreadPriority priority_ = tpNormal;
    DWORD returnValue_ = 0;
    std::exception_ptr fatalException_;
};

}  // namespace tk
