#include "TablePrefetch.h"

#include <exception>
#include <utility>

#include <windows.h>

#include "SysUtils.h"
#include "Threads.h"

// The reader only reads a file: it is waited for plainly, without running
// the main thread's queued calls or sent messages in the middle of the
// window's construction.
class TTablePrefetch::TReader : public tk::TThread {
public:
    explicit TReader(std::wstring fileName) : tk::TThread(true), fileName_(std::move(fileName)) {
        Start();
    }
    ~TReader() override { Join(); }

    std::optional<TTableFile> Take() {
        Join();
        if (FatalException()) std::rethrow_exception(FatalException());
        return std::move(table_);
    }

protected:
    void Execute() override {
        if (tk::FileExists(fileName_)) table_ = ReadTableFile(fileName_);
    }

private:
    void Join() { WaitForSingleObject(Handle(), INFINITE); }

    const std::wstring fileName_;
    std::optional<TTableFile> table_;
};

TTablePrefetch::TTablePrefetch(std::wstring fileName)
    : reader_(std::make_unique<TReader>(std::move(fileName))) {}

TTablePrefetch::~TTablePrefetch() = default;

std::optional<TTableFile> TTablePrefetch::Take() {
    if (!reader_) return std::nullopt;
    std::optional<TTableFile> table = reader_->Take();
    reader_.reset();
    return table;
}
