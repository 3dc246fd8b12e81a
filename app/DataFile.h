// The command table file: a text file of name=value lines with "RowCount"
// and the numbered rows "1", "2", ... each holding Type, Function and
// Command Data. Reading it fills a line store and a four-column grid.
//
// The decoding, line cutting, entry lookup and grid filling are portable;
// reading from disk, the ANSI code page and the locale comparison use the
// system on Windows (a native build decodes ANSI as Latin-1 and compares
// with simple case folding, which is enough for fuzzing).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Classes.h"
#include "GridModel.h"

// Height given to every grid row that a load fills.
constexpr int kDataRowHeight = 18;

// The whole file content as text: a leading EF BB BF is UTF-8, FF FE UTF-16
// little-endian, FE FF UTF-16 big-endian (the mark is dropped); anything else
// is in the ANSI code page. A last odd byte of UTF-16 is dropped.
std::wstring DecodeDataFileBytes(const std::string& bytes);

// The encodings a table file comes in, as its first bytes tell them.
enum class TDataEncoding { Ansi, Utf8, Utf16LE, Utf16BE };

// The encoding of file content and the size of its byte-order mark (0 for ANSI).
TDataEncoding DetectDataEncoding(const std::string& bytes, std::size_t& markSize);

// Decodes text of a known encoding (no mark), as DecodeDataFileBytes does.
std::wstring DecodeDataText(const std::string& bytes, TDataEncoding encoding);

// Encodes text in that encoding (no mark). False when some character cannot
// be stored so that decoding gives it back (outside the ANSI code page, a
// lone surrogate in UTF-8).
bool EncodeDataText(const std::wstring& text, TDataEncoding encoding, std::string& bytes);

// The lines of file content, decoded as DecodeDataFileBytes does, kept as one
// text with each line's bounds (a table of ten thousand rows is one string,
// not ten thousand). Plain ASCII content (as tables mostly are; no byte-order
// mark is ASCII) is kept as its bytes, one byte a character. Lines break at
// CR LF, lone CR and lone LF; a NUL ends the text; the empty rest after a
// final line break is no line.
class TDataLines final : public tk::TLineSource {
public:
    TDataLines() = default;
    explicit TDataLines(std::string bytes);
    int Count() const override { return static_cast<int>(bounds_.size() / 2); }
    // Calls f with line `index` (0 <= index < Count()) as a std::string_view
    // of ASCII or as a std::wstring_view, and returns what f returns. The
    // view lives as long as these lines do.
    template <class F>
    decltype(auto) Visit(int index, F&& f) const {
        const auto [begin, size] = Bounds(index);
        if (narrow_) return f(std::string_view(ascii_).substr(begin, size));
        return f(std::wstring_view(wide_).substr(begin, size));
    }
    std::wstring Line(int index) const override;

private:
    template <class Text>
    void CutLines(Text& text);
    std::pair<std::size_t, std::size_t> Bounds(int index) const;
    bool narrow_ = false;  // the text is ascii_, else wide_
    std::string ascii_;
    std::wstring wide_;
    std::vector<std::uint32_t> bounds_;  // begin and end of each line
};

// Key of an entry name: two names are the same entry exactly when their keys
// are equal (on Windows the locale's case-insensitive sort key, which is
// equal exactly when the comparison says equal). Empty when the system
// cannot make one.
std::string EntryNameKey(std::wstring_view name);

// The first line whose name (the text before its first "=") equals Name by
// the locale's case-insensitive comparison; -1 when there is none. Lines
// without "=" are no entries. This is the plain search, line by line.
int IndexOfEntryLinear(const TDataLines& lines, const std::wstring& name);

// The same answer as IndexOfEntryLinear in constant time per lookup.
// Names are kept in three kinds: ASCII digits only (the row numbers), names
// with an ASCII letter ("RowCount"), and all others. Two facts of the
// comparison spare most calls to it: digit strings are equal only when they
// are identical, and a name with an ASCII letter never equals a digit string.
// So row numbers are found by their text; the others are compared one by one
// while they are few, and through EntryNameKey (first line per key, the hit
// confirmed by the comparison, the plain search should they ever disagree)
// when they are many. `lines` must outlive the index and stay unchanged.
class TEntryIndex {
public:
    explicit TEntryIndex(const TDataLines& lines);
    int IndexOfName(const std::wstring& name) const;
    // The text after the first "=" of that line; empty when there is none.
    std::wstring Values(const std::wstring& name) const;
    // Whether an entry other than the row numbers and `name` exists. A table
    // of plain rows has only "RowCount" besides its numbers: a reader of
    // further keys need not look up each row's.
    bool HasNamesOtherThan(const std::wstring& name) const;

private:
    // Entry lines of one kind, searched by the locale comparison.
    class TNameGroup {
    public:
        void Add(int line) { lines_.push_back(line); }
        void Finish(const TDataLines& lines);
        // First line of the group whose name equals `name`, -1 if none; a
        // direct search may stop after line `limit` (when >= 0). `key` caches
        // the key of `name` across groups.
        int Find(const TDataLines& lines, const std::wstring& name, std::string& key, bool& keyMade,
                 int limit) const;
        const std::vector<int>& Lines() const { return lines_; }

    private:
        std::vector<int> lines_;
        bool keyed_ = false;
        std::unordered_map<std::string, int> first_;  // name key -> first line
        std::vector<int> unkeyed_;                    // names without a key
    };

    int FindDigits(std::wstring_view name) const;

    const TDataLines& lines_;
    // Digit names, first line per name: a row number written plainly ("12")
    // by its value, any other ("012", very long) by its text.
    std::vector<int> byNumber_;
    std::unordered_map<std::wstring, int> digits_;
    std::vector<int> digitLines_;
    TNameGroup letters_;
    TNameGroup others_;
};

// Sets the grid's row count from the "RowCount" entry of the lines and fills
// rows 1, 2, ... until the row count is reached or a row entry has no value.
// Errors (an invalid RowCount, a row with fewer than three fields) end the
// load where they occur; what was written stays. The grid reads the rows'
// cells from the lines when it first needs them, so it keeps them. `loadedRows`,
// when given, receives the number of rows filled whole, also when an error
// ends the load: the table's rows, which the grid's row count need not be.
void LoadGridFromLines(const std::shared_ptr<const TDataLines>& lines, tk::TGridModel& grid,
                       int* loadedRows = nullptr);

// Cuts file content into lines (set before the grid is loaded, so they stay
// when the load fails) and loads the grid from them (LoadGridFromLines).
void LoadDataBytes(std::string bytes, std::shared_ptr<const TDataLines>& lines,
                   tk::TGridModel& grid, int* loadedRows = nullptr);

#ifdef _WIN32

// Filter of the "Load Data" open-file dialog.
inline const wchar_t* const kDataFileFilter = L"Data File|*.dat";

// Reads the whole file, opened for reading only while others may read but
// not write it. Raises EFOpenError "Cannot open file "%s". %s" with the full
// path and the system's text when it cannot be opened.
std::string ReadDataFileBytes(const std::wstring& fileName);

// Reads FileName (relative to the current directory) and loads it as
// LoadDataBytes does. Nothing changes when the file cannot be opened.
void LoadDataFile(const std::wstring& FileName, std::shared_ptr<const TDataLines>& lines,
                  tk::TGridModel& grid, int* loadedRows = nullptr);

#endif
