// Routines around the Win32 communications calls: one replaceable table of
// the kernel32 functions the serial component uses, the overlapped transfer
// routines built on it, and the system's error text.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Every kernel32 communications call of the serial component goes through
// this table. By default it points at the real Win32 calls; tests install a
// simulated driver (modem lines, line errors, refused writes) that a pty
// under Wine cannot produce.
struct TpwCommApi {
    HANDLE(WINAPI* CreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* CloseHandle)(HANDLE);
    BOOL(WINAPI* SetupComm)(HANDLE, DWORD, DWORD);
    BOOL(WINAPI* GetCommState)(HANDLE, LPDCB);
    BOOL(WINAPI* SetCommState)(HANDLE, LPDCB);
    BOOL(WINAPI* GetCommConfig)(HANDLE, LPCOMMCONFIG, LPDWORD);
    BOOL(WINAPI* GetDefaultCommConfigW)(LPCWSTR, LPCOMMCONFIG, LPDWORD);
    BOOL(WINAPI* CommConfigDialogW)(LPCWSTR, HWND, LPCOMMCONFIG);
    BOOL(WINAPI* SetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
    BOOL(WINAPI* GetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
    BOOL(WINAPI* GetCommProperties)(HANDLE, LPCOMMPROP);
    BOOL(WINAPI* ClearCommError)(HANDLE, LPDWORD, LPCOMSTAT);
    BOOL(WINAPI* SetCommMask)(HANDLE, DWORD);
    BOOL(WINAPI* GetCommMask)(HANDLE, LPDWORD);
    BOOL(WINAPI* WaitCommEvent)(HANDLE, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* GetOverlappedResult)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
    BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* TransmitCommChar)(HANDLE, char);
    BOOL(WINAPI* EscapeCommFunction)(HANDLE, DWORD);
    BOOL(WINAPI* GetCommModemStatus)(HANDLE, LPDWORD);
    BOOL(WINAPI* PurgeComm)(HANDLE, DWORD);
    BOOL(WINAPI* FlushFileBuffers)(HANDLE);
    // CancelIo is not imported: it is looked up in kernel32 at every call.
    // The lookup itself is part of the table so a simulated driver can
    // answer it (or report the function missing with null).
    // The receive buffer's allocation, so a failing allocation can be tested.
    HLOCAL(WINAPI* LocalAlloc)(UINT, SIZE_T);
    HLOCAL(WINAPI* LocalFree)(HLOCAL);
    using CancelIoFn = BOOL(WINAPI*)(HANDLE);
    CancelIoFn (*LookupCancelIo)();
    // The event thread's wait on its pending transfer, so a failing wait
    // can be tested.
    DWORD(WINAPI* WaitForMultipleObjects)(DWORD, const HANDLE*, BOOL, DWORD);
};

// The table in use. Replace entries only while no port is open.
TpwCommApi& pwCommApi();
// The table of the real Win32 calls.
const TpwCommApi& pwDefaultCommApi();

// Installs a table for the lifetime of the object and restores the previous
// one afterwards (tests).
class TpwCommApiScope {
public:
    explicit TpwCommApiScope(const TpwCommApi& api);
    ~TpwCommApiScope();
    TpwCommApiScope(const TpwCommApiScope&) = delete;
    TpwCommApiScope& operator=(const TpwCommApiScope&) = delete;

private:
    TpwCommApi saved_;
};

// Overlapped transfers. Each clears the record's status fields (keeping its
// event) before use. ReadAndWait tells how many bytes it read when asked.
bool ReadAndWait(HANDLE handle, void* buffer, DWORD count, OVERLAPPED& ovl, DWORD* done = nullptr);
// After a failed transfer call: waits for a pending transfer to complete.
// `error` receives the failing call's error (or GetOverlappedResult's).
bool WaitOverlappedResult(HANDLE handle, OVERLAPPED& ovl, DWORD& transferred, DWORD& error);
// Cancels the calling thread's pending transfers on the handle, through
// CancelIo looked up at run time. True when the lookup and the call succeeded.
bool CancelDeviceIo(HANDLE handle);

// Clears the status fields of an overlapped record, keeping its event.
void ResetOverlapped(OVERLAPPED& ovl);

// The running system's version (GetVersionExW, which newer headers mark as
// deprecated); false when the system does not tell.
bool GetOsVersion(OSVERSIONINFOW& info);

// Zeroed storage for a record whose size the system tells at run time,
// aligned for any of the system's records.
class TpwRecordBuffer {
public:
    explicit TpwRecordBuffer(DWORD bytes)
        : words_((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t) + 1) {}
    template <class T>
    T* As() {
        return reinterpret_cast<T*>(words_.data());
    }

private:
    std::vector<std::uint64_t> words_;
};

// The system's message text for an error code (language neutral, inserts
// ignored), without trailing control characters, blanks and full stops.
std::wstring SysErrorText(DWORD code);

// GetCommConfig / GetDefaultCommConfigW into one fixed COMMCONFIG. A
// provider that reports a larger configuration is read into a block of the
// size it asks for and only the leading fixed record is kept, so `cfg` is
// never overrun. Afterwards cfg.dwSize is sizeof(COMMCONFIG).
bool GetCommConfigFixed(HANDLE handle, COMMCONFIG& cfg);
bool GetDefaultCommConfigFixed(const std::wstring& name, COMMCONFIG& cfg);

namespace tk {
class TStringList;
}

// Where the quick list of COM ports comes from: the platform family, the
// registry calls on HKEY_LOCAL_MACHINE (NT family) and the print spooler's
// port list (9x family). By default the real calls; tests replace them to
// run the 9x path and registry contents a real machine seldom shows.
struct TpwPortListApi {
    DWORD (*PlatformId)();  // VER_PLATFORM_WIN32_WINDOWS (1) for the 9x family
    LONG(WINAPI* RegOpenKeyExW)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    LONG(WINAPI* RegEnumValueW)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI* RegCloseKey)(HKEY);
    BOOL(WINAPI* EnumPortsW)(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
};
TpwPortListApi& pwPortListApi();
const TpwPortListApi& pwDefaultPortListApi();

// Installs a replacement for one of the call tables above for the lifetime of
// the object and puts the previous one back afterwards.
template <class Api>
class TpwApiScope {
public:
    TpwApiScope(Api& slot, const Api& api) : slot_(slot), saved_(slot) { slot_ = api; }
    ~TpwApiScope() { slot_ = saved_; }
    TpwApiScope(const TpwApiScope&) = delete;
    TpwApiScope& operator=(const TpwApiScope&) = delete;

private:
    Api& slot_;
    Api saved_;
};

// The quick list of COM ports, each port once, in ascending port number: on
// the NT family the values of the registry key HARDWARE\DEVICEMAP\SERIALCOMM
// ("COMn=<value name>" with WithValues, else "COMn"), on the 9x family the
// spooler's COM ports ("COMn="). Each entry's object is the port number. On
// the 9x family a "COM" name without a number raises EConvertError.
void ListComPorts(tk::TStringList& L, bool WithValues);
// The number of a port name's rest ("12" of "COM12"): plain decimal digits
// only, no sign, blank or hexadecimal prefix; false when it is none.
bool PortNumberOf(const std::wstring& Rest, std::int32_t& Number);
// Adds the entry in ascending port-number order (nothing when present).
void AddPortSorted(const std::wstring& Entry, int PortNo, tk::TStringList& L);
// The number an entry of the quick list carries.
int PortNoOfEntry(const tk::TStringList& L, int Index);
// Without leading and trailing blanks and control characters.
std::wstring TrimText(const std::wstring& s);
