#include "LogFormat.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& out, unsigned char b) {
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 15]);
}

const char* Direction(LogEventKind kind) {
    switch (kind) {
        case LogEventKind::Tx: return "TX ";
        case LogEventKind::Rx: return "RX ";
        case LogEventKind::Note: break;
    }
    return "-- ";
}

// Timestamp and direction of an event's first line.
std::string Prefix(const EventLog& log, std::size_t i, const LogFormatOptions& options) {
    std::string out;
    const LogEvent& e = log.At(i);
    if (options.Timestamps) {
        const std::int64_t gap = i == 0 ? 0 : e.TimeMs - log.At(i - 1).TimeMs;
        char buf[40];
        std::snprintf(buf, sizeof buf, " +%6lldms ", static_cast<long long>(gap));
        out = FormatTimeOfDay(e.TimeMs) + buf;
    }
    out += Direction(e.Kind);
    return out;
}

void AppendPart(std::string& out, const EventLog& log, std::size_t i, std::uint32_t part,
                LogMode mode) {
    const LogEvent& e = log.At(i);
    const std::string_view bytes = log.Bytes(e);
    if (e.Kind == LogEventKind::Note) {
        if (part == 0) out += bytes;
    } else if (mode == LogMode::Text) {
        AppendTextBytes(out, bytes);
    } else {
        AppendHexBytes(out, bytes.substr(std::min<std::size_t>(bytes.size(), std::size_t{part} * kHexBytesPerLine),
                                         kHexBytesPerLine));
    }
}

}  // namespace

std::string FormatTimeOfDay(std::int64_t ms) {
    constexpr std::int64_t kDay = 86'400'000;
    ms %= kDay;
    if (ms < 0) ms += kDay;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3'600'000),
                  static_cast<int>(ms / 60'000 % 60), static_cast<int>(ms / 1000 % 60),
                  static_cast<int>(ms % 1000));
    return buf;
}

void AppendTextBytes(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out.push_back(c);
        } else if (b == '\r') {
            out += "<CR>";
        } else if (b == '\n') {
            out += "<LF>";
        } else {
            out.push_back('<');
            AppendHexByte(out, b);
            out.push_back('>');
        }
    }
}

void AppendHexBytes(std::string& out, std::string_view bytes) {
    bytes = bytes.substr(0, kHexBytesPerLine);
    for (std::size_t k = 0; k < kHexBytesPerLine; ++k) {
        if (k < bytes.size())
            AppendHexByte(out, static_cast<unsigned char>(bytes[k]));
        else
            out += "  ";
        out.push_back(' ');
    }
    out.push_back(' ');
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(b >= 0x20 && b < 0x7F ? c : '.');
    }
}

std::string FormatLogLine(const EventLog& log, std::uint64_t line, const LogFormatOptions& options) {
    if (line >= log.LineCount(options.Mode == LogMode::Hex)) return {};
    const EventLog::LinePos pos = log.Locate(line, options.Mode == LogMode::Hex);
    std::string out = Prefix(log, pos.Event, options);
    // Later lines of an event line up under the first one's bytes.
    if (pos.Part > 0) out.assign(out.size(), ' ');
    AppendPart(out, log, pos.Event, pos.Part, options.Mode);
    return out;
}

std::string FormatLogEvent(const EventLog& log, std::size_t event, const LogFormatOptions& options) {
    std::string out;
    if (event >= log.Count()) return out;
    const std::string prefix = Prefix(log, event, options);
    const LogEvent& e = log.At(event);
    const auto parts = static_cast<std::uint32_t>(options.Mode == LogMode::Hex ? EventLog::HexLines(e) : 1);
    for (std::uint32_t part = 0; part < parts; ++part) {
        out += part == 0 ? prefix : std::string(prefix.size(), ' ');
        AppendPart(out, log, event, part, options.Mode);
        out += "\r\n";
    }
    return out;
}
