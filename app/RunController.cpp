#include "RunController.h"

#include <utility>

#include "SysUtils.h"
#include "USerial_Function.h"

TRunRow MakeRunRow(int number, const std::wstring& type, const std::wstring& function,
                   const std::wstring& data, const TRowCheck* check) {
    TRunRow row;
    row.number = number;
    row.function = function;
    if (type == L"ASCII") row.bytes = tk::WideToAnsi(data);
    if (type == L"ASCII+CR") row.bytes = tk::WideToAnsi(data + L"\r");
    if (type == L"ASCII+CRLF") row.bytes = tk::WideToAnsi(data + L"\r\n");
    if (type == L"HEX") {
        tk::TStringList tokens;
        SplitDelimitedText(L' ', data, tokens);
        for (int i = 0; i < tokens.Count(); ++i) {
            const int b = HexByteValue(tokens.Strings(i));
            if (b < 0) break;  // the send stops there too
            row.bytes.push_back(static_cast<char>(b));
        }
    }
    if (check) {
        row.expectText = check->expectText;
        row.expect = check->expect;
        row.expectError = check->expectError;
        row.timeoutMs = check->timeoutMs;
        row.delayMs = check->delayMs;
    }
    return row;
}

TRunController::TRunController(TRunHost& host) : host_(host) {}

TRunController::~TRunController() = default;

bool TRunController::Start(std::vector<TRunRow> rows, const TRunOptions& options, TRunKind kind) {
    if (Running()) return false;
    kind_ = kind;
    TRunObserver& observer = *this;
    seq_ = std::make_unique<TRunSequence>(std::move(rows), options, observer);
    for (const TRunRow& row : seq_->Rows())
        if (row.Checked()) host_.ShowResult(row.number, L"");
    holding_ = true;
    host_.HoldPort(true);
    host_.RunningChanged(true);
    seq_->Start(host_.Now());
    Drive();
    return true;
}

void TRunController::Stop() {
    if (!Running()) return;
    seq_->Stop(host_.Now());
    Drive();
}

void TRunController::RowSent(std::size_t step, TRunTime at) {
    if (!Running()) return;
    seq_->Sent(step, at);
    Drive();
}

void TRunController::RowSendFailed(std::size_t step, const std::wstring& why) {
    if (!Running()) return;
    seq_->SendFailed(step, why, host_.Now());
    Drive();
}

void TRunController::Received(std::string_view bytes, TRunTime at) {
    if (!Running()) return;
    seq_->Received(bytes, at);
    Drive();
}

void TRunController::DeviceGone(const std::wstring& why) {
    if (!Running()) return;
    seq_->DeviceGone(why, host_.Now());
    Drive();
}

void TRunController::Tick() {
    if (!Running()) return;
    seq_->Tick(host_.Now());
    Drive();
}

std::string TRunController::ResultsCsv(const std::function<std::wstring(TRunTime)>& formatTime) const {
    return seq_ ? seq_->ResultsCsv(formatTime) : std::string();
}

void TRunController::Drive() {
    // A send reported at once calls back in here: the loop below takes it up.
    if (driving_) {
        again_ = true;
        return;
    }
    driving_ = true;
    do {
        again_ = false;
        if (!seq_) break;
        const TRunAction action = seq_->NextAction();
        switch (action.kind) {
            case TRunActionKind::Send:
                host_.SendRow(action.step, seq_->Rows()[action.step]);
                again_ = true;
                break;
            case TRunActionKind::Wait:
                host_.WakeAt(action.until);
                break;
            case TRunActionKind::AwaitSend:
                break;
            case TRunActionKind::Done:
                if (holding_) {
                    holding_ = false;
                    host_.RunningChanged(false);
                    host_.HoldPort(false);
                }
                break;
        }
    } while (again_);
    driving_ = false;
}

void TRunController::RowFinished(const TRowResult& result) {
    const TRunRow& row = seq_->Rows()[result.step];
    if (!row.Checked() && result.verdict == TRowVerdict::Sent) return;
    const std::wstring text = RowResultText(result);
    host_.ShowResult(row.number, text);
    host_.Note(L"Row " + std::to_wstring(row.number) + L" " + row.function + L": " + text);
}

void TRunController::ProgressChanged(const std::wstring& text) {
    if (kind_ == TRunKind::Run) host_.ShowProgress(text);
}

void TRunController::RunFinished(const std::wstring& summary) {
    if (kind_ == TRunKind::Run) host_.Note(summary);
}
