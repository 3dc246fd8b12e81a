// The bench log under load, in the real main window on pair 1 of the
// harness (the peer is a Linux writer on the `_B` end):
//   bench_logview stream terminal|text|hex|capture|lines MB
//     (capture: Hex Log with a raw capture; lines: Text Log of a stream of LF-ended lines)
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

// Lines end in CR as the terminal's stream; Text Log ends its lines only at
// an LF (or silence, or the length limit), so the "lines" run keeps the LF.
bool gLfLines = false;

void StartWriter(long long bytes) {
    Linux("yes 'The quick brown fox jumps over the lazy dog 0123456789' | " +
          std::string(gLfLines ? "" : "tr '\\n' '\\r' | ") + "head -c " + std::to_string(bytes) + " > '" + gPathB + "'");
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

// Times the received blocks on their way to the window's own handler.
struct TRxTimes : tk::TObject {
    static constexpr std::uint64_t kSlice = 10ull << 20;
    TOnReceived next;
    std::uint64_t bytes = 0, blocks = 0, nextSlice = kSlice, nextSample = 0;
    double first = 0, last = 0, sliceStart = 0, slowest = 1e9, memory = 0;
    void Received(tk::TObject* sender, const void* buffer, std::uint32_t n) {
        const double t = Now();
        if (bytes == 0) first = sliceStart = t;
        bytes += n;
        ++blocks;
        last = t;
        if (bytes >= nextSlice) {
            // Sustained: the slowest 10 MB of the stream, besides the average.
            slowest = std::min(slowest, static_cast<double>(kSlice) / 1e6 / std::max(1e-6, t - sliceStart));
            sliceStart = t;
            nextSlice += kSlice;
        }
        if (bytes >= nextSample) {
            memory = std::max(memory, benchkit::CommittedMB());
            nextSample = bytes + (1 << 20);
        }
        next(sender, buffer, n);
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
    // The same probe against the idle window first: what the loaded machine
    // itself adds to a round trip.
    TProbe idle;
    idle.Start(form->Handle());
    for (const double t0 = Now(); Now() - t0 < 3;) Pump(), MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    idle.Stop();
    std::printf("%-22s idle window: round trip p50 %.1f ms p99 %.1f ms (n=%zu)\n", label, idle.At(0.5), idle.At(0.99),
                idle.ms.size());
    const double mem0 = benchkit::CommittedMB();
    TRxTimes times;
    times.memory = mem0;
    times.next = form->pwComm1->OnAfterReceive();
    form->pwComm1->SetOnAfterReceive(TOnReceived(&times, &TRxTimes::Received));
    TProbe probe;
    probe.Start(form->Handle());
    const double cpu0 = benchkit::CpuSeconds(), main0 = benchkit::ThreadCpuSeconds();
    StartWriter(want);
    // A flood keeps the queue from ever running dry, so the times are taken
    // as the blocks come, not between pumps.
    double quietSince = Now();
    std::uint64_t seen = 0;
    while (times.bytes < static_cast<std::uint64_t>(want) && Now() - quietSince < 5) {
        Pump();
        if (times.bytes != seen) {
            seen = times.bytes;
            quietSince = Now();
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    seen = times.bytes;
    const double cpu = benchkit::CpuSeconds() - cpu0, mainCpu = benchkit::ThreadCpuSeconds() - main0;
    const double first = times.first, last = times.last, slowest = times.slowest, memory = times.memory;
    probe.Stop();
    form->pwComm1->SetOnAfterReceive(times.next);
    // What the view shows at the end, then the memory of the whole process.
    UpdateWindow(form->Handle());
    Pump();
    const double rate = static_cast<double>(seen) / std::max(1e-6, last - first) / 1e6;
    std::printf("%-22s %llu of %lld bytes, %.2f MB/s (slowest 10 MB %.2f MB/s); round trip p50 %.1f ms "
                "p99 %.1f ms max %.1f ms (n=%zu); %llu text / %llu hex lines held (%.0f MB); "
                "committed %.0f -> peak %.0f -> end %.0f MB, working set %.0f MB; "
                "%.1f s CPU (%.1f s main thread), %llu blocks\n",
                label, static_cast<unsigned long long>(seen), want, rate, slowest, probe.At(0.5), probe.At(0.99),
                probe.At(1.0), probe.ms.size(),
                static_cast<unsigned long long>(form->Events().LineCount(false)),
                static_cast<unsigned long long>(form->Events().LineCount(true)),
                static_cast<double>(form->Events().HeldBytes()) / (1 << 20), mem0, memory,
                benchkit::CommittedMB(), benchkit::WorkingSetMB(), cpu, mainCpu,
                static_cast<unsigned long long>(times.blocks));
    form->StopCapture();
    // The process ends with the run: the window is left to it.
}

// One mode a process, so each starts from the same memory.
void Modes(const std::wstring& which, long long mb) {
    const long long want = mb << 20;
    if (which == L"terminal") Stream("terminal:", &TfrmMain::mnuView_Terminal, want, L"");
    if (which == L"text") Stream("Text Log:", &TfrmMain::mnuView_TextLog, want, L"");
    if (which == L"hex") Stream("Hex Log:", &TfrmMain::mnuView_HexLog, want, L"");
    if (which == L"lines") {
        gLfLines = true;
        Stream("Text Log, LF lines:", &TfrmMain::mnuView_TextLog, want, L"");
    }
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
// against the 100 ms of the writer's schedule (whose own jitter is included).
void Stamps(int n) {
    TfrmMain* form = NewForm();
    form->ViewModeClick(form->mnuView_HexLog);
    form->chkConnected->SetChecked(true);
    form->chkConnectedClick(nullptr);
    // One process on a fixed schedule: a shell loop would add a fork and
    // its drift to every gap.
    Linux("python3 -c 'import os,sys,time; fd=os.open(sys.argv[1],os.O_WRONLY|os.O_NOCTTY); t=time.monotonic(); "
          "[(time.sleep(max(0,t+0.1*i-time.monotonic())),os.write(fd,bytes([120]))) for i in range(" +
          std::to_string(n) + ")]' '" + gPathB + "'");
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
        std::printf("usage inside the sandbox: bench_logview stream terminal|text|hex|capture|lines MB | stamps N\n");
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
