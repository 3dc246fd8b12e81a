#include "SimDriver.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <stdexcept>

namespace sim {

namespace {

Driver* g_driver = nullptr;

// Status values the system keeps in OVERLAPPED.Internal.
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
// A serial write ended by its time-out: a success status, fewer bytes.
constexpr ULONG_PTR kStatusTimeout = 0x102;

std::wstring Upper(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

}  // namespace

struct Driver::Impl {
    static Driver& D() { return *g_driver; }

    static HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                                     HANDLE) {
        Driver& d = D();
        std::lock_guard lock(d.mu_);
        Call c{"CreateFileW"};
        c.name = name ? name : L"";
        c.a = access;
        c.b = share;
        c.data = std::to_string(disposition) + ":" + std::to_string(flags);
        d.Record(c);
        std::wstring n = c.name;
        if (n.rfind(L"\\\\?\\", 0) == 0 || n.rfind(L"\\\\.\\", 0) == 0) n = n.substr(4);
        Port* p = d.ByName(n);
        if (!p) {
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (p->busy || p->handle || p->vanishedError) {
            ::SetLastError(p->vanishedError ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        p->handle = reinterpret_cast<HANDLE>(d.nextHandle_);
        d.nextHandle_ += 4;
        ::SetLastError(0);
        return p->handle;
    }

    static BOOL WINAPI CloseHandle(HANDLE h) {
        Driver& d = D();
        std::lock_guard lock(d.mu_);
        d.Record(Call{"CloseHandle", h});
        Port* p = d.ByHandle(h);
        if (!p) return Fail(ERROR_INVALID_HANDLE);
        // Closing cancels everything still pending on the handle.
        d.EndPendingWaits(h, kStatusCancelled);
        for (auto it = d.pendingWrites_.begin(); it != d.pendingWrites_.end();) {
            if (it->h == h) {
                it->ovl->Internal = kStatusCancelled;
                if (it->ovl->hEvent) ::SetEvent(it->ovl->hEvent);
                it = d.pendingWrites_.erase(it);
            } else {
                ++it;
            }
        }
        // What the queue holds still goes out, as a tty's close waits for it.
        d.CancelPacedWrites(h);
        p->handle = nullptr;
        p->rts = p->dtr = false;
        return TRUE;
    }

    // Common entry: record, find the port, fail when it vanished.
    static Port* Enter(const Call& c, BOOL& failed) {
        Driver& d = D();
        d.Record(c);
        Port* p = d.ByHandle(c.handle);
        failed = FALSE;
        if (!p) {
            failed = TRUE;
            ::SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        if (p->vanishedError) {
            failed = TRUE;
            ::SetLastError(p->vanishedError);
            return nullptr;
        }
        ::SetLastError(0);
        return p;
    }

#define SIM_ENTER(call)                    \
    Driver& d = D();                       \
    std::lock_guard lock(d.mu_);           \
    BOOL failed_;                          \
    Port* p = Enter(call, failed_);        \
    if (!p) return FALSE;                  \
    (void)d;

    static BOOL WINAPI SetupComm(HANDLE h, DWORD in, DWORD out) {
        SIM_ENTER((Call{"SetupComm", h, in, out}));
        p->inQueue = in;
        p->outQueue = out;
        return TRUE;
    }

    static BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb) {
        SIM_ENTER((Call{"GetCommState", h}));
        *dcb = p->dcb;
        dcb->DCBlength = sizeof(DCB);
        return TRUE;
    }

    static BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb) {
        Call c{"SetCommState", h};
        c.dcb = *dcb;
        SIM_ENTER(c);
        p->dcb = *dcb;
        return TRUE;
    }

    static BOOL FillConfig(Port& p, LPCOMMCONFIG cfg, LPDWORD size) {
        if (*size < p.configSize) {
            *size = p.configSize;
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        // The provider writes its whole configuration, extra data included.
        auto* bytes = reinterpret_cast<unsigned char*>(cfg);
        std::memset(bytes, 0xA5, p.configSize);
        COMMCONFIG c{};
        c.dwSize = p.configSize;
        c.wVersion = 1;
        c.dcb = p.dcb;
        c.dcb.DCBlength = sizeof(DCB);
        c.dwProviderSubType = PST_RS232;
        c.dwProviderOffset = p.configSize > sizeof(COMMCONFIG) ? sizeof(COMMCONFIG) : 0;
        c.dwProviderSize = p.configSize > sizeof(COMMCONFIG) ? p.configSize - sizeof(COMMCONFIG) : 0;
        std::memcpy(bytes, &c, sizeof(COMMCONFIG) - sizeof(c.wcProviderData));
        *size = p.configSize;
        return TRUE;
    }

    static BOOL WINAPI GetCommConfig(HANDLE h, LPCOMMCONFIG cfg, LPDWORD size) {
        SIM_ENTER((Call{"GetCommConfig", h, *size}));
        return FillConfig(*p, cfg, size);
    }

    static BOOL WINAPI GetDefaultCommConfigW(LPCWSTR name, LPCOMMCONFIG cfg, LPDWORD size) {
        Driver& d = D();
        std::lock_guard lock(d.mu_);
        Call c{"GetDefaultCommConfigW", nullptr, *size};
        c.name = name ? name : L"";
        d.Record(c);
        Port* p = d.ByName(c.name);
        if (!p) return Fail(ERROR_BADKEY);
        return FillConfig(*p, cfg, size);
    }

    static BOOL WINAPI CommConfigDialogW(LPCWSTR name, HWND, LPCOMMCONFIG cfg) {
        Driver& d = D();
        std::lock_guard lock(d.mu_);
        Call c{"CommConfigDialogW"};
        c.name = name ? name : L"";
        c.dcb = cfg->dcb;
        d.Record(c);
        if (!d.dialogConfirms_) return Fail(ERROR_CANCELLED);
        cfg->dcb = d.dialogDcb_;
        return TRUE;
    }

    static BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
        Call c{"SetCommTimeouts", h};
        c.timeouts = *t;
        SIM_ENTER(c);
        p->timeouts = *t;
        return TRUE;
    }

    static BOOL WINAPI GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
        SIM_ENTER((Call{"GetCommTimeouts", h}));
        *t = p->timeouts;
        return TRUE;
    }

    static BOOL WINAPI GetCommProperties(HANDLE h, LPCOMMPROP prop) {
        SIM_ENTER((Call{"GetCommProperties", h}));
        std::memset(prop, 0, sizeof(*prop));
        prop->wPacketLength = sizeof(COMMPROP);
        prop->wPacketVersion = 2;
        prop->dwServiceMask = SP_SERIALCOMM;
        prop->dwMaxTxQueue = 0;
        prop->dwMaxRxQueue = 0;
        prop->dwMaxBaud = BAUD_115200;
        prop->dwProvSubType = PST_RS232;
        prop->dwCurrentTxQueue = p->outQueue;
        prop->dwCurrentRxQueue = p->inQueue;
        return TRUE;
    }

    static BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
        SIM_ENTER((Call{"ClearCommError", h}));
        d.Advance(*p);
        if (errors) *errors = p->errors;
        if (stat) {
            std::memset(stat, 0, sizeof(*stat));
            DWORD flags = p->statFlags;
            if (p->paced && p->dcb.fOutxCtsFlow && !(p->modem & MS_CTS_ON)) flags |= 0x01;  // fCtsHold
            if (p->paced && p->dcb.fOutX && p->xoffReceived) flags |= 0x08;             // fXoffHold
            std::memcpy(stat, &flags, 1);
            stat->cbInQue = static_cast<DWORD>(p->rx.size());
            stat->cbOutQue = p->outQue + d.PendingOut(*p);
        }
        p->errors = 0;
        p->statFlags = 0;
        return TRUE;
    }

    static BOOL WINAPI SetCommMask(HANDLE h, DWORD mask) {
        SIM_ENTER((Call{"SetCommMask", h, mask}));
        p->mask = mask;
        // A new mask completes a pending wait with an empty mask.
        d.EndPendingWaits(h, 0);
        return TRUE;
    }

    static BOOL WINAPI GetCommMask(HANDLE h, LPDWORD mask) {
        SIM_ENTER((Call{"GetCommMask", h}));
        *mask = p->mask;
        return TRUE;
    }

    // Events are edge-triggered, as on Windows: EV_RXCHAR means bytes
    // arrived since the last report.
    static DWORD Ready(const Port& p) { return p.events & p.mask; }

    static BOOL WINAPI WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED ovl) {
        SIM_ENTER((Call{"WaitCommEvent", h}));
        if (p->waitFails) return Fail(p->waitFails);
        for (auto& w : d.pendingWaits_)
            if (w.h == h) return Fail(ERROR_INVALID_PARAMETER);
        // As the system does when a transfer starts.
        if (ovl && ovl->hEvent) ::ResetEvent(ovl->hEvent);
        const DWORD ev = Ready(*p);
        if (ev) {
            *mask = ev;
            p->events &= ~ev;
            if (ovl && ovl->hEvent) ::SetEvent(ovl->hEvent);
            return TRUE;
        }
        if (!ovl) return Fail(ERROR_INVALID_PARAMETER);
        if (p->waitsEndWith) {
            *mask = 0;
            ovl->Internal = p->waitsEndWith;
            if (ovl->hEvent) ::SetEvent(ovl->hEvent);
            return Fail(ERROR_IO_PENDING);
        }
        if (p->cancelWaits) {
            // Like a pty under Wine: queued bytes are seen at the start of
            // a wait, and nothing else ever is.
            if (!p->rx.empty() && (p->mask & EV_RXCHAR)) {
                *mask = EV_RXCHAR;
                if (ovl->hEvent) ::SetEvent(ovl->hEvent);
                return TRUE;
            }
            *mask = 0;
            ovl->Internal = kStatusCancelled;
            ovl->InternalHigh = 0;
            if (ovl->hEvent) ::SetEvent(ovl->hEvent);
            return Fail(ERROR_IO_PENDING);
        }
        ovl->Internal = kStatusPending;
        d.pendingWaits_.push_back({h, ovl, mask});
        return Fail(ERROR_IO_PENDING);
    }

    static bool PacedPending(const OVERLAPPED* ovl) {
        Driver& d = D();
        std::lock_guard lock(d.mu_);
        d.AdvanceAll();
        for (auto& w : d.pacedWrites_)
            if (w.ovl == ovl) return true;
        return false;
    }

    static BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED ovl, LPDWORD n, BOOL wait) {
        // A paced write is waited for as the system would: with no limit.
        if (wait)
            while (PacedPending(ovl)) ::Sleep(1);
        SIM_ENTER((Call{"GetOverlappedResult", h, static_cast<DWORD>(wait)}));
        d.calls_.back().ptr = ovl;
        d.AdvanceAll();
        for (auto& w : d.pacedWrites_)
            if (w.ovl == ovl) return Fail(ERROR_IO_INCOMPLETE);
        for (auto it = d.pendingWrites_.begin(); it != d.pendingWrites_.end(); ++it) {
            if (it->ovl != ovl) continue;
            // The driver takes the bytes only when asked for the result,
            // from the caller's buffer.
            p->tx.append(static_cast<const char*>(it->buf), it->n);
            ovl->Internal = 0;
            ovl->InternalHigh = it->n;
            if (n) *n = it->n;
            d.pendingWrites_.erase(it);
            return TRUE;
        }
        if (ovl->Internal == kStatusCancelled) return Fail(ERROR_OPERATION_ABORTED);
        if (n) *n = static_cast<DWORD>(ovl->InternalHigh);
        return TRUE;
    }

    static BOOL WINAPI ReadFile(HANDLE h, LPVOID buf, DWORD count, LPDWORD n, LPOVERLAPPED ovl) {
        Call c{"ReadFile", h, count};
        c.ptr = buf;
        SIM_ENTER(c);
        // Reads what is queued (the tests queue what they read).
        DWORD take = std::min<DWORD>(count, static_cast<DWORD>(p->rx.size()));
        if (p->readChunk) take = std::min(take, p->readChunk);
        std::memcpy(buf, p->rx.data(), take);
        p->rx.erase(0, take);
        if (n) *n = take;
        if (ovl) {
            ovl->Internal = 0;
            ovl->InternalHigh = take;
        }
        return TRUE;
    }

    static BOOL WINAPI WriteFile(HANDLE h, LPCVOID buf, DWORD count, LPDWORD n,
                                 LPOVERLAPPED ovl) {
        Call c{"WriteFile", h, count};
        c.data.assign(static_cast<const char*>(buf), count);
        c.ptr = ovl;
        SIM_ENTER(c);
        if (p->refuseWrites) return Fail(p->refuseWrites);
        for (auto& w : d.pendingWrites_)
            if (w.ovl == ovl) throw std::logic_error("overlapped record reused while in flight");
        if (p->pendWrites && ovl) {
            ovl->Internal = kStatusPending;
            d.pendingWrites_.push_back({h, ovl, buf, count});
            return Fail(ERROR_IO_PENDING);
        }
        if (p->paced && ovl) {
            d.Advance(*p);
            if (ovl->hEvent) ::ResetEvent(ovl->hEvent);
            PacedWrite w{h, ovl, static_cast<const char*>(buf), count, 0, false, {}};
            const auto& t = p->timeouts;
            const DWORD total = t.WriteTotalTimeoutMultiplier * count + t.WriteTotalTimeoutConstant;
            if (total != 0) {
                w.hasDeadline = true;
                w.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total);
            }
            ovl->Internal = kStatusPending;
            ovl->InternalHigh = 0;
            d.pacedWrites_.push_back(w);
            d.Advance(*p);  // takes what fits now
            if (ovl->Internal == kStatusPending) {
                d.StartTicker();
                return Fail(ERROR_IO_PENDING);
            }
            if (n) *n = static_cast<DWORD>(ovl->InternalHigh);
            d.StartTicker();
            return TRUE;
        }
        p->tx.append(static_cast<const char*>(buf), count);
        if (n) *n = count;
        if (ovl) {
            ovl->Internal = 0;
            ovl->InternalHigh = count;
        }
        return TRUE;
    }

    static BOOL WINAPI TransmitCommChar(HANDLE h, char ch) {
        Call c{"TransmitCommChar", h, static_cast<unsigned char>(ch)};
        c.data.assign(1, ch);
        SIM_ENTER(c);
        p->ahead.push_back(ch);
        p->tx.push_back(ch);
        return TRUE;
    }

    static BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD fn) {
        SIM_ENTER((Call{"EscapeCommFunction", h, fn}));
        if (p->linesUnsupported && fn >= SETRTS && fn <= CLRDTR) return Fail(ERROR_NOT_SUPPORTED);
        switch (fn) {
            case SETDTR: p->dtr = true; break;
            case CLRDTR: p->dtr = false; break;
            case SETRTS: p->rts = true; break;
            case CLRRTS: p->rts = false; break;
            case SETBREAK: p->brk = true; break;
            case CLRBREAK: p->brk = false; break;
            default: break;
        }
        if (p->dsrFollowsDtr) p->modem = p->dtr ? (p->modem | MS_DSR_ON) : (p->modem & ~MS_DSR_ON);
        if (p->ctsFollowsRts) p->modem = p->rts ? (p->modem | MS_CTS_ON) : (p->modem & ~MS_CTS_ON);
        return TRUE;
    }

    static BOOL WINAPI GetCommModemStatus(HANDLE h, LPDWORD status) {
        SIM_ENTER((Call{"GetCommModemStatus", h}));
        if (p->linesUnsupported) return Fail(ERROR_NOT_SUPPORTED);
        *status = p->modem;
        return TRUE;
    }

    static BOOL WINAPI PurgeComm(HANDLE h, DWORD flags) {
        SIM_ENTER((Call{"PurgeComm", h, flags}));
        if (flags & PURGE_RXCLEAR) p->rx.clear();
        if (flags & PURGE_TXCLEAR) {
            d.Advance(*p);
            p->outQue = 0;
            p->txQueue.clear();
        }
        if (flags & PURGE_TXABORT) {
            d.CancelPacedWrites(h);
            for (auto it = d.pendingWrites_.begin(); it != d.pendingWrites_.end();) {
                if (it->h == h) {
                    it->ovl->Internal = kStatusCancelled;
                    if (it->ovl->hEvent) ::SetEvent(it->ovl->hEvent);
                    it = d.pendingWrites_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        return TRUE;
    }

    static bool TxIdle(HANDLE h) {
        Driver& d = D();
        std::lock_guard lock(d.mu_);
        Port* p = d.ByHandle(h);
        if (!p) return true;
        d.Advance(*p);
        return d.PendingOut(*p) == 0;
    }

    static BOOL WINAPI FlushFileBuffers(HANDLE h) {
        {
            Driver& d = D();
            std::lock_guard lock(d.mu_);
            Port* p = d.ByHandle(h);
            if (p && p->paced) d.StartTicker();
        }
        // A paced line is drained as the system does, with no limit; a held
        // one would never return, so the simulation gives up after a while
        // and the test sees the call in the record.
        const auto start = std::chrono::steady_clock::now();
        while (!TxIdle(h) && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) ::Sleep(1);
        SIM_ENTER((Call{"FlushFileBuffers", h}));
        p->outQue = 0;
        return TRUE;
    }

    static BOOL WINAPI CancelIo(HANDLE h) {
        Driver& d = D();
        std::lock_guard lock(d.mu_);
        d.Record(Call{"CancelIo", h});
        Port* p = d.ByHandle(h);
        if (!p) return Fail(ERROR_INVALID_HANDLE);
        // Like Wine, a wait is not cancelled while the device answers; once
        // it has gone, the system ends everything pending on it.
        if (p->vanishedError) {
            d.EndPendingWaits(h, kStatusCancelled);
        }
        for (auto it = d.pendingWrites_.begin(); it != d.pendingWrites_.end();) {
            if (it->h == h) {
                it->ovl->Internal = kStatusCancelled;
                if (it->ovl->hEvent) ::SetEvent(it->ovl->hEvent);
                it = d.pendingWrites_.erase(it);
            } else {
                ++it;
            }
        }
        d.CancelPacedWrites(h);
        return TRUE;
    }

    static HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T size) {
        Driver& d = D();
        {
            std::lock_guard lock(d.mu_);
            Call c{"LocalAlloc", nullptr, flags, static_cast<DWORD>(size)};
            d.Record(c);
            if (d.failAlloc) {
                ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            ++d.liveAllocs;
        }
        return ::LocalAlloc(flags, size);
    }

    static HLOCAL WINAPI LocalFree(HLOCAL mem) {
        Driver& d = D();
        {
            std::lock_guard lock(d.mu_);
            d.Record(Call{"LocalFree"});
            if (mem) --d.liveAllocs;
        }
        return ::LocalFree(mem);
    }

    static DWORD WINAPI WaitForMultipleObjects(DWORD n, const HANDLE* handles, BOOL all, DWORD ms) {
        // Not under the lock: the wait may last, and the device side must go on.
        if (D().failObjectWaits) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        return ::WaitForMultipleObjects(n, handles, all, ms);
    }

    static TpwCommApi::CancelIoFn LookupCancelIo() {
        {
            std::lock_guard lock(D().mu_);
            D().Record(Call{"LookupCancelIo"});
        }
        return &Impl::CancelIo;
    }
#undef SIM_ENTER
};

Driver::Driver() : saved_(pwCommApi()) {
    if (g_driver) throw std::logic_error("only one simulated driver at a time");
    g_driver = this;
    TpwCommApi api = {
        Impl::CreateFileW,        Impl::CloseHandle,        Impl::SetupComm,
        Impl::GetCommState,       Impl::SetCommState,       Impl::GetCommConfig,
        Impl::GetDefaultCommConfigW, Impl::CommConfigDialogW, Impl::SetCommTimeouts,
        Impl::GetCommTimeouts,    Impl::GetCommProperties,  Impl::ClearCommError,
        Impl::SetCommMask,        Impl::GetCommMask,        Impl::WaitCommEvent,
        Impl::GetOverlappedResult, Impl::ReadFile,          Impl::WriteFile,
        Impl::TransmitCommChar,   Impl::EscapeCommFunction, Impl::GetCommModemStatus,
        Impl::PurgeComm,          Impl::FlushFileBuffers,   Impl::LocalAlloc,
        Impl::LocalFree,          Impl::LookupCancelIo,     Impl::WaitForMultipleObjects,
    };
    pwCommApi() = api;
}

Driver::~Driver() {
    stopTicker_ = true;
    if (ticker_.joinable()) ticker_.join();
    pwCommApi() = saved_;
    g_driver = nullptr;
}

Driver& Driver::Current() { return *g_driver; }

Port& Driver::AddPort(const std::wstring& name) {
    std::lock_guard lock(mu_);
    Port& p = ports_[Upper(name)];
    p.name = name;
    // What a default driver hands out: 9600 8N1, binary.
    p.dcb.DCBlength = sizeof(DCB);
    p.dcb.BaudRate = CBR_9600;
    p.dcb.ByteSize = 8;
    p.dcb.fBinary = 1;
    p.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    p.dcb.fRtsControl = RTS_CONTROL_ENABLE;
    p.dcb.fTXContinueOnXoff = 1;
    return p;
}

Port& Driver::port(const std::wstring& name) {
    std::lock_guard lock(mu_);
    auto it = ports_.find(Upper(name));
    if (it == ports_.end()) throw std::out_of_range("no simulated port");
    return it->second;
}

bool Driver::HasPort(const std::wstring& name) const {
    std::lock_guard lock(mu_);
    return ports_.count(Upper(name)) != 0;
}

void Driver::RemovePort(const std::wstring& name) {
    std::lock_guard lock(mu_);
    ports_.erase(Upper(name));
}

Port* Driver::ByHandle(HANDLE h) {
    if (!h) return nullptr;
    for (auto& [k, p] : ports_)
        if (p.handle == h) return &p;
    return nullptr;
}

Port* Driver::ByName(const std::wstring& name) {
    auto it = ports_.find(Upper(name));
    return it == ports_.end() ? nullptr : &it->second;
}

void Driver::Record(Call c) { calls_.push_back(std::move(c)); }

void Driver::EndPendingWaits(HANDLE h, ULONG_PTR status) {
    for (auto it = pendingWaits_.begin(); it != pendingWaits_.end();) {
        if (it->h == h) {
            *it->mask = 0;
            it->ovl->Internal = status;
            if (it->ovl->hEvent) ::SetEvent(it->ovl->hEvent);
            it = pendingWaits_.erase(it);
        } else {
            ++it;
        }
    }
}

void Driver::FirePendingWait(Port& p) {
    for (auto it = pendingWaits_.begin(); it != pendingWaits_.end();) {
        if (it->h != p.handle) {
            ++it;
            continue;
        }
        const DWORD ev = Impl::Ready(p);
        if (!ev) {
            ++it;
            continue;
        }
        *it->mask = ev;
        p.events &= ~ev;
        it->ovl->Internal = 0;
        if (it->ovl->hEvent) ::SetEvent(it->ovl->hEvent);
        it = pendingWaits_.erase(it);
    }
}

void Driver::Receive(const std::wstring& name, const std::string& bytes) {
    std::lock_guard lock(mu_);
    Port& p = port(name);
    p.rx += bytes;
    if (!bytes.empty()) p.events |= EV_RXCHAR;
    FirePendingWait(p);
}

void Driver::ReceiveSilently(const std::wstring& name, const std::string& bytes, DWORD errors) {
    std::lock_guard lock(mu_);
    Port& p = port(name);
    p.rx += bytes;
    p.errors |= errors;
}

void Driver::SetModem(const std::wstring& name, DWORD modem) {
    std::lock_guard lock(mu_);
    Port& p = port(name);
    const DWORD changed = p.modem ^ modem;
    p.modem = modem;
    if (changed & MS_CTS_ON) p.events |= EV_CTS;
    if (changed & MS_DSR_ON) p.events |= EV_DSR;
    if (changed & MS_RLSD_ON) p.events |= EV_RLSD;
    if ((changed & MS_RING_ON) && (modem & MS_RING_ON)) p.events |= EV_RING;
    FirePendingWait(p);
}

void Driver::RaiseEvents(const std::wstring& name, DWORD evMask) {
    std::lock_guard lock(mu_);
    Port& p = port(name);
    p.events |= evMask;
    FirePendingWait(p);
}

void Driver::LineError(const std::wstring& name, DWORD errors, DWORD statFlags) {
    std::lock_guard lock(mu_);
    Port& p = port(name);
    p.errors |= errors;
    p.statFlags |= statFlags;
    p.events |= EV_ERR;
    FirePendingWait(p);
}

void Driver::Vanish(const std::wstring& name, DWORD error) {
    std::lock_guard lock(mu_);
    Port& p = port(name);
    p.vanishedError = error;
    p.waitFails = error;
    EndPendingWaits(p.handle, kStatusCancelled);
}

void Driver::StopAnswering(const std::wstring& name, DWORD error) {
    std::lock_guard lock(mu_);
    Port& p = port(name);
    p.vanishedError = error;
    p.waitFails = error;
}

void Driver::SetXoff(const std::wstring& name, bool xoff) {
    std::lock_guard lock(mu_);
    Port& p = port(name);
    Advance(p);
    p.xoffReceived = xoff;
}

bool Driver::Held(const Port& p) const {
    return (p.dcb.fOutxCtsFlow && !(p.modem & MS_CTS_ON)) || (p.dcb.fOutX && p.xoffReceived);
}

DWORD Driver::PendingOut(const Port& p) const {
    DWORD n = static_cast<DWORD>(p.txQueue.size());
    for (auto& w : pacedWrites_)
        if (p.handle && w.h == p.handle) n += w.n - w.taken;
    return n;
}

void Driver::Advance(Port& p) {
    if (!p.paced) return;
    const auto now = std::chrono::steady_clock::now();
    if (p.txClock == std::chrono::steady_clock::time_point{}) p.txClock = now;
    const double seconds = std::chrono::duration<double>(now - p.txClock).count();
    p.txClock = now;
    // An idle or held line saves up nothing.
    if (Held(p) || p.txQueue.empty()) {
        p.txCredit = 0;
    } else {
        p.txCredit += seconds * p.dcb.BaudRate / 10.0;
        const std::size_t out = std::min(p.txQueue.size(), static_cast<std::size_t>(p.txCredit));
        p.tx.append(p.txQueue, 0, out);
        p.txQueue.erase(0, out);
        p.txCredit -= static_cast<double>(out);
    }
    const DWORD capacity = p.txCapacity ? p.txCapacity : p.outQueue;
    // Pending writes of the open handle take the room that frees, in order.
    for (auto it = pacedWrites_.begin(); it != pacedWrites_.end();) {
        if (!p.handle || it->h != p.handle) {
            ++it;
            continue;
        }
        const std::size_t room =
            capacity == 0 ? SIZE_MAX : (p.txQueue.size() < capacity ? capacity - p.txQueue.size() : 0);
        const DWORD take = static_cast<DWORD>(std::min<std::size_t>(room, it->n - it->taken));
        p.txQueue.append(it->buf + it->taken, take);
        it->taken += take;
        const bool done = it->taken == it->n;
        if (!done && !(it->hasDeadline && now >= it->deadline)) break;  // later writes wait behind it
        it->ovl->Internal = done ? 0 : kStatusTimeout;
        it->ovl->InternalHigh = it->taken;
        if (it->ovl->hEvent) ::SetEvent(it->ovl->hEvent);
        it = pacedWrites_.erase(it);
    }
}

void Driver::AdvanceAll() {
    for (auto& [k, p] : ports_) Advance(p);
}

void Driver::CancelPacedWrites(HANDLE h) {
    for (auto it = pacedWrites_.begin(); it != pacedWrites_.end();) {
        if (it->h == h) {
            it->ovl->Internal = kStatusCancelled;
            it->ovl->InternalHigh = it->taken;
            if (it->ovl->hEvent) ::SetEvent(it->ovl->hEvent);
            it = pacedWrites_.erase(it);
        } else {
            ++it;
        }
    }
}

// Completions of paced writes are signalled without anyone asking, as a
// driver does.
void Driver::StartTicker() {
    if (ticker_.joinable()) return;
    ticker_ = std::thread([this] {
        while (!stopTicker_) {
            {
                std::lock_guard lock(mu_);
                AdvanceAll();
            }
            ::Sleep(2);
        }
    });
}

void Driver::CompletePendingWrites() {
    std::lock_guard lock(mu_);
    for (auto& w : pendingWrites_) {
        Port* p = ByHandle(w.h);
        if (p) p->tx.append(static_cast<const char*>(w.buf), w.n);
        w.ovl->Internal = 0;
        w.ovl->InternalHigh = w.n;
        if (w.ovl->hEvent) ::SetEvent(w.ovl->hEvent);
    }
    pendingWrites_.clear();
}

size_t Driver::PendingWrites() const {
    std::lock_guard lock(mu_);
    return pendingWrites_.size();
}

std::vector<Call> Driver::Calls() const {
    std::lock_guard lock(mu_);
    return calls_;
}

std::vector<Call> Driver::Calls(const std::string& fn) const {
    std::lock_guard lock(mu_);
    std::vector<Call> out;
    for (auto& c : calls_)
        if (c.fn == fn) out.push_back(c);
    return out;
}

std::vector<std::string> Driver::Names() const {
    std::lock_guard lock(mu_);
    std::vector<std::string> out;
    for (auto& c : calls_) out.push_back(c.fn);
    return out;
}

int Driver::IndexOf(const std::string& fn, int from) const {
    std::lock_guard lock(mu_);
    for (int i = std::max(from, 0); i < static_cast<int>(calls_.size()); ++i)
        if (calls_[i].fn == fn) return i;
    return -1;
}

int Driver::Count(const std::string& fn) const {
    std::lock_guard lock(mu_);
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                          [&](const Call& c) { return c.fn == fn; }));
}

void Driver::ClearCalls() {
    std::lock_guard lock(mu_);
    calls_.clear();
}

void Driver::SetDialogAnswer(const DCB* dcb) {
    std::lock_guard lock(mu_);
    dialogConfirms_ = dcb != nullptr;
    if (dcb) dialogDcb_ = *dcb;
}

int Driver::OpenHandles() const {
    std::lock_guard lock(mu_);
    int n = 0;
    for (auto& [k, p] : ports_)
        if (p.handle) ++n;
    return n;
}

}  // namespace sim
