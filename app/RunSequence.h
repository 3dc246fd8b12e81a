// Runs table rows in order as a check of the device: sends each row, waits
// for its expected reply (if it has one) and its delay, repeats the whole
// run, and keeps the results and round-trip figures.
//
// It has no clock and no window: whoever drives it reports what happened
// and when (times on one steady clock, in microseconds), and asks what to
// do next. A window does so from its timer and port events:
//
//   seq.Start(now);
//   for (;;) switch (TRunAction a = seq.NextAction(); a.kind) {
//     case Send:      send rows[a.step]; later seq.Sent(a.step, lastByteTakenAt)
//     case Wait:      timer until a.until, then seq.Tick(now)
//     case AwaitSend: nothing; the send in flight will report
//     case Done:      the summary came through the observer
//   }
//   received bytes: seq.Received(bytes, at); port gone: seq.DeviceGone(why, now)
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ReplyCheck.h"

using TRunTime = std::int64_t;  // microseconds on the driver's steady clock

struct TRunRow {
    int number = 0;             // the row's number in the table
    std::wstring function;
    std::string bytes;          // what the row sends, for the results
    std::wstring expectText;    // empty: the row is sent, not checked
    TExpectedReply expect;
    std::wstring expectError;   // a bad expected reply fails the row
    int timeoutMs = 1000;
    int delayMs = 0;

    bool Checked() const { return !expectText.empty(); }
};

struct TRunOptions {
    int repeats = 1;                   // 0: until stopped
    int periodMs = 0;                  // from one repeat's start to the next's (0: at once)
    bool stopAtFirstFailure = false;
    std::size_t keptResults = 100000;  // the most recent results kept for export
};

enum class TRunActionKind { Send, Wait, AwaitSend, Done };

struct TRunAction {
    TRunActionKind kind = TRunActionKind::Done;
    std::size_t step = 0;  // Send: index into the rows
    TRunTime until = 0;    // Wait: tick then
};

enum class TRowVerdict { Sent, Pass, Fail, Stopped };

struct TRowResult {
    TRunTime time = 0;         // when the row went out (or failed to)
    std::size_t step = 0;      // index into the rows
    TRowVerdict verdict = TRowVerdict::Sent;
    TRunTime roundTrip = 0;    // Pass: from the last byte taken to the match
    std::wstring why;          // Fail: "time-out", "got: ...", "send failed: ..."
    std::string received;      // what came, as the text log shows it, shortened
};

// "pass 12 ms", "FAIL time-out", "FAIL got: ERROR<CR><LF>", "sent", "stopped".
std::wstring RowResultText(const TRowResult& result);

class TRunObserver {
public:
    virtual ~TRunObserver() = default;
    virtual void RowFinished(const TRowResult& result) = 0;
    // "Run 3/10: 2 passed, 0 failed"
    virtual void ProgressChanged(const std::wstring& text) = 0;
    // The closing note: rows and repeats, passed, failed, round-trip figures.
    virtual void RunFinished(const std::wstring& summary) = 0;
};

// Round-trip times in bounded memory: exact count, sum, minimum and maximum,
// and a log-linear histogram (0.05 % wide buckets) for the percentile.
class TRoundTripStats {
public:
    void Add(TRunTime value);
    std::uint64_t Count() const { return count_; }
    TRunTime Min() const { return min_; }
    TRunTime Max() const { return max_; }
    double Mean() const { return count_ ? static_cast<double>(sum_) / static_cast<double>(count_) : 0; }
    // The smallest value that `percent` % of the values do not exceed.
    TRunTime Percentile(double percent) const;

private:
    std::vector<std::uint32_t> buckets_;
    std::uint64_t count_ = 0;
    long double sum_ = 0;
    TRunTime min_ = 0;
    TRunTime max_ = 0;
};

class TRunSequence {
public:
    TRunSequence(std::vector<TRunRow> rows, TRunOptions options, TRunObserver& observer);

    void Start(TRunTime now);
    // What the driver is to do now. Send is handed out once per row; the
    // reply is watched for from then on.
    TRunAction NextAction();

    // Row `step` has gone out; the driver took its last byte at `at`.
    void Sent(std::size_t step, TRunTime at);
    // Row `step` could not be sent (the port would not open, a bad HEX token).
    void SendFailed(std::size_t step, const std::wstring& why, TRunTime now);
    // The port went away: the run ends with this failure.
    void DeviceGone(const std::wstring& why, TRunTime now);
    void Received(std::string_view bytes, TRunTime at);
    void Tick(TRunTime now);
    // Ends the run; a row being sent is let finish first (NextAction says
    // AwaitSend until Sent or SendFailed comes).
    void Stop(TRunTime now);

    bool Running() const { return state_ != TState::Idle && state_ != TState::Done; }
    const std::vector<TRunRow>& Rows() const { return rows_; }
    const TRoundTripStats& Stats() const { return stats_; }
    std::uint64_t Passed() const { return passed_; }
    std::uint64_t Failed() const { return failed_; }
    // The kept results, oldest first, and how many older ones were let go.
    const std::deque<TRowResult>& Results() const { return results_; }
    std::uint64_t DroppedResults() const { return dropped_; }
    std::wstring Summary() const;

    // The kept results as CSV (UTF-8 with its mark, CR LF): time, row,
    // function, bytes sent, expected, received, result, ms. `formatTime`
    // renders a result's time; by default, seconds since the run started.
    std::string ResultsCsv(const std::function<std::wstring(TRunTime)>& formatTime = {}) const;

private:
    enum class TState { Idle, ToSend, AwaitSent, AwaitReply, Pause, CycleWait, Done };

    void BeginStep();
    void FinishRow(TRowResult result, TRunTime end);
    void NextStep(TRunTime now);
    void Finish(const std::wstring& reason);
    void TimeOut();
    std::wstring Progress() const;

    std::vector<TRunRow> rows_;
    TRunOptions options_;
    TRunObserver& observer_;
    std::unique_ptr<TReplyMatcher> matcher_;

    TState state_ = TState::Idle;
    std::size_t step_ = 0;
    std::uint64_t repeat_ = 0;      // repeats begun, from 1
    std::uint64_t stepsBegun_ = 0;
    TRunTime started_ = 0;
    TRunTime cycleStart_ = 0;
    TRunTime sentAt_ = 0;
    TRunTime matchAt_ = 0;          // a match seen before the send reported
    bool matchedEarly_ = false;
    TRunTime deadline_ = 0;         // AwaitReply: time-out; Pause: next step
    std::wstring endAfterRow_;      // the run ends with the row in hand, for this reason
    std::wstring endReason_;

    TRoundTripStats stats_;
    std::uint64_t passed_ = 0;
    std::uint64_t failed_ = 0;
    std::uint64_t unchecked_ = 0;
    std::deque<TRowResult> results_;
    std::uint64_t dropped_ = 0;
};
