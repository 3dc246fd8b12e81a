// The one way bytes of the window reach the port: open the port when it is
// closed, write, and close it again unless it is to stay open. The close
// settles the line first (the component waits, bounded, until the driver
// has sent what it holds), so a command is never cut short by its own close.
//
// Sends are never nested: one asked for while another runs (from the loop
// of a message box, or while the window paints during a long write) waits
// its turn and runs right after, and so does a close asked for meanwhile;
// bytes of two commands never interleave.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

class TpwComm;

class TSendPath {
public:
    using TAction = std::function<void()>;

    // keepOpen tells whether the port stays open after a send ("Always
    // connected"); it is asked at the end of every send.
    TSendPath(TpwComm& comm, std::function<bool()> keepOpen);
    TSendPath(const TSendPath&) = delete;
    TSendPath& operator=(const TSendPath&) = delete;

    // Runs the action now, or, while another runs, after it (in order).
    void Serialize(TAction action);
    bool Busy() const { return busy_; }

    // Opens the port unless it is open; raises the component's open error.
    void Open();
    // The reason of the last failed open, as the system words it ("The
    // system cannot find the file specified."), with the port's name.
    std::wstring OpenFailureReason() const;
    // Writes the bytes. Whole: returns once the driver has taken them (text
    // forms); otherwise it returns at once and the close waits for them.
    // Failures go to the component's communication-error report.
    void Write(const std::string& bytes, bool whole);
    // Closes the port unless it is to stay open. The close settles the line.
    void CloseUnlessKept();
    // Keeps the port open after sends, whatever keepOpen says, while a check
    // waits for its reply; the last Release closes it unless kept.
    void Hold() { ++holds_; }
    void Release();

    // Told the bytes of each write as they were handed to the driver.
    std::function<void(const std::string& bytes)> OnWritten;

private:
    TpwComm& comm_;
    std::function<bool()> keepOpen_;
    bool busy_ = false;
    int holds_ = 0;
    std::deque<TAction> waiting_;
};
