// The comma splitter of command table rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UAppFunction.h"

namespace {

std::vector<std::wstring> Split(const std::wstring& text, int* count = nullptr) {
    tk::TStringList list;
    list.Add(L"left over from before");
    const int n = SplitCommaText(text, list);
    if (count) *count = n;
    std::vector<std::wstring> out;
    for (int i = 0; i < list.Count(); ++i) out.push_back(list.Strings(i));
    EXPECT_EQ(n, list.Count());
    EXPECT_EQ(CountCommaFields(text), n) << "counting without splitting";
    return out;
}

using V = std::vector<std::wstring>;

TEST(SplitCommaText, EmptyTextGivesNoFieldsAndClearsTheList) {
    int n = -1;
    EXPECT_EQ(Split(L"", &n), V{});
    EXPECT_EQ(n, 0);
}

TEST(SplitCommaText, PlainFieldsKeepBlanksAndTabsAtBothEnds) {
    EXPECT_EQ(Split(L"ASCII,Reset,ATZ"), (V{L"ASCII", L"Reset", L"ATZ"}));
    EXPECT_EQ(Split(L"ASCII, Reset, ATZ"), (V{L"ASCII", L" Reset", L" ATZ"}));
    EXPECT_EQ(Split(L" a\t,\tb , c "), (V{L" a\t", L"\tb ", L" c "}));
    EXPECT_EQ(Split(L"single"), (V{L"single"}));
}

TEST(SplitCommaText, CommasAtTheEdgesGiveEmptyFields) {
    EXPECT_EQ(Split(L",a"), (V{L"", L"a"}));
    EXPECT_EQ(Split(L"a,"), (V{L"a", L""}));
    EXPECT_EQ(Split(L","), (V{L"", L""}));
    EXPECT_EQ(Split(L",,"), (V{L"", L"", L""}));
    EXPECT_EQ(Split(L"a,,c"), (V{L"a", L"", L"c"}));
}

TEST(SplitCommaText, QuotedFieldsHoldCommasAndDoubledQuotes) {
    EXPECT_EQ(Split(L"\"ASCII\",\"Reset\",\"ATZ\""), (V{L"ASCII", L"Reset", L"ATZ"}));
    EXPECT_EQ(Split(L"HEX,\"a, b\",\"say \"\"hi\"\"\""), (V{L"HEX", L"a, b", L"say \"hi\""}));
    EXPECT_EQ(Split(L"\"\",x"), (V{L"", L"x"}));
    EXPECT_EQ(Split(L"\"\"\"\""), (V{L"\""}));
    EXPECT_EQ(Split(L"\" lead and trail \""), (V{L" lead and trail "}));
}

TEST(SplitCommaText, UnclosedQuoteRunsToTheEnd) {
    EXPECT_EQ(Split(L"\"abc,def"), (V{L"abc,def"}));
    EXPECT_EQ(Split(L"a,\"b,c"), (V{L"a", L"b,c"}));
    EXPECT_EQ(Split(L"\""), (V{L""}));
    EXPECT_EQ(Split(L"\"ab\"\""), (V{L"ab\""}));
}

TEST(SplitCommaText, TextAfterClosingQuoteIsAFieldOfItsOwn) {
    EXPECT_EQ(Split(L"\"ab\"cd,e"), (V{L"ab", L"cd", L"e"}));
    EXPECT_EQ(Split(L"\"a\" ,b"), (V{L"a", L" ", L"b"}));
    EXPECT_EQ(Split(L"\"a\"x"), (V{L"a", L"x"}));
}

TEST(SplitCommaText, QuoteInsideAFieldIsOrdinary) {
    EXPECT_EQ(Split(L"a\"b,c\""), (V{L"a\"b", L"c\""}));
    EXPECT_EQ(Split(L" \"a,b\""), (V{L" \"a", L"b\""}));
}

TEST(SplitCommaText, FieldsAfterTheThirdAreIgnored) {
    int n = 0;
    EXPECT_EQ(Split(L"a,b,c,d", &n), (V{L"a", L"b", L"c"}));
    EXPECT_EQ(n, 3);
    EXPECT_EQ(Split(L"a,b,c,"), (V{L"a", L"b", L"c"}));
    EXPECT_EQ(Split(L"a,b,\"c,d\",\"e"), (V{L"a", L"b", L"c,d"}));
}

}  // namespace
