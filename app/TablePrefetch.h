// The start table read while the window is being built. Creating the main
// window's controls takes tens of milliseconds under Wine, mostly waiting on
// the system; reading and parsing a large table on a thread of its own in
// that time leaves the window only the filling of its grid.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "DataFile.h"

class TTablePrefetch {
public:
    // Starts reading `fileName` when it exists.
    explicit TTablePrefetch(std::wstring fileName);
    ~TTablePrefetch();
    TTablePrefetch(const TTablePrefetch&) = delete;
    TTablePrefetch& operator=(const TTablePrefetch&) = delete;

    // Waits for the reading: the table, or nothing when the file did not
    // exist. Once only.
    std::optional<TTableFile> Take();

private:
    class TReader;
    std::unique_ptr<TReader> reader_;
};
