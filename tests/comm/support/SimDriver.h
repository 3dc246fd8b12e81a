// A simulated serial driver installed into the component's Win32 call table.
// It keeps per-port queues and modem lines, can produce line errors, refused
// writes, failing event waits and a port that vanishes, and records every
// call in order so tests can check what the component asked of the driver.
// A port can also transmit at a UART's pace (Port::paced).
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pwwin32.h"

namespace sim {

struct Call {
    Call() = default;
    explicit Call(std::string f, HANDLE h = nullptr, DWORD x = 0, DWORD y = 0)
        : fn(std::move(f)), handle(h), a(x), b(y) {}
    std::string fn;       // "CreateFileW", "WriteFile", "EscapeCommFunction", ...
    HANDLE handle = nullptr;
    DWORD a = 0;          // first numeric argument (count, flags, function, mask ...)
    DWORD b = 0;          // second numeric argument
    std::string data;     // bytes written (WriteFile, TransmitCommChar)
    std::wstring name;    // file name (CreateFileW, GetDefaultCommConfigW)
    DCB dcb{};            // SetCommState
    COMMTIMEOUTS timeouts{};  // SetCommTimeouts
    const void* ptr = nullptr;  // buffer or record address
};

// The device behind one COM name. Survives opens and closes.
struct Port {
    std::wstring name;
    bool busy = false;                 // held by another program: open fails with error 5
    DWORD modem = 0;                   // MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON
    bool dsrFollowsDtr = false;        // the device answers DTR with DSR
    bool ctsFollowsRts = false;        // and RTS with CTS
    bool linesUnsupported = false;     // like a pty under Wine: modem calls fail with error 50
    std::string rx;                    // bytes waiting to be read
    std::string tx;                    // every byte the driver has taken, in order
                                       // (paced: every byte that left the wire)
    std::string ahead;                 // bytes sent with TransmitCommChar
    DWORD outQue = 0;                  // what ClearCommError reports as cbOutQue
    DWORD errors = 0;                  // pending CE_* bits, cleared by ClearCommError
    DWORD statFlags = 0;               // COMSTAT flag bits reported with them
    DWORD refuseWrites = 0;            // non-zero: WriteFile fails with this error
    DWORD waitFails = 0;               // non-zero: WaitCommEvent fails with this error
    DWORD vanishedError = 0;           // non-zero: the device is gone, every call fails
    bool pendWrites = false;           // writes stay pending until completed
    bool cancelWaits = false;          // like a pty under Wine: waits end at once, cancelled
    ULONG_PTR waitsEndWith = 0;        // non-zero: waits end at once with this status, no event
    DWORD readChunk = 0;               // non-zero: a ReadFile returns at most this many bytes
    // Transmit side of a UART: written bytes wait in the driver's queue and
    // leave at the DCB's baud rate, 10 bits a character. cbOutQue reports
    // what has not left (plus outQue), PURGE_TXCLEAR drops it,
    // FlushFileBuffers waits for it. A held line (CTS low with fOutxCtsFlow,
    // or XOFF received with fOutX) sends nothing. A write that does not fit
    // the queue stays pending until room frees; the write time-outs end it
    // short (it completes with the bytes taken so far).
    bool paced = false;
    DWORD txCapacity = 0;              // queue size; 0: SetupComm's output size (0 there: no limit)
    bool xoffReceived = false;         // the device sent XOFF
    std::string txQueue;               // taken by the driver, not yet on the wire
    double txCredit = 0;               // characters the line could have sent by now
    std::chrono::steady_clock::time_point txClock{};
    DWORD configSize = sizeof(COMMCONFIG);  // size the provider reports for its configuration
    bool dtr = false, rts = false, brk = false;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD inQueue = 0, outQueue = 0, mask = 0;
    DWORD events = 0;                  // EV_* bits waiting for WaitCommEvent
    HANDLE handle = nullptr;           // open handle or null
};

class Driver {
public:
    // Installs the simulation into the call table; the destructor restores
    // the previous table.
    Driver();
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    static Driver& Current();

    Port& AddPort(const std::wstring& name);
    Port& port(const std::wstring& name);
    bool HasPort(const std::wstring& name) const;
    void RemovePort(const std::wstring& name);

    // Device side (thread-safe).
    void Receive(const std::wstring& name, const std::string& bytes);
    // Bytes (and line errors) that arrive while the driver's wait never
    // completes: nothing is raised, as seen with ptys under Wine.
    void ReceiveSilently(const std::wstring& name, const std::string& bytes, DWORD errors = 0);
    void SetModem(const std::wstring& name, DWORD modem);
    void RaiseEvents(const std::wstring& name, DWORD evMask);
    void LineError(const std::wstring& name, DWORD errors, DWORD statFlags = 0);
    void Vanish(const std::wstring& name, DWORD error = ERROR_BAD_COMMAND);
    // The device is gone but a wait already pending stays so (a pty under
    // Wine whose other end closed): only the calls made from now on fail.
    void StopAnswering(const std::wstring& name, DWORD error = ERROR_INVALID_FUNCTION);
    // The device sends XOFF (true) or XON (false).
    void SetXoff(const std::wstring& name, bool xoff);
    // The driver takes the bytes of every pending write now (not paced ones).
    void CompletePendingWrites();
    size_t PendingWrites() const;

    // Recorded calls.
    std::vector<Call> Calls() const;
    std::vector<Call> Calls(const std::string& fn) const;
    std::vector<std::string> Names() const;
    int IndexOf(const std::string& fn, int from = 0) const;
    int Count(const std::string& fn) const;
    void ClearCalls();

    // Answer of CommConfigDialogW: a DCB to return (confirmed), or none (cancelled).
    void SetDialogAnswer(const DCB* dcb);

    // Number of handles currently open.
    int OpenHandles() const;

    // Allocation of the receive buffer fails while set.
    bool failAlloc = false;
    // Waits on kernel objects through the table fail while set.
    std::atomic<bool> failObjectWaits{false};
    // Blocks allocated through the table and not yet freed.
    int liveAllocs = 0;

    // Entry points of the table (public for the table initialiser).
    struct Impl;

private:
    friend struct Impl;
    Port* ByHandle(HANDLE h);
    Port* ByName(const std::wstring& name);
    void Record(Call c);
    void FirePendingWait(Port& p);
    // Ends every wait pending on the handle with an empty mask and `status`.
    void EndPendingWaits(HANDLE h, ULONG_PTR status);
    // Paced transmission: moves time on for the port (bytes leave, pending
    // writes get room, write time-outs end), and for all paced ports.
    void Advance(Port& p);
    void AdvanceAll();
    bool Held(const Port& p) const;
    DWORD PendingOut(const Port& p) const;
    // Ends the paced writes pending on the handle as cancelled.
    void CancelPacedWrites(HANDLE h);
    void StartTicker();

    mutable std::recursive_mutex mu_;
    std::map<std::wstring, Port> ports_;
    std::vector<Call> calls_;
    struct PendingWrite {
        HANDLE h;
        OVERLAPPED* ovl;
        const void* buf;
        DWORD n;
    };
    std::vector<PendingWrite> pendingWrites_;
    struct PacedWrite {
        HANDLE h;
        OVERLAPPED* ovl;
        const char* buf;
        DWORD n;
        DWORD taken;
        bool hasDeadline;
        std::chrono::steady_clock::time_point deadline;
    };
    std::vector<PacedWrite> pacedWrites_;
    std::thread ticker_;
    std::atomic<bool> stopTicker_{false};
    struct PendingWait {
        HANDLE h;
        OVERLAPPED* ovl;
        DWORD* mask;
    };
    std::vector<PendingWait> pendingWaits_;
    bool dialogConfirms_ = false;
    DCB dialogDcb_{};
    uintptr_t nextHandle_ = 0x5100;
    TpwCommApi saved_;
};

}  // namespace sim
