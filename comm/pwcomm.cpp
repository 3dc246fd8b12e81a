#include "pwcomm.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include "Application.h"
#include "pwwin32di.h"

namespace {

constexpr std::uint32_t kMinReceiveBuffer = 8192;
// Posted to the component's own window by the event thread after a wait
// failure: the port is shut down on the thread that owns the component.
constexpr UINT WM_PW_SHUTDOWN = WM_APP + 0x2D1;
// Runs the close or reopen asked for from inside the event handling.
constexpr UINT WM_PW_DEFERRED = WM_APP + 0x2D2;
constexpr wchar_t kShutdownWindowClass[] = L"TpwCommShutdownWindow";

// A bounded wait for a write abandoned at close; the system completes it
// once the handle is closed.
constexpr DWORD kAbandonedWriteWait = 5000;
// How often the output queue is looked at while the line settles.
constexpr DWORD kDrainPollMs = 5;
// Longest single wait for a write's completion before its bound is checked.
constexpr DWORD kWriteSliceMs = 50;

// Longest pause of the event thread after waits that brought nothing, and
// how often the input queue is looked at during such a pause.
constexpr DWORD kMaxIdleBackoff = 50;
constexpr DWORD kIdlePollMs = 10;
// How often a pending driver wait is checked against the input queue.
constexpr DWORD kPendingCheckMs = 50;
// fQueueReported after an event of the driver: whatever is queued was reported.
constexpr DWORD kQueueAllReported = 0xFFFFFFFF;

bool IsWinNT5OrLater() {
    OSVERSIONINFOW info = {};
    if (!GetOsVersion(info)) return true;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 5;
}

// The message of an exception that is not the toolkit's own.
std::wstring ForeignExceptionText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return tk::AnsiToWide(e.what());
    } catch (...) {
    }
    return L"Unknown exception in the event handling";
}

// Only the main thread's queue may be pumped while waiting: the message
// thread's holds the port's events, which a pump there would drop.
void PumpIfMainThread() {
    if (tk::IsMainThread()) tk::Application().ProcessMessages();
}

// Runs a closure when the scope ends, on every way out.
template <class F>
class TFinally {
public:
    explicit TFinally(F f) : f_(std::move(f)) {}
    ~TFinally() { f_(); }
    TFinally(const TFinally&) = delete;
    TFinally& operator=(const TFinally&) = delete;

private:
    F f_;
};

// Waits up to `ms` for `event` (none: a pause). The window thread keeps its
// windows painting meanwhile and nothing else: input stays queued, so what
// the user asks for meanwhile runs after the wait, never inside it.
void WaitForDriver(HANDLE event, DWORD ms) {
    if (!tk::IsMainThread()) {
        if (event)
            ::WaitForSingleObject(event, ms);
        else
            ::Sleep(ms);
        return;
    }
    const DWORD r = ::MsgWaitForMultipleObjects(event ? 1 : 0, event ? &event : nullptr, FALSE, ms, QS_PAINT);
    if (r != (event ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0)) return;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | PM_QS_PAINT)) ::DispatchMessageW(&msg);
}

}  // namespace

// ---------------------------------------------------------------------------
// Pure helpers.

std::uint32_t ComposeDcbFlags(std::uint32_t flags, bool rs485, TStreamProtocol protocol) {
    flags &= kDcbKeptFlags;
    if (rs485) return flags | kDcbRS485;
    switch (protocol) {
        case spNone: return flags | kDcbNone;
        case spXonXoff: return flags | kDcbXonXoff;
        case spHardware: return flags | kDcbHardware;
    }
    return flags;
}

std::uint32_t TraceStatesToEventMask(TTraceStates states, bool rs485Emulation) {
    const std::uint32_t bits = states.ToBits();
    // Up to tsRing the set's bits are the mask's bits; above, one place higher
    // (EV_PERR, 0x200, is never asked for).
    std::uint32_t mask = EV_RXCHAR | (bits & 0x01FF);
    if (states.Contains(tsRx80Full)) mask |= EV_RX80FULL;
    if (states.Contains(tsEvent1)) mask |= EV_EVENT1;
    if (states.Contains(tsEvent2)) mask |= EV_EVENT2;
    if (rs485Emulation) mask |= EV_TXEMPTY;
    return mask;
}

TTraceStates EventMaskToTraceStates(std::uint32_t mask) {
    TTraceStates s;
    if (mask & EV_RXFLAG) s.Include(tsRxFlag);
    if (mask & EV_CTS) s.Include(tsCTS);
    if (mask & EV_DSR) s.Include(tsDSR);
    if (mask & EV_RLSD) s.Include(tsRLSD);
    if (mask & EV_BREAK) s.Include(tsBreak);
    if (mask & EV_ERR) s.Include(tsErr);
    if (mask & EV_RING) s.Include(tsRing);
    if (mask & EV_RX80FULL) s.Include(tsRx80Full);
    if (mask & EV_EVENT1) s.Include(tsEvent1);
    if (mask & EV_EVENT2) s.Include(tsEvent2);
    return s;
}

// The flag word follows DCBlength and BaudRate.
constexpr std::size_t kDcbFlagsOffset = 2 * sizeof(DWORD);

std::uint32_t GetDcbFlags(const DCB& dcb) {
    std::uint32_t flags;
    std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + kDcbFlagsOffset, sizeof(flags));
    return flags;
}

void SetDcbFlags(DCB& dcb, std::uint32_t flags) {
    std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + kDcbFlagsOffset, &flags, sizeof(flags));
}

void SetMonitorState(tk::TComponent* control, bool value) {
    if (control) control->SetBooleanProperty(L"Checked", value);
}

UINT MsgComEvent() {
    static const UINT id = ::RegisterWindowMessageW(L"pwCommMsgComEvent");
    return id;
}

UINT MsgQuitComEvent() {
    static const UINT id = ::RegisterWindowMessageW(L"pwCommMsgQuitComEvent");
    return id;
}

// Registered at module start-up, once per process.
static const UINT g_registerMessages = (MsgComEvent(), MsgQuitComEvent());

// ---------------------------------------------------------------------------
// TCommThread

TCommThread::TCommThread(TpwCustomComm* AOwner) : tk::TThread(true), Com(AOwner), hDevice(AOwner->fHandle) {
    hTerminate = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Start();
}

TCommThread::~TCommThread() {
    if (!Finished()) {
        Terminate();
        WaitFor();
    }
    if (hTerminate) ::CloseHandle(hTerminate);
}

void TCommThread::Terminate() {
    tk::TThread::Terminate();
    if (hTerminate) ::SetEvent(hTerminate);
}

// Line errors found by the event thread reach the handler in an event of
// their own; it is a line event only when that was asked for.
DWORD TCommThread::PolledErrorMask() const { return Com->fTraceStates.Contains(tsErr) ? EV_ERR : 0; }

// The driver's input queue and line errors; the errors, which the look
// clears, are kept for the handler. False when the driver no longer answers.
bool TCommThread::LookAtQueue(const TpwCommApi& api, COMSTAT& st, DWORD& errors) {
    errors = 0;
    st = {};
    if (!api.ClearCommError(hDevice, &errors, &st)) return false;
    if (errors != 0) Com->fPolledErrors.fetch_or(errors);
    return true;
}

// False when the driver no longer answers: the device has gone.
bool TCommThread::ReportQueuedInput(const TpwCommApi& api) {
    DWORD errors = 0;
    COMSTAT st;
    if (!LookAtQueue(api, st, errors)) return false;
    // Only a queue that grew since it was last reported is news: bytes that
    // nobody reads would otherwise be reported, and counted, at every check.
    DWORD events = 0;
    DWORD reported = Com->fQueueReported.load();
    if (st.cbInQue > reported) events |= EV_RXCHAR;
    // A queue that shrank was read: what arrives next is news again. The
    // handler's own view, stored meanwhile, is not overwritten.
    if (st.cbInQue != reported) Com->fQueueReported.compare_exchange_strong(reported, st.cbInQue);
    if (errors != 0) events |= PolledErrorMask();
    if (events != 0 || errors != 0)
        ::PostThreadMessageW(Com->MsgThread->ThreadID(), MsgComEvent(), events, 0);
    return true;
}

// Pauses up to `ms` (also without a usable stop event); true when the
// thread was told to end.
bool TCommThread::PauseUnlessTerminated(DWORD ms) {
    if (!hTerminate || ::WaitForSingleObject(hTerminate, ms) == WAIT_FAILED) ::Sleep(ms);
    return Terminated();
}

// During a pause after waits that brought nothing: true when bytes wait in
// the driver (the next wait reports them at once) or a line error was found
// (carried to the next event, which is posted here as no wait would report
// it), or when the driver no longer answers (`failed`).
bool TCommThread::InputWaiting(const TpwCommApi& api, bool& failed) {
    DWORD errors = 0;
    COMSTAT st;
    if (!LookAtQueue(api, st, errors)) {
        failed = true;
        return true;
    }
    if (errors != 0) {
        ::PostThreadMessageW(Com->MsgThread->ThreadID(), MsgComEvent(), PolledErrorMask(), 0);
        return true;
    }
    // Bytes already reported are no reason to end the pause.
    return st.cbInQue > QueueSeen();
}

// The input queue as last reported: the handler's view after its last look,
// or, while a report still waits for the handler, the queue at that report.
DWORD TCommThread::QueueSeen() const {
    const DWORD reported = Com->fQueueReported.load();
    return reported == kQueueAllReported ? lastReportedQueue : reported;
}

// Whether a wait's EV_RXCHAR brings bytes the handler has not seen. A driver
// that reports received characters while any are queued (Wine does) would
// otherwise report bytes nobody reads again at every wait, and the thread
// would spin, counting them each time (and post the same bytes again and
// again while the handler has not run yet). Line errors that the look clears
// are carried to the handler.
bool TCommThread::ReceivedIsNews(const TpwCommApi& api) {
    DWORD errors = 0;
    COMSTAT st;
    if (!LookAtQueue(api, st, errors)) return true;
    if (errors != 0) mask |= PolledErrorMask();
    if (st.cbInQue <= QueueSeen()) return false;
    lastReportedQueue = st.cbInQue;
    return true;
}

// The pause after a wait that brought nothing: a little longer each time, the
// input queue looked at meanwhile (a cheap call) so that arriving bytes still
// end it within a few milliseconds. False when the device no longer answers.
bool TCommThread::IdlePause(const TpwCommApi& api, DWORD& backoff) {
    backoff = std::min<DWORD>(backoff + 2, kMaxIdleBackoff);
    bool failed = false;
    const DWORD start = ::GetTickCount();
    for (;;) {
        const DWORD spent = ::GetTickCount() - start;
        if (spent >= backoff) break;
        const DWORD step = std::min(kIdlePollMs, backoff - spent);
        if (PauseUnlessTerminated(step)) break;
        if (InputWaiting(api, failed)) {
            backoff = 0;
            break;
        }
    }
    return !failed;
}

void TCommThread::Execute() {
    const TpwCommApi& api = pwCommApi();
    HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ovl.hEvent = event;
    // True from a pending WaitCommEvent until the driver has signalled its
    // completion: until then the driver may still write the record and mask.
    bool outstanding = false;
    bool deviceFailed = false;
    DWORD backoff = 0;
    if (hDevice != INVALID_HANDLE_VALUE && event) {
        while (!Terminated() && Com->IsDeviceOpen()) {
            ResetOverlapped(ovl);
            mask = 0;
            if (!api.WaitCommEvent(hDevice, &mask, &ovl)) {
                const DWORD err = ::GetLastError();
                if (err == ERROR_IO_PENDING) {
                    outstanding = true;
                    HANDLE waits[2] = {event, hTerminate};
                    DWORD w;
                    for (;;) {
                        w = api.WaitForMultipleObjects(2, waits, FALSE, kPendingCheckMs);
                        if (w == WAIT_FAILED) {
                            // Taken as a quiet interval: the wait goes on, on
                            // the record's event alone or failing that with a
                            // pause, and the thread's end is looked for here.
                            w = ::WaitForSingleObject(event, kPendingCheckMs);
                            if (w == WAIT_FAILED) {
                                ::Sleep(kPendingCheckMs);
                                w = WAIT_TIMEOUT;
                            }
                            if (Terminated()) {
                                w = WAIT_OBJECT_0 + 1;
                                break;
                            }
                        }
                        // A stale signal of an earlier completion: wait on.
                        if (w == WAIT_OBJECT_0 && !HasOverlappedIoCompleted(&ovl)) continue;
                        if (w != WAIT_TIMEOUT) break;
                        // A completion whose signal went missing counts as one.
                        if (HasOverlappedIoCompleted(&ovl)) {
                            w = WAIT_OBJECT_0;
                            break;
                        }
                        // Under Wine a wait on a pty can stay pending while
                        // bytes arrive: report queued input ourselves, so a
                        // reply never sits unseen in the driver. A pty whose
                        // other end has gone answers nothing any more.
                        if (!ReportQueuedInput(api)) {
                            deviceFailed = true;
                            break;
                        }
                    }
                    if (w == WAIT_OBJECT_0) outstanding = false;
                    if (Terminated()) break;
                    if (deviceFailed) {
                        Com->RequestShutdown(::GetLastError());
                        break;
                    }
                    if (w != WAIT_OBJECT_0) {
                        // No way to go on waiting: as for a failed wait.
                        Com->RequestShutdown(::GetLastError());
                        break;
                    }
                    // A cancelled or failed wait reports no events.
                    if (ovl.Internal != 0) mask = 0;
                } else if (err == ERROR_INVALID_PARAMETER && mask == 0) {
                    // Another wait is still pending, or the driver refused
                    // the event mask: nothing to report.
                } else if (err == ERROR_INVALID_HANDLE) {
                    break;
                } else {
                    // The device failed: shut the port down without purging,
                    // on the component's own thread (this one cannot wait
                    // for its own end).
                    Com->RequestShutdown(err);
                    break;
                }
            }
            if ((mask & EV_RXCHAR) && !ReceivedIsNews(api)) mask &= ~static_cast<DWORD>(EV_RXCHAR);
            // A wait that brought nothing (Wine ends every wait on a pty
            // after a short poll as cancelled; a driver may fail each wait
            // at once): re-arming at once would keep a core busy.
            if (mask == 0) {
                if (!IdlePause(api, backoff)) {
                    Com->RequestShutdown(::GetLastError());
                    break;
                }
                continue;
            }
            backoff = 0;
            if (mask & EV_RXCHAR) Com->fQueueReported = kQueueAllReported;
            while (!::PostThreadMessageW(Com->MsgThread->ThreadID(), MsgComEvent(), mask, 0)) {
                if (Terminated() || !Com->IsDeviceOpen()) break;
                ::Sleep(1);
            }
        }
    }
    if (outstanding) {
        // Cancel the pending wait (a new mask completes it) and let the
        // driver finish with the record before it and its event go away.
        DWORD current = 0;
        if (!api.GetCommMask(hDevice, &current) || !api.SetCommMask(hDevice, current))
            CancelDeviceIo(hDevice);  // a device that has gone takes no new mask
        if (::WaitForSingleObject(event, 5000) == WAIT_FAILED) {
            const DWORD start = ::GetTickCount();
            while (!HasOverlappedIoCompleted(&ovl) && ::GetTickCount() - start < 5000) ::Sleep(1);
        }
    }
    ovl.hEvent = nullptr;
    if (event) ::CloseHandle(event);
}

// ---------------------------------------------------------------------------
// TMsgThread

TMsgThread::TMsgThread(TpwCustomComm* AOwner) : tk::TThread(true), Com(AOwner) {
    queueReady = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Start();
    // Posting fails until the thread has a message queue.
    if (queueReady) ::WaitForSingleObject(queueReady, 5000);
}

TMsgThread::~TMsgThread() {
    if (!Finished()) {
        Terminate();
        WaitFor();
    }
    if (queueReady) ::CloseHandle(queueReady);
}

void TMsgThread::Terminate() {
    tk::TThread::Terminate();
    ::PostThreadMessageW(ThreadID(), MsgQuitComEvent(), 0, 0);
}

void TMsgThread::SyncProcessCommEvent() {
    if (Terminated()) return;
    fRunningHandover = true;
    TFinally done([this] { fRunningHandover = false; });
    Com->ProcessCommEvent(glMsg);
}

void TMsgThread::Execute() {
    MSG probe;
    ::PeekMessageW(&probe, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    if (queueReady) ::SetEvent(queueReady);
    if (!Com) return;
    for (;;) {
        if (Terminated()) break;
        const BOOL r = ::GetMessageW(&glMsg, nullptr, 0xC000, 0xFFFF);
        if (r == 0 || r == -1) break;
        if (!Com->IsDeviceOpen()) break;
        if (Terminated()) break;
        if (glMsg.message == MsgQuitComEvent()) break;
        if (glMsg.hwnd || glMsg.message != MsgComEvent()) {
            ::DispatchMessageW(&glMsg);
            continue;
        }
        if (Com->UseMainThread())
            Synchronize(tk::TThreadMethod(this, &TMsgThread::SyncProcessCommEvent));
        else
            Com->ProcessCommEvent(glMsg);
    }
}

// ---------------------------------------------------------------------------
// TpwCustomComm

TpwCustomComm::TpwCustomComm(tk::TComponent* AOwner) : TpwBaseIO(AOwner) {
    Stat = new COMSTAT();
    fIsNotSupportRS485 = !IsWinNT5OrLater();
    SetUseMainThread(true);
    fTraceStates = TTraceStates();
    CommCfg.dwSize = sizeof(COMMCONFIG);
    CommCfg.dcb.DCBlength = sizeof(DCB);
    SetBufferInSize(8192);
    SetBufferOutSize(8192);
    // SendData's record gets an event of its own, so its completion can be
    // waited for without involving the port handle.
    fOvlAsync.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    static const ATOM cls = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &TpwCustomComm::ShutdownWndProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = kShutdownWindowClass;
        return ::RegisterClassW(&wc);
    }();
    if (cls) {
        fShutdownWindow = ::CreateWindowExW(0, kShutdownWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                            nullptr, ::GetModuleHandleW(nullptr), nullptr);
        if (fShutdownWindow)
            ::SetWindowLongPtrW(fShutdownWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
}

TpwCustomComm::~TpwCustomComm() {
    fDestroying = true;
    // The threads first: the message thread may be handling an event, which
    // must not meet a component half taken apart.
    StopThreadIO();
    SetTerminal(nullptr);
    SetDataProcessor(nullptr);
    fOnTraceState = TOnTraceEvent();
    DoClose();
    if (fShutdownWindow) {
        // Messages still on their way find no component.
        ::SetWindowLongPtrW(fShutdownWindow, GWLP_USERDATA, 0);
        // Only the window's own thread can destroy it.
        if (::GetWindowThreadProcessId(fShutdownWindow, nullptr) == ::GetCurrentThreadId())
            ::DestroyWindow(fShutdownWindow);
        else
            ::PostMessageW(fShutdownWindow, WM_CLOSE, 0, 0);
    }
    delete Stat;
    Stat = nullptr;
    if (fOvlAsync.hEvent) ::CloseHandle(fOvlAsync.hEvent);
    fOvlAsync.hEvent = nullptr;
}

LRESULT CALLBACK TpwCustomComm::ShutdownWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_PW_SHUTDOWN || msg == WM_PW_DEFERRED) {
        auto* self = reinterpret_cast<TpwCustomComm*>(::GetWindowLongPtrW(wnd, GWLP_USERDATA));
        try {
            // A shutdown only for the handle it was asked for; a later open
            // is left alone. A message loop inside the event handling may
            // dispatch these: they are then done once that handling has
            // returned.
            if (self && msg != WM_PW_SHUTDOWN) {
                self->RunDeferred();
            } else if (self && self->fHandle == reinterpret_cast<HANDLE>(wParam)) {
                if (self->CanDefer()) {
                    self->Defer(dfShutdown);
                } else {
                    self->fDeferred = dfNone;
                    self->CloseLostDevice();
                }
            }
        } catch (...) {
            tk::Application().HandleException();
        }
        return 0;
    }
    return ::DefWindowProcW(wnd, msg, wParam, lParam);
}

bool TpwCustomComm::CanDefer() const { return fShutdownWindow && !fDestroying && InEventHandler(); }

void TpwCustomComm::Defer(TDeferred What) {
    if (What != dfReopen) fCloseAsked = true;
    fDeferred = What;
}

// What was asked for stays in fDeferred until it runs, so that Active
// reads as asked meanwhile; a direct open or close since then drops it.
void TpwCustomComm::PostDeferred() {
    if (!IsDeviceOpen()) fDeferred = dfNone;
    if (fDeferred == dfNone) return;
    ::PostMessageW(fShutdownWindow, WM_PW_DEFERRED, 0, 0);
}

void TpwCustomComm::RunDeferred() {
    // From a message loop inside the event handling: once that has returned.
    if (fDeferred == dfNone || CanDefer()) return;
    const TDeferred what = std::exchange(fDeferred, dfNone);
    if (!IsDeviceOpen()) return;
    if (what == dfClose)
        DoClose();
    else if (what == dfShutdown)
        CloseLostDevice();
    else
        DoOpen();
}

bool TpwCustomComm::ClosePending() const { return fDeferred == dfClose || fDeferred == dfShutdown; }

void TpwCustomComm::Update() {
    // A device change handled while the destructor waits for the threads
    // would send listeners to a component half taken apart.
    if (fDestroying) return;
    TpwBaseIO::Update();
}

void TpwCustomComm::RequestShutdown(DWORD Error) {
    fLostError = Error;
    if (fShutdownWindow)
        ::PostMessageW(fShutdownWindow, WM_PW_SHUTDOWN, reinterpret_cast<WPARAM>(fHandle), 0);
}

// Line settings -------------------------------------------------------------

void TpwCustomComm::SetBaudRate(std::uint32_t Value) {
    CommCfg.dcb.BaudRate = Value;
    WriteCommState();
}

void TpwCustomComm::SetParity(TParity Value) {
    CommCfg.dcb.Parity = static_cast<BYTE>(Value);
    CommCfg.dcb.fParity = Value != pNone ? 1 : 0;
    WriteCommState();
}

void TpwCustomComm::SetStopBits(TStopBits Value) {
    CommCfg.dcb.StopBits = static_cast<BYTE>(Value);
    WriteCommState();
}

void TpwCustomComm::SetByteSize(std::uint8_t Value) {
    CommCfg.dcb.ByteSize = (Value >= 4 && Value <= 8) ? Value : 8;
    WriteCommState();
}

void TpwCustomComm::SetEventChar(wchar_t Value) {
    CommCfg.dcb.EvtChar = static_cast<char>(static_cast<unsigned char>(Value & 0xFF));
    WriteCommState();
}

wchar_t TpwCustomComm::GetEventChar() {
    return static_cast<wchar_t>(static_cast<unsigned char>(CommCfg.dcb.EvtChar));
}

void TpwCustomComm::SetStreamProtocol(TStreamProtocol Value) {
    fProtocol = Value;
    WriteCommState();
}

void TpwCustomComm::SetRS485Mode(bool Value) {
    fRS485Mode = Value;
    WriteCommState();
}

void TpwCustomComm::SetBufferInSize(std::uint16_t Value) {
    if (IsDeviceOpen()) pwCommApi().SetupComm(fHandle, Value, fBufferOutSize);
    fBufferInSize = Value;
}

void TpwCustomComm::SetBufferOutSize(std::uint16_t Value) {
    if (IsDeviceOpen()) pwCommApi().SetupComm(fHandle, fBufferInSize, Value);
    fBufferOutSize = Value;
}

void TpwCustomComm::SetTimeoutRead(std::uint32_t Value) {
    fCommTimeouts.ReadIntervalTimeout = Value;
    SetTimeouts(fCommTimeouts);
}

void TpwCustomComm::SetTimeoutWrite(std::uint32_t Value) {
    fCommTimeouts.WriteTotalTimeoutConstant = Value;
    SetTimeouts(fCommTimeouts);
}

void TpwCustomComm::SetTimeouts(const COMMTIMEOUTS& Timeouts) {
    fCommTimeouts = Timeouts;
    if (IsDeviceOpen()) pwCommApi().SetCommTimeouts(fHandle, &fCommTimeouts);
}

namespace {

// The flag bits a default configuration gives: the kept ones but fParity,
// which the parity setter writes.
constexpr std::uint32_t kDcbDefaultFlags = kDcbKeptFlags & ~0x0002u;

// The configuration as the setters left it over the default one: the
// default's fields but the line settings, the parity and flow-control
// bits and the characters and limits WriteCommState writes.
COMMCONFIG OverDefaultConfig(const COMMCONFIG& set, const COMMCONFIG& def) {
    COMMCONFIG cfg = def;
    cfg.dwSize = set.dwSize;
    DCB& d = cfg.dcb;
    const DCB& s = set.dcb;
    d.DCBlength = s.DCBlength;
    d.BaudRate = s.BaudRate;
    SetDcbFlags(d, (GetDcbFlags(s) & ~kDcbDefaultFlags) | (GetDcbFlags(def.dcb) & kDcbDefaultFlags));
    d.XonLim = s.XonLim;
    d.XoffLim = s.XoffLim;
    d.ByteSize = s.ByteSize;
    d.Parity = s.Parity;
    d.StopBits = s.StopBits;
    d.XonChar = s.XonChar;
    d.XoffChar = s.XoffChar;
    d.EvtChar = s.EvtChar;
    return cfg;
}

}  // namespace

void TpwCustomComm::EnsureDefaultConfig() {
    if (fDefaultConfigPort.empty()) return;
    const std::wstring name = std::move(fDefaultConfigPort);
    fDefaultConfigPort.clear();
    // A failing read leaves the record as the call left it, as a read at
    // construction did.
    COMMCONFIG def = {};
    GetDefaultCommConfigFixed(name, def);
    CommCfg = OverDefaultConfig(CommCfg, def);
}

void TpwCustomComm::WriteCommState() {
    if (IsDeviceOpen()) EnsureDefaultConfig();
    DCB& dcb = CommCfg.dcb;
    dcb.DCBlength = sizeof(DCB);
    SetDcbFlags(dcb, ComposeDcbFlags(GetDcbFlags(dcb), fRS485Mode, fProtocol));
    dcb.XonLim = 80;
    dcb.XoffLim = 200;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (IsDeviceOpen()) pwCommApi().SetCommState(fHandle, &dcb);
}

void TpwCustomComm::ApplyPortSettings() {
    if (!IsDeviceOpen()) return;
    const TpwCommApi& api = pwCommApi();
    DWORD errors = 0;
    api.ClearCommError(fHandle, &errors, nullptr);
    api.SetupComm(fHandle, fBufferInSize, fBufferOutSize);
    SetTimeouts(fCommTimeouts);
    WriteCommState();
}

std::wstring TpwCustomComm::GetComName() { return L"Unknown"; }

void TpwCustomComm::ReadCommConfig() {
    EnsureDefaultConfig();
    CommCfg.dwSize = sizeof(COMMCONFIG);
    CommCfg.dcb.DCBlength = sizeof(DCB);
    if (IsDeviceOpen()) {
        GetCommConfigFixed(fHandle, CommCfg);
        pwCommApi().GetCommState(fHandle, &CommCfg.dcb);
    }
    // The patterns WriteCommState composes, read back; failing those, the
    // bits that carry the flow control alone: a dialog may leave DTR and
    // RTS disabled beside them (Wine's does), which the patterns enable.
    const std::uint32_t flags = GetDcbFlags(CommCfg.dcb);
    if ((flags & kDcbXonXoff) == kDcbXonXoff)
        fProtocol = spXonXoff;
    else if ((flags & kDcbHardware) == kDcbHardware)
        fProtocol = spHardware;
    else if ((flags & kDcbXonXoffFlow) == kDcbXonXoffFlow)
        fProtocol = spXonXoff;
    else if ((flags & kDcbCtsFlow) == kDcbCtsFlow)
        fProtocol = spHardware;
    else
        fProtocol = spNone;
    fRS485Mode = (flags & kDcbRS485) == kDcbRS485;
}

void TpwCustomComm::ConfigDialog() {
    ReadCommConfig();
    const std::wstring name = GetComName();
    if (!pwCommApi().CommConfigDialogW(name.c_str(), ::GetForegroundWindow(), &CommCfg)) return;
    // The dialog's DCB exactly as chosen; the next line setting or open
    // recomposes it.
    if (IsDeviceOpen()) pwCommApi().SetCommState(fHandle, &CommCfg.dcb);
    ReadCommConfig();
}

const COMMPROP* TpwCustomComm::CommProp() {
    if (IsDeviceOpen()) pwCommApi().GetCommProperties(fHandle, &ComProp);
    return &ComProp;
}

// Receive buffer ------------------------------------------------------------

bool TpwCustomComm::AllocReceiveBuffer() {
    FreeReceiveBuffer();
    const std::uint32_t size = std::max<std::uint32_t>(fBufferInSize, kMinReceiveBuffer);
    glBuffer = static_cast<std::uint8_t*>(pwCommApi().LocalAlloc(LMEM_ZEROINIT, size));
    glBufferSize = glBuffer ? size : 0;
    return glBuffer != nullptr;
}

void TpwCustomComm::FreeReceiveBuffer() {
    if (glBuffer) pwCommApi().LocalFree(glBuffer);
    glBuffer = nullptr;
    glBufferSize = 0;
}

// Open and close ------------------------------------------------------------

void TpwCustomComm::CloseDevice(HANDLE Handle) { pwCommApi().CloseHandle(Handle); }

void TpwCustomComm::DoOpen() {
    if (IsDeviceOpen() && CanDefer()) {
        Defer(dfReopen);
        return;
    }
    DoClose();
    fCloseAsked = false;
    fDeferred = dfNone;
    fQueueReported = 0;
    fTotalReceived = 0;
    fTotalSent = 0;
    fOpenError = 0;
    // The base template's open; OnOpen follows once the open has succeeded.
    fHandle = OpenDevice();

    DWORD error = 0;
    if (!IsDeviceOpen()) {
        error = fOpenError;
    } else if (!AllocReceiveBuffer()) {
        // Without a receive buffer the port is of no use: undo the open.
        error = fOpenError = ERROR_NOT_ENOUGH_MEMORY;
        CloseDevice(fHandle);
        fHandle = INVALID_HANDLE_VALUE;
    }
    if (!IsDeviceOpen()) {
        const std::wstring name = ComName();
        fLastErrorString = tk::Format(L"Device \"%s\" Open Error !!!\r%s", {name, SysErrorText(error)});
        DoFatalError(1, 0, fLastErrorString, false);
        return;
    }
    WriteLogFmt(dlSimple, L"The port %s is opened succesfully", {ComName()});
    ApplyPortSettings();
    SetTraceStates(TraceStates());
    StartThreadIO();
    RaiseOnOpen();
    DoNotify(pwNotifyOpened);
}

void TpwCustomComm::DoClose() {
    if (IsDeviceOpen() && CanDefer()) {
        Defer(dfClose);
        return;
    }
    fDeferred = dfNone;
    TCallGuard guard(this);
    if (IsDeviceOpen()) {
        try {
            ClosePort(true);
            if (guard.Gone()) return;
            WriteLog(dlSimple, L"The port is closed succesfully");
        } catch (...) {
            if (guard.Gone()) return;
            TpwBaseIO::DoClose();
        }
    }
    DoTraceState(this, TTraceStates{tsTxEmpty});
}

void TpwCustomComm::CloseLostDevice() {
    if (!IsDeviceOpen()) return;
    TCallGuard guard(this);
    ClosePort(false);
    // Listeners learn it went away by itself, not by a close they asked for.
    if (!guard.Gone()) DoNotify(pwNotifyLost);
}

void TpwCustomComm::ClosePort(bool Settle) {
    if (!IsDeviceOpen()) return;
    TCallGuard guard(this);
    if (Settle) {
        // A handler told of a failure may have closed or destroyed us.
        DrainOutput();
        if (guard.Gone() || !IsDeviceOpen()) return;
    }
    StopThreadIO();
    // A main-thread call run while the threads ended closed it already.
    if (guard.Gone() || !IsDeviceOpen()) return;
    fCloseAsked = false;
    const bool abandoned = fAsyncInFlight && !HasOverlappedIoCompleted(&fOvlAsync);
    if (abandoned) AbortAsyncWrite();
    FreeReceiveBuffer();
    TpwBaseIO::DoClose();
    if (guard.Gone()) return;
    if (abandoned && !HasOverlappedIoCompleted(&fOvlAsync)) {
        // Closing the handle completes the write; its bytes must stay valid
        // until then.
        ::WaitForSingleObject(fOvlAsync.hEvent, kAbandonedWriteWait);
        if (!HasOverlappedIoCompleted(&fOvlAsync)) (void)fAsyncData.release();
    }
    fAsyncInFlight = false;
    DoNotify(pwNotifyClosed);
}

void TpwCustomComm::StartThreadIO() {
    if (!MsgThread) MsgThread = new TMsgThread(this);
    if (!CommThread) CommThread = new TCommThread(this);
    ::Sleep(25);
}

void TpwCustomComm::StopThreadIO() {
    // Handovers still pending do nothing from here on.
    if (MsgThread) MsgThread->Terminate();
    // Cleared before the wait: it runs main-thread calls, and one of them
    // may close this port again.
    if (TCommThread* thread = std::exchange(CommThread, nullptr)) {
        thread->Terminate();
        delete thread;
    }
    if (MsgThread) {
        TMsgThread* thread = MsgThread;
        MsgThread = nullptr;
        if (::GetCurrentThreadId() == thread->ThreadID() || thread->fRunningHandover) {
            // This thread runs the message thread's handler (a destruction
            // from a callback), so the thread cannot be waited for here. It
            // leaves its loop once the handler has returned, without
            // touching the component again, and frees itself.
            thread->SetFreeOnTerminate(true);
        } else {
            delete thread;
        }
    }
}

void TpwCustomComm::Notification(tk::TComponent* AComponent, tk::TOperation Operation) {
    TpwBaseIO::Notification(AComponent, Operation);
    if (Operation != tk::opRemove) return;
    if (AComponent == fMonitorCTS)
        fMonitorCTS = nullptr;
    else if (AComponent == fMonitorDSR)
        fMonitorDSR = nullptr;
    else if (AComponent == fMonitorRLSD)
        fMonitorRLSD = nullptr;
    else if (AComponent == fMonitorRing)
        fMonitorRing = nullptr;
}

void TpwCustomComm::SetMonitor(tk::TComponent*& field, tk::TComponent* Value) {
    field = Value;
    if (Value) FreeNotification(Value);
}

// Writing -------------------------------------------------------------------

void TpwCustomComm::SendChar(wchar_t Ch) {
    if (!IsDeviceOpen()) return;
    const unsigned char byte = static_cast<unsigned char>(Ch & 0xFF);
    WriteLogFmt(dlDebug, L"Try to send char %2Xh ...", {static_cast<int>(byte)});
    if (IsRS485Emulated()) SetStateRTS(true);
    WriteBounded(&byte, 1);
}

void TpwCustomComm::SendAheadChar(wchar_t Ch) {
    if (!IsDeviceOpen()) return;
    if (IsRS485Emulated()) SetStateRTS(true);
    if (pwCommApi().TransmitCommChar(fHandle, static_cast<char>(Ch & 0xFF)))
        fTotalSent += 1;
    else
        DoCommError(0, ::GetLastError(), TComStateFlags());
}

void TpwCustomComm::SendString(const std::string& S) {
    if (!IsDeviceOpen() || S.empty()) return;
    // The text is only converted when a log sink will see it.
    if (Log()) WriteLogFmt(dlDebug, L"Try to send string %s ...", {tk::AnsiToWide(S)});
    if (IsRS485Emulated()) SetStateRTS(true);
    WriteBounded(S.data(), static_cast<std::uint32_t>(S.size()));
}

std::uint32_t TpwCustomComm::TransmitBound(std::uint32_t bytes) const {
    const std::uint64_t baud = std::max<std::uint32_t>(BaudRate(), 1);
    std::uint64_t ms = 2 * std::uint64_t(bytes) * 10 * 1000 / baud + 1000;
    const std::uint64_t own = std::uint64_t(fCommTimeouts.WriteTotalTimeoutMultiplier) * bytes +
                              fCommTimeouts.WriteTotalTimeoutConstant;
    // The driver's own time-out ends the write first, with its count.
    if (own != 0) ms = std::max(ms, own + 1000);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, 0x7FFFFFFF));
}

bool TpwCustomComm::LookAtLine(COMSTAT& st) {
    DWORD errors = 0;
    st = {};
    if (!pwCommApi().ClearCommError(fHandle, &errors, &st)) return false;
    if (errors != 0) fPolledErrors.fetch_or(errors);
    return true;
}

void TpwCustomComm::AbandonOutput(const COMSTAT& st) {
    fLastTransmit.Abandoned = st.cbOutQue;
    pwCommApi().PurgeComm(fHandle, PURGE_TXABORT | PURGE_TXCLEAR);
}

void TpwCustomComm::ReportHeld(std::uint32_t SysError, const COMSTAT& st) {
    std::uint8_t flags;
    std::memcpy(&flags, &st, 1);
    // Only the hold bits: the rest say nothing about why the bytes stayed.
    const auto holds = TComStateFlags::FromBits(flags) *
                       TComStateFlags{fCtlHold, fDsrHold, fRlsHold, fXoffHold};
    if (!fDestroying) DoCommError(0, SysError, holds);
}

void TpwCustomComm::WriteBounded(const void* Data, std::uint32_t N) {
    fLastTransmit = {N, 0, 0};
    // The driver reads the bytes while the write is in flight: they live
    // with the component, and outlive it only if the driver never lets go.
    if (!fSyncData) fSyncData = std::make_unique<std::string>();
    fSyncData->assign(static_cast<const char*>(Data), N);
    ResetOverlapped(fOvlWrite);
    DWORD written = 0;
    if (pwCommApi().WriteFile(fHandle, fSyncData->data(), N, &written, &fOvlWrite)) {
        fLastTransmit.Taken = written;
        fTotalSent += written;
        COMSTAT st;
        if (written < N) ReportHeld(ERROR_COUNTER_TIMEOUT, LookAtLine(st) ? st : COMSTAT{});
        return;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) {
        DoCommError(0, error, TComStateFlags());
        return;
    }
    AwaitWrite(fOvlWrite, N, fSyncData);
}

bool TpwCustomComm::AwaitWrite(OVERLAPPED& ovl, std::uint32_t N, std::unique_ptr<std::string>& Bytes) {
    const TpwCommApi& api = pwCommApi();
    COMSTAT st;
    const DWORD bound = TransmitBound(N + (LookAtLine(st) ? st.cbOutQue : 0));
    const DWORD start = ::GetTickCount();
    DWORD taken = 0;
    DWORD error = 0;
    bool timedOut = false;
    for (;;) {
        if (api.GetOverlappedResult(fHandle, &ovl, &taken, FALSE)) break;
        error = ::GetLastError();
        if (error != ERROR_IO_INCOMPLETE) break;
        error = 0;
        const DWORD spent = ::GetTickCount() - start;
        if (spent >= bound) {
            timedOut = true;
            break;
        }
        WaitForDriver(ovl.hEvent, std::min(kWriteSliceMs, bound - spent));
    }
    if (timedOut) {
        // The line does not take the bytes: take them back, and let the
        // driver finish with the record before it is used again (the
        // report comes after that: its handler may send again).
        if (!LookAtLine(st)) st = {};
        AbandonOutput(st);
        CancelDeviceIo(fHandle);
        const DWORD cancelled = ::GetTickCount();
        for (;;) {
            if (api.GetOverlappedResult(fHandle, &ovl, &taken, FALSE) ||
                ::GetLastError() != ERROR_IO_INCOMPLETE)
                break;
            if (::GetTickCount() - cancelled >= kAbandonedWriteWait) {
                // The bytes stay where the driver may still read them.
                (void)Bytes.release();
                break;
            }
            WaitForDriver(ovl.hEvent, kWriteSliceMs);
        }
        taken = HasOverlappedIoCompleted(&ovl) ? static_cast<DWORD>(ovl.InternalHigh) : 0;
    }
    taken = std::min<DWORD>(taken, N);
    fLastTransmit.Taken = taken;
    fTotalSent += taken;
    if (timedOut) {
        ReportHeld(ERROR_TIMEOUT, st);
        return false;
    }
    if (error != 0) {
        DoCommError(0, error, TComStateFlags());
        return false;
    }
    if (taken < N) {
        if (!LookAtLine(st)) st = {};
        ReportHeld(ERROR_COUNTER_TIMEOUT, st);
        return false;
    }
    return true;
}

bool TpwCustomComm::FinishAsyncWrite() {
    if (!fAsyncInFlight) return true;
    fAsyncInFlight = false;
    return AwaitWrite(fOvlAsync, static_cast<std::uint32_t>(fAsyncData ? fAsyncData->size() : 0), fAsyncData);
}

void TpwCustomComm::AbortAsyncWrite() {
    pwCommApi().PurgeComm(fHandle, PURGE_TXABORT | PURGE_TXCLEAR);
    CancelDeviceIo(fHandle);
}

void TpwCustomComm::SendData(const void* Buff, std::uint32_t N) {
    if (!IsDeviceOpen()) return;
    WriteLogFmt(dlDebug, L"Try to send the data with %d length ...", {static_cast<long long>(N)});
    if (IsRS485Emulated()) SetStateRTS(true);
    if (!Buff && N > 0) {
        DoCommError(0, ERROR_INVALID_PARAMETER, TComStateFlags());
        return;
    }
    // One record serves one write at a time, and the driver reads the bytes
    // while the write is in flight: wait for the previous one, then keep a
    // copy of these bytes until the next write or the close.
    TCallGuard guard(this);
    FinishAsyncWrite();
    if (guard.Gone() || !IsDeviceOpen()) return;
    if (!fAsyncData) fAsyncData = std::make_unique<std::string>();
    fAsyncData->assign(static_cast<const char*>(Buff), N);
    fLastTransmit = {N, 0, 0};
    ResetOverlapped(fOvlAsync);
    DWORD written = 0;
    if (pwCommApi().WriteFile(fHandle, fAsyncData->data(), N, &written, &fOvlAsync)) {
        fLastTransmit.Taken = written;
        fTotalSent += written;
        COMSTAT st;
        if (written < N) {
            ReportHeld(ERROR_COUNTER_TIMEOUT, LookAtLine(st) ? st : COMSTAT{});
            return;
        }
        WriteLog(dlDebug, L"... the data transmittion is OK!");
    } else if (::GetLastError() == ERROR_IO_PENDING) {
        fAsyncInFlight = true;
        WriteLog(dlDebug, L"... the data transmittion is OK!");
    } else {
        DoCommError(0, ::GetLastError(), TComStateFlags());
    }
}

bool TpwCustomComm::DrainOutput() {
    if (!IsDeviceOpen()) return true;
    TCallGuard guard(this);
    if (!FinishAsyncWrite()) return false;
    if (guard.Gone() || !IsDeviceOpen()) return false;
    COMSTAT st;
    // A driver that does not answer has nothing to send any more.
    if (!LookAtLine(st) || st.cbOutQue == 0) return true;
    const DWORD bound = TransmitBound(st.cbOutQue);
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < bound) {
        WaitForDriver(nullptr, kDrainPollMs);
        if (!LookAtLine(st) || st.cbOutQue == 0) return true;
    }
    AbandonOutput(st);
    ReportHeld(ERROR_TIMEOUT, st);
    return false;
}

// Errors and line state -----------------------------------------------------

void TpwCustomComm::DoCommError(std::uint32_t CommCode, std::uint32_t SysError, TComStateFlags State) {
    if (IsRS485Emulated()) SetStateRTS(false);
    WriteLogFmt(dlDetail, L"Communication Error %d:%d %X",
                {static_cast<long long>(CommCode), static_cast<long long>(SysError),
                 static_cast<unsigned>(State.ToBits())});
    bool flFlashBuffers = false;
    TCallGuard guard(this);
    if (fOnCommError) fOnCommError(this, CommCode, SysError, State, flFlashBuffers);
    if (flFlashBuffers && !guard.Gone()) ClearDeviceBuffers();
}

TModemSignals TpwCustomComm::ModemSignals() {
    TModemSignals s;
    if (!IsDeviceOpen()) return s;
    DWORD status = 0;
    if (!pwCommApi().GetCommModemStatus(fHandle, &status)) return s;
    if (status & MS_CTS_ON) s.Include(msCTS);
    if (status & MS_DSR_ON) s.Include(msDSR);
    if (status & MS_RING_ON) s.Include(msRing);
    if (status & MS_RLSD_ON) s.Include(msRLSD);
    return s;
}

void TpwCustomComm::DoTraceState(tk::TObject* Sender, TTraceStates Event) {
    const TModemSignals signals = ModemSignals();
    if (fMonitorCTS) SetMonitorState(fMonitorCTS, signals.Contains(msCTS));
    if (fMonitorDSR) SetMonitorState(fMonitorDSR, signals.Contains(msDSR));
    if (fMonitorRLSD) SetMonitorState(fMonitorRLSD, signals.Contains(msRLSD));
    if (Event.Contains(tsRing) && fMonitorRing) SetMonitorState(fMonitorRing, true);
    if (fOnTraceState) fOnTraceState(Sender, Event);
}

void TpwCustomComm::SetTraceStates(TTraceStates Value) {
    fTraceStates = Value;
    if (IsDeviceOpen()) pwCommApi().SetCommMask(fHandle, TraceStatesToEventMask(Value, IsRS485Emulated()));
}

// Line control --------------------------------------------------------------

void TpwCustomComm::SetStateDTR(bool State) {
    if (!IsDeviceOpen()) return;
    pwCommApi().EscapeCommFunction(fHandle, State ? SETDTR : CLRDTR);
    DoTraceState(this, TTraceStates{tsDSR});
}

void TpwCustomComm::SetStateRTS(bool State) {
    if (!IsDeviceOpen()) return;
    pwCommApi().EscapeCommFunction(fHandle, State ? SETRTS : CLRRTS);
    DoTraceState(this, TTraceStates{tsCTS});
}

void TpwCustomComm::SetStateX(bool State) {
    if (!IsDeviceOpen()) return;
    pwCommApi().EscapeCommFunction(fHandle, State ? SETXON : SETXOFF);
}

void TpwCustomComm::SetStateBreak(bool State) {
    if (!IsDeviceOpen()) return;
    pwCommApi().EscapeCommFunction(fHandle, State ? SETBREAK : CLRBREAK);
}

// Purging -------------------------------------------------------------------

void TpwCustomComm::ClearDeviceInput() {
    if (!IsDeviceOpen()) return;
    pwCommApi().PurgeComm(fHandle, PURGE_RXABORT | PURGE_RXCLEAR);
}

void TpwCustomComm::ClearDeviceOutput() {
    if (!IsDeviceOpen()) return;
    pwCommApi().PurgeComm(fHandle, PURGE_TXABORT | PURGE_TXCLEAR);
    if (IsRS485Emulated()) SetStateRTS(false);
}

void TpwCustomComm::ClearDeviceBuffers() {
    if (!IsDeviceOpen()) return;
    pwCommApi().PurgeComm(fHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    CancelDeviceIo(fHandle);
    if (IsRS485Emulated()) SetStateRTS(false);
}

void TpwCustomComm::FlushOutputBuffer() { DrainOutput(); }

// Reading -------------------------------------------------------------------

std::uint32_t TpwCustomComm::ReadyForRead() {
    if (!IsDeviceOpen()) return 0;
    DWORD errors = 0;
    COMSTAT stat = {};
    return pwCommApi().ClearCommError(fHandle, &errors, &stat) ? stat.cbInQue : 0;
}

std::uint32_t TpwCustomComm::NotYetSend() {
    if (!IsDeviceOpen()) return 0;
    DWORD errors = 0;
    COMSTAT stat = {};
    return pwCommApi().ClearCommError(fHandle, &errors, &stat) ? stat.cbOutQue : 0;
}

void TpwCustomComm::Read(void* Buffer, std::uint32_t Len) { ReadSome(Buffer, Len); }

std::uint32_t TpwCustomComm::ReadSome(void* Buffer, std::uint32_t Len) {
    // A length with the top bit set came from a negative count.
    if (!IsDeviceOpen() || Len == 0 || !Buffer || Len > 0x7FFFFFFFu) return 0;
    DWORD read = 0;
    ReadAndWait(fHandle, Buffer, Len, fOvlRead, &read);
    return read;
}

void TpwCustomComm::ReadAll(void* Buffer, std::uint32_t BufferSize) {
    // More bytes may have arrived since the caller sized its buffer.
    Read(Buffer, std::min(ReadyForRead(), BufferSize));
}

std::int32_t TpwCustomComm::ReadMax(void* Buffer, std::int32_t MaxLen) {
    if (MaxLen <= 0) return 0;
    const std::uint32_t ready = ReadyForRead();
    const std::uint32_t n = std::min<std::uint32_t>(ready, static_cast<std::uint32_t>(MaxLen));
    return static_cast<std::int32_t>(ReadSome(Buffer, n));
}

std::string TpwCustomComm::ReadString() {
    const std::uint32_t n = ReadyForRead();
    std::string result(n, '\0');
    if (n > 0) result.resize(ReadSome(result.data(), n));
    return result;
}

bool TpwCustomComm::WaitForBytes(std::uint32_t Count, std::uint32_t Ms) {
    if (!IsDeviceOpen()) return false;
    const TTraceStates saved = TraceStates();
    SetTraceStates(saved - TTraceStates{tsRxChar});
    // The messages handled here may destroy the component.
    TCallGuard guard(this);
    TFinally restore([&] {
        if (!guard.Gone()) SetTraceStates(saved);
    });
    // Elapsed time, so the wrap of the tick counter does not end the wait early.
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (::GetTickCount() - start > Ms) return false;
        if (!IsDeviceOpen()) return false;
        if (ReadyForRead() >= Count) return true;
        ::Sleep(5);
        PumpIfMainThread();
        if (guard.Gone()) return false;
    }
}

bool TpwCustomComm::WaitForSignal(TModemSignal Signal, std::uint32_t Ms) {
    if (!IsDeviceOpen()) return false;
    const DWORD start = ::GetTickCount();
    TCallGuard guard(this);
    for (;;) {
        if (ModemSignals().Contains(Signal)) return true;
        ::Sleep(5);
        PumpIfMainThread();
        if (guard.Gone()) return false;
        if (::GetTickCount() - start > Ms) return false;
        if (!IsDeviceOpen()) return false;
    }
}

// Event handling ------------------------------------------------------------

namespace {
// Longest stretch one receive event reads before it yields.
constexpr std::chrono::milliseconds kRxSlice{20};
// lParam of an event that carries on reading what an earlier one left.
constexpr LPARAM kRxContinuation = 1;
}  // namespace

void TpwCustomComm::ProcessCommEvent(const MSG& Msg) {
    if (Msg.message != MsgComEvent()) return;
    // A close asked for from the event handling ends the delivery.
    if (fCloseAsked) return;
    TCallGuard guard(this, true);
    HandleCommEvent(static_cast<DWORD>(Msg.wParam), Msg.lParam, guard);
    if (!guard.Gone() && !TCallGuard::InHandler(this, &guard)) PostDeferred();
}

void TpwCustomComm::HandleCommEvent(DWORD mask, LPARAM lParam, const TCallGuard& guard) {
    const TpwCommApi& api = pwCommApi();
    // After a call-out: the component has gone, or the close was asked for.
    auto over = [&] { return guard.Gone() || fCloseAsked; };
    try {
        DWORD errors = 0;
        if (!api.ClearCommError(fHandle, &errors, Stat)) {
            // Nothing known about the port: no error and nothing queued.
            errors = 0;
            std::memset(Stat, 0, sizeof(*Stat));
        }
        errors |= fPolledErrors.exchange(0);
        if (errors != 0) {
            // The queued bytes wait for the next event, which the queue
            // check is to bring about as well.
            fQueueReported = 0;
            std::uint8_t flags;
            std::memcpy(&flags, Stat, 1);
            DoCommError(errors, 0, TComStateFlags::FromBits(flags));
            return;
        }
        if (mask & EV_RXCHAR) {
            if (Stat->cbInQue > 0) {
                const bool read = fTraceStates.Contains(tsRxChar) || HasReceiver();
                // A follow-up takes bytes an earlier event already counted.
                if (lParam != kRxContinuation) fTotalReceived += Stat->cbInQue;
                if (read) {
                    // Never more than the receive buffer holds: a larger queue
                    // is taken in buffer-sized pieces. A peer that never pauses
                    // would keep the loop (and with it the main thread) here for
                    // good, so after a time budget the rest is left to a follow-up
                    // event, and the thread's other messages get their turn.
                    const auto start = std::chrono::steady_clock::now();
                    while (Stat->cbInQue > 0 && glBuffer && IsDeviceOpen()) {
                        DWORD n = std::min<DWORD>(Stat->cbInQue, glBufferSize);
                        // Only the bytes read are handed over.
                        if (!ReadAndWait(fHandle, glBuffer, n, fOvlRead, &n) || n == 0) break;
                        DoReceived(glBuffer, n);
                        if (over()) return;
                        if (!IsDeviceOpen() || !api.ClearCommError(fHandle, &errors, Stat)) break;
                        if (Stat->cbInQue > 0 && MsgThread &&
                            std::chrono::steady_clock::now() - start >= kRxSlice) {
                            ::PostThreadMessageW(MsgThread->ThreadID(), MsgComEvent(), EV_RXCHAR, kRxContinuation);
                            break;
                        }
                    }
                }
            }
            // What the queue check compares with from now on.
            fQueueReported = Stat->cbInQue;
        }
        if (mask & EV_TXEMPTY) {
            if (IsRS485Emulated()) {
                SetStateRTS(false);
                if (over()) return;
            }
            const bool ignore = DoSendComplete();
            if (over()) return;
            if (fTraceStates.Contains(tsTxEmpty) && !ignore && fOnSent) {
                fOnSent(this);
                if (over()) return;
            }
        }
        const TTraceStates states = EventMaskToTraceStates(mask);
        if (!states.Empty()) DoTraceState(this, states);
    } catch (const tk::Exception& e) {
        const DWORD detail = ::GetLastError();
        if (guard.Gone()) return;
        // The handling was cut short: what is queued is news again.
        fQueueReported = 0;
        DoFatalError(1, detail, e.Message(), true);
    } catch (...) {
        // Anything else would end the message thread: the port would look
        // open and receive nothing.
        const DWORD detail = ::GetLastError();
        if (guard.Gone()) return;
        fQueueReported = 0;
        DoFatalError(1, detail, ForeignExceptionText(std::current_exception()), true);
    }
}

// ---------------------------------------------------------------------------
// TpwCustomSerialComm

TpwCustomSerialComm::TpwCustomSerialComm(tk::TComponent* AOwner) : TpwCustomComm(AOwner) {
    sLogPrefix = L"pwComm: ";
    SetDefaultConfigPort(L"COM1");
    SetComPort(cpCOM1);
    SetBaudRate(19200);
    SetByteSize(8);
    SetParity(pNone);
    SetStopBits(sbOne);
    SetStreamProtocol(spHardware);
    SetEventChar(L'\0');
}

TpwCustomSerialComm::~TpwCustomSerialComm() {
    // A handle given from inside the event handling whose reopen never ran.
    if (fExtHandle) CloseDevice(fExtHandle);
}

void TpwCustomSerialComm::SetComPortNo(std::uint16_t Value) {
    if (IsDeviceOpen() && CanDefer()) {
        // The reopen on the new number happens once the event is handled.
        fComPortNo = Value;
        Defer(dfReopen);
        DoNotify(pwNotifyChanged);
        return;
    }
    const bool wasActive = Active();
    SetActive(false);
    fComPortNo = Value;
    SetActive(wasActive);
    DoNotify(pwNotifyChanged);
}

TComPort TpwCustomSerialComm::ComPort() const {
    // Port 0 is no COM port at all; it reads as "any other number".
    if (fComPortNo >= 1 && fComPortNo <= 8) return static_cast<TComPort>(fComPortNo - 1);
    return cpCOMxx;
}

void TpwCustomSerialComm::SetComPort(TComPort Value) {
    if (Value >= cpCOM1 && Value <= cpCOM8) SetComPortNo(static_cast<std::uint16_t>(Value + 1));
}

std::wstring TpwCustomSerialComm::GetComName() {
    const int index = GetDeviceIndex();
    if (index >= 0) return GetDevice(index)->PortName;
    return tk::Format(L"COM%u", {static_cast<unsigned>(fComPortNo)});
}

HANDLE TpwCustomSerialComm::OpenDevice() {
    if (fExtHandle) {
        HANDLE h = fExtHandle;
        fExtHandle = nullptr;
        return h;
    }
    const int index = GetDeviceIndex();
    const std::wstring name = index >= 0 ? GetDevice(index)->PortName
                                         : tk::Format(L"COM%u", {static_cast<unsigned>(fComPortNo)});
    const std::wstring path = L"\\\\?\\" + name;
    HANDLE h = pwCommApi().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        fOpenError = ::GetLastError();
    } else if (DCB dcb{}; dcb.DCBlength = sizeof dcb, !pwCommApi().GetCommState(h, &dcb)) {
        // Not a serial device. Wine opens a port whose device has gone (its
        // mapping's link dangles: an adapter unplugged) as a dead file on
        // which every comm call fails; Windows says of an absent port that
        // it is not found, and so does the open here.
        pwCommApi().CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
        fOpenError = ERROR_FILE_NOT_FOUND;
    }
    fExtHandle = nullptr;
    if (h == INVALID_HANDLE_VALUE) ::SetLastError(fOpenError);
    return h;
}

void TpwCustomSerialComm::SetExtHandle(HANDLE aHandle) {
    if (!aHandle || aHandle == INVALID_HANDLE_VALUE) return;
    if (IsDeviceOpen() && CanDefer()) {
        // The reopen once the event is handled takes the handle.
        if (fExtHandle && fExtHandle != aHandle) CloseDevice(fExtHandle);
        fExtHandle = aHandle;
        Defer(dfReopen);
        return;
    }
    if (Active()) DoClose();
    fExtHandle = aHandle;
    DoOpen();
}

void TpwCustomSerialComm::InitDeviceConnect() {
    if (!IsDeviceOpen()) return;
    ClearDeviceBuffers();
    SetStateDTR(true);
    SetStateRTS(false);
    if (WaitForSignal(msDSR, 200)) {
        SetStateRTS(true);
        WriteLog(dlDetail, L"The device connection was succesful tested");
    } else {
        DoFatalError(1, 0, L"Device Connect Initialization Error", false);
    }
}

namespace {
// Every wait and pause of the identification exchange.
constexpr DWORD kPnPStepMs = 200;
// A plug-and-play identifier is at most 256 characters, framing included; a
// device that streams on without the end character must not keep the caller
// in the exchange for good.
constexpr std::size_t kPnPMaxLength = 256;
}  // namespace

std::wstring TpwCustomSerialComm::GetPNPDeviceString() {
    std::wstring result;
    const bool wasActive = Active();
    SetActive(true);
    if (!Active()) return result;

    ClearDeviceBuffers();
    SetStateDTR(true);
    SetStateRTS(false);
    if (!WaitForSignal(msDSR, kPnPStepMs)) {
        DoFatalError(1, 0, L"Device Connect Initialization Error", false);
        return result;
    }

    ReadCommConfig();
    DCB saved = CommCfg.dcb;
    DCB working = saved;
    working.BaudRate = 1200;
    working.ByteSize = 7;
    working.Parity = NOPARITY;
    working.StopBits = ONESTOPBIT;
    pwCommApi().SetCommState(fHandle, &working);
    const TTraceStates savedTrace = TraceStates();
    SetTraceStates(TTraceStates{});

    SetStateDTR(false);
    SetStateRTS(false);
    ::Sleep(kPnPStepMs);
    SetStateDTR(true);
    ::Sleep(kPnPStepMs);
    SetStateRTS(true);
    bool answered = WaitForBytes(1, kPnPStepMs);
    if (!answered) {
        SetStateDTR(false);
        SetStateRTS(false);
        ::Sleep(kPnPStepMs);
        SetStateDTR(true);
        SetStateRTS(true);
        answered = WaitForBytes(1, kPnPStepMs);
    }
    if (answered) {
        unsigned char byte = 0;
        Read(&byte, 1);
        // Each byte is the character of the same code.
        const wchar_t begin = static_cast<wchar_t>(byte);
        const wchar_t end = begin == 0x08 ? wchar_t(0x09) : begin == L'(' ? L')' : wchar_t(0);
        if (end != 0) {
            result += begin;
            while (result.size() < kPnPMaxLength && WaitForBytes(1, kPnPStepMs)) {
                byte = 0;
                Read(&byte, 1);
                result += static_cast<wchar_t>(byte);
                if (result.back() == end) break;
            }
        }
    }

    pwCommApi().SetCommState(fHandle, &saved);
    SetTraceStates(savedTrace);
    SetActive(false);
    SetActive(wasActive);
    return result;
}

// ---------------------------------------------------------------------------
// The configuration in the registry.

namespace {

// Port number (1 byte), DCB (28 bytes), time-outs (20 bytes), little-endian.
constexpr DWORD kStoredConfigSize = 49;
static_assert(sizeof(DCB) == 28 && sizeof(COMMTIMEOUTS) == 20,
              "the stored configuration holds the Win32 records as they lie");

class TRegistryKey {
public:
    TRegistryKey(HKEY root, const std::wstring& path) {
        if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key_, nullptr) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~TRegistryKey() {
        if (key_) ::RegCloseKey(key_);
    }
    TRegistryKey(const TRegistryKey&) = delete;
    TRegistryKey& operator=(const TRegistryKey&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

}  // namespace

void TpwCustomSerialComm::SaveConfig(HKEY Root, const std::wstring& Key, const std::wstring& Name) {
    try {
        TRegistryKey key(Root, Key);
        unsigned char record[kStoredConfigSize];
        record[0] = static_cast<unsigned char>(fComPortNo & 0xFF);
        EnsureDefaultConfig();
        std::memcpy(record + 1, &CommCfg.dcb, sizeof(DCB));
        std::memcpy(record + 1 + sizeof(DCB), &Timeouts(), sizeof(COMMTIMEOUTS));
        // A key that could not be opened makes the write fail.
        if (!key.get() || ::RegSetValueExW(key.get(), Name.c_str(), 0, REG_BINARY, record,
                                           kStoredConfigSize) != ERROR_SUCCESS)
            throw tk::Exception(L"Registry value not written");
    } catch (const tk::Exception&) {
        DoFatalError(1, 0, L"Error on save config information from registry", false);
        return;
    }
    WriteLog(dlDetail, L"Configuration was saved");
}

void TpwCustomSerialComm::LoadConfig(HKEY Root, const std::wstring& Key, const std::wstring& Name) {
    try {
        TRegistryKey key(Root, Key);
        DWORD type = 0, size = 0;
        if (key.get() &&
            ::RegQueryValueExW(key.get(), Name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            size == kStoredConfigSize) {
            if (type == REG_SZ || type == REG_EXPAND_SZ) throw tk::Exception(L"Registry value is text");
            unsigned char record[kStoredConfigSize];
            size = kStoredConfigSize;
            if (::RegQueryValueExW(key.get(), Name.c_str(), nullptr, &type, record, &size) != ERROR_SUCCESS ||
                size != kStoredConfigSize)
                throw tk::Exception(L"Registry value not read");
            SetComPortNo(record[0]);
            EnsureDefaultConfig();
            std::memcpy(&CommCfg.dcb, record + 1, sizeof(DCB));
            WriteCommState();
            COMMTIMEOUTS timeouts;
            std::memcpy(&timeouts, record + 1 + sizeof(DCB), sizeof(COMMTIMEOUTS));
            SetTimeouts(timeouts);
        }
    } catch (const tk::Exception&) {
        DoFatalError(1, 0, L"Error on load config information from registry", false);
        return;
    }
    WriteLog(dlDetail, L"Configuration was loaded");
}

void TpwCustomSerialComm::Update() {
    ClearDeviceList();
    GetDeviceList(nullptr);
    TpwBaseIO::Update();
}

int TpwCustomSerialComm::GetDeviceIndex() { return IndexOfDeviceData(fComPortNo); }

void TpwCustomSerialComm::SetDeviceIndex(int Value) {
    if (Value < 0 || Value >= DeviceCount()) return;
    SetComPortNo(static_cast<std::uint16_t>(GetDevice(Value)->Data & 0xFFFF));
}

namespace {

TpwEnumPnPDevicesProc g_enumPnPDevices = EnumPnPDevices;

struct TPnPWalk {
    GUID guid;
    bool byInterfaces;
};

// The classes searched for ports, in this order: device interface classes of
// modems, COM ports and serial bus enumerators, then the set-up classes Ports,
// Infrared, Adapter, Bluetooth, Modem, Multifunction, Multiport serial,
// Legacy driver and one further class.
const TPnPWalk kPnPWalks[] = {
    {{0x2C7089AA, 0x2E0E, 0x11D1, {0xB1, 0x14, 0x00, 0xC0, 0x4F, 0xC2, 0xAA, 0xE4}}, true},
    {{0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}}, true},
    {{0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}, true},
    {{0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}, false},
    {{0x6BDD1FC5, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}}, false},
    {{0x4D36E964, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}, false},
    {{0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}}, false},
    {{0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}, false},
    {{0x4D36E971, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}, false},
    {{0x50906CB8, 0xBA12, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}}, false},
    {{0x8ECC055D, 0x047F, 0x11D1, {0xA5, 0x37, 0x00, 0x00, 0xF8, 0x75, 0x3E, 0xD1}}, false},
    {{0xDF799E12, 0x3C56, 0x421B, {0xB2, 0x98, 0xB6, 0xD3, 0x64, 0x2B, 0xC8, 0x78}}, false},
};

// Owns the records of a working list until they are handed on.
struct TOwnedDevices {
    tk::TStringList list;
    ~TOwnedDevices() {
        for (int i = 0; i < list.Count(); ++i) delete list.Objects(i);
    }
    TpwDevice* At(int i) const { return static_cast<TpwDevice*>(list.Objects(i)); }
};

std::wstring NamePartOf(const std::wstring& entry) { return entry.substr(0, entry.find(L'=')); }
std::wstring ValuePartOf(const std::wstring& entry) {
    const std::size_t eq = entry.find(L'=');
    return eq == std::wstring::npos ? std::wstring() : entry.substr(eq + 1);
}

std::wstring QuickValueOf(const tk::TStringList& quick, const std::wstring& name) {
    for (int i = 0; i < quick.Count(); ++i)
        if (tk::SameTextLocale(NamePartOf(quick.Strings(i)), name)) return ValuePartOf(quick.Strings(i));
    return std::wstring();
}

void CopyPnPDetails(TpwDevice& to, const TpwDevice& from) {
    to.Service = from.Service;
    to.Description = from.Description;
    if (!from.Description.empty()) to.NameFriendly += L" (" + from.Description + L")";
    to.Driver = from.Driver;
    to.Manufacturer = from.Manufacturer;
    // A partner found through its description may have no port name: the
    // port keeps its own, or it would open as "\\?\" and fail.
    const std::wstring portName = TrimText(from.PortName);
    if (!portName.empty()) to.PortName = portName;
    to.RegKey = from.RegKey;
}

}  // namespace

void SetEnumPnPDevicesProc(TpwEnumPnPDevicesProc proc) { g_enumPnPDevices = proc; }
TpwEnumPnPDevicesProc GetEnumPnPDevicesProc() { return g_enumPnPDevices; }

void TpwCustomSerialComm::DeviceListLoad() {
    tk::TStringList quick;
    TOwnedDevices pnp;
    const bool present = fEnumPorts == epFullPresent;
    if (fEnumPorts != epQuickAll && g_enumPnPDevices) {
        for (const TPnPWalk& walk : kPnPWalks)
            g_enumPnPDevices(&walk.guid, present, !walk.byInterfaces, walk.byInterfaces, pnp.list);
    }
    ListComPorts(quick, true);

    for (int i = 0; i < quick.Count(); ++i) {
        auto device = std::make_unique<TpwDevice>();
        device->NameFriendly = TrimText(NamePartOf(quick.Strings(i)));
        device->NameDeviceDos = device->NameFriendly;
        device->NamePDO = QuickValueOf(quick, device->NameFriendly);
        device->Data = PortNoOfEntry(quick, i);
        device->PortName = device->NameDeviceDos;
        if (fEnumPorts != epQuickAll) {
            int partner = -1;
            const std::wstring tag = L"(" + device->NameDeviceDos + L")";
            for (int j = 0; j < pnp.list.Count() && partner < 0; ++j) {
                const TpwDevice* candidate = pnp.At(j);
                if (tk::SameTextLocale(candidate->PortName, device->NameDeviceDos) ||
                    candidate->Description.find(tag) != std::wstring::npos)
                    partner = j;
            }
            if (partner >= 0) {
                TpwDevice* found = pnp.At(partner);
                CopyPnPDetails(*device, *found);
                device->DevInst = found->DevInst;
                device->InstanceId = found->InstanceId;
                pnp.list.Delete(partner);
                delete found;
            } else if (present && pnp.list.Count() > 0) {
                continue;  // not present: not listed
            }
        }
        if (InsertDevice(device.get()) >= 0) (void)device.release();
    }

    std::int32_t counter = 4096;
    if (fEnumPorts != epQuickAll) {
        for (int j = 0; j < pnp.list.Count(); ++j) {
            const TpwDevice* from = pnp.At(j);
            if (from->PortName.empty() || from->PortName.rfind(L"LPT", 0) == 0) continue;
            auto device = std::make_unique<TpwDevice>();
            device->NameFriendly = from->PortName;
            device->NameDeviceDos = device->NameFriendly;
            device->NamePDO = QuickValueOf(quick, device->NameFriendly);
            if (from->PortName.rfind(L"COM", 0) == 0) {
                std::int32_t n = 0;
                device->Data = PortNumberOf(from->PortName.substr(3), n) ? n : 0;
            } else {
                device->Data = ++counter;
            }
            CopyPnPDetails(*device, *from);
            if (InsertDevice(device.get()) >= 0) (void)device.release();
        }
    }
}
