#include "USerial_Function.h"

#include <algorithm>

namespace {

bool IsSeparator(wchar_t c, wchar_t delimiter) { return (c >= 1 && c <= 32) || c == delimiter; }

}  // namespace

int SplitDelimitedText(wchar_t Delimiter, const std::wstring& Text, tk::TStringList& List) {
    List.Clear();
    // A NUL ends the text, as for the command file's own lines.
    const std::size_t n = std::min(Text.find(L'\0'), Text.size());
    std::size_t i = 0;
    auto skip = [&] {
        while (i < n && Text[i] >= 1 && Text[i] <= 32) ++i;
    };
    skip();
    while (i < n) {
        std::wstring token;
        if (Text[i] == L'"') {
            // Quoted token: ends at the next single quote; "" is one quote.
            ++i;
            while (i < n) {
                if (Text[i] == L'"') {
                    if (i + 1 < n && Text[i + 1] == L'"') {
                        token.push_back(L'"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                token.push_back(Text[i++]);
            }
        } else {
            while (i < n && !IsSeparator(Text[i], Delimiter)) token.push_back(Text[i++]);
        }
        List.Add(std::move(token));
        skip();
        if (Delimiter > 32 && i < n && Text[i] == Delimiter) {
            ++i;
            skip();
        }
    }
    return List.Count();
}

int HexDigitValue(wchar_t Ch) {
    if (Ch >= L'0' && Ch <= L'9') return Ch - L'0';
    if (Ch >= L'A' && Ch <= L'F') return Ch - L'A' + 10;
    return -1;
}

int HexByteValue(const std::wstring& Token) {
    auto upper = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; };
    if (Token.empty()) return -1;
    int high = HexDigitValue(upper(Token[0]));
    if (high < 0) return -1;
    int low = Token.size() > 1 ? HexDigitValue(upper(Token[1])) : -1;
    if (low < 0) return -1;
    return high * 16 + low;
}
