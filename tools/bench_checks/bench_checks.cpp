// Checks in the real main window on pair 1, the device at the far end
// played by a thread of this process:
//   rtt N     N checks of a row the device answers 50.0 ms after the command
//             arrives: error of the measured round trips (mean, p99, worst)
//   period N  one row repeated N times every 100 ms: the period at the device
//             (mean error, worst jitter)
//   rows N    a run of N checked rows answered at once: peak working set and
//             the window's longest answer to a message during the run
#include <windows.h>
// clang-format off
#include <psapi.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "BenchKit.h"
#include "PtyPeer.h"
#include "UfrmMain.h"

using benchkit::Now;

namespace {

int gPortA = 0, gPortB = 0;
const std::string kCommand = "PING\r";

void Pump() { tk::Application().ProcessMessages(); }

// The device: answers each command `delayMs` after its last byte arrived
// (busy-waiting the last stretch, so the delay is exact), and keeps the
// arrival times.
struct TDevice {
    std::vector<double> arrivals;
    std::thread t;
    void Start(int commands, double delayMs) {
        t = std::thread([this, commands, delayMs] {
            commtest::TPeer peer(gPortB);
            for (int i = 0; i < commands; ++i) {
                if (peer.Read(kCommand.size(), 60000).size() < kCommand.size()) break;
                const double at = Now();
                arrivals.push_back(at);
                const double due = at + delayMs / 1000;
                while (Now() < due - 0.002) Sleep(1);
                while (Now() < due) {
                }
                peer.Write("OK\r\n");
            }
        });
    }
    void Join() {
        if (t.joinable()) t.join();
    }
};

// Message round trips to the window from another thread.
struct TProbe {
    double worstMs = 0;
    std::atomic<bool> run{true}, done{false};
    std::thread t;
    void Start(HWND wnd) {
        t = std::thread([this, wnd] {
            while (run) {
                const double t0 = Now();
                DWORD_PTR r = 0;
                SendMessageTimeoutW(wnd, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &r);
                worstMs = std::max(worstMs, (Now() - t0) * 1000);
                Sleep(5);
            }
            done = true;
        });
    }
    void Stop() {
        run = false;
        while (!done) Pump(), Sleep(1);
        if (t.joinable()) t.join();
    }
};

TfrmMain* NewForm(int rows) {
    std::string table = "RowCount=" + std::to_string(rows) + "\r\n";
    for (int r = 1; r <= rows; ++r) table += std::to_string(r) + "=ASCII+CR,Ping,PING\r\n";
    for (int r = 1; r <= rows; ++r) table += "Row." + std::to_string(r) + ".Expect=OK<CR>\r\n";
    wchar_t dir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, dir);
    const std::wstring file = std::wstring(dir) + L"bench_checks.dat";
    std::ofstream(std::filesystem::path(file), std::ios::binary) << table;
    auto* form = new TfrmMain(nullptr);
    form->pwComm1->SetComPortNo(static_cast<std::uint16_t>(gPortA));
    form->Show();
    form->LoadDataFile(file);
    DeleteFileW(file.c_str());
    Pump();
    return form;
}

void WaitRun(TfrmMain* form) {
    while (form->Runs().Running()) {
        Pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

// The ms column (last) of the results, one per row.
std::vector<double> RoundTrips(TfrmMain* form) {
    std::vector<double> ms;
    std::istringstream in(form->Runs().ResultsCsv({}));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        const std::size_t comma = line.rfind(',');
        if (comma != std::string::npos && line.find(",pass") != std::string::npos)
            ms.push_back(std::atof(line.c_str() + comma + 1));
    }
    return ms;
}

double At(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

void Rtt(int n) {
    TDevice device;
    device.Start(n, 50.0);
    TfrmMain* form = NewForm(1);
    form->RunRows({}, n, 0);
    WaitRun(form);
    device.Join();
    std::vector<double> err;
    for (double ms : RoundTrips(form)) err.push_back(ms - 50.0);
    double sum = 0;
    for (double e : err) sum += e;
    std::vector<double> absErr;
    for (double e : err) absErr.push_back(std::fabs(e));
    std::printf("rtt: %zu/%d checks passed against a 50.0 ms device; error mean %.3f ms, p99 %.3f ms, "
                "worst %.3f ms (measured p99 %.3f ms)\n",
                err.size(), n, err.empty() ? 0 : sum / static_cast<double>(err.size()), At(absErr, 0.99),
                At(absErr, 1.0), 50.0 + At(err, 0.99));
    delete form;
}

void Period(int n) {
    TDevice device;
    device.Start(n, 0);
    TfrmMain* form = NewForm(1);
    form->RunRows({}, n, 100);
    WaitRun(form);
    device.Join();
    std::vector<double> periods;
    for (std::size_t i = 1; i < device.arrivals.size(); ++i)
        periods.push_back((device.arrivals[i] - device.arrivals[i - 1]) * 1000);
    double sum = 0, worst = 0;
    for (double p : periods) {
        sum += p;
        worst = std::max(worst, std::fabs(p - 100));
    }
    std::printf("period: %zu commands every 100 ms at the device; mean period error %.3f ms, worst jitter "
                "%.3f ms\n",
                device.arrivals.size(), periods.empty() ? 0 : sum / static_cast<double>(periods.size()) - 100,
                worst);
    delete form;
}

void Rows(int n) {
    TDevice device;
    device.Start(n, 0);
    TfrmMain* form = NewForm(n);
    PROCESS_MEMORY_COUNTERS before = {};
    before.cb = sizeof(before);
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before));
    TProbe probe;
    probe.Start(form->Handle());
    const double t0 = Now();
    form->RunRows({}, 1, 0);
    WaitRun(form);
    const double seconds = Now() - t0;
    probe.Stop();
    device.Join();
    PROCESS_MEMORY_COUNTERS after = {};
    after.cb = sizeof(after);
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after));
    std::printf("rows: %zu/%d rows passed in %.1f s; working set %.1f MB before the run, peak %.1f MB; "
                "window's longest answer %.1f ms\n",
                RoundTrips(form).size(), n, seconds, static_cast<double>(before.WorkingSetSize) / 1048576.0,
                static_cast<double>(after.PeakWorkingSetSize) / 1048576.0, probe.worstMs);
    delete form;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const char* v = std::getenv("QUOLM_PAIR1");
    if (!v || std::sscanf(v, "COM%d:COM%d", &gPortA, &gPortB) != 2 || argc < 3) {
        std::printf("usage inside the sandbox: bench_checks rtt|period|rows N\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::wstring mode = argv[1];
    const int n = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
    if (mode == L"rtt") Rtt(n);
    if (mode == L"period") Period(n);
    if (mode == L"rows") Rows(n);
    return 0;
}
