#include "CommReport.h"

#include <utility>
#include <vector>

namespace {

std::wstring Join(const std::vector<std::wstring>& parts) {
    std::wstring s;
    for (const auto& p : parts) {
        if (!s.empty()) s += L", ";
        s += p;
    }
    return s;
}

// The system's texts end in a full stop and a line end.
std::wstring Trimmed(std::wstring text) {
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    return text;
}

}  // namespace

std::wstring DescribeCommFailure(const TCommFailure& f) {
    using namespace commreport;
    std::vector<std::wstring> lineErrors;
    if (f.commCode & (kOverrun | kRxOver)) lineErrors.push_back(L"overrun (bytes lost)");
    if (f.commCode & kParity) lineErrors.push_back(L"parity");
    if (f.commCode & kFrame) lineErrors.push_back(L"framing");
    if (f.commCode & kBreak) lineErrors.push_back(L"break");
    if (f.commCode & kTxFull) lineErrors.push_back(L"transmit queue full");

    std::vector<std::wstring> held;
    if (f.stateBits & kCtsHold) held.push_back(L"CTS is low");
    if (f.stateBits & kDsrHold) held.push_back(L"DSR is low");
    if (f.stateBits & kRlsdHold) held.push_back(L"DCD is low");
    if (f.stateBits & kXoffHold) held.push_back(L"the device sent XOFF");

    const std::wstring who = f.port.empty() ? std::wstring() : f.port + L": ";
    std::wstring s;
    if (f.sysError != 0) {
        s = who + L"send failed";
        const std::wstring reason = Trimmed(f.sysText);
        if (!reason.empty()) s += L": " + reason;
        if (f.requested > 0)
            s += L" (" + std::to_wstring(f.taken) + L" of " + std::to_wstring(f.requested) +
                 L" bytes sent)";
        if (!held.empty()) s += L"; the line is held: " + Join(held);
    } else if (!lineErrors.empty()) {
        s = who + L"line error: " + Join(lineErrors);
    } else if (!held.empty()) {
        s = who + L"the line is held: " + Join(held);
    }
    return s;
}
