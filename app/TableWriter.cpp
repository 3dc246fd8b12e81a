#include "TableWriter.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>

#include "DataFile.h"
#include "RowChecks.h"
#include "SysUtils.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace {

// One line of the file as bytes: its content and the line break after it
// (empty for a last line without one).
struct TRawLine {
    std::string content;
    std::string end;
};

// The file cut into lines exactly where the loader cuts its text.
struct TRawFile {
    TDataEncoding encoding = TDataEncoding::Utf8;
    std::string mark;
    std::vector<TRawLine> lines;
    std::string tail;  // from a NUL on (never read), and a last odd UTF-16 byte
    std::string lineEnd;
};

TRawFile CutLines(const std::string& bytes) {
    TRawFile file;
    if (bytes.empty()) {
        file.mark = "\xEF\xBB\xBF";
        file.lineEnd = "\r\n";
        return file;
    }
    std::size_t markSize = 0;
    file.encoding = DetectDataEncoding(bytes, markSize);
    file.mark = bytes.substr(0, markSize);
    const bool wide =
        file.encoding == TDataEncoding::Utf16LE || file.encoding == TDataEncoding::Utf16BE;
    const std::size_t unit = wide ? 2 : 1;
    const std::size_t size = markSize + (bytes.size() - markSize) / unit * unit;
    auto at = [&](std::size_t i) -> unsigned {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        if (!wide) return b0;
        const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        return file.encoding == TDataEncoding::Utf16LE ? b0 | (b1 << 8) : (b0 << 8) | b1;
    };
    std::size_t end = markSize;
    while (end < size && at(end) != 0) end += unit;
    file.tail = bytes.substr(end);
    std::size_t start = markSize;
    while (start < end) {
        std::size_t stop = start;
        while (stop < end && at(stop) != '\r' && at(stop) != '\n') stop += unit;
        std::size_t next = stop;
        if (next < end)
            next += (at(next) == '\r' && next + unit < end && at(next + unit) == '\n') ? 2 * unit : unit;
        file.lines.push_back({bytes.substr(start, stop - start), bytes.substr(stop, next - stop)});
        if (file.lineEnd.empty()) file.lineEnd = bytes.substr(stop, next - stop);
        start = next;
    }
    if (file.lineEnd.empty()) {
        EncodeDataText(L"\r\n", file.encoding, file.lineEnd);
    }
    return file;
}

// What a line is to the table. Rows and keys count from 1.
struct TLineRole {
    enum Kind { Other, RowCount, Row, Key } kind = Other;
    int row = 0;
    int key = 0;  // 0 Expect, 1 Timeout, 2 Delay
};

const wchar_t* const kKeys[] = {kExpectKey, kTimeoutKey, kDelayKey};

// A row number as the loader names it: decimal, no sign, no leading zero.
bool RowNumber(std::wstring_view text, int& row) {
    if (text.empty() || text.size() > 10 || text[0] == L'0') return false;
    long long v = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        v = v * 10 + (c - L'0');
    }
    if (v > 0x7FFFFFFF) return false;
    row = static_cast<int>(v);
    return true;
}

TLineRole RoleOf(const std::wstring& line, std::wstring& name) {
    TLineRole role;
    const std::size_t eq = line.find(L'=');
    if (eq == std::wstring::npos) return role;
    name = line.substr(0, eq);
    if (tk::SameTextLocale(name, L"RowCount")) {
        role.kind = TLineRole::RowCount;
    } else if (RowNumber(name, role.row)) {
        role.kind = TLineRole::Row;
    } else if (name.size() > 4 && (name[0] == L'R' || name[0] == L'r')) {
        // Row.N.Key: the number between the dots, the rest compared as names are.
        const std::size_t dot = name.find(L'.', 4);
        if (dot != std::wstring::npos &&
            RowNumber(std::wstring_view(name).substr(4, dot - 4), role.row)) {
            for (int k = 0; k < 3; ++k) {
                if (tk::SameTextLocale(name, RowKeyName(role.row, kKeys[k]))) {
                    role.kind = TLineRole::Key;
                    role.key = k;
                }
            }
        }
    }
    return role;
}

[[noreturn]] void RaiseCannotStore(int row, const std::wstring& what) {
    throw tk::Exception(row > 0 ? L"Row " + tk::IntToStr(row) + L": " + what : what);
}

class TTableLines {
public:
    TTableLines(const TRawFile& file, const std::vector<TTableRow>& rows)
        : file_(file), rows_(rows), count_(static_cast<int>(rows.size())) {}

    std::string Write();

private:
    struct TOutLine {
        std::string content;
        std::string end;  // empty: the file's line end, or none at the very end
    };
    // Slot of a table line: RowCount is (0, 0), row r is (r, 0), key k of row r is (r, 1 + k).
    using TSlot = std::pair<int, int>;

    std::optional<std::wstring> ValueOf(TSlot slot) const;
    std::string Encode(const std::wstring& name, const std::wstring& value, int row) const;
    void RewriteFileLines();
    void InsertNewLines();
    std::string Join();

    const TRawFile& file_;
    const std::vector<TTableRow>& rows_;
    const int count_;
    std::vector<TOutLine> out_;
    std::map<TSlot, std::size_t> last_;  // slot's line in out_; per row also (r, -1), its last line
    std::map<TSlot, bool> seen_;
    std::size_t firstTable_ = SIZE_MAX;
    std::vector<std::vector<std::string>> inserts_;  // new lines before out_[i]
};

std::optional<std::wstring> TTableLines::ValueOf(TSlot slot) const {
    if (slot.first == 0) return tk::IntToStr(static_cast<std::int64_t>(rows_.size()));
    const TTableRow& row = rows_[static_cast<std::size_t>(slot.first - 1)];
    switch (slot.second) {
        case 0:
            return JoinRowFields(row.type, row.function, row.data);
        case 1:
            return row.expect.empty() ? std::nullopt : std::optional(row.expect);
        case 2:
            return row.timeout.empty() ? std::nullopt : std::optional(row.timeout);
        default:
            return row.delay.empty() ? std::nullopt : std::optional(row.delay);
    }
}

std::string TTableLines::Encode(const std::wstring& name, const std::wstring& value,
                                int row) const {
    if (value.find_first_of(std::wstring(L"\r\n\0", 3)) != std::wstring::npos)
        RaiseCannotStore(row, L"a value holds a line break or a NUL, which a table line cannot hold");
    std::string bytes;
    if (!EncodeDataText(name + L"=" + value, file_.encoding, bytes))
        RaiseCannotStore(row, L"a value holds a character that this file's encoding cannot store");
    return bytes;
}

// Keeps the lines the table does not own; gives the first line of each
// table name its new value (or drops it with its value gone); drops later
// lines of the same name, which are never read, and would be once the first went.
void TTableLines::RewriteFileLines() {
    for (const TRawLine& line : file_.lines) {
        std::wstring name;
        const TLineRole role = RoleOf(DecodeDataText(line.content, file_.encoding), name);
        const bool owned = role.kind == TLineRole::RowCount ||
                           (role.kind != TLineRole::Other && role.row <= count_);
        if (!owned) {
            out_.push_back({line.content, line.end});
            continue;
        }
        const TSlot slot{role.kind == TLineRole::RowCount ? 0 : role.row,
                         role.kind == TLineRole::Key ? 1 + role.key : 0};
        if (seen_[slot]) continue;
        seen_[slot] = true;
        const std::optional<std::wstring> value = ValueOf(slot);
        if (!value) continue;
        firstTable_ = std::min(firstTable_, out_.size());
        last_[slot] = out_.size();
        if (slot.first > 0) last_[{slot.first, -1}] = out_.size();
        out_.push_back({Encode(name, *value, slot.first), line.end});
    }
}

// New lines go after the row's own lines, else after the row before it;
// a new RowCount before the first table line, or at the end.
void TTableLines::InsertNewLines() {
    inserts_.assign(out_.size() + 1, {});
    std::size_t at = out_.size();
    if (auto it = last_.find({0, 0}); it != last_.end()) {
        at = it->second + 1;
    } else {
        if (firstTable_ != SIZE_MAX) at = firstTable_;
        inserts_[at].push_back(Encode(L"RowCount", *ValueOf({0, 0}), 0));
    }
    for (int r = 1; r <= count_; ++r) {
        if (auto it = last_.find({r, -1}); it != last_.end()) at = it->second + 1;
        for (int k = 0; k < 4; ++k) {
            if (seen_[{r, k}]) continue;
            if (const auto value = ValueOf({r, k}))
                inserts_[at].push_back(
                    Encode(k == 0 ? tk::IntToStr(r) : RowKeyName(r, kKeys[k - 1]), *value, r));
        }
    }
}

std::string TTableLines::Join() {
    std::vector<TOutLine> lines;
    lines.reserve(out_.size() + static_cast<std::size_t>(count_));
    for (std::size_t i = 0; i <= out_.size(); ++i) {
        for (auto& content : inserts_[i]) lines.push_back({std::move(content), file_.lineEnd});
        if (i < out_.size()) lines.push_back(std::move(out_[i]));
    }
    std::string cr, lf;
    EncodeDataText(L"\r", file_.encoding, cr);
    EncodeDataText(L"\n", file_.encoding, lf);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].end.empty()) lines[i].end = file_.lineEnd;
        // A lone CR and the LF of an empty line after it would read as one break.
        if (i > 0 && lines[i - 1].end == cr && lines[i].content.empty() && lines[i].end == lf)
            lines[i - 1].end += lf;
    }
    // Only the last line may lack a break, and only when the file's did; an
    // empty last line needs its break to be a line at all.
    const bool openEnd = !file_.lines.empty() && file_.lines.back().end.empty();
    if (openEnd && !lines.empty() && !lines.back().content.empty()) lines.back().end.clear();
    std::string bytes = file_.mark;
    for (const TOutLine& line : lines) bytes += line.content + line.end;
    return bytes + file_.tail;
}

std::string TTableLines::Write() {
    RewriteFileLines();
    InsertNewLines();
    return Join();
}

}  // namespace

std::wstring JoinRowFields(const std::wstring& type, const std::wstring& function,
                           const std::wstring& data) {
    auto field = [](const std::wstring& text) {
        if (text.find(L',') == std::wstring::npos && (text.empty() || text[0] != L'"')) return text;
        std::wstring quoted = L"\"";
        for (wchar_t c : text) {
            if (c == L'"') quoted += L'"';
            quoted += c;
        }
        return quoted + L"\"";
    };
    return field(type) + L"," + field(function) + L"," + field(data);
}

std::string WriteTableBytes(const std::string& original, const std::vector<TTableRow>& rows) {
    const TRawFile file = CutLines(original);
    return TTableLines(file, rows).Write();
}

std::vector<TTableRow> TableRowsOfGrid(const tk::TGridModel& grid, int rowCount,
                                       const TRowChecks& checks) {
    std::vector<TTableRow> rows;
    rows.reserve(static_cast<std::size_t>(std::max(rowCount, 0)));
    for (int r = 1; r <= rowCount; ++r) {
        TTableRow row{grid.Cells(1, r), grid.Cells(2, r), grid.Cells(3, r), {}, {}, {}};
        if (static_cast<std::size_t>(r) <= checks.rows.size()) {
            const TRowCheck& check = checks.rows[static_cast<std::size_t>(r - 1)];
            row.expect = check.expectText;
            row.timeout = check.timeoutText;
            row.delay = check.delayText;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<TTableRow> LoadTableRows(const std::string& bytes) {
    std::shared_ptr<const TDataLines> lines;
    tk::TGridModel grid(4, 2, kDataRowHeight);
    int count = 0;
    LoadDataBytes(bytes, lines, grid, &count);
    return TableRowsOfGrid(grid, count, LoadRowChecks(*lines, count));
}

std::string SaveTableBytes(const std::string& original, const std::vector<TTableRow>& rows) {
    std::string bytes = WriteTableBytes(original, rows);
    std::vector<TTableRow> loaded;
    try {
        loaded = LoadTableRows(bytes);
    } catch (const tk::Exception& e) {
        throw tk::Exception(L"the saved table would not load again: " + e.Message());
    }
    auto same = [](const TTableRow& a, const TTableRow& b) {
        return a.type == b.type && a.function == b.function && a.data == b.data &&
               a.expect == b.expect && a.timeout == b.timeout && a.delay == b.delay;
    };
    // A line the writer does not own can still be read as a row: a name the
    // locale compares equal to a row number.
    for (std::size_t i = 0; i < std::min(rows.size(), loaded.size()); ++i) {
        if (!same(rows[i], loaded[i]))
            RaiseCannotStore(static_cast<int>(i + 1),
                             L"another line of the file would be read in its place");
    }
    if (loaded.size() != rows.size())
        RaiseCannotStore(0, L"the saved table would load with " +
                                tk::IntToStr(static_cast<std::int64_t>(loaded.size())) +
                                L" rows instead of " +
                                tk::IntToStr(static_cast<std::int64_t>(rows.size())));
    return bytes;
}

void SaveTableFile(const std::wstring& fileName, const std::string& original,
                   const std::vector<TTableRow>& rows) {
    std::string bytes;
    try {
        bytes = SaveTableBytes(original, rows);
    } catch (const tk::Exception& e) {
#ifdef _WIN32
        const std::wstring shown = tk::ExpandFileName(fileName);
#else
        const std::wstring& shown = fileName;
#endif
        throw tk::Exception(L"Cannot save file \"" + shown + L"\". " + e.Message());
    }
    ReplaceFileContent(fileName, bytes);
}

#ifdef _WIN32

void ReplaceFileContent(const std::wstring& fileName, const std::string& bytes) {
    const std::wstring temp = fileName + L".saving";
    auto fail = [&](DWORD error) {
        DeleteFileW(temp.c_str());
        throw tk::Exception(tk::Format(L"Cannot save file \"%s\". %s",
                                       {tk::ExpandFileName(fileName), tk::SysErrorMessage(error)}));
    };
    // Windows refuses to rename over a read-only file, Wine does not: refuse
    // it here on both.
    const DWORD attributes = GetFileAttributesW(fileName.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        fail(ERROR_ACCESS_DENIED);
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail(GetLastError());
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(h, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            const DWORD error = GetLastError();
            CloseHandle(h);
            fail(error);
        }
        done += written;
    }
    if (!FlushFileBuffers(h)) {
        const DWORD error = GetLastError();
        CloseHandle(h);
        fail(error);
    }
    CloseHandle(h);
    if (!MoveFileExW(temp.c_str(), fileName.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        fail(GetLastError());
}

#else

void ReplaceFileContent(const std::wstring& fileName, const std::string& bytes) {
    std::string path;
    EncodeDataText(fileName, TDataEncoding::Utf8, path);
    const std::string temp = path + ".saving";
    auto fail = [&](int error) {
        unlink(temp.c_str());
        throw tk::Exception(L"Cannot save file \"" + fileName + L"\". " +
                            tk::BytesToLatin1(std::strerror(error)));
    };
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail(errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            close(fd);
            fail(error);
        }
        done += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0) {
        const int error = errno;
        close(fd);
        fail(error);
    }
    if (close(fd) != 0) fail(errno);
    if (rename(temp.c_str(), path.c_str()) != 0) fail(errno);
}

#endif
