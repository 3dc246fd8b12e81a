// Runs of table rows as checks of the device, for a window: owns the run
// sequence and drives it from what the window reports (sends done, bytes
// received, its timer, the port going away), and tells the window what to
// show through TRunHost. A single checked row is a run of one row.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "RowChecks.h"
#include "RunSequence.h"

class TRunHost {
public:
    virtual ~TRunHost() = default;
    // Microseconds on a steady clock.
    virtual TRunTime Now() = 0;
    // Sends row `step` down the send path; the window then reports RowSent
    // or RowSendFailed, at once or later.
    virtual void SendRow(std::size_t step, const TRunRow& row) = 0;
    // Tick is to be called at `at` or soon after; replaces an earlier wake.
    virtual void WakeAt(TRunTime at) = 0;
    // Keeps the port open from a run's start to its end.
    virtual void HoldPort(bool hold) = 0;
    virtual void ShowResult(int row, const std::wstring& text) = 0;
    virtual void ShowProgress(const std::wstring& text) = 0;
    virtual void Note(const std::wstring& text) = 0;
    virtual void RunningChanged(bool running) = 0;
};

// A run of the whole table or of chosen rows (progress and a summary note),
// or the check of one sent row (its result only).
enum class TRunKind { Run, SingleRow };

// A run row from a table row: the cells, and what its form sends.
TRunRow MakeRunRow(int number, const std::wstring& type, const std::wstring& function,
                   const std::wstring& data, const TRowCheck* check);

class TRunController : private TRunObserver {
public:
    explicit TRunController(TRunHost& host);
    ~TRunController() override;
    TRunController(const TRunController&) = delete;
    TRunController& operator=(const TRunController&) = delete;

    // False when a run goes on already.
    bool Start(std::vector<TRunRow> rows, const TRunOptions& options, TRunKind kind);
    // Ends the run once the row being sent has gone out whole.
    void Stop();
    bool Running() const { return seq_ && seq_->Running(); }
    TRunKind Kind() const { return kind_; }

    void RowSent(std::size_t step, TRunTime at);
    void RowSendFailed(std::size_t step, const std::wstring& why);
    void Received(std::string_view bytes, TRunTime at);
    void DeviceGone(const std::wstring& why);
    void Tick();

    // The results of the last run as CSV; empty before any run.
    std::string ResultsCsv(const std::function<std::wstring(TRunTime)>& formatTime) const;
    bool HasResults() const { return seq_ && !seq_->Results().empty(); }

private:
    void RowFinished(const TRowResult& result) override;
    void ProgressChanged(const std::wstring& text) override;
    void RunFinished(const std::wstring& summary) override;
    // Does what the sequence asks until it waits.
    void Drive();

    TRunHost& host_;
    std::unique_ptr<TRunSequence> seq_;
    TRunKind kind_ = TRunKind::Run;
    bool driving_ = false;
    bool again_ = false;
    bool holding_ = false;
};
