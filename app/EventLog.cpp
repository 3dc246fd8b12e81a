#include "EventLog.h"

#include <algorithm>
#include <cstring>

void EventLog::SetLimits(std::uint64_t maxBytes, std::size_t maxEvents) {
    maxBytes_ = std::max<std::uint64_t>(maxBytes, 1);
    maxEvents_ = std::max<std::size_t>(maxEvents, 1);
    Trim();
}

std::uint64_t EventLog::HexLines(const LogEvent& e) {
    if (e.Kind == LogEventKind::Note || e.Length == 0) return 1;
    return (e.Length + kHexBytesPerLine - 1) / kHexBytesPerLine;
}

void EventLog::Append(LogEventKind kind, std::string_view bytes, std::int64_t nowMs) {
    LogEvent e{};
    e.Offset = dataBase_ + data_.size();
    e.TimeMs = nowMs;
    e.Kind = kind;
    e.Length = static_cast<std::uint32_t>(bytes.size());
    e.HexStart = events_.empty() ? hexEnd_ : events_.back().HexStart + HexLines(events_.back());
    data_.append(bytes);
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
        data_.append(bytes.data(), take);
        e.Length += static_cast<std::uint32_t>(take);
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
    dataBase_ += data_.size();
    data_.clear();
    data_.shrink_to_fit();
    rxOpen_ = false;
    totalRx_ = totalTx_ = 0;
    ++version_;
}

void EventLog::Trim() {
    // The open line is never dropped: it is still being written.
    while (events_.size() > 1 && (events_.size() > maxEvents_ || data_.size() - (events_.front().Offset - dataBase_) > maxBytes_)) {
        events_.pop_front();
        ++firstSeq_;
    }
    // Give the dropped bytes back now and then; halves keep the copying linear.
    const std::uint64_t dead = events_.empty() ? data_.size() : events_.front().Offset - dataBase_;
    if (dead > 0 && dead >= data_.size() / 2 && dead >= (1u << 20)) {
        data_.erase(0, static_cast<std::size_t>(dead));
        dataBase_ += dead;
    }
}

std::string_view EventLog::Bytes(const LogEvent& e) const {
    return std::string_view(data_).substr(static_cast<std::size_t>(e.Offset - dataBase_), e.Length);
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
