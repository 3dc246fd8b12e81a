// The store behind the log modes: sent bytes, received bytes and notes, each
// with the time it happened, bounded by size so a long stream cannot eat the
// machine. Bytes live in fixed-size chunks, so the store never copies what
// it holds to grow and gives memory back a chunk at a time. Received bytes are cut into lines by the silence between them, a
// line end (when asked) or a length limit. Free of window code: the caller
// supplies the clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

enum class LogEventKind : std::uint8_t { Tx, Rx, Note };

// Bytes shown on one line of the hex rendering.
constexpr std::size_t kHexBytesPerLine = 16;

struct LogEvent {
    std::uint64_t Offset;     // of its bytes: chunk number (high half), place in it (low half)
    std::int64_t TimeMs;      // local time in ms (any fixed epoch)
    std::uint64_t HexStart;   // first hex line, counted since the store began
    std::uint32_t Length;
    LogEventKind Kind;
};

class EventLog {
public:
    // Under Wine and with USB adapters bytes of one reply come in bursts a
    // few ms apart (an FTDI chip holds them up to 16 ms); 50 ms joins those
    // and still parts a device that speaks every 100 ms.
    static constexpr std::int64_t kDefaultSilenceMs = 50;
    static constexpr std::uint32_t kDefaultMaxLineBytes = 1024;
    // The byte bound counts each event's bookkeeping too, so short lines
    // cannot make the store outgrow it: 128 MB hold well over a million
    // lines of 80 bytes.
    static constexpr std::uint64_t kDefaultMaxBytes = 128ull << 20;
    static constexpr std::size_t kDefaultMaxEvents = 4'000'000;
    // While only the terminal shows, the store needs little more than the
    // terminal itself holds (its newest 20,000 lines).
    static constexpr std::uint64_t kTerminalMaxBytes = 8ull << 20;
    static constexpr std::size_t kTerminalMaxEvents = 100'000;
    static constexpr std::size_t kChunkBytes = 1u << 20;

    EventLog() = default;

    std::int64_t SilenceMs() const { return silenceMs_; }
    void SetSilenceMs(std::int64_t ms) { silenceMs_ = ms < 0 ? 0 : ms; }
    std::uint32_t MaxLineBytes() const { return maxLineBytes_; }
    void SetMaxLineBytes(std::uint32_t n) { maxLineBytes_ = n == 0 ? 1 : n; }
    // A received LF ends the line (text rendering).
    bool SplitAtLineEnd() const { return splitAtLineEnd_; }
    void SetSplitAtLineEnd(bool value) { splitAtLineEnd_ = value; }
    // Oldest events go once either bound is passed.
    void SetLimits(std::uint64_t maxBytes, std::size_t maxEvents);
    // Bounds the store by what it holds now, or by these if they are more:
    // it stops growing without dropping anything already held.
    void LimitToHeld(std::uint64_t minBytes, std::size_t minEvents);
    // Bytes held, with the bookkeeping of each event (what the bound counts).
    std::uint64_t HeldBytes() const { return heldBytes_; }

    void AddRx(std::string_view bytes, std::int64_t nowMs);
    void AddTx(std::string_view bytes, std::int64_t nowMs);
    // Note text in UTF-8.
    void AddNote(std::string_view utf8, std::int64_t nowMs);
    // Ends the received line once the line has been quiet long enough.
    void Tick(std::int64_t nowMs);
    void Clear();

    // Events held now; Seq numbers count every event ever added, so a
    // reader can tell what it has not seen yet.
    std::size_t Count() const { return events_.size(); }
    const LogEvent& At(std::size_t i) const { return events_[i]; }
    std::string_view Bytes(const LogEvent& e) const;
    std::uint64_t FirstSeq() const { return firstSeq_; }
    std::uint64_t EndSeq() const { return firstSeq_ + events_.size(); }
    // Events before this Seq will not change any more.
    std::uint64_t ClosedSeq() const { return EndSeq() - (rxOpen_ ? 1 : 0); }
    // Bumped on every change, so a view knows when to repaint.
    std::uint64_t Version() const { return version_; }
    // Bytes received since the store began or was cleared, dropped or not.
    std::uint64_t TotalRx() const { return totalRx_; }
    std::uint64_t TotalTx() const { return totalTx_; }

    // Lines of a rendering: one per event as text, or kHexBytesPerLine
    // bytes a line as hex (at least one line per event).
    std::uint64_t LineCount(bool hex) const;
    struct LinePos {
        std::size_t Event;
        std::uint32_t Part;  // which hex line of the event
    };
    LinePos Locate(std::uint64_t line, bool hex) const;
    // Number of the oldest held line counted since the store began, so a
    // view can keep its place while old events go.
    std::uint64_t LineBase(bool hex) const;
    // Hex lines of one event: a note is always one line.
    static std::uint64_t HexLines(const LogEvent& e);

private:
    struct Chunk {
        std::unique_ptr<char[]> Data;
        std::uint32_t Size = 0, Capacity = 0;
    };
    void Append(LogEventKind kind, std::string_view bytes, std::int64_t nowMs);
    // Room for `more` bytes after the last event, which moves to a new
    // chunk when it is the open line and the chunk is full.
    char* Reserve(std::size_t more, bool moveLast);
    Chunk& ChunkOf(std::uint64_t offset);
    void Trim();

    std::deque<LogEvent> events_;
    std::deque<Chunk> chunks_;
    std::uint64_t firstChunk_ = 0;  // number of chunks_.front()
    std::uint64_t heldBytes_ = 0;
    std::uint64_t firstSeq_ = 0;
    std::uint64_t hexEnd_ = 0;  // hex lines of everything cleared
    std::uint64_t version_ = 0;
    std::uint64_t totalRx_ = 0, totalTx_ = 0;
    bool rxOpen_ = false;
    std::int64_t lastRxMs_ = 0;
    std::int64_t silenceMs_ = kDefaultSilenceMs;
    std::uint32_t maxLineBytes_ = kDefaultMaxLineBytes;
    bool splitAtLineEnd_ = false;
    std::uint64_t maxBytes_ = kDefaultMaxBytes;
    std::size_t maxEvents_ = kDefaultMaxEvents;
};
