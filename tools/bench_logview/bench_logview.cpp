// The bench log under load, in the real main window on pair 1 of the
// harness (the peer is a Linux writer on the `_B` end):
//   bench_logview stream terminal|text|hex|capture MB   (capture: Hex Log with a raw capture)
//   bench_logview stamps N    N single bytes 100 ms apart: error of the shown gaps
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "BenchKit.h"
#include "UfrmMain.h"

namespace {

using benchkit::Now;

int gPortA = 0;
std::string gPathB;
const char kLine[] = "The quick brown fox jumps over the lazy dog 0123456789\r";

void Linux(const std::string& cmd) {
    std::wstring w = L"Z:\\bin\\sh -c \"" + std::wstring(cmd.begin(), cmd.end()) + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, w.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::printf("CreateProcessW failed %lu\n", GetLastError());
        std::exit(2);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

void StartWriter(long long bytes) {
    Linux("yes 'The quick brown fox jumps over the lazy dog 0123456789' | tr '\\n' '\\r' | head -c " +
          std::to_string(bytes) + " > '" + gPathB + "'");
}

void Pump() { tk::Application().ProcessMessages(); }

// Message round trips to the window from another thread while the stream runs.
struct TProbe {
    std::vector<double> ms;
    std::atomic<bool> run{true}, done{false};
    std::thread t;
    void Start(HWND wnd) {
        t = std::thread([this, wnd] {
            while (run) {
                const double t0 = Now();
                DWORD_PTR r = 0;
                SendMessageTimeoutW(wnd, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &r);
                ms.push_back((Now() - t0) * 1000);
                Sleep(10);
            }
            done = true;
        });
    }
    void Stop() {
        run = false;
        while (!done) Pump(), Sleep(1);
        if (t.joinable()) t.join();
    }
    double At(double p) {
        if (ms.empty()) return 0;
        std::sort(ms.begin(), ms.end());
        return ms[std::min(ms.size() - 1, static_cast<size_t>(p * ms.size()))];
    }
};

TfrmMain* NewForm() {
    auto* form = new TfrmMain(nullptr);
    form->pwComm1->SetComPortNo(static_cast<std::uint16_t>(gPortA));
    form->pwComm1->SetBaudRate(115200);
    form->Show();
    Pump();
    return form;
}

// Streams `want` bytes into the window in the mode of `item`.
void Stream(const char* label, tk::TMenuItem* TfrmMain::*item, long long want, const std::wstring& capture) {
    TfrmMain* form = NewForm();
    form->ViewModeClick(form->*item);
    if (!capture.empty()) form->StartCapture(capture, CaptureFormat::Raw);
    form->chkConnected->SetChecked(true);
    form->chkConnectedClick(nullptr);
    if (!form->pwComm1->Active()) {
        std::printf("open failed\n");
        std::exit(2);
    }
    const double mem0 = benchkit::CommittedMB();
    TProbe probe;
    probe.Start(form->Handle());
    StartWriter(want);
    double first = 0, last = Now(), memory = mem0;
    std::uint64_t seen = 0;
    while (form->Events().TotalRx() < static_cast<std::uint64_t>(want) && Now() - last < 5) {
        Pump();
        const std::uint64_t got = form->Events().TotalRx();
        if (got != seen) {
            if (seen == 0) first = Now();
            seen = got;
            last = Now();
            memory = std::max(memory, benchkit::CommittedMB());
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    probe.Stop();
    const double rate = static_cast<double>(seen) / std::max(1e-6, last - first) / 1e6;
    std::printf("%-22s %llu of %lld bytes, %.2f MB/s; round trip p50 %.1f ms p99 %.1f ms; "
                "%llu text / %llu hex lines held; memory %.0f -> %.0f MB\n",
                label, static_cast<unsigned long long>(seen), want, rate, probe.At(0.5), probe.At(0.99),
                static_cast<unsigned long long>(form->Events().LineCount(false)),
                static_cast<unsigned long long>(form->Events().LineCount(true)), mem0, memory);
    form->StopCapture();
    // The process ends with the run: the window is left to it.
}

// One mode a process, so each starts from the same memory.
void Modes(const std::wstring& which, long long mb) {
    const long long want = mb << 20;
    if (which == L"terminal") Stream("terminal:", &TfrmMain::mnuView_Terminal, want, L"");
    if (which == L"text") Stream("Text Log:", &TfrmMain::mnuView_TextLog, want, L"");
    if (which == L"hex") Stream("Hex Log:", &TfrmMain::mnuView_HexLog, want, L"");
    if (which != L"capture") return;
    const std::wstring file = L"bench_capture.bin";
    Stream("Hex Log, raw capture:", &TfrmMain::mnuView_HexLog, want, file);
    std::ifstream in("bench_capture.bin", std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string line(kLine);
    bool same = static_cast<long long>(got.size()) == want;
    for (std::size_t i = 0; same && i < got.size(); ++i) same = got[i] == line[i % line.size()];
    std::printf("raw capture: %zu bytes, %s the stream\n", got.size(), same ? "equal to" : "DIFFERENT from");
    DeleteFileW(file.c_str());
}

// A device that sends one byte every 100 ms: the gaps the log shows
// against the 100 ms the writer slept (whose own jitter is included).
void Stamps(int n) {
    TfrmMain* form = NewForm();
    form->ViewModeClick(form->mnuView_HexLog);
    form->chkConnected->SetChecked(true);
    form->chkConnectedClick(nullptr);
    Linux("for i in $(seq " + std::to_string(n) + "); do printf x; sleep 0.1; done > '" + gPathB + "'");
    const double start = Now();
    while (form->Events().TotalRx() < static_cast<std::uint64_t>(n) && Now() - start < n * 0.1 + 30) {
        Pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    std::vector<double> err;
    const EventLog& log = form->Events();
    std::int64_t prev = -1;
    std::size_t rx = 0;
    for (std::size_t i = 0; i < log.Count(); ++i) {
        if (log.At(i).Kind != LogEventKind::Rx) continue;
        ++rx;
        if (prev >= 0) err.push_back(std::abs(static_cast<double>(log.At(i).TimeMs - prev) - 100.0));
        prev = log.At(i).TimeMs;
    }
    std::sort(err.begin(), err.end());
    auto at = [&](double p) { return err.empty() ? 0 : err[std::min(err.size() - 1, static_cast<size_t>(p * err.size()))]; };
    std::printf("timestamps: %zu bytes in %zu received lines; gap error p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
                static_cast<size_t>(log.TotalRx()), rx, at(0.5), at(0.99), err.empty() ? 0 : err.back());
    delete form;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const char* v = std::getenv("QUOLM_PAIR1");
    const char* b = std::getenv("QUOLM_PAIR1_B");
    int pb = 0;
    if (!v || !b || std::sscanf(v, "COM%d:COM%d", &gPortA, &pb) != 2 || argc < 3) {
        std::printf("usage inside the sandbox: bench_logview stream terminal|text|hex|capture MB | stamps N\n");
        return 2;
    }
    gPathB = b;
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::wstring mode = argv[argc > 3 ? 2 : 1];
    const long long n = std::wcstoll(argv[2], nullptr, 10);
    if (argc > 3) Modes(mode, std::wcstoll(argv[3], nullptr, 10));
    if (mode == L"stamps") Stamps(static_cast<int>(n));
    return 0;
}
