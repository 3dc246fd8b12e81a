// Writing a table back: awkward rows load again the same in every encoding,
// lines the table does not own stay where they were, saving replaces the
// file whole or not at all.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DataFile.h"
#include "GridModel.h"
#include "RowChecks.h"
#include "SysUtils.h"
#include "TableWriter.h"

namespace {

struct Loaded {
    std::shared_ptr<const TDataLines> lines;
    tk::TGridModel grid;
    std::vector<TTableRow> rows;
};

// Loads as the window does: the grid, then the row keys; the rows as a save takes them.
void Load(const std::string& bytes, Loaded& t) {
    int n = 0;
    LoadDataBytes(bytes, t.lines, t.grid, &n);
    t.rows = TableRowsOfGrid(t.grid, n, LoadRowChecks(*t.lines, n));
}

std::string FileOf(const std::wstring& text, TDataEncoding encoding) {
    static const char* const marks[] = {"", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
    std::string bytes;
    EXPECT_TRUE(EncodeDataText(text, encoding, bytes));
    return marks[static_cast<int>(encoding)] + bytes;
}

bool SameRows(const std::vector<TTableRow>& a, const std::vector<TTableRow>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].type != b[i].type || a[i].function != b[i].function || a[i].data != b[i].data ||
            a[i].expect != b[i].expect || a[i].timeout != b[i].timeout || a[i].delay != b[i].delay)
            return false;
    }
    return true;
}

TEST(TableWriter, AwkwardRowsLoadAgainTheSameInEveryEncoding) {
    const std::wstring table =
        L"; awkward rows\r\n"
        L"RowCount=9\r\n"
        L"1=ASCII,\"Reset, then wait\",\"say \"\"hi\"\", twice\"\r\n"
        L"2= ASCII ,\ttabbed\t, leading and trailing \r\n"
        L"3=ASCII,unclosed,\"runs, to the end\r\n"
        L"4=\"ab\"cd,after the quote,x\r\n"
        L"5=,,\r\n"
        L"6=HEX,Ping,01 02 0A FF,fourth field\r\n"
        L"7=ASCII+CRLF,Gr\u00FC\u00DFe,a\"b\r\n"
        L"8=ASCII,empty data,\r\n"
        L"9=ASCII+CR,=,x=y\r\n"
        L"Row.9.Expect=OK<CR><LF>\r\n";
    for (auto encoding : {TDataEncoding::Ansi, TDataEncoding::Utf8, TDataEncoding::Utf16LE,
                          TDataEncoding::Utf16BE}) {
        SCOPED_TRACE(static_cast<int>(encoding));
        Loaded first, second;
        Load(FileOf(table, encoding), first);
        ASSERT_EQ(first.rows.size(), 9u);
        // Edits that need quoting on the way out.
        first.rows[4].data = L"\"starts with a quote";
        first.rows[7].function = L"comma, and \"quotes\"";
        first.rows[7].expect = L"HEX:01 ?? 03";
        const std::string saved = WriteTableBytes(FileOf(table, encoding), first.rows);
        const std::string mark = FileOf(L"", encoding);
        ASSERT_EQ(saved.compare(0, mark.size(), mark), 0) << "the mark stays";
        const std::wstring text = DecodeDataText(saved.substr(mark.size()), encoding);
        std::size_t breaks = 0;
        for (std::size_t at = text.find(L"\r\n"); at != std::wstring::npos; at = text.find(L"\r\n", at + 2))
            ++breaks;
        EXPECT_EQ(breaks, 13u) << "every line ends in CR LF, as in the file (one key added)";
        EXPECT_EQ(std::count(text.begin(), text.end(), L'\n'), 13);
        Load(saved, second);
        EXPECT_TRUE(SameRows(first.rows, second.rows));
        EXPECT_EQ(second.lines->Line(0), L"; awkward rows");
    }
}

TEST(TableWriter, OnlyTheTablesOwnLinesChange) {
    const std::string before =
        "; bench table\n"
        "rowcount=3\n"
        "1=ASCII+CR,Attention,AT\n"
        "Row.1.Timeout=500\n"
        "; hex\n"
        "2=HEX,Ping,01 02\n"
        "3=ASCII,Old,x\n"
        "Row.3.Expect=OLD\n"
        "2=ASCII,duplicate,never read\n"
        "7=ASCII,beyond,kept\n"
        "tail comment";
    Loaded t;
    Load(before, t);
    ASSERT_EQ(t.rows.size(), 3u);
    t.rows[1].expect = L"ACK 01 02<CR><LF>";
    t.rows[2].expect.clear();
    t.rows[2].data = L"a,b";
    t.rows.push_back({L"ASCII", L"New", L"hi", L"", L"", L"100"});
    EXPECT_EQ(WriteTableBytes(before, t.rows),
              "; bench table\n"
              "rowcount=4\n"
              "1=ASCII+CR,Attention,AT\n"
              "Row.1.Timeout=500\n"
              "; hex\n"
              "2=HEX,Ping,01 02\n"
              "Row.2.Expect=ACK 01 02<CR><LF>\n"
              "3=ASCII,Old,\"a,b\"\n"
              "4=ASCII,New,hi\n"
              "Row.4.Delay=100\n"
              "7=ASCII,beyond,kept\n"
              "tail comment");
}

TEST(TableWriter, AnUntouchedTableIsWrittenByteForByte) {
    const std::string table =
        "RowCount=2\r1=ASCII,a,\"b,c\"\r\n; note\r\n2=HEX,h,01\n\nRow.2.Expect=HEX:01\r\n";
    Loaded t;
    Load(table, t);
    EXPECT_EQ(WriteTableBytes(table, t.rows), table);
    // A new file: UTF-8 with its mark, CR LF.
    EXPECT_EQ(WriteTableBytes("", t.rows),
              "\xEF\xBB\xBFRowCount=2\r\n1=ASCII,a,\"b,c\"\r\n2=HEX,h,01\r\nRow.2.Expect=HEX:01\r\n");
}

TEST(TableWriter, DroppedLinesDoNotJoinTheBreaksAroundThem) {
    // Without the later "1=" line, the lone CR and the empty line's LF would
    // read as one CR LF, and the empty last line would vanish.
    Loaded t;
    Load("RowCount=1\r1=A,B,C\r1=dup,x,y\n\n; end\n\n1=dup", t);
    EXPECT_EQ(WriteTableBytes("RowCount=1\r1=A,B,C\r1=dup,x,y\n\n; end\n\n1=dup", t.rows),
              "RowCount=1\r1=A,B,C\r\n\n; end\n\n");
}

TEST(TableWriter, ValuesALineCannotHoldAreRefusedNamingTheRow) {
    std::vector<TTableRow> rows{{L"ASCII", L"ok", L"x", L"", L"", L""},
                                {L"ASCII", L"two\r\nlines", L"x", L"", L"", L""}};
    try {
        WriteTableBytes("RowCount=0\n", rows);
        FAIL() << "a line break was written";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(e.Message(), L"Row 2: a value holds a line break or a NUL, which a table line cannot hold");
    }
    rows[1].function = L"\u20AC";  // outside the ANSI stand-in, fine in UTF-8
    EXPECT_THROW(WriteTableBytes("RowCount=0\n", rows), tk::Exception);
    EXPECT_NO_THROW(WriteTableBytes("\xEF\xBB\xBFRowCount=0\n", rows));
}

TEST(TableWriter, ASaveTakesTheLoadedRowsNotTheGridsRowCount) {
    // RowCount promises four rows; the load stops at the missing third.
    const std::string table = "RowCount=4\n1=ASCII,a,x\n2=HEX,b,01\n4=ASCII,d,never read\n";
    Loaded t;
    Load(table, t);
    EXPECT_EQ(t.grid.RowCount(), 5);
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(SaveTableBytes(table, t.rows),
              "RowCount=2\n1=ASCII,a,x\n2=HEX,b,01\n4=ASCII,d,never read\n");
    // A short row ends the load with an error; the rows before it count.
    tk::TGridModel grid;
    int n = -1;
    EXPECT_THROW(LoadDataBytes("RowCount=3\n1=A,B,C\n2=only\n", t.lines, grid, &n), tk::Exception);
    EXPECT_EQ(n, 1);
}

TEST(RowChecks, BadValuesAreNamedAndTheRestIsRead) {
    Loaded t;
    Load("RowCount=3\n1=ASCII,a,x\n2=ASCII,b,y\nRow.1.Timeout=abc\nrow.1.expect=OK<CR>\n"
         "Row.2.Expect=<ZZ>\nRow.2.Delay= 250 \n3=ASCII,c,z\nRow.3.Timeout=0\n",
         t);
    const TRowChecks checks = LoadRowChecks(*t.lines, 3);
    ASSERT_EQ(checks.errors.size(), 3u);
    EXPECT_EQ(checks.errors[0],
              L"Line 4: Row.1.Timeout=abc: the time-out must be a whole number of milliseconds "
              L"from 1 to 3600000; 1000 is used");
    EXPECT_EQ(checks.errors[1].substr(0, 26), L"Line 6: Row.2.Expect=<ZZ>:");
    EXPECT_EQ(checks.errors[2].substr(0, 24), L"Line 9: Row.3.Timeout=0:");
    EXPECT_EQ(checks.rows[0].timeoutMs, kDefaultTimeoutMs);
    EXPECT_EQ(checks.rows[0].expect.pattern, (std::vector<int>{'O', 'K', 0x0D}));
    EXPECT_FALSE(checks.rows[1].expectError.empty());
    EXPECT_EQ(checks.rows[1].delayMs, 250);
    EXPECT_FALSE(checks.rows[2].Checked());
    EXPECT_TRUE(checks.AnyExpect());
    // The grid is what it always was: four columns, rows 1 to 3.
    EXPECT_EQ(t.grid.Cells(3, 3), L"z");
}

class ReplaceFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quolm_tablewriter_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::remove((dir_ + "/table.dat").c_str());
        rmdir((dir_ + "/sub").c_str());
        rmdir(dir_.c_str());
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir_;
};

TEST_F(ReplaceFile, WritesWholeOrLeavesTheOldFile) {
    const std::string path = dir_ + "/table.dat";
    const std::wstring name(path.begin(), path.end());
    ReplaceFileContent(name, "old");
    ReplaceFileContent(name, "RowCount=0\r\n");
    EXPECT_EQ(Read(path), "RowCount=0\r\n");

    // A directory cannot be replaced by a file: the rename fails.
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
    const std::string sub = dir_ + "/sub";
    try {
        ReplaceFileContent(std::wstring(sub.begin(), sub.end()), "new");
        FAIL() << "a directory was replaced";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(e.Message().rfind(L"Cannot save file \"" + std::wstring(sub.begin(), sub.end()) + L"\". ", 0), 0u);
    }
    struct stat st {};
    EXPECT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_NE(stat((sub + ".saving").c_str(), &st), 0) << "the temporary file is removed";
}

}  // namespace
