// The far end of one of the harness's pty pairs, opened with plain Win32
// calls: what the component sends is read here, and what the tests want it
// to receive is written here.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace commtest {

// COMa<->COMb of the harness's first pair (QUOLM_PAIR1 = "COM10:COM11");
// false outside the harness.
bool PairPorts(int& a, int& b);

class TPeer {
public:
    explicit TPeer(int port);
    ~TPeer();
    TPeer(const TPeer&) = delete;
    TPeer& operator=(const TPeer&) = delete;
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return h_; }

    void Write(const std::string& bytes);
    // Starts a write and returns; the bytes must stay valid until Finish.
    void Start(const std::string& bytes);
    void Finish();
    DWORD Queued();
    // Everything that arrives until `expected` bytes are there or the bound
    // passes, then whatever else is already queued. ReadPumping keeps the
    // calling thread's messages moving meanwhile (the component may need the
    // main thread to send what is awaited).
    std::string Read(std::size_t expected, DWORD boundMs = 10000) { return Collect(expected, boundMs, false); }
    std::string ReadPumping(std::size_t expected, DWORD boundMs = 10000) {
        return Collect(expected, boundMs, true);
    }
    // What arrives within a short while (for "nothing was sent").
    std::string ReadQuiet() { return Read(SIZE_MAX, 300); }
    void Drain() { (void)Read(SIZE_MAX, 50); }

    // Line control, for pairs with modem lines: this end's DTR and RTS, and
    // the MS_*_ON bits this end sees (0 where the port has no lines).
    bool SetLine(DWORD escapeFunction) { return ::EscapeCommFunction(h_, escapeFunction) != FALSE; }
    DWORD ModemStatus();

private:
    std::string Collect(std::size_t expected, DWORD boundMs, bool pump);
    HANDLE h_ = INVALID_HANDLE_VALUE;
    HANDLE ev_ = nullptr;
    OVERLAPPED async_ = {};
};

}  // namespace commtest
