// The log store's line cutting and the rendering of awkward bytes.
#include <gtest/gtest.h>

#include <string>

#include "EventLog.h"
#include "LogFormat.h"

namespace {

using namespace std::string_literals;

std::string Line(const EventLog& log, std::uint64_t n, LogMode mode, bool stamps = false) {
    return FormatLogLine(log, n, {mode, stamps});
}

TEST(LogFormat, TextLogSpellsOutEveryControlAndHighByte) {
    EventLog log;
    log.AddRx("a\0b\x08\x7F\x80\xFF<\r\n"s, 0);
    EXPECT_EQ(Line(log, 0, LogMode::Text), "RX a<00>b<08><7F><80><FF><<CR><LF>");
}

TEST(LogFormat, LineEndCutsOnlyInTextLogAndSplitCrLfStaysOnOneLine) {
    EventLog log;
    log.SetSplitAtLineEnd(true);
    log.AddRx("OK\r", 0);
    log.AddRx("\nNEXT", 10);  // the LF arrives in the next burst
    ASSERT_EQ(log.LineCount(false), 2u);
    EXPECT_EQ(Line(log, 0, LogMode::Text), "RX OK<CR><LF>");
    EXPECT_EQ(Line(log, 1, LogMode::Text), "RX NEXT");

    EventLog raw;
    raw.AddRx("OK\r\nNEXT", 0);
    EXPECT_EQ(raw.LineCount(false), 1u);
}

TEST(LogFormat, SilenceAndLengthLimitEndReceivedLines) {
    EventLog log;
    log.SetSilenceMs(50);
    log.SetMaxLineBytes(4);
    log.AddRx("ab", 0);
    log.AddRx("c", 49);        // still the same reply
    log.AddRx("d", 100);       // after a pause: a new line
    log.AddRx("efghij", 110);  // four, then the rest
    ASSERT_EQ(log.LineCount(false), 3u);
    EXPECT_EQ(Line(log, 0, LogMode::Text), "RX abc");
    EXPECT_EQ(Line(log, 1, LogMode::Text), "RX defg");
    EXPECT_EQ(Line(log, 2, LogMode::Text), "RX hij");
    EXPECT_EQ(log.ClosedSeq() + 1, log.EndSeq());  // the last may still grow
    log.Tick(200);
    EXPECT_EQ(log.ClosedSeq(), log.EndSeq());
}

TEST(LogFormat, HexLogBreaksLongRunsAtSixteenAndLinesUpContinuations) {
    EventLog log;
    log.AddTx("AT\r", 1000);
    log.AddRx(std::string(40, '\0') + "\x41", 1250);
    log.AddNote("port closed", 1300);
    ASSERT_EQ(log.LineCount(true), 1u + 3u + 1u);
    EXPECT_EQ(Line(log, 0, LogMode::Hex, true),
              "00:00:01.000 +     0ms TX 41 54 0D" + std::string(13 * 3, ' ') + "  AT.");
    const std::string first = Line(log, 1, LogMode::Hex, true);
    EXPECT_EQ(first.rfind("00:00:01.250 +   250ms RX 00 00", 0), 0u) << first;
    EXPECT_EQ(first.substr(first.size() - 16), std::string(16, '.'));
    const std::string last = Line(log, 3, LogMode::Hex, true);
    EXPECT_EQ(last, std::string(26, ' ') + "00 00 00 00 00 00 00 00 41" + std::string(7 * 3, ' ') +
                        "  ........A");
    EXPECT_EQ(Line(log, 4, LogMode::Hex, true), "00:00:01.300 +    50ms -- port closed");
    // Switching the rendering re-reads the same events.
    EXPECT_EQ(log.LineCount(false), 3u);
    const std::string copied = FormatLogEvent(log, 1, {LogMode::Hex, false});
    EXPECT_EQ(copied.substr(0, 6), "RX 00 ");
    EXPECT_EQ(copied.substr(copied.size() - 13), "  ........A\r\n");
}

TEST(LogFormat, DroppingOldEventsKeepsLineNumbersFromTheOldestHeld) {
    EventLog log;
    log.SetLimits(1 << 20, 3);
    for (int i = 0; i < 10; ++i) log.AddTx(std::string(20, static_cast<char>('a' + i)), i);
    ASSERT_EQ(log.Count(), 3u);
    EXPECT_EQ(log.FirstSeq(), 7u);
    ASSERT_EQ(log.LineCount(true), 6u);
    EXPECT_EQ(Line(log, 0, LogMode::Hex).substr(3, 2), "68");  // 'h'
    EXPECT_EQ(Line(log, 5, LogMode::Hex).substr(3, 2), "6A");  // 'j', its second line
    EXPECT_EQ(Line(log, 6, LogMode::Hex), "");
}

}  // namespace
