// What the user is told when the serial component reports a failure that
// concerns their bytes: a write that failed, timed out or went out short,
// a held line, a device gone, or errors on the received line. Portable, so
// the wording is tested natively.
#pragma once

#include <cstdint>
#include <string>

// The line-error bits of the communication-error report (the driver's CE_*
// values) and the hold bits of its state flags (COMSTAT's order).
namespace commreport {
constexpr std::uint32_t kRxOver = 0x0001, kOverrun = 0x0002, kParity = 0x0004, kFrame = 0x0008,
                        kBreak = 0x0010, kTxFull = 0x0100;
constexpr std::uint32_t kCtsHold = 0x01, kDsrHold = 0x02, kRlsdHold = 0x04, kXoffHold = 0x08;
}  // namespace commreport

struct TCommFailure {
    std::uint32_t commCode = 0;   // CE_* bits of the received line, or 0
    std::uint32_t sysError = 0;   // the system error of a write or drain, or 0
    std::uint32_t stateBits = 0;  // COMSTAT flag bits at the time of the report
    std::wstring sysText;         // the system's text for sysError
    std::wstring port;            // "COM1"
    // The bytes of the write concerned: asked for and taken by the driver
    // (both 0 when unknown).
    std::uint32_t requested = 0, taken = 0;
};

// One line for the log, e.g. "COM1: send failed: <reason> (12 of 44 bytes
// sent); the line is held: CTS is low". Empty when there is nothing to tell.
std::wstring DescribeCommFailure(const TCommFailure& f);
