#include "CheckGrid.h"

void ShowRowChecks(const TRowChecks& checks, tk::TGridModel& grid) {
    if (!checks.AnyExpect()) {
        grid.SetColCount(kPlainColCount);
        return;
    }
    grid.SetColCount(kCheckedColCount);
    grid.SetCells(kColExpect, 0, L"Expect");
    grid.SetCells(kColResult, 0, L"Result");
    for (int r = 1; r < grid.RowCount(); ++r) {
        const auto i = static_cast<std::size_t>(r - 1);
        grid.SetCells(kColExpect, r, i < checks.rows.size() ? checks.rows[i].expectText : std::wstring());
        grid.SetCells(kColResult, r, L"");
    }
}
