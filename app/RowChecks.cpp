#include "RowChecks.h"

#include "DataFile.h"
#include "SysUtils.h"

namespace {

// Decimal digits with blanks around them, as a user types a number of
// milliseconds; no sign, no hex.
bool ParseMilliseconds(const std::wstring& text, int low, int& value) {
    std::size_t i = 0, n = text.size();
    while (i < n && (text[i] == L' ' || text[i] == L'\t')) ++i;
    while (n > i && (text[n - 1] == L' ' || text[n - 1] == L'\t')) --n;
    if (i == n) return false;
    long long v = 0;
    for (; i < n; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        v = v * 10 + (text[i] - L'0');
        if (v > kMaxCheckMs) return false;
    }
    if (v < low) return false;
    value = static_cast<int>(v);
    return true;
}

std::wstring LineOf(const TDataLines& lines, int index) {
    return L"Line " + tk::IntToStr(index + 1) + L": " + lines.Line(index) + L": ";
}

}  // namespace

bool TRowChecks::AnyExpect() const {
    for (const auto& row : rows)
        if (row.Checked()) return true;
    return false;
}

std::wstring RowKeyName(int row, const wchar_t* key) {
    return L"Row." + tk::IntToStr(row) + L"." + key;
}

std::wstring SetExpectText(TRowCheck& check, const std::wstring& text) {
    check.expectText = text;
    check.expect = TExpectedReply();
    check.expectError.clear();
    if (check.Checked()) ParseExpectedReply(text, check.expect, check.expectError);
    return check.expectError;
}

TRowChecks LoadRowChecks(const TDataLines& lines, int rowCount) {
    TRowChecks checks;
    if (rowCount <= 0) return checks;
    const TEntryIndex entries(lines);
    // No keys at all: every row has the defaults (rows absent from `rows` do).
    if (!entries.HasNamesOtherThan(L"RowCount")) return checks;
    checks.rows.resize(static_cast<std::size_t>(rowCount));
    auto value = [&](int row, const wchar_t* key, int& index) {
        index = entries.IndexOfName(RowKeyName(row, key));
        if (index < 0) return std::wstring();
        const std::wstring line = lines.Line(index);
        return line.substr(line.find(L'=') + 1);
    };
    const std::wstring range = L" to " + tk::IntToStr(kMaxCheckMs);
    for (int r = 1; r <= rowCount; ++r) {
        TRowCheck& check = checks.rows[static_cast<std::size_t>(r - 1)];
        int at = -1;
        if (!SetExpectText(check, value(r, kExpectKey, at)).empty())
            checks.errors.push_back(LineOf(lines, at) + check.expectError);

        check.timeoutText = value(r, kTimeoutKey, at);
        if (!check.timeoutText.empty() && !ParseMilliseconds(check.timeoutText, 1, check.timeoutMs))
            checks.errors.push_back(LineOf(lines, at) +
                                    L"the time-out must be a whole number of milliseconds from 1" +
                                    range + L"; " + tk::IntToStr(kDefaultTimeoutMs) +
                                    L" is used");

        check.delayText = value(r, kDelayKey, at);
        if (!check.delayText.empty() && !ParseMilliseconds(check.delayText, 0, check.delayMs))
            checks.errors.push_back(LineOf(lines, at) +
                                    L"the delay must be a whole number of milliseconds from 0" +
                                    range + L"; " + tk::IntToStr(kDefaultDelayMs) + L" is used");
    }
    return checks;
}
