// The serial port component: line settings, open and close, the event and
// message threads with the receive path, transmission, polling reads and
// line control.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Threads.h"
#include "pwclasses.h"
#include "pwwin32.h"

// ---------------------------------------------------------------------------
// Line-setting enumerations (stored as one byte; the ordinal is the DCB value).

enum TParity : std::uint8_t { pNone = 0, pOdd, pEven, pMark, pSpace };
enum TStopBits : std::uint8_t { sbOne = 0, sbOneAndHalf, sbTwo };
enum TStreamProtocol : std::uint8_t { spNone = 0, spXonXoff, spHardware };
enum TComPort : std::uint8_t {
    cpCOM1 = 0,
    cpCOM2,
    cpCOM3,
    cpCOM4,
    cpCOM5,
    cpCOM6,
    cpCOM7,
    cpCOM8,
    cpCOMxx
};
enum TpwEnumPorts : std::uint8_t { epQuickAll = 0, epFullInfo, epFullPresent };

// ---------------------------------------------------------------------------
// Pure helpers (no device involved).

// Flag-word bits of the DCB that survive a recomposition: fParity,
// fOutxDsrFlow, the upper fDtrControl bit, fDsrSensitivity, fTXContinueOnXoff,
// fErrorChar, fNull, fAbortOnError.
constexpr std::uint32_t kDcbKeptFlags = 0x4CEA;
constexpr std::uint32_t kDcbRS485 = 0x3011;      // fBinary, DTR enable, RTS toggle
constexpr std::uint32_t kDcbNone = 0x1011;       // fBinary, DTR enable, RTS enable
constexpr std::uint32_t kDcbXonXoff = 0x1311;    // as none plus fOutX, fInX
constexpr std::uint32_t kDcbHardware = 0x2015;   // fBinary, CTS flow, DTR enable, RTS handshake
// The flow-control bits of those patterns: fOutX with fInX; CTS output
// flow with RTS handshake (or toggle, which shares the handshake bit).
constexpr std::uint32_t kDcbXonXoffFlow = 0x0300;
constexpr std::uint32_t kDcbCtsFlow = 0x2004;

std::uint32_t ComposeDcbFlags(std::uint32_t flags, bool rs485, TStreamProtocol protocol);
// The driver's event mask for a set of line events (EV_RXCHAR always in it;
// EV_TXEMPTY also when RTS is switched in software).
std::uint32_t TraceStatesToEventMask(TTraceStates states, bool rs485Emulation);
// The line events of a driver event mask, EV_RXCHAR and EV_TXEMPTY left out.
TTraceStates EventMaskToTraceStates(std::uint32_t mask);

std::uint32_t GetDcbFlags(const DCB& dcb);
void SetDcbFlags(DCB& dcb, std::uint32_t flags);

// Sets the "Checked" property of a monitor control, if its class has one.
void SetMonitorState(tk::TComponent* control, bool value);

// Registered once per process: event mask for the message thread, and its
// end-of-loop message.
UINT MsgComEvent();
UINT MsgQuitComEvent();

// The plug-and-play enumeration that the full device-list modes run: appends
// one entry per device (text: its driver key, object: a new TpwDevice owned by
// the caller). EnumPnPDevices by default; tests put fixed device sets in its
// place. Without one the full modes list what the quick list lists.
using TpwEnumPnPDevicesProc = void (*)(const GUID* ClassGuid, bool PresentOnly, bool ByDevices,
                                       bool WithInterface, tk::TStringList& L);
void SetEnumPnPDevicesProc(TpwEnumPnPDevicesProc proc);
TpwEnumPnPDevicesProc GetEnumPnPDevicesProc();

class TpwCustomComm;

// What became of the last write and of the last settling of the line.
struct TpwTransmitReport {
    std::uint32_t Requested = 0;  // bytes the last write asked the driver to take
    std::uint32_t Taken = 0;      // bytes the driver took of them
    std::uint32_t Abandoned = 0;  // bytes a settle that timed out purged from the driver
};

// ---------------------------------------------------------------------------
// The event thread: waits on the driver and posts every event mask.

class TCommThread : public tk::TThread {
public:
    explicit TCommThread(TpwCustomComm* AOwner);
    ~TCommThread() override;
    void Terminate() override;

protected:
    void Execute() override;

private:
    bool LookAtQueue(const TpwCommApi& api, COMSTAT& st, DWORD& errors);
    bool ReportQueuedInput(const TpwCommApi& api);
    bool InputWaiting(const TpwCommApi& api, bool& failed);
    bool ReceivedIsNews(const TpwCommApi& api);
    bool IdlePause(const TpwCommApi& api, DWORD& backoff);
    DWORD PolledErrorMask() const;
    bool PauseUnlessTerminated(DWORD ms);

    TpwCustomComm* Com;
    HANDLE hDevice;
    OVERLAPPED ovl = {};
    // Set by Terminate to wake the wait. The record's own event is left to
    // the driver, so its signal always means the driver is done with the
    // record and the mask.
    HANDLE hTerminate = nullptr;
    DWORD mask = 0;
    // The input queue when this thread last reported received characters.
    DWORD lastReportedQueue = 0;
    DWORD QueueSeen() const;
};

// The message thread: runs the component's event handler, or hands it to the
// main thread.

class TMsgThread : public tk::TThread {
public:
    explicit TMsgThread(TpwCustomComm* AOwner);
    ~TMsgThread() override;
    void Terminate() override;

protected:
    void Execute() override;

private:
    void SyncProcessCommEvent();

    TpwCustomComm* Com;
    MSG glMsg = {};
    // Set once the thread's message queue exists (posting before that fails).
    HANDLE queueReady = nullptr;
    // True while the main thread runs this thread's handover, which the
    // thread is blocked in (only the main thread reads and writes it).
    bool fRunningHandover = false;
    friend class TpwCustomComm;
};

// ---------------------------------------------------------------------------

class TpwCustomComm : public TpwBaseIO {
public:
    explicit TpwCustomComm(tk::TComponent* AOwner);
    ~TpwCustomComm() override;

    // Line settings (stored in the DCB of CommCfg).
    std::uint32_t BaudRate() const { return CommCfg.dcb.BaudRate; }
    void SetBaudRate(std::uint32_t Value);
    TParity Parity() const { return static_cast<TParity>(CommCfg.dcb.Parity); }
    void SetParity(TParity Value);
    TStopBits StopBits() const { return static_cast<TStopBits>(CommCfg.dcb.StopBits); }
    void SetStopBits(TStopBits Value);
    std::uint8_t ByteSize() const { return CommCfg.dcb.ByteSize; }
    void SetByteSize(std::uint8_t Value);
    wchar_t EventChar() { return GetEventChar(); }
    // The EventChar accessors: EvtChar of the DCB holds the low 8 bits.
    virtual void SetEventChar(wchar_t Value);
    virtual wchar_t GetEventChar();
    TStreamProtocol StreamProtocol() const { return fProtocol; }
    void SetStreamProtocol(TStreamProtocol Value);
    bool RS485Mode() const { return fRS485Mode; }
    void SetRS485Mode(bool Value);

    std::uint16_t BufferInSize() const { return fBufferInSize; }
    void SetBufferInSize(std::uint16_t Value);
    std::uint16_t BufferOutSize() const { return fBufferOutSize; }
    void SetBufferOutSize(std::uint16_t Value);
    std::uint32_t TimeoutRead() const { return fCommTimeouts.ReadIntervalTimeout; }
    void SetTimeoutRead(std::uint32_t Value);
    std::uint32_t TimeoutWrite() const { return fCommTimeouts.WriteTotalTimeoutConstant; }
    void SetTimeoutWrite(std::uint32_t Value);
    const COMMTIMEOUTS& Timeouts() const { return fCommTimeouts; }
    void SetTimeouts(const COMMTIMEOUTS& Timeouts);

    TTraceStates TraceStates() const { return fTraceStates; }
    void SetTraceStates(TTraceStates Value);
    TModemSignals ModemSignals();

    std::wstring ComName() { return GetComName(); }
    // Capabilities of the open port, refreshed on every call while open.
    const COMMPROP* CommProp();
    const COMMCONFIG& CommConfig() {
        EnsureDefaultConfig();
        return CommCfg;
    }
    const std::wstring& LastErrorString() const { return fLastErrorString; }
    // The system error of the last open that failed (0 after one that worked).
    DWORD LastOpenError() const { return fOpenError; }
    // The system error with which the device went away (pwNotifyLost).
    std::uint32_t LostError() const { return fLostError; }

    // The system's configuration dialog for the port; what the user confirms
    // is taken over (and applied at once to an open port).
    void ConfigDialog();

    std::uint32_t ReadyForRead();
    std::uint32_t NotYetSend();
    std::uint32_t TotalReceived() const { return fTotalReceived; }
    std::uint32_t TotalSent() const { return fTotalSent; }
    // Size of the receive buffer of the open port (0 while closed).
    std::uint32_t ReceiveBufferSize() const { return glBuffer ? glBufferSize : 0; }

    tk::TComponent* MonitorCTS() const { return fMonitorCTS; }
    void SetMonitorCTS(tk::TComponent* Value) { SetMonitor(fMonitorCTS, Value); }
    tk::TComponent* MonitorDSR() const { return fMonitorDSR; }
    void SetMonitorDSR(tk::TComponent* Value) { SetMonitor(fMonitorDSR, Value); }
    tk::TComponent* MonitorRLSD() const { return fMonitorRLSD; }
    void SetMonitorRLSD(tk::TComponent* Value) { SetMonitor(fMonitorRLSD, Value); }
    tk::TComponent* MonitorRing() const { return fMonitorRing; }
    void SetMonitorRing(tk::TComponent* Value) { SetMonitor(fMonitorRing, Value); }

    TOnSent OnAfterSend() const { return fOnSent; }
    void SetOnAfterSend(const TOnSent& Value) { fOnSent = Value; }
    TOnTraceEvent OnTraceState() const { return fOnTraceState; }
    void SetOnTraceState(const TOnTraceEvent& Value) { fOnTraceState = Value; }
    TOnCommErrorEvent OnCommError() const { return fOnCommError; }
    void SetOnCommError(const TOnCommErrorEvent& Value) { fOnCommError = Value; }

    // Writing. Failures go to DoCommError; nothing is raised.
    //
    // No wait for the driver is unbounded: a write, or a settle of the line,
    // that has not finished within TransmitBound of its bytes is cancelled
    // (and what the driver still holds purged). The window thread keeps its
    // windows painting while it waits; input stays queued, so a send or a
    // close asked for meanwhile runs after this one. Every failure that
    // concerns the bytes is reported as OnCommError(CommCode 0, SysError,
    // State), with LastTransmit() telling the counts:
    //  - a write the driver refused or that failed: the system's error (a
    //    device that has gone gives its own, e.g. ERROR_BAD_COMMAND,
    //    ERROR_INVALID_HANDLE, ERROR_OPERATION_ABORTED);
    //  - a write or settle past its bound: ERROR_TIMEOUT, State holding the
    //    driver's hold bits at that moment (fCtlHold: CTS, fDsrHold,
    //    fRlsHold, fXoffHold), Abandoned the bytes purged;
    //  - a write the driver ended short (its own write time-out):
    //    ERROR_COUNTER_TIMEOUT, Taken < Requested. A short write is a failure.
    // TotalSent counts what the driver took; SendData's bytes count once its
    // write has completed (at the next send, settle or close).
    void SendChar(wchar_t Ch) override;
    void SendAheadChar(wchar_t Ch);
    void SendString(const std::string& S) override;
    // Starts the write and returns; the bytes are copied, so the caller's
    // buffer may be reused at once.
    void SendData(const void* Buff, std::uint32_t N) override;
    // Settles the line: waits until SendData's write has completed and the
    // driver's output queue has gone out on the line. What is still there
    // after the bound is purged and reported (ERROR_TIMEOUT); false then.
    // The close runs it first, so nothing a send reported as sent is lost.
    bool DrainOutput() override;
    // Longest wait (ms) for `bytes` to go out at the current settings: 10
    // bits a character at the baud rate, doubled, plus a second; at least
    // the port's own write time-out plus a second where one is set.
    std::uint32_t TransmitBound(std::uint32_t bytes) const;
    const TpwTransmitReport& LastTransmit() const { return fLastTransmit; }

    // Polling reads of what the driver has queued. A read never asks for
    // more than the caller's buffer holds: Read refuses a null buffer and a
    // length that came from a negative number, ReadMax treats a negative
    // MaxLen as 0, and ReadAll is bounded by the buffer size it is given.
    void Read(void* Buffer, std::uint32_t Len);
    void ReadAll(void* Buffer, std::uint32_t BufferSize);
    std::int32_t ReadMax(void* Buffer, std::int32_t MaxLen);
    std::string ReadString();
    bool WaitForBytes(std::uint32_t Count, std::uint32_t Ms);
    bool WaitForSignal(TModemSignal Signal, std::uint32_t Ms);

    // Line control.
    void SetStateDTR(bool State);
    void SetStateRTS(bool State);
    void SetStateX(bool State);
    void SetStateBreak(bool State);

    void ClearDeviceInput() override;
    void ClearDeviceOutput() override;
    void ClearDeviceBuffers() override;
    // The same as DrainOutput (kept for callers that flush after SendData).
    void FlushOutputBuffer();

    virtual void DoCommError(std::uint32_t CommCode, std::uint32_t SysError, TComStateFlags State);
    void DoTraceState(tk::TObject* Sender, TTraceStates Event);

    // The event handler of the message thread (or of the main thread).
    void ProcessCommEvent(const MSG& Msg);

    // Does nothing once destruction has begun.
    void Update() override;

protected:
    virtual std::wstring GetComName();
    virtual void ApplyPortSettings();

    void DoOpen() override;
    void DoClose() override;
    bool ClosePending() const override;
    void StartThreadIO() override;
    void StopThreadIO() override;
    // The port handle is closed through the call table like every other
    // communications call.
    void CloseDevice(HANDLE Handle) override;
    void Notification(tk::TComponent* AComponent, tk::TOperation Operation) override;

    void WriteCommState();
    // The system's default configuration of the named port gives the fields
    // no setter writes. It is read when the whole configuration is first
    // needed (an open, the dialog, a stored configuration), not at
    // construction: that loads the provider's library, start-up time spent
    // on fields nothing reads until then.
    void SetDefaultConfigPort(const std::wstring& Name) { fDefaultConfigPort = Name; }
    void EnsureDefaultConfig();
    // Refreshes CommCfg from an open port and derives StreamProtocol and
    // RS485Mode from its flow-control bits.
    void ReadCommConfig();
    // Settles the line when asked (a port whose device has gone is not),
    // stops the threads, frees the receive buffer, closes the handle and
    // tells the listeners.
    void ClosePort(bool Settle);
    bool AllocReceiveBuffer();
    void FreeReceiveBuffer();
    // Error of the last OpenDevice, captured before anything else runs.
    DWORD fOpenError = 0;

    bool IsRS485Emulated() const { return fRS485Mode && fIsNotSupportRS485; }
    // True while this thread runs ProcessCommEvent: a close from there would
    // wait for the thread that runs it, or that waits for it.
    bool InEventHandler() const { return TCallGuard::InHandler(this); }
    // Closes and reopens asked for from inside the event handling are done
    // by the component's window once the outermost handling has returned;
    // the last one asked for wins. A close (or shutdown) asked for ends the
    // delivery of events until it has run, and Active reads false from then on.
    enum TDeferred { dfNone, dfClose, dfShutdown, dfReopen };
    bool CanDefer() const;
    void Defer(TDeferred What);

    COMMCONFIG CommCfg = {};
    // Whose default configuration is still to be read (empty once read).
    std::wstring fDefaultConfigPort;
    TOnTraceEvent fOnTraceState;
    TOnCommErrorEvent fOnCommError;
    // The platform does not toggle RTS around a transmission by itself.
    bool fIsNotSupportRS485 = false;

private:
    friend class TCommThread;
    friend class TMsgThread;

    void SetMonitor(tk::TComponent*& field, tk::TComponent* Value);
    // Waits (bounded) for the last SendData to be taken by the driver;
    // false when it failed or was cancelled (reported).
    bool FinishAsyncWrite();
    // Abandons a write still in flight when the port closes.
    void AbortAsyncWrite();
    // As Read; returns the bytes read (a short read gives fewer).
    std::uint32_t ReadSome(void* Buffer, std::uint32_t Len);
    // Writes and waits (bounded) until the driver has taken the bytes.
    void WriteBounded(const void* Data, std::uint32_t N);
    // Waits (bounded) for a write in flight on `ovl` and checks its count;
    // cancels it at the bound. Reports any failure; true when all was taken.
    bool AwaitWrite(OVERLAPPED& ovl, std::uint32_t N, std::unique_ptr<std::string>& Bytes);
    // The driver's queues and hold bits; line errors it clears are kept for
    // the event handler.
    bool LookAtLine(COMSTAT& st);
    // Takes back what the driver still holds after a time-out.
    void AbandonOutput(const COMSTAT& st);
    // Reports a write or settle that the line did not let finish, with the
    // driver's hold bits.
    void ReportHeld(std::uint32_t SysError, const COMSTAT& st);
    // Shutdown requested by the event thread after a failed wait; runs on
    // the thread that owns the component.
    void RequestShutdown(DWORD Error);
    // Closes a device that failed under the event thread, without purging.
    void CloseLostDevice();
    void PostDeferred();
    void RunDeferred();
    void HandleCommEvent(DWORD mask, LPARAM lParam, const TCallGuard& guard);
    static LRESULT CALLBACK ShutdownWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

    TMsgThread* MsgThread = nullptr;
    TCommThread* CommThread = nullptr;
    COMSTAT* Stat = nullptr;
    COMMPROP ComProp = {};
    COMMTIMEOUTS fCommTimeouts = {};
    std::wstring fLastErrorString;
    std::atomic<std::uint32_t> fLostError{0};
    std::uint32_t fTotalSent = 0;
    std::uint32_t fTotalReceived = 0;
    TOnSent fOnSent;
    TTraceStates fTraceStates;
    std::uint16_t fBufferOutSize = 0;
    std::uint16_t fBufferInSize = 0;
    std::uint8_t* glBuffer = nullptr;
    std::uint32_t glBufferSize = 0;
    bool fRS485Mode = false;
    tk::TComponent* fMonitorRLSD = nullptr;
    tk::TComponent* fMonitorRing = nullptr;
    tk::TComponent* fMonitorCTS = nullptr;
    tk::TComponent* fMonitorDSR = nullptr;
    TStreamProtocol fProtocol = spNone;
    // The bytes of the last SendData, kept until the driver has taken them.
    std::unique_ptr<std::string> fAsyncData;
    bool fAsyncInFlight = false;
    // The bytes of a SendChar or SendString, kept for the same reason.
    std::unique_ptr<std::string> fSyncData;
    TpwTransmitReport fLastTransmit;
    HWND fShutdownWindow = nullptr;
    TDeferred fDeferred = dfNone;
    std::atomic<bool> fCloseAsked{false};
    bool fDestroying = false;
    // Line errors that the event thread's queue check cleared, handed to the
    // next event so they are still reported.
    std::atomic<DWORD> fPolledErrors{0};
    // The input queue as last reported to the handler (or as the handler
    // left it), for the event thread's queue check; all bits set after an
    // event of the driver reported received characters.
    std::atomic<DWORD> fQueueReported{0};
};

// ---------------------------------------------------------------------------

class TpwCustomSerialComm : public TpwCustomComm {
public:
    explicit TpwCustomSerialComm(tk::TComponent* AOwner);
    ~TpwCustomSerialComm() override;

    std::uint16_t ComPortNo() const { return fComPortNo; }
    void SetComPortNo(std::uint16_t Value);
    TComPort ComPort() const;
    void SetComPort(TComPort Value);
    TpwEnumPorts EnumPorts() const { return fEnumPorts; }
    void SetEnumPorts(TpwEnumPorts Value) { fEnumPorts = Value; }

    // Uses a handle the caller opened for the next open; the component owns
    // it from then on.
    void SetExtHandle(HANDLE aHandle);
    // Connection test of a device that answers DTR with DSR.
    virtual void InitDeviceConnect();
    // Asks the device on the port for its plug-and-play identifier (the
    // exchange of external serial plug-and-play devices at 1200 baud 7N1);
    // empty when it gives none. The settings, trace states and the open or
    // closed state are restored afterwards, except when DSR never came.
    virtual std::wstring GetPNPDeviceString();

    // The port number, DCB and time-outs as one 49-byte REG_BINARY value at
    // a place the caller chooses.
    virtual void SaveConfig(HKEY Root, const std::wstring& Key, const std::wstring& Name);
    virtual void LoadConfig(HKEY Root, const std::wstring& Key, const std::wstring& Name);

    void Update() override;
    void SetDeviceIndex(int Value) override;
    int GetDeviceIndex() override;

protected:
    HANDLE OpenDevice() override;
    std::wstring GetComName() override;
    void DeviceListLoad() override;

private:
    std::uint16_t fComPortNo = 0;
    HANDLE fExtHandle = nullptr;
    TpwEnumPorts fEnumPorts = epQuickAll;
};

class TpwComm : public TpwCustomSerialComm {
public:
    explicit TpwComm(tk::TComponent* AOwner) : TpwCustomSerialComm(AOwner) {}
};
