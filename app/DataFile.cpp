#include "DataFile.h"

#include <algorithm>
#include <climits>
#include <new>
#include <type_traits>

#include "SysUtils.h"
#include "UAppFunction.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cwctype>
#endif

namespace {

bool IsAsciiByte(char c) { return static_cast<unsigned char>(c) < 0x80; }

// Name part of an entry line; false for a line without "=".
template <class Char>
bool EntryName(std::basic_string_view<Char> line, std::basic_string_view<Char>& name) {
    const std::size_t eq = line.find(Char('='));
    if (eq == std::basic_string_view<Char>::npos) return false;
    name = line.substr(0, eq);
    return true;
}

// A view of either width as a wide string (narrow text is ASCII here).
template <class Char>
std::wstring Widen(std::basic_string_view<Char> text) {
    return std::wstring(text.begin(), text.end());
}

// The comparison of tk::SameTextLocale, on views.
bool SameName(std::wstring_view a, std::wstring_view b) {
#ifdef _WIN32
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                          static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
#else
    return tk::SameTextLocale(std::wstring(a), std::wstring(b));
#endif
}

std::wstring DecodeUtf16(const std::string& bytes, std::size_t start, bool bigEndian) {
    std::wstring out;
    out.reserve((bytes.size() - start) / 2);
    for (std::size_t i = start; i + 1 < bytes.size(); i += 2) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        out.push_back(static_cast<wchar_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0));
    }
    return out;
}

#ifdef _WIN32

void CheckConvertible(std::size_t size) {
    // The system's converters take int lengths.
    if (size > static_cast<std::size_t>(INT_MAX)) throw std::bad_alloc();
}

std::wstring DecodeUtf8(const std::string& bytes) {
    CheckConvertible(bytes.size());
    return tk::Utf8ToWide(bytes);
}

std::wstring DecodeAnsi(const std::string& bytes) {
    CheckConvertible(bytes.size());
    return tk::AnsiToWide(bytes);
}

#else

// Stand-in for the system's converter: malformed sequences become U+FFFD,
// characters beyond the BMP become surrogate pairs.
std::wstring DecodeUtf8(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned b = static_cast<unsigned char>(bytes[i]);
        unsigned need = 0;
        std::uint32_t cp = 0, min = 0;
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            need = 1, cp = b & 0x1F, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2, cp = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3, cp = b & 0x07, min = 0x10000;
        } else {
            out.push_back(L'\xFFFD');
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        for (; j < n && j <= i + need; ++j) {
            const unsigned c = static_cast<unsigned char>(bytes[j]);
            if ((c & 0xC0) != 0x80) break;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (j != i + need + 1 || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(L'\xFFFD');
            i = j > i + 1 ? j : i + 1;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
        i = j;
    }
    return out;
}

std::wstring DecodeAnsi(const std::string& bytes) { return tk::BytesToLatin1(bytes); }

#endif

}  // namespace

TDataEncoding DetectDataEncoding(const std::string& bytes, std::size_t& markSize) {
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    markSize = 3;
    if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF)
        return TDataEncoding::Utf8;
    markSize = 2;
    if (bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) return TDataEncoding::Utf16LE;
    if (bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) return TDataEncoding::Utf16BE;
    markSize = 0;
    return TDataEncoding::Ansi;
}

std::wstring DecodeDataText(const std::string& bytes, TDataEncoding encoding) {
    switch (encoding) {
        case TDataEncoding::Utf8:
            return DecodeUtf8(bytes);
        case TDataEncoding::Utf16LE:
            return DecodeUtf16(bytes, 0, false);
        case TDataEncoding::Utf16BE:
            return DecodeUtf16(bytes, 0, true);
        case TDataEncoding::Ansi:
            break;
    }
    return DecodeAnsi(bytes);
}

namespace {

std::string EncodeUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    auto put = [&](unsigned v) { out.push_back(static_cast<char>(v)); };
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = static_cast<std::uint16_t>(text[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
            const std::uint32_t lo = static_cast<std::uint16_t>(text[i + 1]);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        }
        if (cp < 0x80) {
            put(cp);
        } else if (cp < 0x800) {
            put(0xC0 | (cp >> 6)), put(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            // A lone surrogate comes out malformed and fails the check below.
            put(0xE0 | (cp >> 12)), put(0x80 | ((cp >> 6) & 0x3F)), put(0x80 | (cp & 0x3F));
        } else {
            put(0xF0 | (cp >> 18)), put(0x80 | ((cp >> 12) & 0x3F));
            put(0x80 | ((cp >> 6) & 0x3F)), put(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string EncodeAnsi(const std::wstring& text) {
#ifdef _WIN32
    return tk::WideToAnsi(text);
#else
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) out.push_back(static_cast<unsigned>(c) <= 0xFF ? static_cast<char>(c) : '?');
    return out;
#endif
}

}  // namespace

bool EncodeDataText(const std::wstring& text, TDataEncoding encoding, std::string& bytes) {
    bytes.clear();
    switch (encoding) {
        case TDataEncoding::Utf8:
            bytes = EncodeUtf8(text);
            break;
        case TDataEncoding::Utf16LE:
        case TDataEncoding::Utf16BE: {
            const bool be = encoding == TDataEncoding::Utf16BE;
            bytes.reserve(text.size() * 2);
            for (wchar_t c : text) {
                const std::uint32_t code = static_cast<std::uint32_t>(c);  // 32-bit off Windows
                if (code > 0xFFFF) return false;
                const auto hi = static_cast<char>((c >> 8) & 0xFF), lo = static_cast<char>(c & 0xFF);
                bytes.push_back(be ? hi : lo);
                bytes.push_back(be ? lo : hi);
            }
            return true;
        }
        case TDataEncoding::Ansi:
            bytes = EncodeAnsi(text);
            break;
    }
    // The converters replace what they cannot store; reading back tells.
    return DecodeDataText(bytes, encoding) == text;
}

std::wstring DecodeDataFileBytes(const std::string& bytes) {
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF)
        return DecodeUtf8(bytes.substr(3));
    if (bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) return DecodeUtf16(bytes, 2, false);
    if (bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) return DecodeUtf16(bytes, 2, true);
    return DecodeAnsi(bytes);
}

TDataLines::TDataLines(std::string bytes) {
    // Plain ASCII reads alike in every ANSI code page: it stays as it is.
    narrow_ = std::all_of(bytes.begin(), bytes.end(), IsAsciiByte);
    if (narrow_) {
        ascii_ = std::move(bytes);
        CutLines(ascii_);
    } else {
        wide_ = DecodeDataFileBytes(bytes);
        CutLines(wide_);
    }
}

template <class Text>
void TDataLines::CutLines(Text& text) {
    using Char = typename Text::value_type;
    text.resize(std::min(text.find(Char('\0')), text.size()));
    // The bounds are 32-bit: a table file is read whole into memory, far
    // below this.
    if (text.size() >= UINT32_MAX) throw std::bad_alloc();
    const auto isBreak = [](Char c) { return c == Char('\r') || c == Char('\n'); };
    // The length of the line break at i: CR LF counts as one break.
    const auto breakLength = [&](std::size_t i) -> std::size_t {
        return text[i] == Char('\r') && i + 1 < text.size() && text[i + 1] == Char('\n') ? 2 : 1;
    };
    // Counted first: the bounds are sized once (a table has thousands of lines).
    std::size_t breaks = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!isBreak(text[i])) continue;
        i += breakLength(i) - 1;
        ++breaks;
    }
    bounds_.reserve(2 * (breaks + 1));
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t stop = start;
        while (stop < text.size() && !isBreak(text[stop])) ++stop;
        bounds_.push_back(static_cast<std::uint32_t>(start));
        bounds_.push_back(static_cast<std::uint32_t>(stop));
        start = stop < text.size() ? stop + breakLength(stop) : stop;
    }
}

std::pair<std::size_t, std::size_t> TDataLines::Bounds(int index) const {
    if (index < 0 || index >= Count()) tk::TList::Error(index);
    const auto i = 2 * static_cast<std::size_t>(index);
    return {bounds_[i], bounds_[i + 1] - bounds_[i]};
}

std::wstring TDataLines::Line(int index) const {
    return Visit(index, [](auto line) { return Widen(line); });
}

#ifdef _WIN32

std::string EntryNameKey(std::wstring_view name) {
    const DWORD flags = LCMAP_SORTKEY | NORM_IGNORECASE;
    // The empty name needs the terminated form; a length of 0 is refused.
    const wchar_t* src = name.empty() ? L"" : name.data();
    const int len = name.empty() ? -1 : static_cast<int>(name.size());
    if (name.size() > static_cast<std::size_t>(INT_MAX / 16)) return {};
    std::string key(name.size() * 8 + 32, '\0');
    int n = LCMapStringW(LOCALE_USER_DEFAULT, flags, src, len, reinterpret_cast<LPWSTR>(key.data()),
                         static_cast<int>(key.size()));
    if (n == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        n = LCMapStringW(LOCALE_USER_DEFAULT, flags, src, len, nullptr, 0);
        if (n <= 0) return {};
        key.assign(static_cast<std::size_t>(n), '\0');
        n = LCMapStringW(LOCALE_USER_DEFAULT, flags, src, len, reinterpret_cast<LPWSTR>(key.data()),
                         n);
    }
    if (n <= 0) return {};
    key.resize(static_cast<std::size_t>(n));
    return key;
}

#else

std::string EntryNameKey(std::wstring_view name) {
    // Mirrors the portable SameTextLocale: equal length, equal lower case.
    std::string key;
    key.reserve(name.size() * sizeof(wchar_t) + 1);
    key.push_back('k');  // never empty, so the empty name has a key too
    for (wchar_t c : name) {
        const auto lower = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        key.append(reinterpret_cast<const char*>(&lower), sizeof lower);
    }
    return key;
}

#endif

int IndexOfEntryLinear(const TDataLines& lines, const std::wstring& name) {
    for (int i = 0; i < lines.Count(); ++i) {
        const bool same = lines.Visit(i, [&](auto line) {
            decltype(line) entry;
            return EntryName(line, entry) && SameName(Widen(entry), name);
        });
        if (same) return i;
    }
    return -1;
}

namespace {

enum class TNameKind { Digits, Letters, Other };

template <class Char>
TNameKind KindOfName(std::basic_string_view<Char> name) {
    bool allDigits = !name.empty();
    for (Char c : name) {
        if ((c >= Char('A') && c <= Char('Z')) || (c >= Char('a') && c <= Char('z')))
            return TNameKind::Letters;
        if (c < Char('0') || c > Char('9')) allDigits = false;
    }
    return allDigits ? TNameKind::Digits : TNameKind::Other;
}

// Up to this many names a group is searched by direct comparison.
constexpr std::size_t kDirectSearchLimit = 8;

// Calls f with the name of entry line i as a wide view (empty for a line
// without "="): narrow names are widened into a buffer on the stack when
// short, as names are, so a lookup allocates nothing.
template <class F>
decltype(auto) WithNameOfLine(const TDataLines& lines, int i, F&& f) {
    return lines.Visit(i, [&](auto line) {
        decltype(line) name;
        EntryName(line, name);
        if constexpr (std::is_same_v<decltype(name), std::wstring_view>) {
            return f(name);
        } else {
            wchar_t buffer[64];
            if (name.size() > std::size(buffer)) return f(std::wstring_view(Widen(name)));
            std::copy(name.begin(), name.end(), buffer);
            return f(std::wstring_view(buffer, name.size()));
        }
    });
}

bool LineNameIs(const TDataLines& lines, int i, std::wstring_view name) {
    return WithNameOfLine(lines, i, [&](std::wstring_view entry) { return SameName(entry, name); });
}

}  // namespace

void TEntryIndex::TNameGroup::Finish(const TDataLines& lines) {
    if (lines_.size() <= kDirectSearchLimit) return;
    keyed_ = true;
    first_.reserve(lines_.size());
    for (int i : lines_) {
        std::string key =
            WithNameOfLine(lines, i, [](std::wstring_view name) { return EntryNameKey(name); });
        if (key.empty())
            unkeyed_.push_back(i);
        else
            first_.emplace(std::move(key), i);  // keeps the first line per key
    }
}

int TEntryIndex::TNameGroup::Find(const TDataLines& lines, const std::wstring& name,
                                  std::string& key, bool& keyMade, int limit) const {
    auto direct = [&](const std::vector<int>& candidates, int stop) {
        for (int i : candidates) {
            if (stop >= 0 && i > stop) break;
            if (LineNameIs(lines, i, name)) return i;
        }
        return -1;
    };
    if (!keyed_) return direct(lines_, limit);
    if (!keyMade) {
        key = EntryNameKey(name);
        keyMade = true;
    }
    if (key.empty()) return direct(lines_, limit);
    int found = -1;
    if (auto it = first_.find(key); it != first_.end()) {
        if (!LineNameIs(lines, it->second, name)) return direct(lines_, limit);
        found = it->second;
    }
    const int early = direct(unkeyed_, found);
    return early >= 0 ? early : found;
}

namespace {

// The value of a digit name written plainly: no leading zero, at most nine
// digits; -1 for any other.
template <class Char>
int PlainNumber(std::basic_string_view<Char> digits) {
    if (digits.size() > 9 || (digits.size() > 1 && digits[0] == Char('0'))) return -1;
    int v = 0;
    for (Char c : digits) v = v * 10 + (c - Char('0'));
    return v;
}

}  // namespace

TEntryIndex::TEntryIndex(const TDataLines& lines) : lines_(lines) {
    // A table numbers its rows 1..N in about as many lines.
    byNumber_.assign(static_cast<std::size_t>(lines.Count()) + 2, -1);
    digitLines_.reserve(static_cast<std::size_t>(lines.Count()));
    for (int i = 0; i < lines.Count(); ++i) {
        lines.Visit(i, [&](auto line) {
            decltype(line) name;
            if (!EntryName(line, name)) return;
            switch (KindOfName(name)) {
                case TNameKind::Digits:
                    // The first line per name is kept.
                    if (const int v = PlainNumber(name);
                        v >= 0 && static_cast<std::size_t>(v) < byNumber_.size()) {
                        int& first = byNumber_[static_cast<std::size_t>(v)];
                        if (first < 0) first = i;
                    } else {
                        digits_.emplace(Widen(name), i);
                    }
                    digitLines_.push_back(i);
                    break;
                case TNameKind::Letters:
                    letters_.Add(i);
                    break;
                case TNameKind::Other:
                    others_.Add(i);
                    break;
            }
        });
    }
    letters_.Finish(lines);
    others_.Finish(lines);
}

int TEntryIndex::IndexOfName(const std::wstring& name) const {
    int best = -1;
    auto take = [&](int i) {
        if (i >= 0 && (best < 0 || i < best)) best = i;
    };
    std::string key;
    bool keyMade = false;
    switch (KindOfName(std::wstring_view(name))) {
        case TNameKind::Digits:
            best = FindDigits(name);
            take(others_.Find(lines_, name, key, keyMade, best));
            break;
        case TNameKind::Letters:
            take(letters_.Find(lines_, name, key, keyMade, best));
            take(others_.Find(lines_, name, key, keyMade, best));
            break;
        case TNameKind::Other:
            // Not looked up by a load; digit names are compared one by one.
            for (int i : digitLines_) {
                if (LineNameIs(lines_, i, name)) {
                    best = i;
                    break;
                }
            }
            take(letters_.Find(lines_, name, key, keyMade, best));
            take(others_.Find(lines_, name, key, keyMade, best));
            break;
    }
    return best;
}

int TEntryIndex::FindDigits(std::wstring_view name) const {
    if (const int v = PlainNumber(name); v >= 0 && static_cast<std::size_t>(v) < byNumber_.size())
        return byNumber_[static_cast<std::size_t>(v)];
    const auto it = digits_.find(std::wstring(name));
    return it != digits_.end() ? it->second : -1;
}

std::wstring TEntryIndex::Values(const std::wstring& name) const {
    const int i = IndexOfName(name);
    if (i < 0) return {};
    const std::wstring line = lines_.Line(i);
    return line.substr(line.find(L'=') + 1);
}

bool TEntryIndex::HasNamesOtherThan(const std::wstring& name) const {
    for (const TNameGroup* group : {&letters_, &others_})
        for (int i : group->Lines())
            if (!LineNameIs(lines_, i, name)) return true;
    return false;
}

namespace {

// The text after the first "=" of an entry line.
template <class Char>
std::basic_string_view<Char> ValueOfLine(std::basic_string_view<Char> line) {
    return line.substr(line.find(Char('=')) + 1);
}

// The fields of entry line `line`'s value, as SplitCommaText cuts them.
void SplitRowValue(const TDataLines& lines, int line, tk::TStringList& fields) {
    const std::wstring text = lines.Line(line);
    SplitCommaText(ValueOfLine(std::wstring_view(text)), fields);
}

// Writes one row's number and fields into the grid; a row with fewer than
// three fields raises the list's index error after writing what it has.
void WriteRow(tk::TGridModel& grid, int row, const TDataLines& lines, int line) {
    tk::TStringList fields;
    SplitRowValue(lines, line, fields);
    grid.SetCells(0, row, tk::IntToStr(row));
    for (int c = 1; c <= 3; ++c) grid.SetCells(c, row, fields.TakeString(c - 1));
}

// The loaded rows as the lines they come from: the grid splits a row into its
// cells when it first needs them.
class TRowValues final : public tk::TGridRowSource {
public:
    explicit TRowValues(std::shared_ptr<const TDataLines> lines) : lines_(std::move(lines)) {}
    void Reserve(std::size_t rows) { lineOfRow_.reserve(rows); }
    void Add(int line) { lineOfRow_.push_back(line); }
    void FillRow(int row, std::vector<std::wstring>& cells) const override {
        tk::TStringList fields;
        SplitRowValue(*lines_, lineOfRow_[static_cast<std::size_t>(row - 1)], fields);
        if (cells.size() < 4) cells.resize(4);
        cells[0] = tk::IntToStr(row);
        for (int c = 1; c <= 3; ++c) cells[static_cast<std::size_t>(c)] = fields.TakeString(c - 1);
    }

private:
    std::shared_ptr<const TDataLines> lines_;
    std::vector<int> lineOfRow_;
};

}  // namespace

void LoadGridFromLines(const std::shared_ptr<const TDataLines>& lines, tk::TGridModel& grid,
                       int* loadedRows) {
    if (loadedRows) *loadedRows = 0;
    const TEntryIndex entries(*lines);
    const std::int32_t n = tk::StrToInt(entries.Values(L"RowCount"));
    // The header row plus N rows, in 32-bit arithmetic as the grid counts.
    grid.SetRowCount(static_cast<std::int32_t>(static_cast<std::uint32_t>(n) + 1u));

    auto values = std::make_shared<TRowValues>(lines);
    const int last = grid.RowCount() - 1;
    values->Reserve(static_cast<std::size_t>(std::max(0, std::min(last, lines->Count()))));
    int r = 1;
    for (; r <= last; ++r) {
        const int line = entries.IndexOfName(tk::IntToStr(r));
        // The row's field count; 0 when it has no value.
        const int fields = line < 0 ? 0 : lines->Visit(line, [](auto text) {
            const auto value = ValueOfLine(text);
            return value.empty() ? 0 : CountCommaFields(value);
        });
        if (fields == 0) break;
        if (fields < 3) {
            // The rows before it are in place when this one fails.
            grid.SetRowSource(values, 1, r - 1);
            WriteRow(grid, r, *lines, line);  // raises: too few fields
        }
        values->Add(line);
        grid.SetRowHeights(r, kDataRowHeight);
        if (loadedRows) *loadedRows = r;
    }
    grid.SetRowSource(std::move(values), 1, r - 1);
}

void LoadDataBytes(std::string bytes, std::shared_ptr<const TDataLines>& lines,
                   tk::TGridModel& grid, int* loadedRows) {
    if (loadedRows) *loadedRows = 0;
    lines = std::make_shared<const TDataLines>(std::move(bytes));
    LoadGridFromLines(lines, grid, loadedRows);
}

#ifdef _WIN32

namespace {

class TFileHandle {
public:
    explicit TFileHandle(HANDLE h) : h_(h) {}
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    ~TFileHandle() {
        if (Valid()) CloseHandle(h_);
    }
    bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return h_; }

private:
    HANDLE h_;
};

}  // namespace

std::string ReadDataFileBytes(const std::wstring& fileName) {
    // Read only; others may read along but not write while we read.
    TFileHandle file(CreateFileW(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                 nullptr));
    if (!file.Valid()) {
        const DWORD error = GetLastError();
        throw tk::EFOpenError(
            tk::Format(L"Cannot open file \"%s\". %s",
                       {tk::ExpandFileName(fileName), tk::SysErrorMessage(error)}));
    }
    // Read straight into the text, in one read when the size holds (one
    // byte more, to meet the end); a file growing meanwhile is read on.
    constexpr std::size_t kLimit = static_cast<std::size_t>(INT_MAX);
    std::size_t capacity = 64 * 1024;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.Get(), &size) && size.QuadPart > 0) {
        if (static_cast<unsigned long long>(size.QuadPart) > kLimit) throw std::bad_alloc();
        capacity = static_cast<std::size_t>(size.QuadPart) + 1;
    }
    std::string bytes(capacity, '\0');
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {
            if (bytes.size() > kLimit) throw std::bad_alloc();
            bytes.resize(std::min(
                kLimit + 1, bytes.size() + std::max<std::size_t>(bytes.size() / 2, 64 * 1024)));
        }
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - have, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(file.Get(), bytes.data() + have, want, &got, nullptr)) tk::RaiseLastOSError();
        if (got == 0) break;
        have += got;
    }
    if (have > kLimit) throw std::bad_alloc();
    bytes.resize(have);
    return bytes;
}

void LoadDataFile(const std::wstring& FileName, std::shared_ptr<const TDataLines>& lines,
                  tk::TGridModel& grid, int* loadedRows) {
    LoadDataBytes(ReadDataFileBytes(FileName), lines, grid, loadedRows);
}

#endif
