#include "pwwin32.h"

#include <winspool.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Classes.h"
#include "SysUtils.h"

static_assert(sizeof(COMMCONFIG) == 52, "COMMCONFIG must be the 52-byte record");
static_assert(sizeof(DCB) == 28, "DCB must be the 28-byte record");

namespace {

TpwCommApi::CancelIoFn LookupKernelCancelIo() {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return nullptr;
    return reinterpret_cast<TpwCommApi::CancelIoFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "CancelIo")));
}

const TpwCommApi kDefaultApi = {
    ::CreateFileW,
    ::CloseHandle,
    ::SetupComm,
    ::GetCommState,
    ::SetCommState,
    ::GetCommConfig,
    ::GetDefaultCommConfigW,
    ::CommConfigDialogW,
    ::SetCommTimeouts,
    ::GetCommTimeouts,
    ::GetCommProperties,
    ::ClearCommError,
    ::SetCommMask,
    ::GetCommMask,
    ::WaitCommEvent,
    ::GetOverlappedResult,
    ::ReadFile,
    ::WriteFile,
    ::TransmitCommChar,
    ::EscapeCommFunction,
    ::GetCommModemStatus,
    ::PurgeComm,
    ::FlushFileBuffers,
    ::LocalAlloc,
    ::LocalFree,
    LookupKernelCancelIo,
    ::WaitForMultipleObjects,
};

TpwCommApi g_api = kDefaultApi;

// Providers may append their own data; a few kilobytes is already generous.
constexpr DWORD kMaxProviderConfig = 64 * 1024;

template <class Call>
bool ReadConfigFixed(COMMCONFIG& cfg, Call&& call) {
    DWORD size = sizeof(COMMCONFIG);
    cfg.dwSize = sizeof(COMMCONFIG);
    // The size goes in a variable of its own: a failing call writes the size
    // it needs there, which must not end up as the record's own dwSize.
    bool ok = call(&cfg, &size) != FALSE;
    if (!ok && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > sizeof(COMMCONFIG) &&
        size <= kMaxProviderConfig) {
        TpwRecordBuffer block(size);
        auto* big = block.As<COMMCONFIG>();
        std::memcpy(big, &cfg, sizeof(COMMCONFIG));
        big->dwSize = size;
        DWORD bigSize = size;
        ok = call(big, &bigSize) != FALSE;
        if (ok) {
            std::memcpy(&cfg, big, sizeof(COMMCONFIG));
            // Provider data past the fixed record is not kept.
            cfg.dwProviderOffset = 0;
            cfg.dwProviderSize = 0;
        }
    }
    cfg.dwSize = sizeof(COMMCONFIG);
    cfg.dcb.DCBlength = sizeof(DCB);
    return ok;
}

}  // namespace

TpwCommApi& pwCommApi() { return g_api; }
const TpwCommApi& pwDefaultCommApi() { return kDefaultApi; }

TpwCommApiScope::TpwCommApiScope(const TpwCommApi& api) : saved_(g_api) { g_api = api; }
TpwCommApiScope::~TpwCommApiScope() { g_api = saved_; }

void ResetOverlapped(OVERLAPPED& ovl) {
    HANDLE event = ovl.hEvent;
    std::memset(&ovl, 0, sizeof(ovl));
    ovl.hEvent = event;
}

bool WaitOverlappedResult(HANDLE handle, OVERLAPPED& ovl, DWORD& transferred, DWORD& error) {
    error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return false;
    const bool ok = g_api.GetOverlappedResult(handle, &ovl, &transferred, TRUE) != FALSE;
    if (!ok) error = ::GetLastError();
    return ok;
}

bool ReadAndWait(HANDLE handle, void* buffer, DWORD count, OVERLAPPED& ovl, DWORD* done) {
    ResetOverlapped(ovl);
    DWORD read = 0;
    bool ok = g_api.ReadFile(handle, buffer, count, &read, &ovl) != FALSE;
    if (!ok) {
        DWORD error = 0;
        ok = WaitOverlappedResult(handle, ovl, read, error);
        if (!ok) ::SetLastError(error);
    }
    if (done) *done = ok ? read : 0;
    return ok;
}

bool CancelDeviceIo(HANDLE handle) {
    TpwCommApi::CancelIoFn cancel = g_api.LookupCancelIo();
    return cancel != nullptr && cancel(handle) != FALSE;
}

std::wstring SysErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD len = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer),
        0, nullptr);
    std::wstring text;
    if (len != 0 && buffer) text.assign(buffer, len);
    if (buffer) ::LocalFree(buffer);
    while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
    return text;
}

bool GetCommConfigFixed(HANDLE handle, COMMCONFIG& cfg) {
    return ReadConfigFixed(
        cfg, [&](COMMCONFIG* c, DWORD* size) { return g_api.GetCommConfig(handle, c, size); });
}

bool GetDefaultCommConfigFixed(const std::wstring& name, COMMCONFIG& cfg) {
    return ReadConfigFixed(cfg, [&](COMMCONFIG* c, DWORD* size) {
        return g_api.GetDefaultCommConfigW(name.c_str(), c, size);
    });
}

// ---------------------------------------------------------------------------
// The quick COM port list.

namespace {

tk::TObject* PortNoAsObject(int PortNo) {
    return reinterpret_cast<tk::TObject*>(static_cast<std::intptr_t>(PortNo));
}

std::wstring NamePart(const std::wstring& entry) { return entry.substr(0, entry.find(L'=')); }

std::wstring UpperText(std::wstring s) {
    if (!s.empty()) ::CharUpperBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

}  // namespace

std::wstring TrimText(const std::wstring& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && s[b] <= L' ') ++b;
    while (e > b && s[e - 1] <= L' ') --e;
    return s.substr(b, e - b);
}

int PortNoOfEntry(const tk::TStringList& L, int Index) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(L.Objects(Index)));
}

void AddPortSorted(const std::wstring& Entry, int PortNo, tk::TStringList& L) {
    for (int i = 0; i < L.Count(); ++i)
        if (tk::SameTextLocale(L.Strings(i), Entry)) return;
    if (L.Count() == 0 || PortNoOfEntry(L, L.Count() - 1) < PortNo) {
        L.AddObject(Entry, PortNoAsObject(PortNo));
        return;
    }
    for (int i = 0; i < L.Count(); ++i) {
        if (PortNoOfEntry(L, i) > PortNo) {
            L.InsertObject(i, Entry, PortNoAsObject(PortNo));
            return;
        }
    }
}

bool GetOsVersion(OSVERSIONINFOW& info) {
    info = {};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return ::GetVersionExW(&info) != FALSE;
#pragma GCC diagnostic pop
}

bool PortNumberOf(const std::wstring& Rest, std::int32_t& Number) {
    if (Rest.empty()) return false;
    std::int64_t value = 0;
    for (wchar_t c : Rest) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
        if (value > 0x7FFFFFFF) return false;
    }
    Number = static_cast<std::int32_t>(value);
    return true;
}

namespace {

DWORD RealPlatformId() {
    OSVERSIONINFOW info = {};
    return GetOsVersion(info) ? info.dwPlatformId : VER_PLATFORM_WIN32_NT;
}

const TpwPortListApi kDefaultPortListApi = {
    RealPlatformId, ::RegOpenKeyExW, ::RegEnumValueW, ::RegCloseKey, ::EnumPortsW,
};
TpwPortListApi g_portList = kDefaultPortListApi;

// The spooler's ports of the 9x family: "COM1:" and so on.
void ListSpoolerPorts(tk::TStringList& L) {
    DWORD needed = 0, returned = 0;
    if (g_portList.EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
        return;
    TpwRecordBuffer block(needed);
    auto* bytes = block.As<BYTE>();
    returned = 0;
    (void)g_portList.EnumPortsW(nullptr, 1, bytes, needed, &needed, &returned);
    // Never more entries than the block holds.
    returned = std::min<DWORD>(returned, needed / sizeof(PORT_INFO_1W));
    const auto* ports = reinterpret_cast<const PORT_INFO_1W*>(bytes);
    for (DWORD i = 0; i < returned; ++i) {
        if (!ports[i].pName) continue;
        std::wstring name = ports[i].pName;
        if (name.rfind(L"COM", 0) != 0) continue;
        const std::size_t colon = name.find(L':');
        if (colon != std::wstring::npos) name.erase(colon, 1);
        name = TrimText(name);
        std::int32_t number = 0;
        if (!PortNumberOf(name.substr(3), number))
            throw tk::EConvertError(tk::Format(L"''%s'' is not a valid integer value", {name.substr(3)}));
        AddPortSorted(name + L"=", number, L);
    }
}

void ListRegistryPorts(tk::TStringList& L, bool WithValues) {
    HKEY key = nullptr;
    if (g_portList.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                                 &key) != ERROR_SUCCESS)
        return;
    // 260 bytes each: a value whose name or data does not fit is no port
    // of ours, but the ports after it still are.
    std::vector<wchar_t> name(130);
    std::vector<BYTE> data(260);
    for (DWORD index = 0;; ++index) {
        DWORD nameLen = static_cast<DWORD>(name.size());
        DWORD dataLen = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG r = g_portList.RegEnumValueW(key, index, name.data(), &nameLen, nullptr, &type, data.data(),
                                                &dataLen);
        if (r == ERROR_MORE_DATA) continue;
        if (r != ERROR_SUCCESS) break;
        dataLen = std::min<DWORD>(dataLen, static_cast<DWORD>(data.size()));
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), dataLen / sizeof(wchar_t));
        text = text.substr(0, text.find(L'\0'));
        text = TrimText(UpperText(text));
        if (text.rfind(L"COM", 0) != 0) continue;
        bool present = false;
        for (int i = 0; i < L.Count() && !present; ++i)
            present = tk::SameTextLocale(NamePart(L.Strings(i)), text);
        if (present) continue;
        std::int32_t number = 0;
        if (!PortNumberOf(text.substr(3), number)) continue;
        const std::wstring valueName(name.data(), std::min<DWORD>(nameLen, static_cast<DWORD>(name.size())));
        AddPortSorted(WithValues ? text + L"=" + valueName : text, number, L);
    }
    g_portList.RegCloseKey(key);
}

}  // namespace

TpwPortListApi& pwPortListApi() { return g_portList; }
const TpwPortListApi& pwDefaultPortListApi() { return kDefaultPortListApi; }

void ListComPorts(tk::TStringList& L, bool WithValues) {
    L.Clear();
    if (g_portList.PlatformId() == VER_PLATFORM_WIN32_WINDOWS)
        ListSpoolerPorts(L);
    else
        ListRegistryPorts(L, WithValues);
}
