// The port at a glance: the texts of the status-bar panels for the port and
// its state, the byte counts, the line errors and the modem lines. Free of
// window code; the window reads the port and shows the texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Line errors counted from the communication-error reports.
class LineErrorCounts {
public:
    // The error bits of one report (the CE_ values of the system).
    void Add(std::uint32_t errorBits);
    void Clear() { *this = LineErrorCounts(); }
    // "Overrun 2, Framing 1"; empty when there were none.
    std::wstring Text() const;

private:
    std::uint32_t overrun_ = 0, parity_ = 0, framing_ = 0, break_ = 0;
};

struct ModemLines {
    bool Cts = false, Dsr = false, Dcd = false, Ring = false;
};

// "COM3 open" / "COM3 closed".
std::wstring PortPanelText(const std::wstring& port, bool open);
// "RX 1234  TX 56".
std::wstring CountsPanelText(std::uint64_t rx, std::uint64_t tx);
// Lit lines with a '+', unlit with a '-'; "n/a" where the driver reports
// none; empty while the port is closed.
std::wstring ModemPanelText(bool open, const std::optional<ModemLines>& lines);
// "Capture: name (12.3 KB)".
std::wstring CapturePanelText(const std::wstring& fileName, std::uint64_t bytes);
