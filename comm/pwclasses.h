// Support classes of the serial component library and the base of its
// input/output components: log sink interface, notification list, data
// processor, window-message timer, the device record, the I/O component base
// and its optional I/O thread. Shared enumerations and callback types live
// here too.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "Classes.h"
#include "Method.h"
#include "SysUtils.h"
#include "Threads.h"

// ---------------------------------------------------------------------------
// Small sets of enumeration values, bit n for value n.

template <class E, class Bits>
class TpwSet {
public:
    constexpr TpwSet() = default;
    constexpr TpwSet(std::initializer_list<E> values) {
        for (E v : values) Include(v);
    }
    static constexpr TpwSet FromBits(Bits bits) {
        TpwSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr Bits ToBits() const { return bits_; }
    constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TpwSet& Include(E v) {
        bits_ = static_cast<Bits>(bits_ | Bit(v));
        return *this;
    }
    constexpr TpwSet& Exclude(E v) {
        bits_ = static_cast<Bits>(bits_ & ~Bit(v));
        return *this;
    }
    friend constexpr TpwSet operator+(TpwSet a, TpwSet b) {
        return FromBits(static_cast<Bits>(a.bits_ | b.bits_));
    }
    friend constexpr TpwSet operator-(TpwSet a, TpwSet b) {
        return FromBits(static_cast<Bits>(a.bits_ & ~b.bits_));
    }
    friend constexpr TpwSet operator*(TpwSet a, TpwSet b) {
        return FromBits(static_cast<Bits>(a.bits_ & b.bits_));
    }
    friend constexpr bool operator==(TpwSet a, TpwSet b) { return a.bits_ == b.bits_; }

private:
    static constexpr Bits Bit(E v) {
        return static_cast<Bits>(Bits(1) << static_cast<unsigned>(v));
    }
    Bits bits_ = 0;
};

// ---------------------------------------------------------------------------
// Shared enumerations.

enum TDetailLevel { dlSimple = 0, dlDetail = 1, dlDebug = 2 };

enum TTerminalUsage { tuNone = 0, tuSend = 1, tuReceive = 2, tuBoth = 3 };

enum TIgnoreType { itTerminal = 0, itEventList = 1, itAfterReceive = 2, itTraceState = 3 };
using TIgnoreTypes = TpwSet<TIgnoreType, std::uint8_t>;

enum TTraceState {
    tsRxChar = 0,
    tsRxFlag,
    tsTxEmpty,
    tsCTS,
    tsDSR,
    tsRLSD,
    tsBreak,
    tsErr,
    tsRing,
    tsRx80Full,
    tsEvent1,
    tsEvent2
};
using TTraceStates = TpwSet<TTraceState, std::uint16_t>;

enum TModemSignal { msCTS = 0, msDSR = 1, msRing = 2, msRLSD = 3 };
using TModemSignals = TpwSet<TModemSignal, std::uint8_t>;

// The same bits as the flags of the system's COMSTAT record.
enum TComStateFlag { fCtlHold = 0, fDsrHold, fRlsHold, fXoffHold, fXOffSent, fEof, fTxim };
using TComStateFlags = TpwSet<TComStateFlag, std::uint8_t>;

// ---------------------------------------------------------------------------
// Callback types. The first argument is the object raising the event; in/out
// arguments are references.

using TOnFatalErrorEvent =
    tk::TMethod<void(tk::TObject* Sender, std::uint32_t ErrorCode, std::uint32_t Detail,
                     const std::wstring& ErrorMsg, bool& RaiseException)>;
using TpwNotifyEvent = tk::TMethod<void(tk::TObject* Sender, std::int32_t Code)>;
using TDataSendEvent = tk::TMethod<void(tk::TObject* Sender, const void* ptrBuffer,
                                        std::uint32_t Len, bool flSynchro, bool& flHandled)>;
using TOnReceived = tk::TMethod<void(tk::TObject* Com, const void* Buffer, std::uint32_t Received)>;
using TOnSent = tk::TMethod<void(tk::TObject* Com)>;
using TOnTerminalChar = tk::TMethod<void(tk::TObject* Com, wchar_t Ch)>;
using TOnTraceEvent = tk::TMethod<void(tk::TObject* Com, TTraceStates Event)>;
using TOnCommErrorEvent =
    tk::TMethod<void(tk::TObject* Com, std::uint32_t CommCode, std::uint32_t SysError,
                     TComStateFlags State, bool& flFlashBuffers)>;

// Notification codes an input/output component sends to its listeners.
constexpr std::int32_t pwNotifyClosed = 1;
constexpr std::int32_t pwNotifyOpened = 2;
constexpr std::int32_t pwNotifyChanged = 3;
// The device went away while open (unplugged, failed); sent after the close.
constexpr std::int32_t pwNotifyLost = 4;

// Posted to a terminal control's window when a component binds (wParam =
// the component) or unbinds (wParam = 0) it.
constexpr UINT WM_PW_TERMINAL = WM_USER + 1975;

class TpwBaseIO;
class TpwCustomDataProcessor;

namespace tk {
struct TMessage;
}

// ---------------------------------------------------------------------------
// The log sink interface. Callers put their own prefix in front of a line;
// the sink decides by level whether it is recorded.

class TpwCustomLogFile : public tk::TComponent {
public:
    explicit TpwCustomLogFile(tk::TComponent* AOwner);

    TOnFatalErrorEvent OnFatalError() const { return fOnFatalError; }
    void SetOnFatalError(const TOnFatalErrorEvent& value) { fOnFatalError = value; }

    virtual void Save() = 0;
    virtual void Clear() = 0;
    virtual void Add(const std::wstring& s) = 0;
    virtual void AddSysInfo() = 0;
    virtual void AddLog(TDetailLevel l, const std::wstring& s) = 0;
    virtual void AddFmt(const std::wstring& Fmt, const tk::TVarRecs& Args) = 0;
    virtual void AddLogFmt(TDetailLevel l, const std::wstring& Fmt, const tk::TVarRecs& Args) = 0;

protected:
    // OnFatalError may veto; otherwise raises tk::Exception(Msg).
    virtual void DoFatalErrors(std::uint32_t Code, std::uint32_t Detail, const std::wstring& Msg);

private:
    TOnFatalErrorEvent fOnFatalError;
};

// ---------------------------------------------------------------------------
// Ordered list of notification callbacks. Entries are compared by their
// function part only.

class TpwNotifyList : public tk::TList {
public:
    TpwNotifyList() = default;
    ~TpwNotifyList() override;

    int Add(const TpwNotifyEvent& Item);
    void Delete(int Index);
    void Clear() override;
    TpwNotifyEvent Get(int Index) const;
    void Put(int Index, const TpwNotifyEvent& Item);
    int IndexOf(const TpwNotifyEvent& Item) const;
    // Calls every entry in index order with (Sender, Code).
    void Call(tk::TObject* Sender, std::int32_t Code);

private:
    // Raw pointer operations would bypass the records the list owns.
    using tk::TList::Insert;
    using tk::TList::Remove;
};

// ---------------------------------------------------------------------------
// A periodic timer on its own hidden message window (timer id 1), served by
// the message loop of the thread that created it.

class TpwTimer : public tk::TObject {
public:
    TpwTimer();
    TpwTimer(const TpwTimer&) = delete;
    TpwTimer& operator=(const TpwTimer&) = delete;
    ~TpwTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    std::uint32_t Interval() const { return FInterval; }
    void SetInterval(std::uint32_t Value);
    tk::TNotifyEvent OnTimer() const { return FOnTimer; }
    void SetOnTimer(const tk::TNotifyEvent& Value);
    HWND WindowHandle() const { return FWindowHandle; }

protected:
    virtual void Timer();
    void UpdateTimer();

private:
    friend class TpwCustomDataProcessor;  // sets the interval without restarting
    static LRESULT CALLBACK StaticWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);

    std::uint32_t FInterval = 1000;
    HWND FWindowHandle = nullptr;
    tk::TNotifyEvent FOnTimer;
    bool FEnabled = true;
};

// ---------------------------------------------------------------------------
// The data processor: sees every received block before the terminal, can
// take over sending, and can pass blocks on to a chained processor.

class TpwCustomDataProcessor : public tk::TComponent {
public:
    explicit TpwCustomDataProcessor(tk::TComponent* AOwner);
    ~TpwCustomDataProcessor() override;

    bool Active() const { return fActive; }
    virtual void SetActive(bool Value);
    TOnFatalErrorEvent OnFatalError() const { return fOnFatalError; }
    void SetOnFatalError(const TOnFatalErrorEvent& value) { fOnFatalError = value; }

    TpwBaseIO* Device() const { return fDevice; }
    virtual void SetDevice(TpwBaseIO* Value);
    TpwCustomDataProcessor* DataProcessor() const { return fDataProcessor; }
    virtual void SetDataProcessor(TpwCustomDataProcessor* Value);
    TpwCustomLogFile* Log() const { return fLog; }
    void SetLog(TpwCustomLogFile* Value);
    TDataSendEvent OnDataSend() const { return fOnDataSend; }
    void SetOnDataSend(const TDataSendEvent& value) { fOnDataSend = value; }

    virtual void DoFatalErrors(std::uint32_t Code, std::uint32_t Detail, const std::wstring& Msg);
    // Base: passes the block to the next processor of the chain.
    virtual void DoProcessing(const void* Data, std::uint32_t Len, TIgnoreTypes& R);
    virtual void DataReceive(const void* ptrBuffer, std::uint32_t Len);
    // Called when the transmit queue ran empty; set flIgnore to suppress the
    // component's after-send event.
    virtual void DoAfterSendComplete(bool& flIgnore);

    // The registered notification callback (what the device's list holds).
    TpwNotifyEvent DeviceNotifyEvent() {
        return TpwNotifyEvent(this, &TpwCustomDataProcessor::DeviceNotify);
    }
    TpwTimer* TimerAsync() const { return fTimerAsync; }

protected:
    virtual void DeviceNotify(tk::TObject* Sender, std::int32_t Code);
    virtual void DoMediumClosed();
    virtual void DoMediumOpened();
    virtual void DoDataSend(const void* ptrBuffer, std::uint32_t Len);
    virtual void DoDataSend(const std::string& S);
    virtual void DoTimerAsync(tk::TObject* Sender);
    virtual void SetAsyncTimer(std::uint32_t Interval);

    void Notification(tk::TComponent* AComponent, tk::TOperation Operation) override;
    void WriteLog(TDetailLevel l, const std::wstring& s);
    void WriteLogFmt(TDetailLevel l, const std::wstring& Fmt, const tk::TVarRecs& Args);

    std::wstring sLogPrefix;

private:
    TpwBaseIO* fDevice = nullptr;
    TpwCustomDataProcessor* fDataProcessor = nullptr;
    bool fActive = false;
    TOnFatalErrorEvent fOnFatalError;
    TpwCustomLogFile* fLog = nullptr;
    TDataSendEvent fOnDataSend;
    TpwTimer* fTimerAsync = nullptr;
};

// ---------------------------------------------------------------------------
// A device record of a component's device list.

class TpwDevice : public tk::TObject {
public:
    int Index() const { return fIndex; }
    TpwBaseIO* Parent() const { return fParent; }

    UINT_PTR Handle = 0;
    UINT_PTR DevInst = 0;
    std::int32_t Data = 0;
    std::int32_t DataEx = 0;
    std::wstring NameFriendly;
    std::wstring NamePDO;
    std::wstring NameDeviceDos;
    std::wstring NameSymbolic;
    std::wstring RegKey;
    std::wstring Description;
    std::wstring Service;
    std::wstring Driver;
    std::wstring InstanceId;
    std::wstring BusRelations;
    std::wstring PortName;
    std::wstring Manufacturer;
    std::wstring SerialNumber;
    GUID GuidClass = {};

private:
    friend class TpwBaseIO;
    std::int32_t fIndex = 0;
    TpwBaseIO* fParent = nullptr;
};

// ---------------------------------------------------------------------------
// The optional I/O thread of a component: runs the component's
// ExecuteThreadIO with COM initialised (multithreaded apartment).

class TpwThreadIO : public tk::TThread {
public:
    TpwThreadIO(TpwBaseIO* apwComm, tk::TThreadPriority pr);
    ~TpwThreadIO() override;

protected:
    void Execute() override;

private:
    TpwBaseIO* fpwComm;
};

// ---------------------------------------------------------------------------
// The base of the input/output components: one device handle, open and close
// templates, deferred activation while the owner loads, the fatal-error
// protocol, prefixed logging, listeners, the data processor, the terminal
// binding and the device list.

class TpwBaseIO : public tk::TComponent {
public:
    explicit TpwBaseIO(tk::TComponent* AOwner);
    ~TpwBaseIO() override;

    void Loaded() override;

    // Properties. Active reads false once a close is asked for, also while
    // it waits for the event handling to return.
    bool Active() const;
    void SetActive(bool Value);
    TpwCustomLogFile* Log() const { return fLog; }
    void SetLog(TpwCustomLogFile* Value);
    TOnFatalErrorEvent OnFatalError() const { return fOnFatalError; }
    void SetOnFatalError(const TOnFatalErrorEvent& Value) { fOnFatalError = Value; }
    tk::TNotifyEvent OnClose() const { return fOnClose; }
    void SetOnClose(const tk::TNotifyEvent& Value) { fOnClose = Value; }
    // Called by the open template once the device is open (errors swallowed).
    tk::TNotifyEvent OnOpen() const { return fOnOpen; }
    void SetOnOpen(const tk::TNotifyEvent& Value) { fOnOpen = Value; }
    TpwCustomDataProcessor* DataProcessor() const { return fDataProcessor; }
    void SetDataProcessor(TpwCustomDataProcessor* Value);
    HANDLE Handle() const { return fHandle; }

    // Terminal binding: a toolkit control (its window and replaceable message
    // handler are used) or another component whose window the resolver finds.
    tk::TComponent* Terminal() const { return fTerminal; }
    void SetTerminal(tk::TComponent* Value);
    TTerminalUsage TerminalUsage() const { return fTerminalUsage; }
    void SetTerminalUsage(TTerminalUsage Value);
    bool TerminalEcho() const { return fTerminalEcho; }
    void SetTerminalEcho(bool Value) { fTerminalEcho = Value; }
    HWND TerminalHandle() const { return hTerminal; }
    // A character typed in the terminal that was handed to the open port,
    // so the owner can record what went out.
    TOnTerminalChar OnTerminalChar() const { return fOnTerminalChar; }
    void SetOnTerminalChar(const TOnTerminalChar& Value) { fOnTerminalChar = Value; }

    // How the terminal binding finds the window of a component that is not a
    // toolkit control (creating it when needed); such a window is hooked
    // through its window procedure. Not needed for toolkit controls.
    using TTerminalWindowResolver = std::function<HWND(tk::TComponent* control)>;
    static void SetTerminalWindowResolver(TTerminalWindowResolver resolver);

    TOnReceived OnAfterReceive() const { return fOnReceived; }
    void SetOnAfterReceive(const TOnReceived& Value) { fOnReceived = Value; }
    bool UseMainThread() const { return fUseMainThread; }
    void SetUseMainThread(bool Value) { fUseMainThread = Value; }
    tk::TThreadPriority Priority() const { return fPriority; }
    void SetPriority(tk::TThreadPriority Value) { fPriority = Value; }
    TpwThreadIO* ThreadIO() const { return fThreadIO; }

    // Device list.
    int DeviceIndex() { return GetDeviceIndex(); }
    int DeviceCount() const { return slDevices->Count(); }
    TpwDevice* GetDevice(int Index) const;
    int IndexOfDevice(const TpwDevice* aDevice) const;
    int IndexOfDeviceData(std::int32_t Data) const;
    virtual int AddDevice(TpwDevice* Device);
    virtual int InsertDevice(TpwDevice* Device);
    virtual void ClearDeviceList();
    virtual void GetDeviceList(tk::TStringList* L);
    virtual void SetDeviceIndex(int Value);
    virtual int GetDeviceIndex() = 0;

    // Public operations.
    virtual bool IsDeviceOpen() const;
    virtual bool HasReceiver() const;
    virtual void Update();
    virtual void NotifyAdd(const TpwNotifyEvent& NotifyEvent);
    virtual void NotifyDelete(const TpwNotifyEvent& NotifyEvent);
    virtual void SendChar(wchar_t Ch) = 0;
    virtual void SendString(const std::string& S) = 0;
    virtual void SendData(const void* Buff, std::uint32_t N) = 0;
    virtual void ClearDeviceInput() = 0;
    virtual void ClearDeviceOutput() = 0;
    virtual void ClearDeviceBuffers() = 0;
    // Waits until what was sent has left the device; false when it could
    // not (a device without an output queue has nothing to wait for).
    virtual bool DrainOutput() { return true; }
    // Refreshes the device list on port arrival/removal and node changes;
    // true when it did.
    virtual bool WMDeviceChange(UINT Msg, WPARAM WParam, LPARAM LParam);

    // Fatal-error protocol: OnFatalError may veto, the line "Fatal Error:
    // %u, %u, %s" is logged, then tk::Exception(ErrorMsg) is raised, or with
    // ShowOnly a task-modal "Application Error" box is shown. Nothing is
    // raised or shown while loading.
    virtual void DoFatalError(std::uint32_t ErrorCode, std::uint32_t Detail,
                              const std::wstring& ErrorMsg, bool ShowOnly);
    virtual void DoNotify(std::int32_t Code);
    // Dispatch of one received block: data processor, terminal, OnAfterReceive.
    virtual void DoReceived(const void* Buffer, std::uint32_t Len);
    // Asks the data processor after a transmission; true = skip the after-send event.
    virtual bool DoSendComplete();
    void SyncDoReceived();

    void WriteLog(TDetailLevel Level, const std::wstring& Msg);
    void WriteLogFmt(TDetailLevel Level, const std::wstring& Fmt, const tk::TVarRecs& Args);

protected:
    virtual HANDLE OpenDevice();
    virtual void CloseDevice(HANDLE Handle);
    // A close asked for that has not run yet.
    virtual bool ClosePending() const { return false; }
    virtual void DoOpen();
    virtual void DoClose();
    // Calls OnOpen (errors swallowed); for a device that is open for good.
    void RaiseOnOpen();
    virtual void StartThreadIO();
    virtual void StopThreadIO();
    virtual void ExecuteThreadIO(TpwThreadIO* Thread);
    virtual void DeviceListLoad() = 0;
    // Writes received bytes (each byte the character of the same code) into
    // the terminal window: one byte is typed, longer blocks inserted.
    virtual void WriteToTerminal(const void* Data, std::int32_t Len);

    void Notification(tk::TComponent* AComponent, tk::TOperation Operation) override;

    // Kept on the stack by code that calls out to user code. Destroying the
    // component from there marks the guards of its frames on this thread,
    // and each frame then returns without touching the component again.
    class TCallGuard {
    public:
        // A handler guard marks the event handling of the component.
        explicit TCallGuard(const TpwBaseIO* io, bool handler = false);
        ~TCallGuard();
        TCallGuard(const TCallGuard&) = delete;
        TCallGuard& operator=(const TCallGuard&) = delete;
        bool Gone() const { return gone_; }
        // True when this thread is inside the event handling of `io` (in
        // a frame other than `except`).
        static bool InHandler(const TpwBaseIO* io, const TCallGuard* except = nullptr);

    private:
        friend class TpwBaseIO;
        const TpwBaseIO* io_;
        TCallGuard* outer_;
        bool handler_;
        bool gone_ = false;
        static thread_local TCallGuard* top_;
    };

    bool fActive = false;
    HANDLE fHandle = INVALID_HANDLE_VALUE;
    std::wstring sLogPrefix;
    bool flClearDeviceListWithFree = true;
    OVERLAPPED fOvlRead = {};
    OVERLAPPED fOvlWrite = {};
    OVERLAPPED fOvlAsync = {};
    bool isThreaded = false;
    bool IsThreadIOTerminated = false;

private:
    friend class TpwThreadIO;
    static LRESULT CALLBACK TerminalWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void TerminalWindowProc(tk::TMessage& Message);
    bool TerminalTakesChar(UINT msg, WPARAM wParam);
    void BeginTerminalUpdate();
    void EndTerminalUpdate();
    void PaintTerminal();
    void ReleaseTerminalHold();
    void MoveTerminalHold();
    void TakeUpTerminalHold(HWND wnd);
    HWND TerminalTarget();
    static void CALLBACK TerminalRefreshProc(HWND wnd, UINT msg, UINT_PTR id, DWORD time);
    void UnhookTerminal();
    int IndexOfListener(const TpwNotifyEvent& NotifyEvent) const;

    std::unique_ptr<TpwNotifyList> pwNotifyList;
    TpwCustomLogFile* fLog = nullptr;
    TpwCustomDataProcessor* fDataProcessor = nullptr;
    TOnFatalErrorEvent fOnFatalError;
    std::unique_ptr<tk::TStringList> slDevices;
    const void* threadData = nullptr;
    std::uint32_t threadDataSize = 0;
    HWND hTerminal = nullptr;
    TTerminalUsage fTerminalUsage = tuNone;
    tk::TComponent* fTerminal = nullptr;
    bool fTerminalEcho = false;
    TOnTerminalChar fOnTerminalChar;
    HWND fTerminalWindow = nullptr;         // window whose procedure is hooked
    WNDPROC fOldTerminalWndProc = nullptr;  // its own procedure, saved while bound
    tk::TMethod<void(tk::TMessage&)> fOldTerminalWindowProc;  // a toolkit control's own handler
    bool fTerminalLocked = false;
    HWND fTerminalHeldWindow = nullptr;  // view whose painting is off for an update
    bool fTerminalFrozen = false;        // ... and stays off until the refresh timer
    bool fTerminalHoldMoving = false;    // ... to a new window of the same view
    DWORD fTerminalPaintTick = 0;        // when the view was last painted
    DWORD fTerminalPaintGap = 0;         // least time between two paints
    DWORD fTerminalWriteTick = 0;        // when a block was last written
    std::size_t fTerminalBurst = 0;      // characters written since the last pause
    tk::TNotifyEvent fOnClose;
    tk::TNotifyEvent fOnOpen;
    TpwThreadIO* fThreadIO = nullptr;
    TOnReceived fOnReceived;
    bool fUseMainThread = true;
    tk::TThreadPriority fPriority = tk::tpNormal;
};
