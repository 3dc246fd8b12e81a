// Measuring helpers shared by the Windows benchmarks.
#pragma once

#include <windows.h>
// clang-format off
#include <tlhelp32.h>
#include <psapi.h>
// clang-format on

namespace benchkit {

// Seconds on the performance counter.
inline double Now() {
    static const LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

// Kernel plus user time of this process, in seconds.
inline double CpuSeconds() {
    FILETIME c, e, k, u;
    GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
    auto s = [](FILETIME f) {
        return (static_cast<double>(f.dwHighDateTime) * 4294967296.0 + f.dwLowDateTime) / 1e7;
    };
    return s(k) + s(u);
}

// Kernel plus user time of the calling thread, in seconds.
inline double ThreadCpuSeconds() {
    FILETIME c, e, k, u;
    GetThreadTimes(GetCurrentThread(), &c, &e, &k, &u);
    auto s = [](FILETIME f) {
        return (static_cast<double>(f.dwHighDateTime) * 4294967296.0 + f.dwLowDateTime) / 1e7;
    };
    return s(k) + s(u);
}

// Threads of this process.
inline DWORD ThreadCount() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 te = {};
    te.dwSize = sizeof(te);
    DWORD n = 0;
    const DWORD pid = GetCurrentProcessId();
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == pid) ++n;
    CloseHandle(snap);
    return n;
}

// GetProcessHandleCount answers 0 under Wine, so the handle table is probed:
// every value that GetHandleInformation accepts is an open handle.
inline DWORD HandleCount() {
    DWORD n = 0;
    for (ULONG_PTR v = 4; v < 0x20000; v += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags)) ++n;
    }
    return n;
}

// Memory committed by this process, in MB.
inline double CommittedMB() {
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) return 0;
    return static_cast<double>(pmc.PagefileUsage) / (1024.0 * 1024.0);
}

// Working set of this process, in MB.
inline double WorkingSetMB() {
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) return 0;
    return static_cast<double>(pmc.WorkingSetSize) / (1024.0 * 1024.0);
}

}  // namespace benchkit
