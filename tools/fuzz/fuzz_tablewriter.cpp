// An arbitrary table file, loaded, its rows shuffled between one another
// (so that quotes, commas and blanks land in every column), saved and loaded
// again: the rows and their keys come back exactly, and the lines that are
// no entries stay in their order.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Classes.h"
#include "DataFile.h"
#include "GridModel.h"
#include "RowChecks.h"
#include "SysUtils.h"
#include "TableWriter.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_tablewriter: %s\n", what);
    std::abort();
}

struct Table {
    std::shared_ptr<const TDataLines> lines;
    std::vector<TTableRow> rows;
};

// False when the load raised (an invalid count, a short row).
bool Load(const std::string& bytes, Table& t) {
    tk::TGridModel grid(4, 2, 24);
    bool complete = true;
    int n = 0;
    try {
        LoadDataBytes(bytes, t.lines, grid, &n);
    } catch (const tk::Exception&) {
        complete = false;
    }
    t.rows = TableRowsOfGrid(grid, n, LoadRowChecks(*t.lines, n));
    return complete;
}

std::vector<std::wstring> Comments(const TDataLines& lines) {
    std::vector<std::wstring> out;
    for (int i = 0; i < lines.Count(); ++i)
        if (lines.Line(i).find(L'=') == std::wstring::npos) out.push_back(lines.Line(i));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    Table first;
    Load(bytes, first);
    const std::size_t n = first.rows.size();
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        std::swap(first.rows[i].type, first.rows[i + 1].data);
        std::swap(first.rows[i].function, first.rows[i + 1].expect);
    }
    std::string saved;
    try {
        saved = SaveTableBytes(bytes, first.rows);
    } catch (const tk::Exception&) {
        Fail("a loaded table could not be saved");
    }
    Table second;
    if (!Load(saved, second)) Fail("the saved table does not load whole");
    if (second.rows.size() != n) Fail("row count");
    for (std::size_t i = 0; i < n; ++i) {
        const TTableRow &a = first.rows[i], &b = second.rows[i];
        if (a.type != b.type || a.function != b.function || a.data != b.data) Fail("cells differ");
        if (a.expect != b.expect || a.timeout != b.timeout || a.delay != b.delay) Fail("keys differ");
    }
    if (Comments(*first.lines) != Comments(*second.lines)) Fail("lines without = changed");
    return 0;
}
