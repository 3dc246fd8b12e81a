#include "UAppFunction.h"

namespace {
// A command row has Type, Function and Command Data; later fields are dropped.
constexpr int kMaxCommaFields = 3;

// Walks the fields of Text by the rules of SplitCommaText and calls
// field(text, quoted) for each: `text` is the field as written without its
// enclosing quotes (in a quoted field a doubled quote still stands for one).
// Returns the number of fields.
template <class Char, class Field>
int ForEachCommaField(std::basic_string_view<Char> Text, Field&& field) {
    const std::size_t n = Text.size();
    std::size_t i = 0;
    int count = 0;
    while (i < n && count < kMaxCommaFields) {
        if (Text[i] == Char('"')) {
            const std::size_t start = ++i;
            bool closed = false;
            for (; i < n; ++i) {
                if (Text[i] != Char('"')) continue;
                if (i + 1 < n && Text[i + 1] == Char('"')) {
                    ++i;
                } else {
                    closed = true;
                    break;
                }
            }
            field(Text.substr(start, i - start), true);
            ++count;
            if (closed) ++i;  // the closing quote
            // Whatever follows the closing quote up to the next comma stands alone.
            if (closed && i < n && Text[i] != Char(',')) continue;
        } else {
            std::size_t end = Text.find(Char(','), i);
            if (end == std::basic_string_view<Char>::npos) end = n;
            field(Text.substr(i, end - i), false);
            ++count;
            i = end;
        }
        if (i >= n) break;
        ++i;  // the comma
        if (i == n && count < kMaxCommaFields) {
            field(std::basic_string_view<Char>(), false);
            ++count;
        }
    }
    return count;
}
}  // namespace

int SplitCommaText(std::wstring_view Text, tk::TStringList& List) {
    List.Clear();
    return ForEachCommaField(Text, [&List](std::wstring_view text, bool quoted) {
        std::wstring field;
        if (!quoted) {
            field.assign(text);
        } else {
            field.reserve(text.size());
            for (std::size_t i = 0; i < text.size(); ++i) {
                field.push_back(text[i]);
                if (text[i] == L'"') ++i;  // a doubled quote stands for one
            }
        }
        List.Add(std::move(field));
    });
}

int CountCommaFields(std::wstring_view Text) {
    return ForEachCommaField(Text, [](std::wstring_view, bool) {});
}

int CountCommaFields(std::string_view Text) {
    return ForEachCommaField(Text, [](std::string_view, bool) {});
}

#ifdef _WIN32

#include <windows.h>

#include <vector>

#include "SysUtils.h"

namespace {
[[noreturn]] void RaiseVersionError(DWORD error) {
    // Some failures leave no error code behind; still say what went wrong.
    if (error == 0) error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    throw tk::EOSError(tk::SysErrorMessage(error), error);
}
}  // namespace

std::wstring GetAppVersion() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) RaiseVersionError(GetLastError());
        if (n < path.size()) break;
        path.resize(path.size() * 2);
    }
    DWORD dummy = 0;
    SetLastError(0);
    const DWORD size = GetFileVersionInfoSizeW(path.data(), &dummy);
    if (size == 0) RaiseVersionError(GetLastError());
    std::vector<unsigned char> block(size);
    SetLastError(0);
    if (!GetFileVersionInfoW(path.data(), 0, size, block.data())) RaiseVersionError(GetLastError());
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    SetLastError(0);
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info ||
        len < sizeof(VS_FIXEDFILEINFO))
        RaiseVersionError(GetLastError());
    return tk::Format(L"%d.%d.%d", {static_cast<int>(HIWORD(info->dwFileVersionMS)),
                                    static_cast<int>(LOWORD(info->dwFileVersionMS)),
                                    static_cast<int>(HIWORD(info->dwFileVersionLS))});
}

#endif
