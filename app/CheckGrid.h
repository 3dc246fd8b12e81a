// The grid's check columns: a table with any expected reply shows two more
// columns, "Expect" and "Result", after the four of a plain table.
#pragma once

#include "GridModel.h"
#include "RowChecks.h"

constexpr int kColExpect = 4, kColResult = 5;
constexpr int kPlainColCount = 4, kCheckedColCount = 6;

// Sets the column count for the checks, their headers and every row's
// expected reply; clears the results.
void ShowRowChecks(const TRowChecks& checks, tk::TGridModel& grid);
