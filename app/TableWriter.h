// Writing a command table back to its file. Only the lines the table owns
// change: RowCount, the row lines 1..N and their Row.N.Expect, Row.N.Timeout
// and Row.N.Delay keys. Every other line (comments, keys of other programs,
// row lines beyond N) keeps its bytes and its place; the file keeps its
// encoding, byte-order mark and line ends. Loading the result gives the
// rows' cells back exactly, so every row sends the same bytes.
#pragma once

#include <string>
#include <vector>

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

// Replaces the file with `bytes`: writes a temporary file beside it, flushes
// it to the disk and renames it over the file, so the file is never left
// half-written. Raises tk::Exception "Cannot save file "%s". %s" when that
// fails, after removing the temporary file; the old file is then unchanged.
void ReplaceFileContent(const std::wstring& fileName, const std::string& bytes);
