#include "EventLog.h"

#include <algorithm>
#include <cstring>

void EventLog::SetLimits(std::uint64_t maxBytes, std::size_t maxEvents) {
    maxBytes_ = std::max<std::uint64_t>(maxBytes, 1);
    maxEvents_ = std::max<std::size_t>(maxEvents, 1);
    Trim();
}

void EventLog::LimitToHeld(std::uint64_t minBytes, std::size_t minEvents) {
    SetLimits(std::max(minBytes, heldBytes_), std::max(minEvents, events_.size()));
}

std::uint64_t EventLog::HexLines(const LogEvent& e) {
    if (e.Kind == LogEventKind::Note || e.Length == 0) return 1;
    return (e.Length + kHexBytesPerLine - 1) / kHexBytesPerLine;
}

char* EventLog::Reserve(std::size_t more, bool moveLast) {
    if (!chunks_.empty() && chunks_.back().Capacity - chunks_.back().Size >= more)
        return chunks_.back().Data.get() + chunks_.back().Size;
    // The open line moves along to the new chunk: an event's bytes stay in one piece.
    const std::size_t carry = moveLast ? events_.back().Length : 0;
    Chunk c;
    c.Capacity = static_cast<std::uint32_t>(std::max(kChunkBytes, carry + more));
    c.Data.reset(new char[c.Capacity]);
    if (carry > 0) std::memcpy(c.Data.get(), Bytes(events_.back()).data(), carry);
    c.Size = static_cast<std::uint32_t>(carry);
    if (moveLast) events_.back().Offset = (firstChunk_ + chunks_.size()) << 32;
    chunks_.push_back(std::move(c));
    return chunks_.back().Data.get() + carry;
}

void EventLog::Append(LogEventKind kind, std::string_view bytes, std::int64_t nowMs) {
    char* at = Reserve(bytes.size(), false);
    Chunk& c = chunks_.back();
    LogEvent e{};
    e.Offset = ((firstChunk_ + chunks_.size() - 1) << 32) | c.Size;
    e.TimeMs = nowMs;
    e.Kind = kind;
    e.Length = static_cast<std::uint32_t>(bytes.size());
    e.HexStart = events_.empty() ? hexEnd_ : events_.back().HexStart + HexLines(events_.back());
    if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
    c.Size += e.Length;
    heldBytes_ += sizeof(LogEvent) + e.Length;
    events_.push_back(e);
}

void EventLog::AddRx(std::string_view bytes, std::int64_t nowMs) {
    if (bytes.empty()) return;
    totalRx_ += bytes.size();
    if (rxOpen_ && nowMs - lastRxMs_ >= silenceMs_) rxOpen_ = false;
    lastRxMs_ = nowMs;
    while (!bytes.empty()) {
        if (!rxOpen_) {
            Append(LogEventKind::Rx, {}, nowMs);
            rxOpen_ = true;
        }
        LogEvent& e = events_.back();
        std::size_t take = std::min<std::size_t>(bytes.size(), maxLineBytes_ - e.Length);
        bool ended = take == maxLineBytes_ - e.Length;
        if (splitAtLineEnd_) {
            if (const void* lf = std::memchr(bytes.data(), '\n', take)) {
                take = static_cast<std::size_t>(static_cast<const char*>(lf) - bytes.data()) + 1;
                ended = true;
            }
        }
        std::memcpy(Reserve(take, true), bytes.data(), take);
        chunks_.back().Size += static_cast<std::uint32_t>(take);
        e.Length += static_cast<std::uint32_t>(take);
        heldBytes_ += take;
        bytes.remove_prefix(take);
        if (ended) rxOpen_ = false;
    }
    ++version_;
    Trim();
}

void EventLog::AddTx(std::string_view bytes, std::int64_t nowMs) {
    rxOpen_ = false;
    totalTx_ += bytes.size();
    Append(LogEventKind::Tx, bytes, nowMs);
    ++version_;
    Trim();
}

void EventLog::AddNote(std::string_view utf8, std::int64_t nowMs) {
    rxOpen_ = false;
    Append(LogEventKind::Note, utf8, nowMs);
    ++version_;
    Trim();
}

void EventLog::Tick(std::int64_t nowMs) {
    if (rxOpen_ && nowMs - lastRxMs_ >= silenceMs_) {
        rxOpen_ = false;
        ++version_;
    }
}

void EventLog::Clear() {
    if (!events_.empty()) hexEnd_ = events_.back().HexStart + HexLines(events_.back());
    firstSeq_ += events_.size();
    events_.clear();
    firstChunk_ += chunks_.size();
    chunks_.clear();
    heldBytes_ = 0;
    rxOpen_ = false;
    totalRx_ = totalTx_ = 0;
    ++version_;
}

void EventLog::Trim() {
    // The open line is never dropped: it is still being written.
    while (events_.size() > 1 && (events_.size() > maxEvents_ || heldBytes_ > maxBytes_)) {
        heldBytes_ -= sizeof(LogEvent) + events_.front().Length;
        events_.pop_front();
        ++firstSeq_;
    }
    // Chunks before the oldest event's hold nothing any more.
    const std::uint64_t keep = events_.empty() ? firstChunk_ + chunks_.size() : events_.front().Offset >> 32;
    while (!chunks_.empty() && firstChunk_ < keep) {
        chunks_.pop_front();
        ++firstChunk_;
    }
}

std::string_view EventLog::Bytes(const LogEvent& e) const {
    const Chunk& c = chunks_[static_cast<std::size_t>((e.Offset >> 32) - firstChunk_)];
    return std::string_view(c.Data.get() + (e.Offset & 0xFFFFFFFFu), e.Length);
}

std::uint64_t EventLog::LineCount(bool hex) const {
    if (events_.empty()) return 0;
    if (!hex) return events_.size();
    const LogEvent& last = events_.back();
    return last.HexStart + HexLines(last) - events_.front().HexStart;
}

EventLog::LinePos EventLog::Locate(std::uint64_t line, bool hex) const {
    if (events_.empty()) return {0, 0};
    if (!hex) return {static_cast<std::size_t>(std::min<std::uint64_t>(line, events_.size() - 1)), 0};
    const std::uint64_t target = events_.front().HexStart + line;
    // The last event whose first line is at or before the target.
    auto it = std::upper_bound(events_.begin(), events_.end(), target,
                               [](std::uint64_t t, const LogEvent& e) { return t < e.HexStart; });
    if (it != events_.begin()) --it;
    const std::size_t i = static_cast<std::size_t>(it - events_.begin());
    const std::uint64_t part = std::min(target - it->HexStart, HexLines(*it) - 1);
    return {i, static_cast<std::uint32_t>(part)};
}

std::uint64_t EventLog::LineBase(bool hex) const {
    if (!hex) return firstSeq_;
    return events_.empty() ? hexEnd_ : events_.front().HexStart;
}
