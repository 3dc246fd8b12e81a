// Entry lookup of the command table: the hashed index must give exactly the
// line that the plain search with the locale comparison finds.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "DataFile.h"
#include "SysUtils.h"

namespace {

// Names that the locale comparison treats in unusual ways: case, ignorable
// characters, blanks, control characters, widths, digits of other scripts,
// composed and decomposed letters, expansions.
const std::vector<std::wstring> kTrickyNames = {L"RowCount",
                                                L"rowcount",
                                                L"ROWCOUNT",
                                                L"RowCount\u00AD",
                                                L"Row\u00ADCount",
                                                L"\u00ADRowCount",
                                                L"RowCount ",
                                                L" RowCount",
                                                L"Row Count",
                                                L"RowCount\t",
                                                L"RowCount\x01",
                                                L"RowCoun",
                                                L"RowCounts",
                                                L"R\u00F6wCount",
                                                L"1",
                                                L"1\u00AD",
                                                L"\u00AD1",
                                                L"1\u200B",
                                                L"\uFEFF1",
                                                L"1 ",
                                                L" 1",
                                                L"1\t",
                                                L"1\x01",
                                                L"\x7F"
                                                L"1",
                                                L"\uFF11",
                                                L"\u0661",
                                                L"\u00B9",
                                                L"01",
                                                L"10",
                                                L"1\u0300",
                                                L"1-",
                                                L"-1",
                                                L"1'",
                                                L"+1",
                                                L"2",
                                                L"\u00AD",
                                                L"",
                                                L"ss",
                                                L"SS",
                                                L"\u00DF",
                                                L"ae",
                                                L"\u00E6",
                                                L"\u00E9",
                                                L"E\u0301",
                                                L"e\u0301",
                                                L"\u00C9",
                                                L"i",
                                                L"I",
                                                L"\u0130",
                                                L"\u0131",
                                                L"k",
                                                L"K",
                                                L"\u212A",
                                                L"\u00C5",
                                                L"\u212B",
                                                L"A\u030A",
                                                L"\xD800",
                                                L"1\xDC00",
                                                L"\u0391",
                                                L"\u03B1",
                                                L"\u03C2",
                                                L"\u03C3",
                                                L"\u03A3"};

// Lines as a table file in UTF-16 holds them (any character survives).
TDataLines DataLines(const std::vector<std::wstring>& lines) {
    std::string bytes = "\xFF\xFE";
    for (const std::wstring& line : lines)
        for (wchar_t c : line + L"\n") {
            bytes.push_back(static_cast<char>(c & 0xFF));
            bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
        }
    return TDataLines(bytes);
}

TDataLines LinesOf(const std::vector<std::wstring>& names) {
    std::vector<std::wstring> lines;
    for (std::size_t i = 0; i < names.size(); ++i)
        lines.push_back(names[i] + L"=v" + std::to_wstring(i));
    return DataLines(lines);
}

void ExpectSameAsLinear(const TDataLines& lines, const std::vector<std::wstring>& keys) {
    const TEntryIndex index(lines);
    for (const auto& key : keys) {
        SCOPED_TRACE(testing::Message() << "key of " << key.size() << " chars, first "
                                        << (key.empty() ? 0 : static_cast<unsigned>(key[0])));
        EXPECT_EQ(index.IndexOfName(key), IndexOfEntryLinear(lines, key));
    }
}

TEST(EntryIndex, FindsTheFirstEntryLikeThePlainSearch) {
    std::vector<std::wstring> names = kTrickyNames;
    std::vector<std::wstring> keys = kTrickyNames;
    keys.push_back(L"absent");
    for (int i = 3; i <= 12; ++i) keys.push_back(std::to_wstring(i));
    ExpectSameAsLinear(LinesOf(names), keys);
    std::reverse(names.begin(), names.end());
    ExpectSameAsLinear(LinesOf(names), keys);
    // Every name first, each key found at its own line or an earlier equal one.
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::vector<std::wstring> rotated(names.begin() + static_cast<long>(i), names.end());
        rotated.insert(rotated.end(), names.begin(), names.begin() + static_cast<long>(i));
        ExpectSameAsLinear(LinesOf(rotated), {L"1", L"RowCount", L"ss", L"\u00E9", L"i"});
    }
}

TEST(EntryIndex, SmallTablesCompareDirectlyAndAgreeToo) {
    const std::vector<std::wstring> keys = {L"1",  L"RowCount", L"ss",      L"\u00E9",
                                            L"1 ", L"",         L"\u00AD1", L"K"};
    for (std::size_t i = 0; i + 4 <= kTrickyNames.size(); i += 2) {
        std::vector<std::wstring> names(kTrickyNames.begin() + static_cast<long>(i),
                                        kTrickyNames.begin() + static_cast<long>(i) + 4);
        names.push_back(L"1");
        names.push_back(L"rowcount");
        ExpectSameAsLinear(LinesOf(names), keys);
    }
}

// The index finds row numbers by their text. That rests on two facts of the
// comparison: distinct digit strings differ, and a name with an ASCII letter
// equals no digit string.
TEST(EntryIndex, DigitNamesEqualOnlyThemselves) {
    std::vector<std::wstring> digits;
    for (int i = 0; i < 300; ++i) digits.push_back(std::to_wstring(i));
    digits.insert(digits.end(), {L"00", L"01", L"001", L"010", L"2147483647", L"02147483647"});
    for (const auto& a : digits)
        for (const auto& b : digits)
            ASSERT_EQ(tk::SameTextLocale(a, b), a == b) << a.size() << "/" << b.size();
    for (wchar_t letter = L'A'; letter <= L'z'; ++letter) {
        if (letter > L'Z' && letter < L'a') continue;
        for (const auto& d : {std::wstring(L"1"), std::wstring(L"10"), std::wstring(L"")}) {
            for (std::size_t p = 0; p <= d.size(); ++p) {
                std::wstring name = d;
                name.insert(p, 1, letter);
                for (const auto& other : digits) EXPECT_FALSE(tk::SameTextLocale(name, other));
            }
        }
    }
}

// Row numbers are kept by value up to about the line count; repeated ones,
// numbers past the line count, leading zeros and very long ones take other
// paths and must still give the first line, as the plain search does.
TEST(EntryIndex, RowNumbersOfEveryFormAgreeWithThePlainSearch) {
    const std::vector<std::wstring> names = {L"5", L"5", L"007", L"7", L"99", L"0",
                                             L"123456789", L"1234567890", L"99", L"RowCount"};
    ExpectSameAsLinear(LinesOf(names), {L"5", L"7", L"007", L"07", L"99", L"0", L"00", L"123456789",
                                        L"1234567890", L"1", L"8", L"100000000000"});
    const TDataLines lines = LinesOf(names);
    const TEntryIndex index(lines);
    EXPECT_FALSE(index.HasNamesOtherThan(L"rowcount"));
    EXPECT_TRUE(index.HasNamesOtherThan(L"Row.1.Expect"));
}

TEST(EntryIndex, LinesWithoutEqualsAreNoEntries) {
    const TDataLines lines = DataLines({L"RowCount", L"1", L"rowcount=5=6", L"=empty name"});
    const TEntryIndex index(lines);
    EXPECT_EQ(index.IndexOfName(L"RowCount"), 2);
    EXPECT_EQ(index.Values(L"RowCount"), L"5=6");
    EXPECT_EQ(index.IndexOfName(L"1"), -1);
    EXPECT_EQ(index.Values(L"1"), L"");
    EXPECT_EQ(index.IndexOfName(L""), 3);
    EXPECT_EQ(index.Values(L""), L"empty name");
}

// The index rests on this: two names have equal keys exactly when the
// comparison calls them equal. Checked for every character inserted into or
// put in place of a character of the names that a load looks up.
TEST(EntryIndex, KeysAgreeWithTheComparisonForEveryCharacter) {
    const std::vector<std::wstring> keys = {L"RowCount", L"1", L"10", L"7"};
    long checked = 0, equal = 0, disagree = 0;
    for (const auto& key : keys) {
        const std::string keyKey = EntryNameKey(key);
        ASSERT_FALSE(keyKey.empty());
        for (unsigned c = 1; c <= 0xFFFF; ++c) {
            const wchar_t ch = static_cast<wchar_t>(c);
            std::wstring variants[] = {key + ch, ch + key, key, std::wstring(1, ch)};
            variants[2][key.size() / 2] = ch;
            for (const auto& v : variants) {
                const bool sameKey = EntryNameKey(v) == keyKey;
                const bool same = tk::SameTextLocale(v, key);
                ++checked;
                equal += same;
                if (sameKey != same && ++disagree <= 10)
                    ADD_FAILURE() << "character " << std::hex << c << " in a variant of key "
                                  << std::dec << key.size() << " chars: key says " << sameKey
                                  << ", comparison " << same;
            }
        }
    }
    EXPECT_EQ(disagree, 0);
    EXPECT_GT(equal, 4);  // at least the plain names and some case or ignorable variants
    RecordProperty("checked", static_cast<int>(checked));
}

TEST(EntryIndex, RandomTablesAgreeWithThePlainSearch) {
    const std::wstring alphabet = L"1RrOoWwCcNnTt \t\x01\u00AD\u200B\uFF11\u00DFsS\u00E9e\u0301-'=";
    std::mt19937 rng(20261209);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::wstring> names;
        for (int i = 0; i < 150; ++i) {
            std::wstring name;
            const int len = static_cast<int>(rng() % 5);
            for (int j = 0; j < len; ++j) name.push_back(alphabet[rng() % alphabet.size()]);
            names.push_back(name);
        }
        std::vector<std::wstring> lines;
        for (const auto& n : names)
            lines.push_back(rng() % 8 == 0 ? n : n + L"=x");  // some lines without "="
        std::vector<std::wstring> keys(names.begin(), names.begin() + 40);
        keys.insert(keys.end(), {L"1", L"RowCount", L"r", L"s", L"ss"});
        ExpectSameAsLinear(DataLines(lines), keys);
    }
}

}  // namespace
