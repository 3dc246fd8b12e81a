// Arbitrary bytes as a command table file: decoding, line cutting, entry
// lookup, integer reading, field splitting and filling a grid. Besides the
// sanitizers' findings, a disagreement between the hashed entry index and the
// plain search, or a grid that breaks the load's rules, aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Classes.h"
#include "DataFile.h"
#include "GridModel.h"
#include "SysUtils.h"
#include "UAppFunction.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_datafile: %s\n", what);
    std::abort();
}

void CheckIndex(const TDataLines& lines) {
    const TEntryIndex index(lines);
    auto check = [&](const std::wstring& name) {
        if (index.IndexOfName(name) != IndexOfEntryLinear(lines, name))
            Fail("index and plain search disagree");
    };
    check(L"RowCount");
    for (int r = 1; r <= 20; ++r) check(tk::IntToStr(r));
    // Names the file itself uses, including odd ones.
    for (int i = 0; i < lines.Count() && i < 40; ++i) {
        const std::wstring line = lines.Line(i);
        check(line.substr(0, line.find(L'=')));
    }
}

void CheckFields(const std::wstring& value) {
    tk::TStringList fields;
    const int n = SplitCommaText(value, fields);
    if (n != fields.Count() || n > 3 || (value.empty() != (n == 0))) Fail("bad field count");
    if (CountCommaFields(value) != n) Fail("counted fields differ from split ones");
    if (value.find(L'"') == std::wstring::npos) {
        // Without quotes the fields are the plain comma pieces.
        std::size_t start = 0;
        for (int i = 0; i < n; ++i) {
            std::size_t end = value.find(L',', start);
            if (end == std::wstring::npos) end = value.size();
            if (fields.Strings(i) != value.substr(start, end - start)) Fail("plain field differs");
            start = end + 1;
        }
    }
}

void CheckGrid(const tk::TGridModel& grid) {
    for (int r = 1; r < grid.RowCount() && r < 100000; ++r) {
        if (grid.RowHeights(r) != kDataRowHeight) {
            // Rows after the first unfilled one are never touched.
            for (int q = r + 1; q < grid.RowCount() && q < r + 64; ++q)
                if (grid.RowHeights(q) == kDataRowHeight) Fail("filled row after a gap");
            break;
        }
        if (grid.Cells(0, r) != tk::IntToStr(r)) Fail("row number cell");
    }
    if (grid.Cells(0, 0) != L"No.") Fail("header changed");
}

// The lines as a plain character walk cuts them: up to a NUL, at CR LF, CR
// or LF, no line after a final break.
std::vector<std::wstring> ReferenceLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    const std::size_t end = std::min(text.find(L'\0'), text.size());
    std::wstring line;
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] != L'\r' && text[i] != L'\n') {
            line += text[i];
            continue;
        }
        if (text[i] == L'\r' && i + 1 < end && text[i + 1] == L'\n') ++i;
        lines.push_back(std::move(line));
        line.clear();
    }
    if (!line.empty()) lines.push_back(std::move(line));
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    const std::vector<std::wstring> decoded = ReferenceLines(DecodeDataFileBytes(bytes));
    std::shared_ptr<const TDataLines> loaded;
    tk::TGridModel grid(4, 2, 24);
    grid.SetCells(0, 0, L"No.");
    try {
        LoadDataBytes(bytes, loaded, grid);
    } catch (const tk::Exception&) {
        // Invalid count or short row: the load ends where it is.
    }

    if (!loaded) Fail("no lines");
    const TDataLines& lines = *loaded;
    if (lines.Count() != static_cast<int>(decoded.size())) Fail("line store size");
    for (int i = 0; i < lines.Count(); ++i) {
        const std::wstring line = lines.Line(i);
        if (line != decoded[static_cast<std::size_t>(i)]) Fail("line store content");
        if (line.find_first_of(L"\r\n") != std::wstring::npos ||
            line.find(L'\0') != std::wstring::npos)
            Fail("break or NUL inside a line");
    }
    CheckIndex(lines);
    for (int i = 0; i < lines.Count() && i < 200; ++i) {
        const std::wstring line = lines.Line(i);
        const std::size_t eq = line.find(L'=');
        const std::wstring value = eq == std::wstring::npos ? line : line.substr(eq + 1);
        CheckFields(value);
        std::int32_t v = 0;
        const bool ok = tk::TryStrToInt(value, v);
        if (!value.empty() && value.size() < 10 &&
            value.find_first_not_of(L"0123456789") == std::wstring::npos &&
            (!ok || v != std::stol(value)))
            Fail("plain decimal read wrongly");
    }
    CheckGrid(grid);
    // Rows are split when first read: what they show is the row's value split.
    const TEntryIndex index(lines);
    tk::TStringList fields;
    for (int r = 1; r < grid.RowCount() && r < 200 && grid.RowHeights(r) == kDataRowHeight; ++r) {
        SplitCommaText(index.Values(tk::IntToStr(r)), fields);
        for (int c = 1; c <= 3 && c <= fields.Count(); ++c)
            if (grid.Cells(c, r) != fields.Strings(c - 1)) Fail("row cells differ from the row's fields");
    }
    return 0;
}
