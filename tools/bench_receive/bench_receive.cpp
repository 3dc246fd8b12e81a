// Receive path benchmarks. The peer is a Linux writer on the `_B` end of
// pair 1, started from here through /bin/sh once the port is open.
//   bench_receive throughput MB | terminal MB [x] | idle SECONDS | soak MB | cycles N
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "BenchKit.h"
#include "ComCtrls.h"
#include "Forms.h"
#include "pwcomm.h"

namespace {

using benchkit::CpuSeconds;
using benchkit::Now;

int gPortA = 0;
std::string gPathB;


// Starts a Linux shell command; the handle of a Linux process tells nothing
// useful, so completion is seen by the bytes.
void Linux(const std::string& cmd) {
    std::wstring w = L"Z:\\bin\\sh -c \"" + std::wstring(cmd.begin(), cmd.end()) + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, w.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        std::printf("CreateProcessW failed %lu\n", GetLastError());
        std::exit(2);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

// What the writer streams: text lines ending in CR (the rich edit keeps a
// CR as one character), or with "x" only "x" and no line end at all.
bool gNoLineEnds = false;
const wchar_t kLine[] = L"The quick brown fox jumps over the lazy dog 0123456789\r";

void StartWriter(long long bytes) {
    if (gNoLineEnds) {
        Linux("head -c " + std::to_string(bytes) + " /dev/zero | tr '\\0' x > '" + gPathB + "'");
        return;
    }
    Linux(
        "yes 'The quick brown fox jumps over the lazy dog 0123456789' | tr '\\n' '\\r' | head -c " +
        std::to_string(bytes) + " > '" + gPathB + "'");
}

// The writer's stream, piece by piece, for feeding a view from memory.
struct TStreamText {
    std::wstring pattern;  // whole lines, twice as long as a piece needs
    std::size_t period = 0;
    TStreamText() {
        const std::wstring line = gNoLineEnds ? L"x" : kLine;
        while (pattern.size() < 64 * 1024) pattern += line;
        period = pattern.size();
        pattern += pattern;
    }
    std::wstring Piece(long long pos, std::size_t n) const {
        return pattern.substr(static_cast<std::size_t>(pos % static_cast<long long>(period)), n);
    }
};

constexpr long long kSlice = 10LL << 20;  // throughput is compared per 10 MB

// Per-slice times, and the largest view and process seen, while a stream
// goes into a view.
struct TTrack {
    std::vector<double> marks;  // when each slice was complete
    long long next = kSlice, nextSample = 0;
    int viewChars = 0, viewLines = 0;
    double memory0 = benchkit::CommittedMB(), memory = 0;
    void At(long long bytes, tk::TRichEdit* view) {
        while (bytes >= next) {
            marks.push_back(Now());
            next += kSlice;
        }
        if (bytes < nextSample || !view) return;
        nextSample = bytes + (1 << 20);
        viewChars = std::max(viewChars, view->GetTextLen());
        viewLines = std::max(viewLines, static_cast<int>(SendMessageW(view->Handle(), EM_GETLINECOUNT, 0, 0)));
        memory = std::max(memory, benchkit::CommittedMB());
    }
    // MB/s of slice i (0-based) given the start time.
    double SliceRate(std::size_t i, double t0) const {
        if (i >= marks.size()) return 0;
        const double from = i == 0 ? t0 : marks[i - 1];
        return static_cast<double>(kSlice) / 1e6 / std::max(1e-6, marks[i] - from);
    }
    void Print(double t0) const {
        if (marks.size() >= 2) {
            const double first = SliceRate(0, t0), last = SliceRate(marks.size() - 1, t0);
            std::printf("  first 10 MB %.2f MB/s, last 10 MB %.2f MB/s (last/first %.2f)\n", first, last,
                        last / std::max(1e-9, first));
        }
        std::printf("  view at most %d characters, %d lines; memory %.0f MB before, at most %.0f MB\n",
                    viewChars, viewLines, memory0, memory);
    }
};



struct TCounter : tk::TObject {
    std::atomic<long long> bytes{0};
    double first = 0, last = 0;
    TTrack* track = nullptr;
    tk::TRichEdit* view = nullptr;
    long long blocks = 0;
    void Received(tk::TObject*, const void*, std::uint32_t n) {
        if (bytes == 0) first = Now();
        bytes += n;
        ++blocks;
        last = Now();
        if (track) track->At(bytes, view);
    }
};

// Message round trips to a window from another thread while `run` holds.
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
        // The last round trip needs this thread's messages handled.
        run = false;
        while (!done) tk::Application().ProcessMessages(), Sleep(1);
        if (t.joinable()) t.join();
    }
    void Print() {
        if (ms.empty()) return;
        std::sort(ms.begin(), ms.end());
        auto at = [&](double p) {
            return ms[std::min(ms.size() - 1, static_cast<size_t>(p * ms.size()))];
        };
        std::printf("  round trip ms: n=%zu p50=%.2f p99=%.2f max=%.2f\n", ms.size(), at(0.5),
                    at(0.99), ms.back());
    }
};

void Pump() { tk::Application().ProcessMessages(); }

// Waits until `want` bytes are counted or nothing came for `quietS`.
void PumpFor(TCounter& c, long long want, double quietS = 5) {
    double lastSeen = Now();
    long long lastBytes = -1;
    while (c.bytes < want) {
        Pump();
        if (c.bytes != lastBytes) {
            lastBytes = c.bytes;
            lastSeen = Now();
        } else if (Now() - lastSeen > quietS) {
            break;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

double Bare(long long want) {
    std::wstring name = L"\\\\.\\COM" + std::to_wstring(gPortA);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 200, 0, 0};
    SetCommTimeouts(h, &t);
    PurgeComm(h, PURGE_RXCLEAR);
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> buf(4096);
    long long got = 0;
    int idle = 0;
    StartWriter(want);
    double t0 = 0, tEnd = 0;
    while (got < want && idle < 25) {
        OVERLAPPED o = {};
        o.hEvent = ev;
        DWORD n = 0;
        if (!ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &n, &o))
            GetOverlappedResult(h, &o, &n, TRUE);
        if (n == 0) {
            ++idle;
            continue;
        }
        idle = 0;
        if (got == 0) t0 = Now();
        got += n;
        tEnd = Now();
    }
    CloseHandle(ev);
    CloseHandle(h);
    const double rate = got / std::max(1e-6, tEnd - t0);
    std::printf("bare reader:     %lld of %lld bytes, %.2f MB/s\n", got, want, rate / 1e6);
    return rate;
}

struct TRig {
    tk::TForm* form = nullptr;
    tk::TRichEdit* view = nullptr;
    TpwComm* comm = nullptr;
    TCounter counter;
    explicit TRig(bool terminal) {
        form = new tk::TForm(nullptr);
        form->SetBounds(0, 0, 640, 480);
        comm = new TpwComm(form);
        comm->SetBaudRate(115200);
        comm->SetStreamProtocol(spNone);
        comm->SetComPortNo(static_cast<std::uint16_t>(gPortA));
        comm->SetOnAfterReceive(TOnReceived(&counter, &TCounter::Received));
        if (terminal) {
            view = new tk::TRichEdit(form);
            view->SetParent(form);
            view->SetBounds(0, 0, 620, 440);
            view->SetWordWrap(false);  // as the log view
            view->SetScrollBars(tk::ssBoth);
            comm->SetTerminal(view);
            comm->SetTerminalUsage(tuBoth);
            counter.view = view;
        }
        form->Show();
    }
    ~TRig() { delete form; }
    double Run(const char* label, long long want) {
        comm->SetActive(true);
        if (!comm->Active()) {
            std::printf("open failed\n");
            return 0;
        }
        TProbe probe;
        probe.Start(form->Handle());
        const double cpu0 = CpuSeconds(), main0 = benchkit::ThreadCpuSeconds();
        StartWriter(want);
        PumpFor(counter, want);
        const double t0 = counter.first;
        const double t1 = counter.last;
        probe.Stop();
        const double rate = counter.bytes / std::max(1e-6, t1 - t0);
        std::printf("%s %lld of %lld bytes, %.2f MB/s, %.1f s, %.1f s CPU (%.1f s main thread), %lld blocks (%.0f bytes each)\n",
                    label, counter.bytes.load(), want, rate / 1e6, t1 - t0, CpuSeconds() - cpu0,
                    benchkit::ThreadCpuSeconds() - main0, counter.blocks,
                    static_cast<double>(counter.bytes) / static_cast<double>(std::max(1LL, counter.blocks)));
        probe.Print();
        if (counter.track) counter.track->Print(t0);
        comm->SetActive(false);
        return rate;
    }
};

// The same text put into the same kind of view straight from memory, in
// 4 KB pieces with painting off throughout: what the rich edit itself can
// take, the ceiling of the terminal figure.
double BareRichEdit(long long want) {
    tk::TForm form(nullptr);
    form.SetBounds(0, 0, 640, 480);
    auto* view = new tk::TRichEdit(&form);
    view->SetParent(&form);
    view->SetBounds(0, 0, 620, 440);
    view->SetWordWrap(false);
    view->SetScrollBars(tk::ssBoth);
    form.Show();
    Pump();
    const TStreamText text;
    TTrack track;
    const double t0 = Now(), cpu0 = CpuSeconds();
    view->BeginUpdate();
    for (long long pos = 0; pos < want; pos += 4096) {
        const std::wstring piece = text.Piece(pos, static_cast<std::size_t>(std::min(4096LL, want - pos)));
        SendMessageW(view->Handle(), EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(piece.c_str()));
        Pump();
        track.At(pos + static_cast<long long>(piece.size()), view);
    }
    view->EndUpdate();
    UpdateWindow(view->Handle());
    const double rate = want / std::max(1e-6, Now() - t0);
    std::printf("bare rich edit:  %lld characters, %.2f MB/s, %.1f s CPU (painting off throughout)\n", want,
                rate / 1e6, CpuSeconds() - cpu0);
    track.Print(t0);
    return rate;
}

// A rich-edit window of the platform with nothing of ours, no bounds,
// painting off, fed the first MB of the same text: where the bounds begin.
void RawRichEdit(long long want) {
    tk::TForm form(nullptr);
    form.SetBounds(0, 0, 640, 480);
    form.Show();
    HWND h = CreateWindowExW(WS_EX_CLIENTEDGE, tk::TRichEdit::WindowClassName(), L"",
                             WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                 ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN,
                             0, 0, 620, 440, form.Handle(), nullptr, nullptr, nullptr);
    SendMessageW(h, EM_EXLIMITTEXT, 0, 0x7FFFFFFE);
    SendMessageW(h, EM_SETTARGETDEVICE, 0, 1);
    SendMessageW(h, WM_SETREDRAW, FALSE, 0);
    const TStreamText text;
    const double m0 = benchkit::CommittedMB(), t0 = Now();
    for (long long pos = 0; pos < want; pos += 4096) {
        const std::wstring piece = text.Piece(pos, 4096);
        SendMessageW(h, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(piece.c_str()));
        Pump();
    }
    const double rate = want / std::max(1e-6, Now() - t0);
    std::printf("raw rich edit:   %lld characters, %.2f MB/s, %ld lines, memory %.0f -> %.0f MB (no bounds)\n",
                want, rate / 1e6, static_cast<long>(SendMessageW(h, EM_GETLINECOUNT, 0, 0)), m0,
                benchkit::CommittedMB());
    DestroyWindow(h);
}

// Plain Win32 beside it: one overlapped WaitCommEvent kept pending (re-armed
// at once when the driver ends it), nothing else.
void BareIdle(double seconds) {
    std::wstring name = L"\\\\.\\COM" + std::to_wstring(gPortA);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    SetCommMask(h, EV_RXCHAR);
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const double c0 = CpuSeconds(), t0 = Now();
    long waits = 0;
    while (Now() - t0 < seconds) {
        OVERLAPPED o = {};
        o.hEvent = ev;
        DWORD mask = 0, n = 0;
        ++waits;
        if (!WaitCommEvent(h, &mask, &o)) {
            if (GetLastError() != ERROR_IO_PENDING) break;
            const DWORD left = static_cast<DWORD>((seconds - (Now() - t0)) * 1000) + 1;
            if (WaitForSingleObject(ev, left) != WAIT_OBJECT_0) {
                SetCommMask(h, EV_RXCHAR);  // ends the wait
                GetOverlappedResult(h, &o, &n, TRUE);
                break;
            }
            GetOverlappedResult(h, &o, &n, FALSE);
        }
    }
    std::printf("bare Win32 wait: %.3f s CPU over %.1f s (%.2f%%), %ld waits\n", CpuSeconds() - c0,
                Now() - t0, 100 * (CpuSeconds() - c0) / (Now() - t0), waits);
    CloseHandle(ev);
    CloseHandle(h);
}


}  // namespace

int main(int argc, char** argv) {
    const char* v = std::getenv("QUOLM_PAIR1");
    const char* b = std::getenv("QUOLM_PAIR1_B");
    int pb = 0;
    if (!v || !b || std::sscanf(v, "COM%d:COM%d", &gPortA, &pb) != 2 || argc < 2) {
        std::printf(
            "usage inside the sandbox: bench_receive throughput|terminal|idle|soak|cycles N [x]\n");
        return 2;
    }
    gPathB = b;
    const std::string mode = argv[1];
    const long long n = argc > 2 ? std::atoll(argv[2]) : 20;
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (mode == "throughput") {
        const double bare = Bare(n << 20);
        Sleep(500);
        TRig rig(false);
        const double comp = rig.Run("OnAfterReceive:", n << 20);
        std::printf("ratio component/bare: %.2f\n", comp / std::max(1.0, bare));
    } else if (mode == "terminal") {
        // terminal MB [x]: with "x" the stream has no line end at all.
        gNoLineEnds = argc > 3 && std::string(argv[3]) == "x";
        std::printf("stream: %s\n", gNoLineEnds ? "\"x\" without line ends" : "text lines ending in CR");
        // Without line ends the bare platform control slows with every
        // insert (it lays the one paragraph out whole each time).
        RawRichEdit(gNoLineEnds ? 256LL << 10 : std::min(n, 10LL) << 20);
        const double bare = BareRichEdit(n << 20);
        TRig rig(true);
        TTrack track;
        rig.counter.track = &track;
        const double term = rig.Run("rich-edit terminal:", n << 20);
        std::printf("ratio terminal/bare rich edit: %.2f\n", term / std::max(1.0, bare));
            const long lines = static_cast<long>(SendMessageW(rig.view->Handle(), EM_GETLINECOUNT, 0, 0));
        const double c0 = Now();
        rig.view->Clear();
        std::printf("clearing the view of %ld lines: %.0f ms\n", lines, (Now() - c0) * 1000);
    } else if (mode == "soak") {
        TRig rig(false);
        rig.Run("soak:", n << 20);
    } else if (mode == "idle") {
        TRig rig(false);
        rig.comm->SetActive(true);
        const double c0 = CpuSeconds(), t0 = Now();
        while (Now() - t0 < static_cast<double>(n)) {
            Pump();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        }
        std::printf("idle open port: %.3f s CPU over %.1f s (%.2f%%)\n", CpuSeconds() - c0,
                    Now() - t0, 100 * (CpuSeconds() - c0) / (Now() - t0));
        rig.comm->SetActive(false);
        BareIdle(static_cast<double>(n));
    } else if (mode == "vanish") {
        // Our own pty pair (run.sh starts it): the writer floods its other
        // end, then asks run.sh (outside the sandbox's process space)
        // through a flag file to kill the pair mid-stream.
        const char* port = std::getenv("QUOLM_VANISH_PORT");
        const char* pty = std::getenv("QUOLM_VANISH_PTY");
        const char* pid = std::getenv("QUOLM_VANISH_FLAG");
        if (!port || !pty || !pid) return 2;
        gPortA = std::atoi(port);
        gPathB = pty;
        TRig rig(false);
        int closes = 0;
        struct TClosed : tk::TObject {
            int* n;
            void Closed(tk::TObject*) { ++*n; }
        } closed;
        closed.n = &closes;
        rig.comm->SetOnClose(tk::TNotifyEvent(&closed, &TClosed::Closed));
        rig.comm->SetActive(true);
        if (!rig.comm->Active()) return 1;
        Linux("yes 'vanishing peer 0123456789' > '" + gPathB + "'");
        const double t0 = Now();
        while (Now() - t0 < 2) Pump(), Sleep(1);
        const long long before = rig.counter.bytes;
        Linux(std::string("touch '") + pid + "'");
        const double tk0 = Now();
        while (rig.comm->Active() && Now() - tk0 < 15) Pump(), Sleep(1);
        std::printf("vanish: %lld bytes before the kill, %lld in all; port %s after %.0f ms, OnClose %d\n",
                    before, rig.counter.bytes.load(), rig.comm->Active() ? "STILL OPEN" : "closed",
                    (Now() - tk0) * 1000, closes);
        const double td = Now();
        rig.comm->SetActive(false);
        std::printf("  close after it: %.0f ms\n", (Now() - td) * 1000);
    } else if (mode == "cycles") {
        TRig rig(false);
        rig.comm->SetActive(true);
        rig.comm->SetActive(false);
        const DWORD h0 = benchkit::HandleCount(), th0 = benchkit::ThreadCount();
        StartWriter(400LL << 20);
        const double t0 = Now();
        for (long long i = 0; i < n; ++i) {
            rig.comm->SetActive(true);
            if (!rig.comm->Active()) {
                std::printf("open %lld failed\n", i);
                return 1;
            }
            for (int k = 0; k < 3; ++k) Pump(), Sleep(1);
            rig.comm->SetActive(false);
        }
        Pump();
        Sleep(200);
        std::printf(
            "cycles: %lld open/close in %.1f s, %lld bytes received; handles %lu -> %lu, threads "
            "%lu -> %lu\n",
            n, Now() - t0, rig.counter.bytes.load(), h0, benchkit::HandleCount(), th0, benchkit::ThreadCount());
    }
    return 0;
}
