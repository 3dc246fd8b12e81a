#include "RunSequence.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "DataFile.h"

namespace {

constexpr TRunTime kMicrosPerMs = 1000;

// Buckets below 2^kExactBits hold one value each; above, every power of two
// is cut into 2^(kExactBits - 1) buckets.
constexpr int kExactBits = 11;
constexpr TRunTime kExactLimit = TRunTime{1} << kExactBits;
constexpr std::size_t kHalf = std::size_t{1} << (kExactBits - 1);

std::size_t BucketOf(TRunTime v) {
    if (v < kExactLimit) return static_cast<std::size_t>(v);
    int e = 0;
    while ((v >> e) >= kExactLimit) ++e;
    return static_cast<std::size_t>(kExactLimit) + static_cast<std::size_t>(e - 1) * kHalf +
           static_cast<std::size_t>((v >> e) - static_cast<TRunTime>(kHalf));
}

TRunTime BucketFloor(std::size_t index) {
    if (index < static_cast<std::size_t>(kExactLimit)) return static_cast<TRunTime>(index);
    const std::size_t rest = index - static_cast<std::size_t>(kExactLimit);
    const int e = static_cast<int>(rest / kHalf) + 1;
    return static_cast<TRunTime>(rest % kHalf + kHalf) << e;
}

// Milliseconds with `decimals` places.
std::wstring Ms(double micros, int decimals) {
    wchar_t text[64];
    std::swprintf(text, 64, L"%.*f", decimals, micros / kMicrosPerMs);
    return text;
}

std::wstring CsvField(const std::wstring& text) {
    const bool quote = text.find_first_of(L",\"\r\n") != std::wstring::npos ||
                       (!text.empty() && (text.front() == L' ' || text.back() == L' '));
    if (!quote) return text;
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"') out += L'"';
        out += c;
    }
    return out + L"\"";
}

std::wstring Count(std::uint64_t n) { return std::to_wstring(n); }

std::wstring Counted(std::uint64_t n, const wchar_t* thing) {
    return Count(n) + L" " + thing + (n == 1 ? L"" : L"s");
}

// Rendered bytes are ASCII.
std::string Narrow(const std::wstring& ascii) { return std::string(ascii.begin(), ascii.end()); }

}  // namespace

void TRoundTripStats::Add(TRunTime value) {
    value = std::max<TRunTime>(value, 0);
    const std::size_t b = BucketOf(value);
    if (b >= buckets_.size()) buckets_.resize(b + 1, 0);
    ++buckets_[b];
    min_ = count_ ? std::min(min_, value) : value;
    max_ = count_ ? std::max(max_, value) : value;
    sum_ += static_cast<long double>(value);
    ++count_;
}

TRunTime TRoundTripStats::Percentile(double percent) const {
    if (count_ == 0) return 0;
    // Nearest rank: the value at rank ceil(p/100 * n), counted from 1.
    auto rank = static_cast<std::uint64_t>(std::ceil(percent / 100.0 * static_cast<double>(count_)));
    rank = std::clamp<std::uint64_t>(rank, 1, count_);
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < buckets_.size(); ++b) {
        seen += buckets_[b];
        if (seen >= rank) return std::clamp(BucketFloor(b), min_, max_);
    }
    return max_;
}

std::wstring RowResultText(const TRowResult& result) {
    switch (result.verdict) {
        case TRowVerdict::Pass:
            return L"pass " + Ms(static_cast<double>(result.roundTrip), 0) + L" ms";
        case TRowVerdict::Fail:
            return L"FAIL " + result.why;
        case TRowVerdict::Stopped:
            return L"stopped";
        case TRowVerdict::Sent:
            break;
    }
    return L"sent";
}

TRunSequence::TRunSequence(std::vector<TRunRow> rows, TRunOptions options, TRunObserver& observer)
    : rows_(std::move(rows)), options_(options), observer_(observer) {
    options_.keptResults = std::max<std::size_t>(options_.keptResults, 1);
}

void TRunSequence::Start(TRunTime now) {
    if (state_ != TState::Idle) return;
    started_ = cycleStart_ = now;
    repeat_ = 1;
    if (rows_.empty()) {
        state_ = TState::ToSend;  // so that Finish reports
        Finish(L"no rows to run");
        return;
    }
    step_ = 0;
    BeginStep();
}

void TRunSequence::BeginStep() {
    state_ = TState::ToSend;
    ++stepsBegun_;
    observer_.ProgressChanged(Progress());
}

TRunAction TRunSequence::NextAction() {
    TRunAction action;
    switch (state_) {
        case TState::ToSend: {
            const TRunRow& row = rows_[step_];
            // Replies are watched from the moment the row is handed out: a
            // quick device may answer before the send is reported done.
            if (row.Checked() && row.expectError.empty()) {
                matcher_ = std::make_unique<TReplyMatcher>(row.expect);
            } else {
                matcher_.reset();
            }
            matchedEarly_ = false;
            state_ = TState::AwaitSent;
            action.kind = TRunActionKind::Send;
            action.step = step_;
            return action;
        }
        case TState::AwaitSent:
            action.kind = TRunActionKind::AwaitSend;
            action.step = step_;
            return action;
        case TState::AwaitReply:
        case TState::Pause:
        case TState::CycleWait:
            action.kind = TRunActionKind::Wait;
            action.until = deadline_;
            return action;
        case TState::Idle:
        case TState::Done:
            break;
    }
    return action;
}

void TRunSequence::Sent(std::size_t step, TRunTime at) {
    if (state_ != TState::AwaitSent || step != step_) return;
    sentAt_ = at;
    const TRunRow& row = rows_[step_];
    TRowResult result;
    result.time = at;
    result.step = step_;
    if (!row.Checked()) {
        result.verdict = TRowVerdict::Sent;
        FinishRow(std::move(result), at);
    } else if (!row.expectError.empty()) {
        result.verdict = TRowVerdict::Fail;
        result.why = L"bad expected reply: " + row.expectError;
        FinishRow(std::move(result), at);
    } else if (matchedEarly_) {
        result.verdict = TRowVerdict::Pass;
        result.roundTrip = std::max<TRunTime>(matchAt_ - at, 0);
        FinishRow(std::move(result), at + result.roundTrip);
    } else if (!endAfterRow_.empty()) {
        result.verdict = TRowVerdict::Stopped;
        FinishRow(std::move(result), at);
    } else {
        state_ = TState::AwaitReply;
        deadline_ = at + static_cast<TRunTime>(row.timeoutMs) * kMicrosPerMs;
    }
}

void TRunSequence::SendFailed(std::size_t step, const std::wstring& why, TRunTime now) {
    if (state_ != TState::AwaitSent || step != step_) return;
    TRowResult result;
    result.time = now;
    result.step = step_;
    result.verdict = TRowVerdict::Fail;
    result.why = L"send failed: " + why;
    FinishRow(std::move(result), now);
}

void TRunSequence::DeviceGone(const std::wstring& why, TRunTime now) {
    if (!Running()) return;
    if (state_ == TState::AwaitSent || state_ == TState::AwaitReply) {
        TRowResult result;
        result.time = state_ == TState::AwaitReply ? sentAt_ : now;
        result.step = step_;
        result.verdict = TRowVerdict::Fail;
        result.why = L"device gone: " + why;
        endAfterRow_ = L"device gone: " + why;
        FinishRow(std::move(result), now);
    }
    Finish(L"device gone: " + why);
}

void TRunSequence::Received(std::string_view bytes, TRunTime at) {
    if (state_ == TState::AwaitReply && at > deadline_) TimeOut();
    if (!matcher_ || matcher_->Matched()) return;
    if (state_ == TState::AwaitSent) {
        if (matcher_->Feed(bytes)) {
            matchedEarly_ = true;
            matchAt_ = at;
        }
    } else if (state_ == TState::AwaitReply && matcher_->Feed(bytes)) {
        TRowResult result;
        result.time = sentAt_;
        result.step = step_;
        result.verdict = TRowVerdict::Pass;
        result.roundTrip = std::max<TRunTime>(at - sentAt_, 0);
        FinishRow(std::move(result), at);
    }
}

void TRunSequence::TimeOut() {
    TRowResult result;
    result.time = sentAt_;
    result.step = step_;
    result.verdict = TRowVerdict::Fail;
    result.why = matcher_->Received() == 0 ? L"time-out" : L"got: " + matcher_->Excerpt();
    FinishRow(std::move(result), deadline_);
}

void TRunSequence::Tick(TRunTime now) {
    if (state_ == TState::AwaitReply && now >= deadline_) {
        TimeOut();
    }
    if (state_ == TState::Pause && now >= deadline_) NextStep(now);
    if (state_ == TState::CycleWait && now >= deadline_) BeginStep();
}

void TRunSequence::Stop(TRunTime) {
    if (!Running()) return;
    if (state_ == TState::AwaitSent) {
        // A command is never cut off half-sent: the end comes with its report.
        endAfterRow_ = L"stopped";
        return;
    }
    if (state_ == TState::AwaitReply) {
        TRowResult result;
        result.time = sentAt_;
        result.step = step_;
        result.verdict = TRowVerdict::Stopped;
        endAfterRow_ = L"stopped";
        FinishRow(std::move(result), sentAt_);
        return;
    }
    Finish(L"stopped");
}

void TRunSequence::FinishRow(TRowResult result, TRunTime end) {
    if (matcher_ && result.received.empty() && result.verdict != TRowVerdict::Stopped)
        result.received = Narrow(matcher_->Excerpt());
    matcher_.reset();
    switch (result.verdict) {
        case TRowVerdict::Pass:
            ++passed_;
            stats_.Add(result.roundTrip);
            break;
        case TRowVerdict::Fail:
            ++failed_;
            break;
        case TRowVerdict::Sent:
            ++unchecked_;
            break;
        case TRowVerdict::Stopped:
            break;
    }
    const bool failed = result.verdict == TRowVerdict::Fail;
    results_.push_back(std::move(result));
    if (results_.size() > options_.keptResults) {
        results_.pop_front();
        ++dropped_;
    }
    observer_.RowFinished(results_.back());
    observer_.ProgressChanged(Progress());
    if (!endAfterRow_.empty()) {
        Finish(endAfterRow_);
    } else if (failed && options_.stopAtFirstFailure) {
        Finish(L"stopped at the first failure");
    } else {
        state_ = TState::Pause;
        deadline_ = end + static_cast<TRunTime>(rows_[step_].delayMs) * kMicrosPerMs;
        if (deadline_ <= end) NextStep(end);
    }
}

void TRunSequence::NextStep(TRunTime now) {
    if (++step_ < rows_.size()) {
        BeginStep();
        return;
    }
    if (options_.repeats > 0 && repeat_ >= static_cast<std::uint64_t>(options_.repeats)) {
        Finish(std::wstring());
        return;
    }
    ++repeat_;
    step_ = 0;
    // Repeats keep to their period without drifting; one that starts late
    // starts at once, and the ones after it count from then.
    const TRunTime due = cycleStart_ + static_cast<TRunTime>(options_.periodMs) * kMicrosPerMs;
    cycleStart_ = std::max(due, now);
    if (cycleStart_ > now) {
        state_ = TState::CycleWait;
        deadline_ = cycleStart_;
        return;
    }
    BeginStep();
}

void TRunSequence::Finish(const std::wstring& reason) {
    if (state_ == TState::Done || state_ == TState::Idle) return;
    state_ = TState::Done;
    matcher_.reset();
    endReason_ = reason;
    observer_.RunFinished(Summary());
}

std::wstring TRunSequence::Progress() const {
    std::wstring text = L"Run " + Count(stepsBegun_);
    if (options_.repeats > 0)
        text += L"/" + Count(rows_.size() * static_cast<std::uint64_t>(options_.repeats));
    if (options_.repeats != 1) {
        text += L" (repeat " + Count(repeat_);
        if (options_.repeats > 0) text += L"/" + Count(static_cast<std::uint64_t>(options_.repeats));
        text += L")";
    }
    return text + L": " + Count(passed_) + L" passed, " + Count(failed_) + L" failed";
}

std::wstring TRunSequence::Summary() const {
    const std::uint64_t done = passed_ + failed_ + unchecked_;
    std::wstring text = L"Run ";
    text += endReason_.empty() ? L"done" : endReason_;
    text += L": " + Count(done) + L" rows (" + Counted(rows_.size(), L"row") + L" x " +
            Counted(repeat_, L"repeat") + L"), ";
    text += Count(passed_) + L" passed, " + Count(failed_) + L" failed";
    if (unchecked_) text += L", " + Count(unchecked_) + L" sent without a check";
    if (stats_.Count()) {
        text += L"; round trip min " + Ms(static_cast<double>(stats_.Min()), 1) + L" ms, mean " +
                Ms(stats_.Mean(), 1) + L" ms, p95 " + Ms(static_cast<double>(stats_.Percentile(95)), 1) +
                L" ms, max " + Ms(static_cast<double>(stats_.Max()), 1) + L" ms";
    }
    return text;
}

std::string TRunSequence::ResultsCsv(const std::function<std::wstring(TRunTime)>& formatTime) const {
    std::wstring text = L"time,row,function,bytes sent,expected,received,result,ms\r\n";
    for (const TRowResult& r : results_) {
        const TRunRow& row = rows_[r.step];
        const std::wstring time = formatTime ? formatTime(r.time)
                                             : Ms(static_cast<double>(r.time - started_) / 1000.0, 3);
        std::wstring received;
        received.assign(r.received.begin(), r.received.end());
        const std::wstring verdict = r.verdict == TRowVerdict::Pass ? L"pass" : RowResultText(r);
        text += CsvField(time) + L"," + std::to_wstring(row.number) + L"," + CsvField(row.function) +
                L"," + CsvField(RenderLogBytes(row.bytes)) + L"," + CsvField(row.expectText) + L"," +
                CsvField(received) + L"," + CsvField(verdict) + L"," +
                (r.verdict == TRowVerdict::Pass ? Ms(static_cast<double>(r.roundTrip), 3) : L"") +
                L"\r\n";
    }
    std::string bytes = "\xEF\xBB\xBF", body;
    EncodeDataText(text, TDataEncoding::Utf8, body);
    return bytes + body;
}
