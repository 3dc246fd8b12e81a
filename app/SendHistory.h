// The lines sent from the send line, newest last, for recall with Up and
// Down as in a shell. Free of window code.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

class SendHistory {
public:
    static constexpr std::size_t kMaxLines = 50;

    // A line sent: kept (once in a row), and recall starts again below it.
    void Add(const std::wstring& line) {
        if (!line.empty() && (lines_.empty() || lines_.back() != line)) lines_.push_back(line);
        while (lines_.size() > kMaxLines) lines_.pop_front();
        at_ = lines_.size();
    }
    // The line before the recalled one (Up); the oldest stays put.
    const std::wstring* Older() {
        if (lines_.empty()) return nullptr;
        if (at_ > 0) --at_;
        return &lines_[at_];
    }
    // The line after it (Down); past the newest an empty line.
    std::wstring Newer() {
        if (at_ < lines_.size()) ++at_;
        return at_ < lines_.size() ? lines_[at_] : std::wstring();
    }
    std::size_t Size() const { return lines_.size(); }

private:
    std::deque<std::wstring> lines_;
    std::size_t at_ = 0;  // recalled line; Size(): none
};
