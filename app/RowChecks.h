// The checks a table gives its rows, in keys of their own beside the row
// lines, so every row line stays a plain command that older builds load:
//   Row.N.Expect=   the reply row N must get (see ReplyCheck)
//   Row.N.Timeout=  milliseconds to wait for it (default 1000)
//   Row.N.Delay=    milliseconds to wait after the row in a run (default 0)
// Keys are looked up by name like every entry: first line per name counts,
// letter case ignored. An empty value is the same as no key.
#pragma once

#include <string>
#include <vector>

#include "Classes.h"
#include "ReplyCheck.h"

class TDataLines;

constexpr int kDefaultTimeoutMs = 1000;
constexpr int kDefaultDelayMs = 0;
constexpr int kMaxCheckMs = 3600000;

struct TRowCheck {
    std::wstring expectText;  // as written; empty: the row is not checked
    TExpectedReply expect;    // parsed expectText
    std::wstring expectError; // why expectText could not be parsed
    int timeoutMs = kDefaultTimeoutMs;
    int delayMs = kDefaultDelayMs;
    // The values as written, so that saving keeps them, bad ones included.
    std::wstring timeoutText;
    std::wstring delayText;

    bool Checked() const { return !expectText.empty(); }
};

struct TRowChecks {
    // rows[r - 1] belongs to row r; the rows past its end have the defaults.
    std::vector<TRowCheck> rows;
    std::vector<std::wstring> errors;  // one per bad value, naming its line

    bool AnyExpect() const;
};

// Names of the keys of row `row`.
std::wstring RowKeyName(int row, const wchar_t* key);
inline const wchar_t* const kExpectKey = L"Expect";
inline const wchar_t* const kTimeoutKey = L"Timeout";
inline const wchar_t* const kDelayKey = L"Delay";

// Gives a row the expected reply the user typed: kept as typed (so a save
// writes it so), parsed for checking. Returns why it cannot be parsed, or
// nothing; the row then fails when checked, as one loaded with that value.
std::wstring SetExpectText(TRowCheck& check, const std::wstring& text);

// Reads the keys of rows 1 to rowCount from a loaded line store. A bad value
// is reported ("Line 7: Row.2.Timeout=abc: ...") and its default used; the
// other keys and rows are read on.
TRowChecks LoadRowChecks(const TDataLines& lines, int rowCount);
