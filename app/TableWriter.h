// Writing a command table back to its file. Only the lines the table owns
// change: RowCount, the row lines 1..N and their Row.N.Expect, Row.N.Timeout
// and Row.N.Delay keys. Every other line (comments, keys of other programs,
// row lines beyond N) keeps its bytes and its place; the file keeps its
// encoding, byte-order mark and line ends. Loading the result gives the
// rows' cells back exactly, so every row sends the same bytes.
#pragma once

#include <string>
#include <vector>

#include "GridModel.h"
#include "RowChecks.h"

struct TTableRow {
    std::wstring type;
    std::wstring function;
    std::wstring data;
    // Values of the row's keys as written; empty: no key.
    std::wstring expect;
    std::wstring timeout;
    std::wstring delay;
};

// A row value that the comma splitter cuts back into exactly these three
// fields: a field holding a comma or starting with a double quote is quoted.
std::wstring JoinRowFields(const std::wstring& type, const std::wstring& function,
                           const std::wstring& data);

// The new content of a table file whose current content is `original`
// (empty for a new file, which is then UTF-8 with its mark and CR LF line
// ends). Row r of the table is rows[r - 1]; RowCount becomes rows.size().
// Raises tk::Exception naming the row when a value holds a line break or a
// NUL, or a character the file's encoding cannot store.
std::string WriteTableBytes(const std::string& original, const std::vector<TTableRow>& rows);

// Rows 1 to rowCount of a grid as a save takes them: Type, Function and
// Command Data from columns 1 to 3, and the check keys' values as written
// (checks.rows[r - 1]; a row without an entry there has no keys).
std::vector<TTableRow> TableRowsOfGrid(const tk::TGridModel& grid, int rowCount,
                                       const TRowChecks& checks);

// The rows that table file content loads as, with their keys as written.
// Raises what the load raises.
std::vector<TTableRow> LoadTableRows(const std::string& bytes);

// WriteTableBytes, and the result loaded again: raises tk::Exception naming
// the first row that would not come back the same, so that a save never
// writes a table that loads otherwise than the grid shows it.
std::string SaveTableBytes(const std::string& original, const std::vector<TTableRow>& rows);

// Saves rows into fileName as SaveTableBytes and ReplaceFileContent do, with
// `original` as the file's current content. Every failure raises
// tk::Exception "Cannot save file "%s". %s"; the file is then unchanged.
void SaveTableFile(const std::wstring& fileName, const std::string& original,
                   const std::vector<TTableRow>& rows);

// Replaces the file with `bytes`: writes a temporary file beside it, flushes
// it to the disk and renames it over the file, so the file is never left
// half-written. Raises tk::Exception "Cannot save file "%s". %s" when that
// fails, after removing the temporary file; the old file is then unchanged.
void ReplaceFileContent(const std::wstring& fileName, const std::string& bytes);
