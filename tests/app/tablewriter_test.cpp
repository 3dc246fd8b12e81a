// Saving a table on Windows: the atomic replace and the ANSI code page.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "SysUtils.h"
#include "TableWriter.h"

namespace {

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

}  // namespace
