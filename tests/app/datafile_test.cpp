// Loading the command table file into the line store and the grid.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "DataFile.h"
#include "SysUtils.h"

namespace {

using Row = std::vector<std::wstring>;

std::string Utf16(const std::wstring& text, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (wchar_t c : text) {
        const char hi = static_cast<char>((c >> 8) & 0xFF), lo = static_cast<char>(c & 0xFF);
        out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
}

// The grid's visible state for comparison before and after a load.
struct Snapshot {
    int rowCount;
    std::vector<Row> cells;
    std::vector<int> heights;
    bool operator==(const Snapshot&) const = default;
};

class DataFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
        dir_ = std::wstring(temp) + L"quolm_datafile_" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(dir_.c_str(), nullptr);
        // As the main window prepares the grid before any load.
        grid_.SetRowHeights(0, 18);
        grid_.SetRowHeights(1, 18);
        const wchar_t* headers[] = {L"No.", L"Type", L"Function", L"Command Data"};
        for (int c = 0; c < 4; ++c) grid_.SetCells(c, 0, headers[c]);
    }
    void TearDown() override {
        for (const auto& f : files_) DeleteFileW(f.c_str());
        RemoveDirectoryW(dir_.c_str());
    }

    std::wstring Write(const std::wstring& name, const std::string& bytes) {
        const std::wstring path = dir_ + L"\\" + name;
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(h);
        files_.push_back(path);
        return path;
    }
    void Load(const std::string& bytes) { LoadDataFile(Write(L"table.dat", bytes), lines_, grid_); }
    // The message of the error that ends the load, or "no error".
    std::wstring LoadError(const std::string& bytes) {
        return ErrorOf([&] { Load(bytes); });
    }
    template <class F>
    static std::wstring ErrorOf(F&& f) {
        try {
            f();
        } catch (const tk::Exception& e) {
            return e.Message();
        }
        return L"no error";
    }

    Row RowAt(int r) const {
        return {grid_.Cells(0, r), grid_.Cells(1, r), grid_.Cells(2, r), grid_.Cells(3, r)};
    }
    Snapshot Snap(int rows = 8) const {
        Snapshot s{grid_.RowCount(), {}, {}};
        for (int r = 0; r < rows; ++r) {
            s.cells.push_back(RowAt(r));
            s.heights.push_back(grid_.RowHeights(r));
        }
        return s;
    }
    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> out;
        for (int i = 0; lines_ && i < lines_->Count(); ++i) out.push_back(lines_->Line(i));
        return out;
    }

    std::wstring dir_;
    std::vector<std::wstring> files_;
    std::shared_ptr<const TDataLines> lines_;
    tk::TGridModel grid_{4, 2, 24};
};

const char kExample[] =
    "Commands of the test bench\r\n"
    "RowCount=3\r\n"
    "1=ASCII,Reset,ATZ\r\n"
    "2=ASCII+CR,Query,AT+GMR\r\n"
    "3=HEX,Ping,01 02 0A FF\r\n";

// --- encodings ------------------------------------------------------------------

TEST_F(DataFileTest, ExampleTableFillsRowsWithNumbersFieldsAndHeights) {
    Load(kExample);
    EXPECT_EQ(grid_.RowCount(), 4);
    EXPECT_EQ(RowAt(0), (Row{L"No.", L"Type", L"Function", L"Command Data"}));
    EXPECT_EQ(RowAt(1), (Row{L"1", L"ASCII", L"Reset", L"ATZ"}));
    EXPECT_EQ(RowAt(2), (Row{L"2", L"ASCII+CR", L"Query", L"AT+GMR"}));
    EXPECT_EQ(RowAt(3), (Row{L"3", L"HEX", L"Ping", L"01 02 0A FF"}));
    for (int r = 1; r <= 3; ++r) EXPECT_EQ(grid_.RowHeights(r), 18);
    EXPECT_EQ(lines_->Count(), 5);
}

TEST_F(DataFileTest, Utf16FilesWithMarkLoadLikeTheAnsiText) {
    const std::wstring text = L"RowCount=2\r\n1=ASCII,Caf\u00e9 \u0e01\u0e02,AT\r\n2=HEX,\u20ac,0A";
    Load(Utf16(text, false));
    EXPECT_EQ(RowAt(1), (Row{L"1", L"ASCII", L"Caf\u00e9 \u0e01\u0e02", L"AT"}));
    EXPECT_EQ(RowAt(2), (Row{L"2", L"HEX", L"\u20ac", L"0A"}));
    const Snapshot little = Snap();
    const std::vector<std::wstring> lines = Lines();

    Load("RowCount=2\r\n1=X,Y,Z\r\n2=X,Y,Z");
    Load(Utf16(text, true));
    EXPECT_EQ(Snap(), little);
    EXPECT_EQ(Lines(), lines);

    // The same text in the ANSI code page (where it has these characters).
    const std::wstring ascii = L"RowCount=1\r\n1=ASCII+CRLF,Hello,AT+X";
    Load(Utf16(ascii, false));
    const Snapshot wide = Snap();
    Load("RowCount=1\r\n1=Q,Q,Q");
    Load(tk::WideToAnsi(ascii));
    EXPECT_EQ(Snap(), wide);
}

TEST_F(DataFileTest, Utf16DropsAnOddLastByte) {
    Load(Utf16(L"RowCount=1\n1=A,B,C", false) + "\x41");
    EXPECT_EQ(RowAt(1), (Row{L"1", L"A", L"B", L"C"}));
}

TEST_F(DataFileTest, Utf8WithMarkIsUtf8AndWithoutMarkIsAnsi) {
    const std::string body =
        "RowCount=1\r\n1=ASCII,Pr\xC3\xBC"
        "fung \xF0\x9F\x98\x80,x";
    Load("\xEF\xBB\xBF" + body);
    EXPECT_EQ(RowAt(1), (Row{L"1", L"ASCII", L"Pr\u00fcfung \xD83D\xDE00", L"x"}));
    EXPECT_EQ(lines_->Line(0), L"RowCount=1");  // the mark is not text

    Load(body);
    EXPECT_EQ(grid_.Cells(2, 1), tk::AnsiToWide("Pr\xC3\xBC"
                                                "fung \xF0\x9F\x98\x80"));
}

TEST_F(DataFileTest, AnsiByteE9IsDecodedWithTheCodePage) {
    Load("RowCount=1\r\n1=ASCII,Caf\xE9,\xE9t\xE9");
    EXPECT_EQ(grid_.Cells(2, 1), tk::AnsiToWide("Caf\xE9"));
    EXPECT_EQ(grid_.Cells(3, 1), tk::AnsiToWide("\xE9t\xE9"));
    if (GetACP() == 1252) {
        EXPECT_EQ(grid_.Cells(2, 1), L"Caf\u00e9");
    }
}

// --- lines ------------------------------------------------------------------------

TEST_F(DataFileTest, LinesBreakAtCrLfLoneCrAndLoneLf) {
    EXPECT_EQ(LoadError("a\r\nb\rc\nd\r\r\ne\n\rf"), L"'''' is not a valid integer value");
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{L"a", L"b", L"c", L"d", L"", L"e", L"", L"f"}));
}

TEST_F(DataFileTest, FinalBreakAddsNoLineAndEmptyFileHasNone) {
    EXPECT_EQ(LoadError("RowCount=0\r\n"), L"no error");
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{L"RowCount=0"}));
    LoadError("RowCount=0\r\n\r\n");
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{L"RowCount=0", L""}));
    LoadError("");
    EXPECT_EQ(Lines().size(), 0u);
}

TEST_F(DataFileTest, NulEndsTheText) {
    const char raw[] = "RowCount=3\r\n1=A,B,C\r\n2=D,E,F\0\r\n3=G,H,I\r\n";
    Load(std::string(raw, sizeof raw - 1));
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{L"RowCount=3", L"1=A,B,C", L"2=D,E,F"}));
    EXPECT_EQ(grid_.RowCount(), 4);
    EXPECT_EQ(RowAt(2), (Row{L"2", L"D", L"E", L"F"}));
    EXPECT_EQ(RowAt(3), (Row{L"", L"", L"", L""}));
    EXPECT_EQ(grid_.RowHeights(3), 24);

    // In UTF-16 the NUL is a character of two zero bytes.
    const wchar_t wide[] = L"RowCount=1\n1=A,B,C\0\n1=X,Y,Z";
    Load(Utf16(std::wstring(wide, std::size(wide) - 1), false));
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{L"RowCount=1", L"1=A,B,C"}));
}

// --- the row count ------------------------------------------------------------------

TEST_F(DataFileTest, RowCountNameIgnoresCaseButNotBlanks) {
    Load("rowcount=1\r\n1=A,B,C");
    EXPECT_EQ(grid_.RowCount(), 2);
    Load("ROWCOUNT=2\r\n1=A,B,C\r\n2=D,E,F");
    EXPECT_EQ(grid_.RowCount(), 3);

    const Snapshot before = Snap();
    EXPECT_EQ(LoadError("RowCount =2\r\n1=X,Y,Z"), L"'''' is not a valid integer value");
    EXPECT_EQ(Snap(), before);
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{L"RowCount =2", L"1=X,Y,Z"}));
    EXPECT_EQ(LoadError(" RowCount=2\r\n1=X,Y,Z"), L"'''' is not a valid integer value");
    EXPECT_EQ(Snap(), before);
}

TEST_F(DataFileTest, RowCountValueRules) {
    Load("RowCount= 2\r\n1=A,B,C\r\n2=D,E,F");  // blank before the number is skipped
    EXPECT_EQ(grid_.RowCount(), 3);
    Load("RowCount=$10");
    EXPECT_EQ(grid_.RowCount(), 17);
    Load("RowCount=0x3");
    EXPECT_EQ(grid_.RowCount(), 4);
    Load("RowCount=+1");
    EXPECT_EQ(grid_.RowCount(), 2);

    const Snapshot before = Snap();
    EXPECT_EQ(LoadError("RowCount=2 \r\n1=A,B,C"), L"''2 '' is not a valid integer value");
    EXPECT_EQ(LoadError("RowCount=\r\n1=A,B,C"), L"'''' is not a valid integer value");
    EXPECT_EQ(LoadError("1=A,B,C"), L"'''' is not a valid integer value");
    EXPECT_EQ(LoadError("RowCount=two"), L"''two'' is not a valid integer value");
    EXPECT_EQ(LoadError("RowCount==2"), L"''=2'' is not a valid integer value");
    EXPECT_EQ(LoadError("RowCount=2147483648"), L"''2147483648'' is not a valid integer value");
    EXPECT_EQ(Snap(), before);
}

TEST_F(DataFileTest, FirstRowCountWins) {
    Load("RowCount=1\r\nRowCount=3\r\n1=A,B,C\r\n2=D,E,F");
    EXPECT_EQ(grid_.RowCount(), 2);
    EXPECT_EQ(RowAt(2), (Row{L"", L"", L"", L""}));
}

TEST_F(DataFileTest, ZeroNegativeAndWrappingCountsLeaveOnlyTheHeader) {
    Load(kExample);
    for (const char* count : {"0", "-1", "-5", "2147483647", "-2147483648"}) {
        SCOPED_TRACE(count);
        Load(std::string("RowCount=") + count + "\r\n1=X,Y,Z\r\n");
        EXPECT_EQ(grid_.RowCount(), 1);
        // No row was read: the texts of the earlier load stay.
        EXPECT_EQ(RowAt(1), (Row{L"1", L"ASCII", L"Reset", L"ATZ"}));
    }
}

TEST_F(DataFileTest, HugeRowCountReadsOnlyThePresentRows) {
    Load("RowCount=2147483646\r\n1=A,B,C\r\n2=D,E,F");
    EXPECT_EQ(grid_.RowCount(), 2147483647);
    EXPECT_EQ(RowAt(2), (Row{L"2", L"D", L"E", L"F"}));
    EXPECT_EQ(grid_.RowHeights(3), 24);
    Load("RowCount=2000000000\r\n1=A,B,C");
    EXPECT_EQ(grid_.RowCount(), 2000000001);
    EXPECT_EQ(RowAt(1), (Row{L"1", L"A", L"B", L"C"}));
}

// --- rows ------------------------------------------------------------------------------

TEST_F(DataFileTest, RowsBeyondTheCountAreIgnored) {
    Load("RowCount=2\r\n1=A,B,C\r\n2=D,E,F\r\n3=G,H,I");
    EXPECT_EQ(grid_.RowCount(), 3);
    EXPECT_EQ(RowAt(3), (Row{L"", L"", L"", L""}));
}

TEST_F(DataFileTest, GapStopsTheLoadAndKeepsOldTexts) {
    Load("RowCount=4\r\n1=A,B,C\r\n2=D,E,F\r\n3=G,H,I\r\n4=J,K,L");
    Load("RowCount=4\r\n1=a,b,c\r\n2=d,e,f\r\n4=j,k,l");
    EXPECT_EQ(grid_.RowCount(), 5);
    EXPECT_EQ(RowAt(2), (Row{L"2", L"d", L"e", L"f"}));
    EXPECT_EQ(RowAt(3), (Row{L"3", L"G", L"H", L"I"}));
    EXPECT_EQ(RowAt(4), (Row{L"4", L"J", L"K", L"L"}));

    tk::TGridModel fresh(4, 2, 24);
    LoadDataFile(Write(L"gap.dat", "RowCount=4\r\n1=a,b,c\r\n2=d,e,f\r\n4=j,k,l"), lines_, fresh);
    EXPECT_EQ(fresh.RowHeights(2), 18);
    EXPECT_EQ(fresh.RowHeights(3), 24);
    EXPECT_EQ(fresh.RowHeights(4), 24);
    EXPECT_EQ(fresh.Cells(0, 4), L"");
}

TEST_F(DataFileTest, ShorterThenLongerLoadShowsOldTextsInUnfilledRows) {
    Load("RowCount=3\r\n1=A,B,C\r\n2=D,E,F\r\n3=G,H,I");
    Load("RowCount=1\r\n1=x,y,z");
    EXPECT_EQ(grid_.RowCount(), 2);
    EXPECT_EQ(RowAt(0), (Row{L"No.", L"Type", L"Function", L"Command Data"}));
    EXPECT_EQ(RowAt(1), (Row{L"1", L"x", L"y", L"z"}));
    Load("RowCount=3\r\n1=p,q,r\r\n2=s,t,u");
    EXPECT_EQ(grid_.RowCount(), 4);
    EXPECT_EQ(RowAt(2), (Row{L"2", L"s", L"t", L"u"}));
    EXPECT_EQ(RowAt(3), (Row{L"3", L"G", L"H", L"I"}));
}

// Rows are split into cells when first needed: a cell written before its row
// was ever read must not be overwritten by the row's loaded text later.
TEST_F(DataFileTest, CellWrittenBeforeItsRowIsReadKeepsTheWrite) {
    Load("RowCount=3\r\n1=A,B,C\r\n2=D,E,F\r\n3=G,\"H,h\",I");
    grid_.SetCells(2, 3, L"edited");
    grid_.SetColCount(6);
    grid_.SetCells(5, 2, L"result");
    EXPECT_EQ(RowAt(3), (Row{L"3", L"G", L"edited", L"I"}));
    EXPECT_EQ(grid_.Cells(5, 2), L"result");
    EXPECT_EQ(RowAt(2), (Row{L"2", L"D", L"E", L"F"}));
    Load("RowCount=1\r\n1=x,y,z");  // the rows below keep what they showed
    EXPECT_EQ(RowAt(3), (Row{L"3", L"G", L"edited", L"I"}));
    EXPECT_EQ(grid_.Cells(5, 2), L"result");
}

TEST_F(DataFileTest, EmptyRowOneStopsBeforeAnyRow) {
    Load("RowCount=2\r\n1=\r\n2=A,B,C");
    EXPECT_EQ(grid_.RowCount(), 3);
    EXPECT_EQ(RowAt(1), (Row{L"", L"", L"", L""}));
    EXPECT_EQ(RowAt(2), (Row{L"", L"", L"", L""}));
}

TEST_F(DataFileTest, FirstOfDuplicateRowsCountsAndNamesAreNotTrimmed) {
    Load(
        "RowCount=2\r\n2=first,B,C\r\n1 "
        "=blank,B,C\r\n1=A,B,C\r\n2=second,B,C\r\n1=later,B,C\r\nplain line");
    EXPECT_EQ(RowAt(1), (Row{L"1", L"A", L"B", L"C"}));
    EXPECT_EQ(RowAt(2), (Row{L"2", L"first", L"B", L"C"}));
}

TEST_F(DataFileTest, FieldRulesApplyToRowValues) {
    Load(
        "RowCount=5\r\n"
        "1=ASCII, Reset, ATZ\r\n"
        "2=\"HEX\",\"a, b\",\"say \"\"hi\"\"\"\r\n"
        "3=A,B,C,D,E\r\n"
        "4= ASCII,x=y,a=b\r\n"
        "5=A,B,");
    EXPECT_EQ(RowAt(1), (Row{L"1", L"ASCII", L" Reset", L" ATZ"}));
    EXPECT_EQ(RowAt(2), (Row{L"2", L"HEX", L"a, b", L"say \"hi\""}));
    EXPECT_EQ(RowAt(3), (Row{L"3", L"A", L"B", L"C"}));
    EXPECT_EQ(RowAt(4), (Row{L"4", L" ASCII", L"x=y", L"a=b"}));
    EXPECT_EQ(RowAt(5), (Row{L"5", L"A", L"B", L""}));
}

// --- failures ----------------------------------------------------------------------------

TEST_F(DataFileTest, ShortRowFailsAfterWritingWhatItHas) {
    Load("RowCount=3\r\n1=O,P,Q\r\n2=R,S,T\r\n3=U,V,W");
    const int oldHeight = grid_.RowHeights(2);
    EXPECT_EQ(LoadError("RowCount=3\r\n1=ASCII,Reset\r\n2=A,B,C"), L"List index out of bounds (2)");
    EXPECT_EQ(grid_.RowCount(), 4);
    EXPECT_EQ(RowAt(1), (Row{L"1", L"ASCII", L"Reset", L"Q"}));
    EXPECT_EQ(grid_.RowHeights(1), 18);  // kept from before: not set by this load
    EXPECT_EQ(RowAt(2), (Row{L"2", L"R", L"S", L"T"}));
    EXPECT_EQ(grid_.RowHeights(2), oldHeight);

    tk::TGridModel fresh(4, 2, 24);
    EXPECT_EQ(ErrorOf([&] {
                  LoadDataFile(Write(L"short.dat", "RowCount=2\r\n1=A,B,C\r\n2=only"), lines_,
                               fresh);
              }),
              L"List index out of bounds (1)");
    EXPECT_EQ(fresh.RowHeights(1), 18);
    EXPECT_EQ(fresh.Cells(0, 2), L"2");
    EXPECT_EQ(fresh.Cells(1, 2), L"only");
    EXPECT_EQ(fresh.RowHeights(2), 24);
}

TEST_F(DataFileTest, ShortRowRaisesAListError) {
    EXPECT_THROW(Load("RowCount=1\r\n1=A,B"), tk::EListError);
    EXPECT_THROW(Load("RowCount=x"), tk::EConvertError);
}

TEST_F(DataFileTest, MissingFileReportsFullPathAndSystemText) {
    Load(kExample);
    const Snapshot before = Snap();
    const std::vector<std::wstring> lines = Lines();
    const std::wstring path = dir_ + L"\\missing.dat";
    const std::wstring message = ErrorOf([&] { LoadDataFile(path, lines_, grid_); });
    EXPECT_EQ(message,
              L"Cannot open file \"" + path + L"\". " + tk::SysErrorMessage(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(tk::SysErrorMessage(ERROR_FILE_NOT_FOUND).empty());
    EXPECT_THROW(LoadDataFile(path, lines_, grid_), tk::EFOpenError);
    EXPECT_EQ(Snap(), before);
    EXPECT_EQ(Lines(), lines);
}

TEST_F(DataFileTest, RelativeNameIsTakenFromTheCurrentDirectory) {
    Write(L"rel.dat", kExample);
    wchar_t old[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, old);
    ASSERT_TRUE(SetCurrentDirectoryW(dir_.c_str()));
    LoadDataFile(L"rel.dat", lines_, grid_);
    const std::wstring message = ErrorOf([&] { LoadDataFile(L"nothere.dat", lines_, grid_); });
    SetCurrentDirectoryW(old);
    EXPECT_EQ(RowAt(3), (Row{L"3", L"HEX", L"Ping", L"01 02 0A FF"}));
    EXPECT_EQ(message, L"Cannot open file \"" + dir_ + L"\\nothere.dat\". " +
                           tk::SysErrorMessage(ERROR_FILE_NOT_FOUND));
}

TEST_F(DataFileTest, FileOpenForWritingElsewhereCannotBeRead) {
    const std::wstring path = Write(L"busy.dat", kExample);
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const Snapshot before = Snap();
    const std::wstring message = ErrorOf([&] { LoadDataFile(path, lines_, grid_); });
    CloseHandle(writer);
    EXPECT_EQ(message, L"Cannot open file \"" + path + L"\". " +
                           tk::SysErrorMessage(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Snap(), before);
    EXPECT_EQ(Lines().size(), 0u);

    // A reader that lets others read does not stand in the way.
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ErrorOf([&] { LoadDataFile(path, lines_, grid_); }), L"no error");
    CloseHandle(reader);
    EXPECT_EQ(grid_.RowCount(), 4);
}

TEST_F(DataFileTest, DirectoryCannotBeOpened) {
    const std::wstring message = ErrorOf([&] { LoadDataFile(dir_, lines_, grid_); });
    EXPECT_EQ(message.rfind(L"Cannot open file \"" + dir_ + L"\". ", 0), 0u) << message;
}

}  // namespace
