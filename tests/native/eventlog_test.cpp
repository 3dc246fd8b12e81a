#include <gtest/gtest.h>

#include <string>

#include "EventLog.h"

namespace {

// Numbered lines, so a byte out of place shows.
std::string Stream(std::size_t lines) {
    std::string s;
    for (std::size_t i = 0; i < lines; ++i) s += "line " + std::to_string(i) + " of the stream\n";
    return s;
}

std::string Held(const EventLog& log) {
    std::string s;
    for (std::size_t i = 0; i < log.Count(); ++i) s += log.Bytes(log.At(i));
    return s;
}

TEST(EventLog, BoundedStoreHoldsTheNewestBytesWholeAcrossChunks) {
    EventLog log;
    log.SetSplitAtLineEnd(true);
    const std::uint64_t bound = 3 * EventLog::kChunkBytes;
    log.SetLimits(bound, 1'000'000);
    const std::string stream = Stream(200'000);  // about 5 MB
    // Blocks of odd sizes: lines grow across the ends of chunks.
    for (std::size_t at = 0, n = 1; at < stream.size(); at += n, n = n % 4093 + 617)
        log.AddRx(std::string_view(stream).substr(at, n), 0);
    EXPECT_LE(log.HeldBytes(), bound);
    EXPECT_GT(log.HeldBytes(), bound - 100);
    const std::string held = Held(log);
    ASSERT_GT(held.size(), EventLog::kChunkBytes);  // across a chunk's end at least
    EXPECT_EQ(held, stream.substr(stream.size() - held.size()));
    EXPECT_EQ(held.substr(0, 5), "line ");
    EXPECT_EQ(log.TotalRx(), stream.size());
}

TEST(EventLog, LimitToHeldStopsGrowthWithoutDroppingAnything) {
    EventLog log;
    for (int i = 0; i < 1000; ++i) log.AddTx(std::string(100, 'a'), i);
    const std::uint64_t held = log.HeldBytes();
    log.LimitToHeld(1024, 10);
    EXPECT_EQ(log.Count(), 1000u);
    for (int i = 0; i < 1000; ++i) log.AddTx(std::string(100, 'b'), i);
    EXPECT_EQ(log.HeldBytes(), held);
    EXPECT_EQ(log.Bytes(log.At(0)), std::string(100, 'b'));
    // A small store grows to the given bound.
    log.Clear();
    log.LimitToHeld(50'000, 10'000);
    for (int i = 0; i < 1000; ++i) log.AddTx(std::string(100, 'c'), i);
    EXPECT_LE(log.HeldBytes(), 50'000u);
    EXPECT_GT(log.HeldBytes(), 49'000u);
}

}  // namespace
