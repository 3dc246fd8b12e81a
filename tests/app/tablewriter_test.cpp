// Saving a table on Windows: the atomic replace, the ANSI code page, and
// awkward grid rows that send the same bytes after a save and a load.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "GridModel.h"
#include "RowChecks.h"
#include "SysUtils.h"
#include "TableWriter.h"
#include "USerial_Function.h"

namespace {

// The bytes a row puts on the line, converted as the main window sends it;
// "<bad hex>" where it refuses the row.
std::string SentBytes(const TTableRow& row) {
    if (row.type == L"ASCII") return tk::WideToAnsi(row.data);
    if (row.type == L"ASCII+CR") return tk::WideToAnsi(row.data + L"\r");
    if (row.type == L"ASCII+CRLF") return tk::WideToAnsi(row.data + L"\r\n");
    if (row.type != L"HEX") return "";
    tk::TStringList tokens;
    SplitDelimitedText(L' ', row.data, tokens);
    std::string bytes;
    for (int i = 0; i < tokens.Count(); ++i) {
        const int b = HexByteValue(tokens.Strings(i));
        if (b < 0) return "<bad hex>";
        bytes.push_back(static_cast<char>(b));
    }
    return bytes;
}

std::string ReadAll(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes(4096, '\0');
    DWORD got = 0;
    ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(h);
    bytes.resize(got);
    return bytes;
}

TEST(TableWriterWin, ReplacesWholeOrLeavesTheOldFile) {
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
    const std::wstring dir = std::wstring(temp) + L"quolm_save_" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring file = dir + L"\\quolm.dat";
    ReplaceFileContent(file, "RowCount=0\r\n");
    ReplaceFileContent(file, "RowCount=1\r\n1=ASCII,a,b\r\n");
    EXPECT_EQ(ReadAll(file), "RowCount=1\r\n1=ASCII,a,b\r\n");

    // Held open without sharing: the replace fails and the file stays as it was.
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_THROW(ReplaceFileContent(file, "broken"), tk::Exception);
    CloseHandle(held);
    EXPECT_EQ(ReadAll(file), "RowCount=1\r\n1=ASCII,a,b\r\n");
    EXPECT_EQ(GetFileAttributesW((file + L".saving").c_str()), INVALID_FILE_ATTRIBUTES)
        << "no temporary file is left";
    DeleteFileW(file.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST(TableWriterWin, AnAnsiFileRefusesWhatItsCodePageCannotStore) {
    std::vector<TTableRow> rows{{L"ASCII", L"\u4E2D\u6587", L"x", L"", L"", L""}};
    EXPECT_THROW(WriteTableBytes("RowCount=0\r\n", rows), tk::Exception);
    EXPECT_EQ(WriteTableBytes("\xFF\xFE", rows).substr(0, 4), std::string("\xFF\xFER\0", 4));
}

TEST(TableWriterWin, GridRowsSavedAndLoadedAgainSendTheSameBytes) {
    // The cells as a user leaves them in the grid, quoting and blanks included.
    const std::vector<std::vector<std::wstring>> cells{
        {L"ASCII+CRLF", L"Reset, then wait", L"AT+RST=\"a,b\""},
        {L"ASCII+CR", L"\"quoted\" name", L"  blanks around  "},
        {L"ASCII", L"", L""},
        {L"HEX", L"frame, \"raw\"", L"01 02 0a FF"},
        {L"ASCII", L"Gr\u00FC\u00DFe", L"caf\u00E9,\u00A3"},
        {L"ASCII+CR", L"\"", L"\",\""},
        {L"HEX", L",", L"  7E  00 "},
    };
    tk::TGridModel grid(4, 2, 18);
    grid.SetRowCount(static_cast<int>(cells.size()) + 1);
    for (std::size_t r = 0; r < cells.size(); ++r)
        for (int c = 0; c < 3; ++c) grid.SetCells(c + 1, static_cast<int>(r + 1), cells[r][c]);
    TRowChecks checks;
    checks.rows.resize(cells.size());
    checks.rows[0].expectText = L"OK<CR><LF>";
    checks.rows[5].delayText = L"not a number";  // kept as typed
    const std::vector<TTableRow> rows =
        TableRowsOfGrid(grid, static_cast<int>(cells.size()), checks);
    auto sent = [](const std::vector<TTableRow>& table) {
        std::vector<std::string> bytes;
        for (const TTableRow& row : table) bytes.push_back(SentBytes(row));
        return bytes;
    };
    const std::string ansi = "; ANSI table\r\nRowCount=1\r\n1=ASCII,old,x\r\n";
    const std::string utf16 = std::string("\xFF\xFE;\0\r\0\n\0", 8);
    for (const std::string& original : {ansi, utf16}) {
        const std::vector<TTableRow> loaded = LoadTableRows(SaveTableBytes(original, rows));
        EXPECT_EQ(sent(loaded), sent(rows));
        ASSERT_EQ(loaded.size(), rows.size());
        EXPECT_EQ(SentBytes(loaded[3]), "\x01\x02\x0A\xFF");
        EXPECT_EQ(SentBytes(loaded[4]), "caf\xE9,\xA3");
        EXPECT_EQ(loaded[5].delay, L"not a number");
    }
}

TEST(TableWriterWin, ASaveThatWouldLoadOtherwiseIsRefused) {
    // The locale comparison ignores a soft hyphen, so the loader reads the
    // line "1<SHY>=" as row 1, ahead of the row line the writer rewrites.
    ASSERT_TRUE(tk::SameTextLocale(L"1\u00AD", L"1"));
    const std::string original =
        "\xEF\xBB\xBFRowCount=1\r\n1\xC2\xAD=ASCII,shadow,x\r\n1=ASCII,one,y\r\n";
    ASSERT_EQ(LoadTableRows(original)[0].function, L"shadow");
    const std::vector<TTableRow> rows{{L"ASCII", L"edited", L"z", L"", L"", L""}};
    EXPECT_NO_THROW(WriteTableBytes(original, rows));
    try {
        SaveTableBytes(original, rows);
        FAIL() << "a table that loads otherwise was saved";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(e.Message(), L"Row 1: another line of the file would be read in its place");
    }
}

}  // namespace
