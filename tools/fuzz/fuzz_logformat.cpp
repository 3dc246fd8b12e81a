// Arbitrary bytes as a session: the first bytes steer the store's settings,
// the rest are cut into received, sent and note events at times the input
// chooses. Every line of both renderings is then checked: the lines of an
// event add up to its bytes, nothing but printable ASCII comes out of data
// bytes, and a hex line holds at most 16 bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "EventLog.h"
#include "LogFormat.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_logformat: %s\n", what);
    std::abort();
}

void CheckRendering(const EventLog& log, LogMode mode, bool stamps) {
    const LogFormatOptions options{mode, stamps};
    const bool hex = mode == LogMode::Hex;
    std::string joined;
    for (std::uint64_t n = 0; n < log.LineCount(hex); ++n) {
        const std::string line = FormatLogLine(log, n, options);
        const EventLog::LinePos pos = log.Locate(n, hex);
        if (log.At(pos.Event).Kind == LogEventKind::Note) continue;
        for (const char c : line)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
                Fail("unprintable character in a data line");
        joined += line + "\r\n";
    }
    std::string byEvent;
    for (std::size_t i = 0; i < log.Count(); ++i)
        if (log.At(i).Kind != LogEventKind::Note) byEvent += FormatLogEvent(log, i, options);
    if (joined != byEvent) Fail("lines and events render differently");
    if (hex) {
        std::uint64_t lines = 0;
        for (std::size_t i = 0; i < log.Count(); ++i) lines += EventLog::HexLines(log.At(i));
        if (lines != log.LineCount(true)) Fail("hex line count");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    EventLog log;
    log.SetSplitAtLineEnd(data[0] & 1);
    log.SetMaxLineBytes(1 + data[1] % 40);
    log.SetLimits(64 + data[2] * 4u, 2 + data[2] % 9);
    std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);
    std::int64_t now = 0;
    std::uint64_t rx = 0;
    while (!rest.empty()) {
        const auto op = static_cast<unsigned char>(rest[0]);
        rest.remove_prefix(1);
        const std::size_t n = std::min<std::size_t>(rest.size(), op % 37);
        const std::string_view piece = rest.substr(0, n);
        rest.remove_prefix(n);
        now += (op >> 4) * 7;
        switch (op % 3) {
            case 0: log.AddRx(piece, now); rx += n; break;
            case 1: log.AddTx(piece, now); break;
            default: log.AddNote(piece, now); break;
        }
        if ((op & 0x0F) == 0x0F) log.Tick(now);
    }
    if (log.TotalRx() != rx) Fail("received byte count");
    for (std::size_t i = 0; i < log.Count(); ++i)
        if (log.At(i).Kind == LogEventKind::Rx && log.At(i).Length > log.MaxLineBytes())
            Fail("received line longer than the limit");
    CheckRendering(log, LogMode::Text, true);
    CheckRendering(log, LogMode::Hex, true);
    CheckRendering(log, LogMode::Hex, false);
    return 0;
}
