// Blank-separated tokens and hexadecimal bytes of HEX commands.
#include <gtest/gtest.h>

#include "USerial_Function.h"

namespace {

std::vector<std::wstring> Tokens(const std::wstring& text) {
    tk::TStringList list;
    list.Add(L"stale");  // must be cleared
    int n = SplitDelimitedText(L' ', text, list);
    std::vector<std::wstring> out;
    for (int i = 0; i < list.Count(); ++i) out.push_back(list.Strings(i));
    EXPECT_EQ(n, list.Count());
    return out;
}

using V = std::vector<std::wstring>;

TEST(SplitDelimitedText, BlanksTabsAndControlCharactersSeparateWithoutEmptyTokens) {
    EXPECT_EQ(Tokens(L"01 02 0A FF"), (V{L"01", L"02", L"0A", L"FF"}));
    EXPECT_EQ(Tokens(L"  01  \t02\r\n"), (V{L"01", L"02"}));
    EXPECT_EQ(Tokens(L"01\x01\x1F" L"02"), (V{L"01", L"02"}));
    EXPECT_EQ(Tokens(L""), V{});
    EXPECT_EQ(Tokens(L" \t "), V{});
    EXPECT_EQ(Tokens(L"0102"), V{L"0102"});
}

TEST(SplitDelimitedText, QuotedTokensKeepBlanksAndUndoubleQuotes) {
    EXPECT_EQ(Tokens(L"\"a b\" c"), (V{L"a b", L"c"}));
    EXPECT_EQ(Tokens(L"\"say \"\"hi\"\"\""), V{L"say \"hi\""});
    // Unterminated: runs to the end of the text.
    EXPECT_EQ(Tokens(L"\"open ended"), V{L"open ended"});
    // Text right after the closing quote starts a token of its own.
    EXPECT_EQ(Tokens(L"\"ab\"cd"), (V{L"ab", L"cd"}));
    // A quote inside a plain token is an ordinary character.
    EXPECT_EQ(Tokens(L"a\"b"), V{L"a\"b"});
    EXPECT_EQ(Tokens(L"\"\""), V{L""});
}

TEST(SplitDelimitedText, NulEndsTheText) {
    std::wstring text = L"01 02";
    text.push_back(L'\0');
    text += L" 03";
    EXPECT_EQ(Tokens(text), (V{L"01", L"02"}));
}

TEST(HexDigitValue, OnlyDigitsAndUpperCaseLetters) {
    EXPECT_EQ(HexDigitValue(L'0'), 0);
    EXPECT_EQ(HexDigitValue(L'9'), 9);
    EXPECT_EQ(HexDigitValue(L'A'), 10);
    EXPECT_EQ(HexDigitValue(L'F'), 15);
    EXPECT_EQ(HexDigitValue(L'a'), -1);
    EXPECT_EQ(HexDigitValue(L'G'), -1);
    EXPECT_EQ(HexDigitValue(L'/'), -1);
    EXPECT_EQ(HexDigitValue(L':'), -1);
    EXPECT_EQ(HexDigitValue(L'\xFF10'), -1);  // full-width digit zero
}

TEST(HexByteValue, ReadsTheFirstTwoCharacters) {
    EXPECT_EQ(HexByteValue(L"0A"), 10);
    EXPECT_EQ(HexByteValue(L"0a"), 10);
    EXPECT_EQ(HexByteValue(L"0A7"), 10);
    EXPECT_EQ(HexByteValue(L"0AZZ"), 10);
    EXPECT_EQ(HexByteValue(L"ff"), 255);
    EXPECT_EQ(HexByteValue(L"00"), 0);
    // A 40-character token is read by its first two characters too.
    EXPECT_EQ(HexByteValue(L"7F" + std::wstring(38, L'Z')), 0x7F);
}

TEST(HexByteValue, RefusesShortAndNonHexTokens) {
    EXPECT_EQ(HexByteValue(L""), -1);
    EXPECT_EQ(HexByteValue(L"1"), -1);
    EXPECT_EQ(HexByteValue(L"0g"), -1);
    EXPECT_EQ(HexByteValue(L"g0"), -1);
    EXPECT_EQ(HexByteValue(L"\x0130" L"0"), -1);  // only a-z are upper-cased
}

}  // namespace
