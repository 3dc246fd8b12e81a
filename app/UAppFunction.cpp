#include "UAppFunction.h"

namespace {
// A command row has Type, Function and Command Data; later fields are dropped.
constexpr int kMaxCommaFields = 3;
}  // namespace

int SplitCommaText(const std::wstring& Text, tk::TStringList& List) {
    List.Clear();
    const std::size_t n = Text.size();
    std::size_t i = 0;
    while (i < n && List.Count() < kMaxCommaFields) {
        if (Text[i] == L'"') {
            std::wstring field;
            bool closed = false;
            for (++i; i < n; ++i) {
                if (Text[i] != L'"') {
                    field.push_back(Text[i]);
                } else if (i + 1 < n && Text[i + 1] == L'"') {
                    field.push_back(L'"');
                    ++i;
                } else {
                    ++i;
                    closed = true;
                    break;
                }
            }
            List.Add(std::move(field));
            // Whatever follows the closing quote up to the next comma stands alone.
            if (closed && i < n && Text[i] != L',') continue;
        } else {
            std::size_t end = Text.find(L',', i);
            if (end == std::wstring::npos) end = n;
            List.Add(Text.substr(i, end - i));
            i = end;
        }
        if (i >= n) break;
        ++i;  // the comma
        if (i == n && List.Count() < kMaxCommaFields) List.Add(std::wstring());
    }
    return List.Count();
}
