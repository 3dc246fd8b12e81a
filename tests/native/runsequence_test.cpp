// Runs of rows driven with given times: checks, delays, repeats, stopping,
// the summary's figures and the exported results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RunSequence.h"

namespace {

constexpr TRunTime ms = 1000;

class Recorder : public TRunObserver {
public:
    void RowFinished(const TRowResult& r) override { rows.push_back(RowResultText(r)); }
    void ProgressChanged(const std::wstring& text) override { progress.push_back(text); }
    void RunFinished(const std::wstring& text) override { summary.push_back(text); }
    std::vector<std::wstring> rows, progress, summary;
};

TRunRow Row(int number, const std::wstring& expect, int timeoutMs = 1000, int delayMs = 0) {
    TRunRow row;
    row.number = number;
    row.function = L"f" + std::to_wstring(number);
    row.bytes = "AT\r";
    row.expectText = expect;
    row.timeoutMs = timeoutMs;
    row.delayMs = delayMs;
    std::wstring error;
    if (!expect.empty()) EXPECT_TRUE(ParseExpectedReply(expect, row.expect, error));
    return row;
}

// Expects a Send of `step`, reports it sent at `t`.
void SendAt(TRunSequence& run, std::size_t step, TRunTime t) {
    const TRunAction a = run.NextAction();
    ASSERT_EQ(a.kind, TRunActionKind::Send);
    ASSERT_EQ(a.step, step);
    run.Sent(step, t);
}

TEST(RunSequence, PassTimeOutAndWhatCameInstead) {
    Recorder rec;
    TRunSequence run({Row(1, L"OK<CR><LF>"), Row(2, L"OK", 500), Row(3, L"OK", 500), Row(4, L"")},
                     {}, rec);
    run.Start(0);
    SendAt(run, 0, 10 * ms);
    run.Received("\r\nO", 20 * ms);
    run.Received("K\r\n", 22 * ms);  // the match straddles the pieces
    SendAt(run, 1, 30 * ms);
    EXPECT_EQ(run.NextAction().kind, TRunActionKind::Wait);
    EXPECT_EQ(run.NextAction().until, 530 * ms);
    run.Tick(529 * ms);
    EXPECT_EQ(rec.rows.size(), 1u) << "no time-out before the deadline";
    run.Tick(530 * ms);
    SendAt(run, 2, 600 * ms);
    run.Received("\r\nERROR\r\n", 610 * ms);
    run.Received("OK", 1101 * ms);  // after the deadline: too late
    SendAt(run, 3, 1200 * ms);
    EXPECT_EQ(run.NextAction().kind, TRunActionKind::Done);
    EXPECT_EQ(rec.rows, (std::vector<std::wstring>{L"pass 12 ms", L"FAIL time-out",
                                                    L"FAIL got: <CR><LF>ERROR<CR><LF>", L"sent"}));
    EXPECT_EQ(rec.progress.front(), L"Run 1/4: 0 passed, 0 failed");
    EXPECT_EQ(rec.progress.back(), L"Run 4/4: 1 passed, 2 failed");
    ASSERT_EQ(rec.summary.size(), 1u);
    EXPECT_EQ(rec.summary[0],
              L"Run done: 4 rows (4 rows x 1 repeat), 1 passed, 2 failed, 1 sent without a check; "
              L"round trip min 12.0 ms, mean 12.0 ms, p95 12.0 ms, max 12.0 ms");
}

TEST(RunSequence, AReplyBeforeTheSendIsReportedCountsFromTheLastByte) {
    Recorder rec;
    TRunSequence run({Row(1, L"OK")}, {}, rec);
    run.Start(0);
    ASSERT_EQ(run.NextAction().kind, TRunActionKind::Send);
    run.Received("OK", 15 * ms);  // the port's event came before the write's
    run.Sent(0, 10 * ms);
    EXPECT_EQ(rec.rows, std::vector<std::wstring>{L"pass 5 ms"});
}

TEST(RunSequence, SummaryFiguresOverKnownTimes) {
    Recorder rec;
    std::vector<TRunRow> rows;
    for (int i = 1; i <= 20; ++i) rows.push_back(Row(i, L"OK", 1000, 5));
    TRunSequence run(std::move(rows), {}, rec);
    run.Start(0);
    TRunTime t = 0;
    for (std::size_t i = 0; i < 20; ++i) {
        // Round trips 20, 19, ... 1 ms.
        SendAt(run, i, t);
        run.Received("OK", t + static_cast<TRunTime>(20 - i) * ms);
        t += static_cast<TRunTime>(20 - i) * ms;
        const TRunAction pause = run.NextAction();
        ASSERT_EQ(pause.kind, TRunActionKind::Wait);
        EXPECT_EQ(pause.until, t + 5 * ms) << "the row's delay counts from the match";
        t = pause.until;
        run.Tick(t);
    }
    ASSERT_EQ(rec.summary.size(), 1u);
    EXPECT_EQ(rec.summary[0],
              L"Run done: 20 rows (20 rows x 1 repeat), 20 passed, 0 failed; "
              L"round trip min 1.0 ms, mean 10.5 ms, p95 19.0 ms, max 20.0 ms");
}

TEST(RunSequence, StopMidRowLetsTheSendFinish) {
    Recorder rec;
    TRunSequence run({Row(1, L"OK"), Row(2, L"OK")}, {}, rec);
    run.Start(0);
    ASSERT_EQ(run.NextAction().kind, TRunActionKind::Send);
    run.Stop(1 * ms);
    EXPECT_TRUE(run.Running());
    EXPECT_EQ(run.NextAction().kind, TRunActionKind::AwaitSend) << "no half-sent command";
    run.Sent(0, 2 * ms);
    EXPECT_EQ(run.NextAction().kind, TRunActionKind::Done);
    EXPECT_EQ(rec.rows, std::vector<std::wstring>{L"stopped"});
    EXPECT_EQ(rec.summary.at(0), L"Run stopped: 0 rows (2 rows x 1 repeat), 0 passed, 0 failed");

    // Stopping while waiting for a reply ends at once.
    Recorder rec2;
    TRunSequence waiting({Row(1, L"OK")}, {}, rec2);
    waiting.Start(0);
    SendAt(waiting, 0, 1 * ms);
    waiting.Stop(3 * ms);
    EXPECT_EQ(waiting.NextAction().kind, TRunActionKind::Done);
    EXPECT_EQ(rec2.rows, std::vector<std::wstring>{L"stopped"});
}

TEST(RunSequence, RepeatUntilStoppedKeepsItsPeriod) {
    Recorder rec;
    TRunOptions options;
    options.repeats = 0;
    options.periodMs = 100;
    options.keptResults = 3;
    TRunSequence run({Row(1, L"")}, options, rec);
    run.Start(0);
    std::vector<TRunTime> sends;
    TRunTime t = 0;
    bool handedOut = false;
    for (int i = 0; i < 50; ++i) {
        sends.push_back(t);
        // Late by a varying amount, once by more than a period.
        const TRunTime late = (i == 10 ? 150 : 7) * ms;
        if (handedOut)
            run.Sent(0, t + late);
        else
            SendAt(run, 0, t + late);
        const TRunAction next = run.NextAction();
        handedOut = next.kind == TRunActionKind::Send;
        if (handedOut) {
            t += late;
            continue;
        }
        ASSERT_EQ(next.kind, TRunActionKind::Wait);
        t = next.until + (i % 3) * ms;
        run.Tick(t);
    }
    EXPECT_EQ(sends[10], 1000 * ms);
    EXPECT_EQ(sends[11], 1150 * ms) << "a late repeat starts at once";
    EXPECT_EQ(sends[12], 1250 * ms + 2 * ms) << "and the ones after count from it";
    EXPECT_EQ(sends[2], 200 * ms + 1 * ms) << "lateness of one tick does not drift the schedule";
    EXPECT_EQ(sends[3], 300 * ms + 2 * ms);
    EXPECT_EQ(rec.progress.back(), L"Run 51 (repeat 51): 0 passed, 0 failed");
    run.Stop(t);
    EXPECT_FALSE(run.Running());
    EXPECT_EQ(run.Results().size(), 3u) << "results kept are bounded";
    EXPECT_EQ(run.DroppedResults(), 47u);
    EXPECT_EQ(rec.summary.at(0),
              L"Run stopped: 50 rows (1 row x 51 repeats), 0 passed, 0 failed, 50 sent without a check");
}

TEST(RunSequence, FirstFailureAndDeviceGoneEndTheRun) {
    Recorder rec;
    TRunOptions options;
    options.stopAtFirstFailure = true;
    TRunSequence run({Row(1, L"OK", 100), Row(2, L"OK")}, options, rec);
    run.Start(0);
    SendAt(run, 0, 0);
    run.Tick(100 * ms);
    EXPECT_EQ(run.NextAction().kind, TRunActionKind::Done);
    EXPECT_EQ(rec.summary.at(0).substr(0, 38), L"Run stopped at the first failure: 1 ro");

    Recorder rec2;
    TRunSequence gone({Row(1, L"OK"), Row(2, L"OK")}, {}, rec2);
    gone.Start(0);
    SendAt(gone, 0, 0);
    gone.Received("O", 1 * ms);
    gone.DeviceGone(L"the port was removed", 2 * ms);
    EXPECT_EQ(gone.NextAction().kind, TRunActionKind::Done);
    EXPECT_EQ(rec2.rows, std::vector<std::wstring>{L"FAIL device gone: the port was removed"});
    EXPECT_EQ(rec2.summary.at(0).substr(0, 45), L"Run device gone: the port was removed: 1 rows");
    EXPECT_EQ(gone.Results().at(0).received, "O");
}

TEST(RunSequence, ResultsExportAsQuotedCsv) {
    Recorder rec;
    TRunRow row = Row(7, L"say \"hi\", <CR>");
    row.function = L"Hello, world";
    row.bytes = "hi\r";
    TRunSequence run({row, Row(8, L"OK")}, {}, rec);
    run.Start(0);
    SendAt(run, 0, 1500 * ms);
    run.Received("say \"hi\", \r", 1512 * ms + 345);
    SendAt(run, 1, 2 * 1000 * ms);
    run.SendFailed(1, L"x", 0);  // not the row in hand any more: ignored
    run.Tick(3 * 1000 * ms);
    EXPECT_EQ(run.ResultsCsv(),
              "\xEF\xBB\xBF"
              "time,row,function,bytes sent,expected,received,result,ms\r\n"
              "1.500,7,\"Hello, world\",hi<CR>,\"say \"\"hi\"\", <CR>\",\"say \"\"hi\"\", <CR>\",pass,12.345\r\n"
              "2.000,8,f8,AT<CR>,OK,,FAIL time-out,\r\n");
}

}  // namespace
