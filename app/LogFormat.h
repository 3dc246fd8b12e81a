// Events of the log store as the lines a user reads: an optional timestamp
// (time of day and the gap since the previous line), the direction, then
// the bytes as text (control bytes spelt out) or as hex with their
// printable rendering. Pure: formats on demand, keeps nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "EventLog.h"

enum class LogMode : std::uint8_t { Text, Hex };

struct LogFormatOptions {
    LogMode Mode = LogMode::Text;
    bool Timestamps = true;
};

// "hh:mm:ss.mmm" of a time in ms (the time of day is the rest modulo a day).
std::string FormatTimeOfDay(std::int64_t ms);
// Printable ASCII as it is, CR and LF as <CR> <LF>, every other byte <HH>.
void AppendTextBytes(std::string& out, std::string_view bytes);
// Up to kHexBytesPerLine bytes: "41 42 ..", padded to the full width, two
// blanks, then the bytes printable ASCII as they are and others as '.'.
void AppendHexBytes(std::string& out, std::string_view bytes);

// One line of the rendering (UTF-8; only notes hold anything but ASCII).
// Line numbers count from the oldest held event, as EventLog::LineCount.
std::string FormatLogLine(const EventLog& log, std::uint64_t line, const LogFormatOptions& options);
// Every line of one event, each ending in "\r\n" (for copying and capture).
std::string FormatLogEvent(const EventLog& log, std::size_t event, const LogFormatOptions& options);
