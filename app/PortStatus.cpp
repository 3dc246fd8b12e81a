#include "PortStatus.h"

#include <cstdio>

namespace {
// The communication-error bits of the system (CE_RXOVER, CE_OVERRUN,
// CE_RXPARITY, CE_FRAME, CE_BREAK); both overflow kinds are lost bytes.
constexpr std::uint32_t kRxOver = 0x1, kOverrun = 0x2, kParity = 0x4, kFrame = 0x8, kBreak = 0x10;

void AppendCount(std::wstring& out, const wchar_t* name, std::uint32_t n) {
    if (n == 0) return;
    if (!out.empty()) out += L", ";
    out += name;
    out += L" " + std::to_wstring(n);
}
}  // namespace

void LineErrorCounts::Add(std::uint32_t bits) {
    if (bits & (kRxOver | kOverrun)) ++overrun_;
    if (bits & kParity) ++parity_;
    if (bits & kFrame) ++framing_;
    if (bits & kBreak) ++break_;
}

std::wstring LineErrorCounts::Text() const {
    std::wstring out;
    AppendCount(out, L"Overrun", overrun_);
    AppendCount(out, L"Parity", parity_);
    AppendCount(out, L"Framing", framing_);
    AppendCount(out, L"Break", break_);
    return out;
}

std::wstring PortPanelText(const std::wstring& port, bool open) {
    return port + (open ? L" open" : L" closed");
}

std::wstring CountsPanelText(std::uint64_t rx, std::uint64_t tx) {
    return L"RX " + std::to_wstring(rx) + L"  TX " + std::to_wstring(tx);
}

std::wstring ModemPanelText(bool open, const std::optional<ModemLines>& lines) {
    if (!open) return L"";
    if (!lines) return L"Modem lines n/a";
    auto mark = [](bool on, const wchar_t* name) { return std::wstring(on ? L"+" : L"-") + name; };
    return mark(lines->Cts, L"CTS") + L" " + mark(lines->Dsr, L"DSR") + L" " + mark(lines->Dcd, L"DCD") +
           L" " + mark(lines->Ring, L"RI");
}

std::wstring CapturePanelText(const std::wstring& fileName, std::uint64_t bytes) {
    wchar_t size[32];
    if (bytes < 1024)
        std::swprintf(size, 32, L"%llu B", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024ull * 1024)
        std::swprintf(size, 32, L"%.1f KB", bytes / 1024.0);
    else
        std::swprintf(size, 32, L"%.1f MB", bytes / (1024.0 * 1024.0));
    return L"Capture: " + fileName + L" (" + size + L")";
}
