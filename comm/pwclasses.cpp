#include "pwclasses.h"

#include <dbt.h>
#include <objbase.h>

#include <utility>

#include "Application.h"
#include "Controls.h"

namespace {

const wchar_t kTerminalOwnerProp[] = L"pwTerminalOwner";
const wchar_t kTerminalOldProcProp[] = L"pwTerminalOldProc";
// Set on the view while its painting is held back, for the refresh timer.
const wchar_t kTerminalFrozenProp[] = L"pwTerminalFrozen";
const UINT_PTR kTerminalRefreshTimer = 0x7077;

TpwBaseIO::TTerminalWindowResolver& TerminalResolver() {
    static TpwBaseIO::TTerminalWindowResolver resolver;
    return resolver;
}

// Repaints a view whose painting was off, frame included: scroll bars that
// came or changed meanwhile are not drawn otherwise.
void RefreshFrame(HWND wnd) { RedrawWindow(wnd, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE); }

HWND TerminalWindowOf(tk::TComponent* control) {
    if (!control) return nullptr;
    if (auto* ctl = dynamic_cast<tk::TWinControl*>(control)) return ctl->Handle();
    auto& resolver = TerminalResolver();
    return resolver ? resolver(control) : nullptr;
}

// Restores a flag on every way out, exceptions included.
class TFlagGuard {
public:
    explicit TFlagGuard(bool& flag) : flag_(flag) { flag_ = true; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;
    ~TFlagGuard() { flag_ = false; }

private:
    bool& flag_;
};

}  // namespace

// ---------------------------------------------------------------------------
// TpwCustomLogFile

TpwCustomLogFile::TpwCustomLogFile(tk::TComponent* AOwner) : tk::TComponent(AOwner) {}

void TpwCustomLogFile::DoFatalErrors(std::uint32_t Code, std::uint32_t Detail,
                                     const std::wstring& Msg) {
    bool RaiseException = true;
    if (fOnFatalError) fOnFatalError(this, Code, Detail, Msg, RaiseException);
    if (RaiseException) throw tk::Exception(Msg);
}

// ---------------------------------------------------------------------------
// TpwNotifyList

TpwNotifyList::~TpwNotifyList() { TpwNotifyList::Clear(); }

int TpwNotifyList::Add(const TpwNotifyEvent& Item) {
    return tk::TList::Add(new TpwNotifyEvent(Item));
}

void TpwNotifyList::Delete(int Index) {
    auto* rec = static_cast<TpwNotifyEvent*>(tk::TList::Get(Index));
    tk::TList::Delete(Index);
    delete rec;
}

void TpwNotifyList::Clear() {
    int n = Count();
    for (int i = 0; i < n; ++i) Delete(0);
    tk::TList::Clear();
}

TpwNotifyEvent TpwNotifyList::Get(int Index) const {
    return *static_cast<TpwNotifyEvent*>(tk::TList::Get(Index));
}

void TpwNotifyList::Put(int Index, const TpwNotifyEvent& Item) {
    *static_cast<TpwNotifyEvent*>(tk::TList::Get(Index)) = Item;
}

int TpwNotifyList::IndexOf(const TpwNotifyEvent& Item) const {
    for (int i = 0; i < Count(); ++i)
        if (static_cast<TpwNotifyEvent*>(tk::TList::Get(i))->SameFunction(Item)) return i;
    return -1;
}

void TpwNotifyList::Call(tk::TObject* Sender, std::int32_t Code) {
    int n = Count();
    for (int i = 0; i < n; ++i) {
        // A copy: the callback may free the entry's record.
        TpwNotifyEvent e = Get(i);
        if (e) e(Sender, Code);
    }
}

// ---------------------------------------------------------------------------
// TpwTimer

namespace {
const wchar_t kTimerWindowClass[] = L"TpwTimerWindow";
}

TpwTimer::TpwTimer() {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSW wc = {};
    if (!GetClassInfoW(inst, kTimerWindowClass, &wc)) {
        wc = {};
        wc.lpfnWndProc = &TpwTimer::StaticWndProc;
        wc.hInstance = inst;
        wc.lpszClassName = kTimerWindowClass;
        RegisterClassW(&wc);
    }
    FWindowHandle = CreateWindowExW(0, kTimerWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    inst, this);
    if (!FWindowHandle) tk::RaiseLastOSError();
}

TpwTimer::~TpwTimer() {
    FEnabled = false;
    UpdateTimer();
    DestroyWindow(FWindowHandle);
}

void TpwTimer::SetEnabled(bool Value) {
    if (Value == FEnabled) return;
    FEnabled = Value;
    UpdateTimer();
}

void TpwTimer::SetInterval(std::uint32_t Value) {
    if (Value == FInterval) return;
    FInterval = Value;
    UpdateTimer();
}

void TpwTimer::SetOnTimer(const tk::TNotifyEvent& Value) {
    FOnTimer = Value;
    UpdateTimer();
}

void TpwTimer::UpdateTimer() {
    KillTimer(FWindowHandle, 1);
    if (FInterval != 0 && FEnabled && FOnTimer) SetTimer(FWindowHandle, 1, FInterval, nullptr);
}

void TpwTimer::Timer() {
    if (FEnabled && FOnTimer) FOnTimer(this);
}

LRESULT CALLBACK TpwTimer::StaticWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<TpwTimer*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
    if (self && self->FWindowHandle == wnd) return self->WndProc(msg, wParam, lParam);
    return DefWindowProcW(wnd, msg, wParam, lParam);
}

LRESULT TpwTimer::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_TIMER) {
        // A failing handler must not stop the timer or reach the message loop.
        try {
            Timer();
        } catch (...) {
        }
        return 0;
    }
    return DefWindowProcW(FWindowHandle, msg, wParam, lParam);
}

// ---------------------------------------------------------------------------
// TpwCustomDataProcessor

TpwCustomDataProcessor::TpwCustomDataProcessor(tk::TComponent* AOwner) : tk::TComponent(AOwner) {
    fTimerAsync = new TpwTimer();
    fTimerAsync->SetEnabled(false);
    fTimerAsync->SetOnTimer(tk::TNotifyEvent(this, &TpwCustomDataProcessor::DoTimerAsync));
}

TpwCustomDataProcessor::~TpwCustomDataProcessor() {
    // The device calls back into this processor while it drops it.
    RemoveFreeNotifications();
    TpwCustomDataProcessor::SetDevice(nullptr);
    delete fTimerAsync;
    fTimerAsync = nullptr;
}

void TpwCustomDataProcessor::SetActive(bool Value) { fActive = Value; }

void TpwCustomDataProcessor::SetDevice(TpwBaseIO* Value) {
    if ((!Value || Value != fDevice) && fDevice) fDevice->NotifyDelete(DeviceNotifyEvent());
    fDevice = Value;
    if (Value) {
        FreeNotification(Value);
        Value->NotifyAdd(DeviceNotifyEvent());
    }
}

void TpwCustomDataProcessor::SetDataProcessor(TpwCustomDataProcessor* Value) {
    if (Value == this) return;
    fDataProcessor = Value;
    if (Value) {
        FreeNotification(Value);
        Value->SetDevice(fDevice);
    }
}

void TpwCustomDataProcessor::SetLog(TpwCustomLogFile* Value) {
    fLog = Value;
    if (Value) FreeNotification(Value);
}

void TpwCustomDataProcessor::Notification(tk::TComponent* AComponent, tk::TOperation Operation) {
    tk::TComponent::Notification(AComponent, Operation);
    if (Operation != tk::opRemove || !AComponent) return;
    if (AComponent == fDataProcessor) SetDataProcessor(nullptr);
    if (AComponent == fDevice) SetDevice(nullptr);
    if (AComponent == fLog) SetLog(nullptr);
}

void TpwCustomDataProcessor::DeviceNotify(tk::TObject* /*Sender*/, std::int32_t Code) {
    if (Code == pwNotifyClosed)
        DoMediumClosed();
    else if (Code == pwNotifyOpened)
        DoMediumOpened();
}

void TpwCustomDataProcessor::DoMediumClosed() { WriteLog(dlDebug, L"Medium Closed"); }

void TpwCustomDataProcessor::DoMediumOpened() { WriteLog(dlDebug, L"Medium Opened"); }

void TpwCustomDataProcessor::DoFatalErrors(std::uint32_t Code, std::uint32_t Detail,
                                           const std::wstring& Msg) {
    bool RaiseException = true;
    if (fOnFatalError) fOnFatalError(this, Code, Detail, Msg, RaiseException);
    if (fLog) fLog->AddLogFmt(dlSimple, L"Fatal Error: %u, %u, %s", {Code, Detail, Msg});
    if (RaiseException) throw tk::Exception(Msg);
}

void TpwCustomDataProcessor::DoProcessing(const void* Data, std::uint32_t Len, TIgnoreTypes& R) {
    if (fDataProcessor) fDataProcessor->DoProcessing(Data, Len, R);
}

void TpwCustomDataProcessor::DataReceive(const void* ptrBuffer, std::uint32_t Len) {
    TIgnoreTypes scratch;
    DoProcessing(ptrBuffer, Len, scratch);
}

void TpwCustomDataProcessor::DoAfterSendComplete(bool& /*flIgnore*/) {}

void TpwCustomDataProcessor::DoDataSend(const void* ptrBuffer, std::uint32_t Len) {
    if (!ptrBuffer || Len == 0) return;
    // Errors end the send quietly; the steps after them are skipped.
    try {
        bool flHandled = false;
        if (fOnDataSend) fOnDataSend(this, ptrBuffer, Len, false, flHandled);
        if (flHandled) {
            fTimerAsync->SetEnabled(false);
            fTimerAsync->SetEnabled(true);
        } else {
            if (!fDevice) return;
            fDevice->SendData(ptrBuffer, Len);
            fDevice->DrainOutput();
        }
        WriteLogFmt(dlDebug, L"DoDataSend: %u bytes", {Len});
    } catch (...) {
    }
}

void TpwCustomDataProcessor::DoDataSend(const std::string& S) {
    if (S.empty()) return;
    try {
        bool flHandled = false;
        if (fOnDataSend)
            fOnDataSend(this, S.data(), static_cast<std::uint32_t>(S.size()), true, flHandled);
        if (!flHandled && fDevice) fDevice->SendString(S);
    } catch (...) {
    }
}

void TpwCustomDataProcessor::DoTimerAsync(tk::TObject* /*Sender*/) {
    fTimerAsync->SetEnabled(false);
    bool flIgnore = false;
    DoAfterSendComplete(flIgnore);
}

void TpwCustomDataProcessor::SetAsyncTimer(std::uint32_t Interval) {
    fTimerAsync->SetEnabled(false);
    if (Interval != 0) {
        fTimerAsync->FInterval = Interval;
        fTimerAsync->SetEnabled(true);
    }
}

void TpwCustomDataProcessor::WriteLog(TDetailLevel l, const std::wstring& s) {
    if (fLog) fLog->AddLog(l, sLogPrefix + s);
}

void TpwCustomDataProcessor::WriteLogFmt(TDetailLevel l, const std::wstring& Fmt,
                                         const tk::TVarRecs& Args) {
    if (fLog) fLog->AddLogFmt(l, sLogPrefix + Fmt, Args);
}

// ---------------------------------------------------------------------------
// TpwThreadIO

TpwThreadIO::TpwThreadIO(TpwBaseIO* apwComm, tk::TThreadPriority pr)
    : tk::TThread(true), fpwComm(apwComm) {
    // The component owns the thread and waits for its end when it stops it,
    // so the object must outlive Execute.
    SetFreeOnTerminate(false);
    SetPriority(pr);
    // The component must know its thread before the thread can ask for it
    // (DoReceived tells the I/O thread by its id).
    if (fpwComm) fpwComm->fThreadIO = this;
    Start();
}

TpwThreadIO::~TpwThreadIO() {
    Terminate();
    WaitFor();
}

void TpwThreadIO::Execute() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        if (fpwComm) fpwComm->ExecuteThreadIO(this);
    } catch (...) {
    }
    // Only a successful initialisation is balanced.
    if (SUCCEEDED(hr)) CoUninitialize();
}

// ---------------------------------------------------------------------------
// TpwBaseIO

TpwBaseIO::TpwBaseIO(tk::TComponent* AOwner) : tk::TComponent(AOwner) {
    fPriority = tk::tpNormal;
    sLogPrefix = L"TpwBaseIO";
    flClearDeviceListWithFree = true;
    slDevices = std::make_unique<tk::TStringList>();
    pwNotifyList = std::make_unique<TpwNotifyList>();
    fHandle = INVALID_HANDLE_VALUE;
    fOvlRead.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fOvlWrite.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!fOvlRead.hEvent || !fOvlWrite.hEvent) {
        DWORD err = GetLastError();
        if (fOvlRead.hEvent) CloseHandle(fOvlRead.hEvent);
        if (fOvlWrite.hEvent) CloseHandle(fOvlWrite.hEvent);
        throw tk::EOSError(tk::SysErrorMessage(err), err);
    }
}

thread_local TpwBaseIO::TCallGuard* TpwBaseIO::TCallGuard::top_ = nullptr;

TpwBaseIO::TCallGuard::TCallGuard(const TpwBaseIO* io, bool handler)
    : io_(io), outer_(top_), handler_(handler) {
    top_ = this;
}

// Guards end in the reverse order of their creation on their thread.
TpwBaseIO::TCallGuard::~TCallGuard() { top_ = outer_; }

bool TpwBaseIO::TCallGuard::InHandler(const TpwBaseIO* io, const TCallGuard* except) {
    for (const TCallGuard* g = top_; g; g = g->outer_)
        if (g != except && g->handler_ && g->io_ == io && !g->gone_) return true;
    return false;
}

TpwBaseIO::~TpwBaseIO() {
    // Frames of this thread that called out to the code destroying us.
    for (TCallGuard* g = TCallGuard::top_; g; g = g->outer_)
        if (g->io_ == this) g->gone_ = true;
    // Processors and selectors still attached call NotifyDelete while they
    // let go of us: they must find the component whole.
    RemoveFreeNotifications();
    try {
        SetTerminal(nullptr);
    } catch (...) {
    }
    SetDataProcessor(nullptr);
    if (fThreadIO) {
        IsThreadIOTerminated = true;
        delete fThreadIO;  // terminates and waits
        fThreadIO = nullptr;
    }
    CloseHandle(fOvlWrite.hEvent);
    fOvlWrite.hEvent = nullptr;
    CloseHandle(fOvlRead.hEvent);
    fOvlRead.hEvent = nullptr;
    TpwBaseIO::ClearDeviceList();
    pwNotifyList.reset();
    slDevices.reset();
}

void TpwBaseIO::Loaded() {
    tk::TComponent::Loaded();
    try {
        SetTerminal(fTerminal);
        SetTerminalUsage(fTerminalUsage);
        SetActive(fActive);
    } catch (...) {
        tk::Application().MessageBox(GetForegroundWindow(), L"error", L"Error",
                                     MB_OK | MB_ICONERROR);
    }
}

bool TpwBaseIO::Active() const { return IsLoading() ? fActive : IsDeviceOpen() && !ClosePending(); }

void TpwBaseIO::SetActive(bool Value) {
    if (IsLoading()) {
        fActive = Value;
        return;
    }
    if (Value == Active()) return;
    if (Value)
        DoOpen();
    else
        DoClose();
}

void TpwBaseIO::SetLog(TpwCustomLogFile* Value) {
    fLog = Value;
    if (Value) FreeNotification(Value);
}

void TpwBaseIO::SetDataProcessor(TpwCustomDataProcessor* Value) {
    if (fDataProcessor && Value != fDataProcessor) fDataProcessor->SetDevice(nullptr);
    fDataProcessor = Value;
    if (Value) {
        Value->SetDevice(this);
        FreeNotification(Value);
    }
}

bool TpwBaseIO::IsDeviceOpen() const { return fHandle != INVALID_HANDLE_VALUE; }

HANDLE TpwBaseIO::OpenDevice() { return INVALID_HANDLE_VALUE; }

void TpwBaseIO::CloseDevice(HANDLE Handle) { CloseHandle(Handle); }

bool TpwBaseIO::HasReceiver() const { return fTerminal || fOnReceived || fDataProcessor; }

void TpwBaseIO::DoOpen() {
    fHandle = OpenDevice();
    if (!IsDeviceOpen()) return;
    if (isThreaded) StartThreadIO();
    RaiseOnOpen();
}

void TpwBaseIO::RaiseOnOpen() {
    if (fOnOpen) {
        try {
            fOnOpen(this);
        } catch (...) {
        }
    }
}

void TpwBaseIO::DoClose() {
    if (fHandle == INVALID_HANDLE_VALUE) return;
    CloseDevice(fHandle);
    if (isThreaded) StopThreadIO();
    fHandle = INVALID_HANDLE_VALUE;
    if (fOnClose) {
        try {
            fOnClose(this);
        } catch (...) {
        }
    }
}

void TpwBaseIO::StartThreadIO() {
    IsThreadIOTerminated = false;
    // A thread left over from an earlier open is waited for first.
    delete fThreadIO;
    fThreadIO = nullptr;
    new TpwThreadIO(this, fPriority);  // registers itself in fThreadIO before it starts
}

void TpwBaseIO::StopThreadIO() {
    if (IsThreadIOTerminated) return;
    IsThreadIOTerminated = true;
    if (!fThreadIO) return;
    fThreadIO->Terminate();
    fThreadIO->WaitFor();
    delete fThreadIO;
    fThreadIO = nullptr;
}

void TpwBaseIO::ExecuteThreadIO(TpwThreadIO* /*Thread*/) {}

void TpwBaseIO::DoFatalError(std::uint32_t ErrorCode, std::uint32_t Detail,
                             const std::wstring& ErrorMsg, bool ShowOnly) {
    bool RaiseException = true;
    TCallGuard guard(this);
    if (fOnFatalError) fOnFatalError(this, ErrorCode, Detail, ErrorMsg, RaiseException);
    if (guard.Gone()) return;
    if (fLog) fLog->AddLogFmt(dlSimple, L"Fatal Error: %u, %u, %s", {ErrorCode, Detail, ErrorMsg});
    if (!RaiseException || IsLoading()) return;
    if (!ShowOnly) throw tk::Exception(ErrorMsg);
    tk::Application().MessageBox(nullptr, ErrorMsg, L"Application Error",
                                 MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

void TpwBaseIO::DoNotify(std::int32_t Code) {
    if (pwNotifyList) pwNotifyList->Call(this, Code);
}

void TpwBaseIO::DoReceived(const void* Buffer, std::uint32_t Len) {
    if (fThreadIO && fUseMainThread && GetCurrentThreadId() == fThreadIO->ThreadID()) {
        threadData = Buffer;
        threadDataSize = Len;
        fThreadIO->Synchronize(tk::TThreadMethod(this, &TpwBaseIO::SyncDoReceived));
        return;
    }
    WriteLog(dlDebug, L"Input data length: " + tk::IntToStr(Len));
    TCallGuard guard(this);
    TIgnoreTypes ignore;
    if (fDataProcessor) fDataProcessor->DoProcessing(Buffer, Len, ignore);
    if (guard.Gone()) return;
    if (fTerminal && !ignore.Contains(itTerminal))
        WriteToTerminal(Buffer, static_cast<std::int32_t>(Len));
    if (guard.Gone()) return;
    if (fOnReceived) fOnReceived(this, Buffer, Len);
}

bool TpwBaseIO::DoSendComplete() {
    bool flIgnore = false;
    if (fDataProcessor) fDataProcessor->DoAfterSendComplete(flIgnore);
    return flIgnore;
}

void TpwBaseIO::SyncDoReceived() { DoReceived(threadData, threadDataSize); }

void TpwBaseIO::WriteLog(TDetailLevel Level, const std::wstring& Msg) {
    if (!fLog) return;
    if (Msg.empty())
        fLog->AddSysInfo();
    else
        fLog->AddLog(Level, sLogPrefix + Msg);
}

void TpwBaseIO::WriteLogFmt(TDetailLevel Level, const std::wstring& Fmt, const tk::TVarRecs& Args) {
    if (fLog) fLog->AddLogFmt(Level, sLogPrefix + Fmt, Args);
}

void TpwBaseIO::Update() { DoNotify(pwNotifyChanged); }

void TpwBaseIO::SetDeviceIndex(int /*Value*/) { DoNotify(pwNotifyChanged); }

// Entries are told apart by function and object: the list's own IndexOf
// compares the function only, which would take two device boxes, or two
// processors of a chain, for one listener.
int TpwBaseIO::IndexOfListener(const TpwNotifyEvent& NotifyEvent) const {
    for (int i = 0; i < pwNotifyList->Count(); ++i)
        if (pwNotifyList->Get(i) == NotifyEvent) return i;
    return -1;
}

void TpwBaseIO::NotifyAdd(const TpwNotifyEvent& NotifyEvent) {
    if (pwNotifyList && IndexOfListener(NotifyEvent) < 0) pwNotifyList->Add(NotifyEvent);
}

void TpwBaseIO::NotifyDelete(const TpwNotifyEvent& NotifyEvent) {
    if (!pwNotifyList) return;
    int i = IndexOfListener(NotifyEvent);
    if (i >= 0) pwNotifyList->Delete(i);
}

void TpwBaseIO::Notification(tk::TComponent* AComponent, tk::TOperation Operation) {
    tk::TComponent::Notification(AComponent, Operation);
    if (Operation != tk::opRemove || !AComponent) return;
    if (fDataProcessor && AComponent == fDataProcessor) {
        fDataProcessor->SetDevice(nullptr);
        fDataProcessor = nullptr;
    } else if (fTerminal && AComponent == fTerminal) {
        // The control is going away: its procedure is not restored, but our
        // hook must no longer reach this component.
        PaintTerminal();
        if (fTerminalWindow && IsWindow(fTerminalWindow))
            RemovePropW(fTerminalWindow, kTerminalOwnerProp);
        fTerminalWindow = nullptr;
        fTerminal = nullptr;
        hTerminal = nullptr;
    } else if (fLog && AComponent == fLog) {
        fLog = nullptr;
    }
}

// Device list.

TpwDevice* TpwBaseIO::GetDevice(int Index) const {
    if (Index < 0 || Index >= slDevices->Count()) return nullptr;
    return static_cast<TpwDevice*>(slDevices->Objects(Index));
}

int TpwBaseIO::IndexOfDevice(const TpwDevice* aDevice) const {
    return slDevices->IndexOfObject(aDevice);
}

int TpwBaseIO::IndexOfDeviceData(std::int32_t Data) const {
    for (int i = 0; i < slDevices->Count(); ++i) {
        TpwDevice* d = GetDevice(i);
        if (d && d->Data == Data) return i;
    }
    return -1;
}

int TpwBaseIO::AddDevice(TpwDevice* Device) {
    int i = slDevices->AddObject(Device->NameFriendly, Device);
    Device->fIndex = i;
    Device->fParent = this;
    return i;
}

int TpwBaseIO::InsertDevice(TpwDevice* Device) {
    if (!Device) return -1;
    int n = slDevices->Count();
    TpwDevice* last = n > 0 ? GetDevice(n - 1) : nullptr;
    if (n == 0 || (last && last->Data < Device->Data)) return AddDevice(Device);
    for (int i = 0; i < n; ++i) {
        TpwDevice* d = GetDevice(i);
        if (!d) continue;
        if (d->Data == Device->Data) return -1;
        if (d->Data > Device->Data) {
            slDevices->InsertObject(i, Device->NameFriendly, Device);
            Device->fIndex = i;
            Device->fParent = this;
            for (int j = i + 1; j < slDevices->Count(); ++j)
                if (TpwDevice* after = GetDevice(j)) after->fIndex = j;
            return i;
        }
    }
    // Only reachable past empty slots: keep the order by appending.
    return AddDevice(Device);
}

void TpwBaseIO::ClearDeviceList() {
    if (!slDevices) return;
    if (flClearDeviceListWithFree) {
        for (int i = 0; i < slDevices->Count(); ++i) {
            delete static_cast<TpwDevice*>(slDevices->Objects(i));
            slDevices->SetObjects(i, nullptr);
        }
    }
    slDevices->Clear();
}

void TpwBaseIO::GetDeviceList(tk::TStringList* L) {
    if (DeviceCount() == 0) DeviceListLoad();
    if (!L) return;
    L->Clear();
    for (int i = 0; i < slDevices->Count(); ++i)
        L->AddObject(slDevices->Strings(i), slDevices->Objects(i));
}

bool TpwBaseIO::WMDeviceChange(UINT Msg, WPARAM WParam, LPARAM LParam) {
    if (Msg != WM_DEVICECHANGE) return false;
    bool handled = false;
    if (WParam == DBT_DEVICEARRIVAL || WParam == DBT_DEVICEREMOVECOMPLETE) {
        auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(LParam);
        handled = hdr && hdr->dbch_devicetype == DBT_DEVTYP_PORT;
    } else if (WParam == DBT_DEVNODES_CHANGED) {
        handled = true;
    }
    if (handled) Update();
    return handled;
}

// Terminal binding.

void TpwBaseIO::SetTerminalWindowResolver(TTerminalWindowResolver resolver) {
    TerminalResolver() = std::move(resolver);
}

void TpwBaseIO::UnhookTerminal() {
    if (auto* ctl = dynamic_cast<tk::TWinControl*>(fTerminal)) {
        ctl->SetWindowProc(fOldTerminalWindowProc);
        fOldTerminalWindowProc = {};
        if (ctl->HandleAllocated()) PostMessageW(ctl->Handle(), WM_PW_TERMINAL, 0, 0);
        return;
    }
    HWND w = fTerminalWindow;
    fTerminalWindow = nullptr;
    if (!w || !IsWindow(w)) return;
    auto current = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(w, GWLP_WNDPROC));
    if (current == &TpwBaseIO::TerminalWndProc) {
        SetWindowLongPtrW(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(fOldTerminalWndProc));
        RemovePropW(w, kTerminalOldProcProp);
    }
    // Someone hooked the window after us: our procedure stays in its chain
    // but only passes messages on.
    RemovePropW(w, kTerminalOwnerProp);
    PostMessageW(w, WM_PW_TERMINAL, 0, 0);
}

void TpwBaseIO::SetTerminal(tk::TComponent* Value) {
    PaintTerminal();
    if (fTerminal) UnhookTerminal();
    fOldTerminalWndProc = nullptr;
    fOldTerminalWindowProc = {};
    if (auto* ctl = dynamic_cast<tk::TWinControl*>(Value)) {
        PostMessageW(ctl->Handle(), WM_PW_TERMINAL, reinterpret_cast<WPARAM>(this), 0);
        fOldTerminalWindowProc = ctl->WindowProc();
        ctl->SetWindowProc(tk::TWndMethod(this, &TpwBaseIO::TerminalWindowProc));
    } else if (HWND w = TerminalWindowOf(Value)) {
        PostMessageW(w, WM_PW_TERMINAL, reinterpret_cast<WPARAM>(this), 0);
        fOldTerminalWndProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(w, GWLP_WNDPROC));
        SetPropW(w, kTerminalOwnerProp, this);
        SetPropW(w, kTerminalOldProcProp, reinterpret_cast<HANDLE>(fOldTerminalWndProc));
        SetWindowLongPtrW(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TpwBaseIO::TerminalWndProc));
        fTerminalWindow = w;
    }
    hTerminal = nullptr;
    fTerminal = Value;
    SetTerminalUsage(fTerminalUsage);
    if (Value) FreeNotification(Value);
}

void TpwBaseIO::SetTerminalUsage(TTerminalUsage Value) {
    fTerminalUsage = Value;
    if (!fTerminal) return;
    PaintTerminal();
    hTerminal = (Value == tuReceive || Value == tuBoth) ? TerminalWindowOf(fTerminal) : nullptr;
}

// A typed character goes to the port instead of the control unless echo is
// on; text that WriteToTerminal types itself is never sent back.
bool TpwBaseIO::TerminalTakesChar(UINT msg, WPARAM wParam) {
    if (fTerminalLocked || msg != WM_CHAR || (fTerminalUsage != tuSend && fTerminalUsage != tuBoth))
        return false;
    const wchar_t ch = static_cast<wchar_t>(LOWORD(wParam));
    const bool open = IsDeviceOpen();
    SendChar(ch);
    if (open && fOnTerminalChar) fOnTerminalChar(this, ch);
    return !fTerminalEcho;
}

void TpwBaseIO::TerminalWindowProc(tk::TMessage& Message) {
    if (TerminalTakesChar(Message.Msg, Message.WParam)) return;
    // The control may change its window (a rich edit does to drop old text,
    // and keeps painting off in the new one if it was off): a hold moves
    // with it, taken up on the first message of the new window.
    if (auto* ctl = dynamic_cast<tk::TWinControl*>(fTerminal); ctl && ctl->HandleAllocated()) {
        if (Message.Msg == WM_NCDESTROY && fTerminalHeldWindow == ctl->Handle()) {
            MoveTerminalHold();
        } else if (fTerminalHoldMoving && Message.Msg != WM_NCDESTROY) {
            TakeUpTerminalHold(ctl->Handle());
        }
    }
    if (fOldTerminalWindowProc) fOldTerminalWindowProc(Message);
}

LRESULT CALLBACK TpwBaseIO::TerminalWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<TpwBaseIO*>(GetPropW(wnd, kTerminalOwnerProp));
    auto old = reinterpret_cast<WNDPROC>(GetPropW(wnd, kTerminalOldProcProp));
    if (self) {
        try {
            if (self->TerminalTakesChar(msg, wParam)) return 0;
        } catch (...) {
            tk::Application().HandleException();
            if (!self->fTerminalEcho) return 0;
        }
    }
    if (msg == WM_NCDESTROY) {
        RemovePropW(wnd, kTerminalOwnerProp);
        RemovePropW(wnd, kTerminalOldProcProp);
        if (self && self->fTerminalWindow == wnd) {
            self->fTerminalWindow = nullptr;
            self->hTerminal = nullptr;
        }
        if (self && self->fTerminalHeldWindow == wnd) self->ReleaseTerminalHold();
    }
    return old ? CallWindowProcW(old, wnd, msg, wParam, lParam)
               : DefWindowProcW(wnd, msg, wParam, lParam);
}

// Painting a large rich edit costs milliseconds (Wine walks its paragraphs
// on every paint), so a flood of blocks painted one by one would spend most
// of its time painting. Text that comes in at a trickle is painted with its
// block. Once blocks follow each other without a pause and add up to more
// than kTerminalFloodChars, the view is painted at once only when the last
// paint is older than the gap; otherwise painting stays off until a timer
// ends the gap. The gap follows the measured cost of a paint, which keeps
// painting near a twentieth of the time while data streams in.
namespace {
constexpr DWORD kTerminalPauseMs = 50;  // a pause this long ends a flood
constexpr std::size_t kTerminalFloodChars = 1024;
}  // namespace

void TpwBaseIO::BeginTerminalUpdate() {
    if (fTerminalFrozen) return;
    // WM_SETREDRAW works through WS_VISIBLE: a view already hidden, or with
    // redraw switched off by its owner, is left so.
    if (!(GetWindowLongW(hTerminal, GWL_STYLE) & WS_VISIBLE)) return;
    SendMessageW(hTerminal, WM_SETREDRAW, FALSE, 0);
    fTerminalHeldWindow = hTerminal;
}

void TpwBaseIO::EndTerminalUpdate() {
    if (fTerminalFrozen || !fTerminalHeldWindow) return;
    const DWORD since = GetTickCount() - fTerminalPaintTick;
    if (fTerminalBurst <= kTerminalFloodChars || since >= fTerminalPaintGap) {
        PaintTerminal();
        return;
    }
    if (!SetTimer(fTerminalHeldWindow, kTerminalRefreshTimer, fTerminalPaintGap - since,
                  &TpwBaseIO::TerminalRefreshProc)) {
        PaintTerminal();
        return;
    }
    fTerminalFrozen = true;
    SetPropW(fTerminalHeldWindow, kTerminalFrozenProp, this);
}

// The held view is going away: its timer and painting state go with it.
void TpwBaseIO::ReleaseTerminalHold() {
    if (fTerminalHeldWindow) RemovePropW(fTerminalHeldWindow, kTerminalFrozenProp);
    fTerminalHeldWindow = nullptr;
    fTerminalFrozen = false;
    fTerminalHoldMoving = false;
}

// The held view's window goes, and the view gets a new one with painting
// off: the hold, frozen or not, waits for that window (the old one's timer
// goes with it).
void TpwBaseIO::MoveTerminalHold() {
    if (fTerminalHeldWindow) RemovePropW(fTerminalHeldWindow, kTerminalFrozenProp);
    fTerminalHeldWindow = nullptr;
    fTerminalHoldMoving = true;
}

// The view's new window, painting off as the old one had it, takes the
// hold over, with what is left of the gap.
void TpwBaseIO::TakeUpTerminalHold(HWND wnd) {
    const bool frozen = std::exchange(fTerminalFrozen, false);
    fTerminalHoldMoving = false;
    fTerminalHeldWindow = wnd;
    if (!frozen) return;
    const DWORD since = GetTickCount() - fTerminalPaintTick;
    const DWORD left = since < fTerminalPaintGap ? fTerminalPaintGap - since : 1;
    if (!SetTimer(wnd, kTerminalRefreshTimer, left, &TpwBaseIO::TerminalRefreshProc)) return;
    fTerminalFrozen = true;
    SetPropW(wnd, kTerminalFrozenProp, this);
}

// The window received text goes to. A toolkit control may have replaced
// its window since the usage was set (a rich edit does to drop old text):
// the output follows it.
HWND TpwBaseIO::TerminalTarget() {
    if (hTerminal)
        if (auto* ctl = dynamic_cast<tk::TWinControl*>(fTerminal); ctl && ctl->HandleAllocated())
            hTerminal = ctl->Handle();
    return hTerminal;
}

void TpwBaseIO::PaintTerminal() {
    HWND wnd = fTerminalHeldWindow;
    fTerminalHeldWindow = nullptr;
    fTerminalHoldMoving = false;
    if (!wnd || !IsWindow(wnd)) {
        fTerminalFrozen = false;
        return;
    }
    if (fTerminalFrozen) {
        KillTimer(wnd, kTerminalRefreshTimer);
        RemovePropW(wnd, kTerminalFrozenProp);
        fTerminalFrozen = false;
    }
    const DWORD start = GetTickCount();
    SendMessageW(wnd, WM_SETREDRAW, TRUE, 0);
    RefreshFrame(wnd);
    UpdateWindow(wnd);
    const DWORD cost = GetTickCount() - start;
    fTerminalPaintTick = GetTickCount();
    fTerminalPaintGap = std::min<DWORD>(500, std::max<DWORD>(20, cost * 20));
}

void CALLBACK TpwBaseIO::TerminalRefreshProc(HWND wnd, UINT, UINT_PTR id, DWORD) {
    KillTimer(wnd, id);
    if (auto* self = static_cast<TpwBaseIO*>(GetPropW(wnd, kTerminalFrozenProp))) {
        self->PaintTerminal();
        return;
    }
    SendMessageW(wnd, WM_SETREDRAW, TRUE, 0);
    RefreshFrame(wnd);
}

void TpwBaseIO::WriteToTerminal(const void* Data, std::int32_t Len) {
    if (!Data || Len <= 0) return;
    TFlagGuard lock(fTerminalLocked);
    const auto* bytes = static_cast<const unsigned char*>(Data);
    // Each byte is the character of the same code; no code page applies.
    std::wstring text(static_cast<std::size_t>(Len), L'\0');
    for (std::int32_t i = 0; i < Len; ++i)
        text[static_cast<std::size_t>(i)] = static_cast<wchar_t>(bytes[i]);
    if (!TerminalTarget()) return;
    const DWORD now = GetTickCount();
    if (now - fTerminalWriteTick >= kTerminalPauseMs) fTerminalBurst = 0;
    fTerminalWriteTick = now;
    fTerminalBurst += static_cast<std::size_t>(Len);
    BeginTerminalUpdate();
    struct TEnd {
        TpwBaseIO* self;
        ~TEnd() { self->EndTerminalUpdate(); }
    } end{this};
    if (Len == 1) {
        SendMessageW(hTerminal, WM_CHAR, static_cast<WPARAM>(text[0]), 1);
        TerminalTarget();
        return;
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(L'\0', pos);
        if (end == std::wstring::npos) end = text.size();
        if (end > pos && TerminalTarget()) {
            // The run ends at a NUL of the copy or at its terminator.
            SendMessageW(hTerminal, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text.c_str() + pos));
        }
        pos = end + 1;
    }
    TerminalTarget();
}
