#include "PtyPeer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Application.h"

namespace commtest {

bool PairPorts(int& a, int& b) {
    const char* v = std::getenv("QUOLM_PAIR1");
    return v && std::sscanf(v, "COM%d:COM%d", &a, &b) == 2;
}

TPeer::TPeer(int port) {
    const std::wstring name = L"\\\\.\\COM" + std::to_wstring(port);
    h_ = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
    if (h_ == INVALID_HANDLE_VALUE) return;
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ::GetCommState(h_, &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = dcb.fOutX = dcb.fInX = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ::SetCommState(h_, &dcb);
    COMMTIMEOUTS t = {};
    ::SetCommTimeouts(h_, &t);
    ::PurgeComm(h_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    ev_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

TPeer::~TPeer() {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
    if (ev_) ::CloseHandle(ev_);
}

void TPeer::Write(const std::string& bytes) {
    OVERLAPPED o = {};
    o.hEvent = ev_;
    DWORD n = 0;
    if (!::WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &o))
        ::GetOverlappedResult(h_, &o, &n, TRUE);
}

void TPeer::Start(const std::string& bytes) {
    std::memset(&async_, 0, sizeof(async_));
    async_.hEvent = ev_;
    DWORD n = 0;
    ::WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &async_);
}

void TPeer::Finish() {
    DWORD n = 0;
    ::GetOverlappedResult(h_, &async_, &n, TRUE);
}

DWORD TPeer::Queued() {
    DWORD errors = 0;
    COMSTAT st = {};
    return ::ClearCommError(h_, &errors, &st) ? st.cbInQue : 0;
}

DWORD TPeer::ModemStatus() {
    DWORD status = 0;
    return ::GetCommModemStatus(h_, &status) ? status : 0;
}

std::string TPeer::Collect(std::size_t expected, DWORD boundMs, bool pump) {
    std::string got;
    if (!ok()) return got;
    const DWORD start = ::GetTickCount();
    for (;;) {
        const DWORD q = Queued();
        if (q > 0) {
            std::string chunk(q, '\0');
            OVERLAPPED o = {};
            o.hEvent = ev_;
            DWORD n = 0;
            if (!::ReadFile(h_, chunk.data(), q, &n, &o)) ::GetOverlappedResult(h_, &o, &n, TRUE);
            got.append(chunk.data(), n);
        }
        if (got.size() >= expected) break;
        if (::GetTickCount() - start > boundMs) break;
        if (pump) tk::Application().ProcessMessages();
        ::Sleep(pump ? 1 : 2);
    }
    return got;
}

}  // namespace commtest
