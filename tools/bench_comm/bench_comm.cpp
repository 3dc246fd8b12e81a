// Benchmarks of the serial port component on a null-modem pty pair:
//   1. open, send 16 bytes, close (what the application does per command),
//      200 cycles: median and 95th percentile, next to the same sequence
//      with bare Win32 calls;
//   2. 8 MB through SendString in 4 KB pieces to the peer, next to bare
//      overlapped WriteFile (ratio component/bare);
//   3. 5,000 open/close cycles: process handle count and thread count at the
//      end against those after the first cycle.
// Usage (inside the harness only; it opens the ports of QUOLM_PAIR1):
//   tests/harness/sandbox.sh --build-dir B tests/harness/wine-run.sh B/tools/bench_comm/bench_comm.exe [cycles]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Application.h"
#include "BenchKit.h"
#include "pwcomm.h"

namespace {

using benchkit::HandleCount;
using benchkit::Now;
using benchkit::ThreadCount;


struct Stats {
    double median, p95;
};

Stats Summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1) + 0.5))]; };
    return {at(0.5), at(0.95)};
}

// Drains the peer end continuously so the pty never fills.
class TDrain {
public:
    explicit TDrain(int port) {
        const std::wstring name = L"\\\\.\\COM" + std::to_wstring(port);
        h_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         nullptr);
        if (h_ == INVALID_HANDLE_VALUE) return;
        DCB d = {};
        d.DCBlength = sizeof(d);
        GetCommState(h_, &d);
        d.fBinary = 1;
        d.fOutX = d.fInX = d.fOutxCtsFlow = 0;
        SetCommState(h_, &d);
        COMMTIMEOUTS t = {};
        t.ReadIntervalTimeout = 0;
        SetCommTimeouts(h_, &t);
        thread_ = CreateThread(nullptr, 0, &TDrain::Run, this, 0, nullptr);
    }
    ~TDrain() {
        stop_ = true;
        if (thread_) {
            WaitForSingleObject(thread_, 5000);
            CloseHandle(thread_);
        }
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    unsigned long long Received() const { return received_; }
    void Reset() { received_ = 0; }
    void Pause(bool v) { paused_ = v; }

private:
    static DWORD WINAPI Run(LPVOID p) {
        auto* self = static_cast<TDrain*>(p);
        std::vector<char> buf(65536);
        OVERLAPPED o = {};
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        while (!self->stop_) {
            if (self->paused_) {
                Sleep(20);
                continue;
            }
            DWORD errors = 0;
            COMSTAT st = {};
            ClearCommError(self->h_, &errors, &st);
            DWORD want = std::min<DWORD>(st.cbInQue, static_cast<DWORD>(buf.size()));
            if (want == 0) {
                Sleep(0);
                continue;
            }
            DWORD n = 0;
            ResetEvent(o.hEvent);
            if (!ReadFile(self->h_, buf.data(), want, &n, &o)) GetOverlappedResult(self->h_, &o, &n, TRUE);
            self->received_ += n;
        }
        CloseHandle(o.hEvent);
        return 0;
    }
    HANDLE h_ = INVALID_HANDLE_VALUE;
    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_ = false;
    std::atomic<bool> paused_ = false;
    std::atomic<unsigned long long> received_ = 0;
};

bool WaitReceived(TDrain& d, unsigned long long n) {
    const DWORD start = GetTickCount();
    while (d.Received() < n)
        if (GetTickCount() - start > 60000) return false;
        else Sleep(1);
    return true;
}

// What the component does per command, with bare Win32 calls.
bool BareCycle(int port, const std::string& data) {
    const std::wstring name = L"\\\\?\\COM" + std::to_wstring(port);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD errors = 0;
    ClearCommError(h, &errors, nullptr);
    SetupComm(h, 8192, 8192);
    COMMTIMEOUTS t = {};
    SetCommTimeouts(h, &t);
    DCB d = {};
    d.DCBlength = sizeof(d);
    GetCommState(h, &d);
    d.BaudRate = 9600;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    SetCommState(h, &d);
    SetCommMask(h, EV_RXCHAR);
    OVERLAPPED o = {};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (!WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, &o)) GetOverlappedResult(h, &o, &n, TRUE);
    CloseHandle(o.hEvent);
    CloseHandle(h);
    return true;
}



}  // namespace

int main(int argc, char** argv) {
    const char* pairVar = std::getenv("QUOLM_PAIR1");
    int a = 0, b = 0;
    if (!pairVar || std::sscanf(pairVar, "COM%d:COM%d", &a, &b) != 2) {
        std::fprintf(stderr, "bench_comm: QUOLM_PAIR1 is not set; run it inside tests/harness/sandbox.sh\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const int leakCycles = argc > 1 ? std::atoi(argv[1]) : 5000;
    TDrain drain(b);
    if (!drain.ok()) {
        std::fprintf(stderr, "bench_comm: cannot open COM%d\n", b);
        return 1;
    }
    const std::string command = "0123456789ABCDE\r";  // 16 bytes

    // 1. Per-command cycle.
    {
        TpwComm comm(nullptr);
        comm.SetBaudRate(9600);
        comm.SetStreamProtocol(spNone);
        comm.SetComPortNo(static_cast<std::uint16_t>(a));
        std::vector<double> compTimes, bareTimes, openTimes, closeTimes;
        drain.Reset();
        for (int i = 0; i < 200; ++i) {
            double t0 = Now();
            comm.SetActive(true);
            const double t1 = Now();
            comm.SendString(command);
            const double t2 = Now();
            comm.SetActive(false);
            const double t3 = Now();
            compTimes.push_back(t3 - t0);
            openTimes.push_back(t1 - t0);
            closeTimes.push_back(t3 - t2);
            t0 = Now();
            if (!BareCycle(a, command)) {
                std::fprintf(stderr, "bench_comm: bare open failed\n");
                return 1;
            }
            bareTimes.push_back(Now() - t0);
        }
        const bool allArrived = WaitReceived(drain, 400ull * command.size());
        const Stats c = Summarise(compTimes), r = Summarise(bareTimes);
        std::printf("open+send16+close, 200 cycles: component median %.2f ms p95 %.2f ms | bare Win32 median %.2f ms p95 %.2f ms%s\n",
                    c.median * 1e3, c.p95 * 1e3, r.median * 1e3, r.p95 * 1e3, allArrived ? "" : " (BYTES MISSING)");
        const Stats o = Summarise(openTimes), k = Summarise(closeTimes);
        std::printf("  of which open median %.2f ms (25 ms designed pause after the threads start), close median %.2f ms\n",
                    o.median * 1e3, k.median * 1e3);
    }

    // 2. Bulk throughput: five rounds each, alternating; best of each and the
    // median of the per-round ratios (the machine may be shared).
    {
        const std::size_t total = 8u << 20, piece = 4096;
        std::string chunk(piece, '\0');
        for (std::size_t i = 0; i < piece; ++i) chunk[i] = static_cast<char>(i * 13);
        double bestComp = 1e9, bestBare = 1e9;
        std::vector<double> ratios;
        bool allOk = true;
        for (int round = 0; round < 5; ++round) {
            double compSec = 0, bareSec = 0;
            {
                TpwComm comm(nullptr);
                comm.SetBaudRate(115200);
                comm.SetStreamProtocol(spNone);
                comm.SetComPortNo(static_cast<std::uint16_t>(a));
                comm.SetActive(true);
                drain.Reset();
                const double t0 = Now();
                for (std::size_t sent = 0; sent < total; sent += piece) comm.SendString(chunk);
                allOk = WaitReceived(drain, total) && allOk;
                compSec = Now() - t0;
                bestComp = std::min(bestComp, compSec);
                comm.SetActive(false);
            }
            {
                const std::wstring name = L"\\\\?\\COM" + std::to_wstring(a);
                HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr);
                COMMTIMEOUTS to = {};
                SetCommTimeouts(h, &to);
                OVERLAPPED o = {};
                o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                drain.Reset();
                const double t0 = Now();
                for (std::size_t sent = 0; sent < total; sent += piece) {
                    DWORD n = 0;
                    if (!WriteFile(h, chunk.data(), static_cast<DWORD>(piece), &n, &o))
                        GetOverlappedResult(h, &o, &n, TRUE);
                }
                allOk = WaitReceived(drain, total) && allOk;
                bareSec = Now() - t0;
                bestBare = std::min(bestBare, bareSec);
                CloseHandle(o.hEvent);
                CloseHandle(h);
            }
            ratios.push_back(bareSec / compSec);
        }
        std::sort(ratios.begin(), ratios.end());
        const double mb = static_cast<double>(total) / (1 << 20);
        std::printf("bulk 8 MB in 4 KB pieces (best of 5): SendString %.1f MB/s | bare WriteFile %.1f MB/s | ratio of bests %.2f, median per-round ratio %.2f%s\n",
                    mb / bestComp, mb / bestBare, bestBare / bestComp, ratios[ratios.size() / 2],
                    allOk ? "" : " (BYTES MISSING)");
    }

    // Idle cost of an open port (this process only; Wine's own helpers not counted).
    {
        TpwComm comm(nullptr);
        comm.SetComPortNo(static_cast<std::uint16_t>(a));
        comm.SetStreamProtocol(spNone);
        comm.SetActive(true);
        const auto cpu = [] {
            FILETIME c, e, k, u;
            GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
            const auto v = [](FILETIME f) { return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
            return static_cast<double>(v(k) + v(u)) / 1e7;
        };
        drain.Pause(true);
        const double c0 = cpu(), t0 = Now();
        while (Now() - t0 < 3.0) {
            tk::Application().ProcessMessages();
            Sleep(10);
        }
        const double used = cpu() - c0, wall = Now() - t0;
        drain.Pause(false);
        comm.SetActive(false);
        std::printf("idle open port: %.1f%% of one core over %.1f s (peer drain paused)\n",
                    100.0 * used / wall, wall);
    }

    // 3. Leaks over many open/close cycles.
    {
        TpwComm comm(nullptr);
        comm.SetBaudRate(9600);
        comm.SetStreamProtocol(spNone);
        comm.SetComPortNo(static_cast<std::uint16_t>(a));
        comm.SetActive(true);
        comm.SetActive(false);
        Sleep(50);
        const DWORD handles1 = HandleCount(), threads1 = ThreadCount();
        const double t0 = Now();
        std::vector<double> opens, closes;
        for (int i = 1; i < leakCycles; ++i) {
            const double a0 = Now();
            comm.SetActive(true);
            const double a1 = Now();
            comm.SetActive(false);
            opens.push_back(a1 - a0);
            closes.push_back(Now() - a1);
        }
        if (!opens.empty()) {
            const Stats o = Summarise(opens), k = Summarise(closes);
            std::printf("  open median %.2f ms p95 %.2f ms, close median %.2f ms p95 %.2f ms\n", o.median * 1e3,
                        o.p95 * 1e3, k.median * 1e3, k.p95 * 1e3);
        }
        Sleep(50);
        const DWORD handlesN = HandleCount(), threadsN = ThreadCount();
        std::printf("%d open/close cycles (%.1f s): handles after first %lu, at end %lu | threads after first %lu, at end %lu\n",
                    leakCycles, Now() - t0, static_cast<unsigned long>(handles1), static_cast<unsigned long>(handlesN),
                    static_cast<unsigned long>(threads1), static_cast<unsigned long>(threadsN));
    }
    return 0;
}
