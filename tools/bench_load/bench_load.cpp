// Times LoadDataFile on generated command tables of 1,000, 10,000 and
// 100,000 rows (best of three runs each) and prints the 100k/10k ratio:
// a linear load gives about 10.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "BenchKit.h"
#include "Classes.h"
#include "DataFile.h"
#include "GridModel.h"
#include "SysUtils.h"

namespace {


bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

// A table as users write them: a comment, the count, then the rows in order.
std::string MakeTable(int rows) {
    std::string text = "Generated command table\r\nRowCount=" + std::to_string(rows) + "\r\n";
    static const char* const types[] = {"ASCII", "ASCII+CR", "ASCII+CRLF", "HEX"};
    for (int r = 1; r <= rows; ++r) {
        const char* type = types[r % 4];
        text += std::to_string(r) + "=" + type + ",Command " + std::to_string(r) + ",";
        text += (r % 4 == 3) ? "01 02 0A FF" : "\"AT+CMD=" + std::to_string(r) + ",1\"";
        text += "\r\n";
    }
    return text;
}

}  // namespace

int main() {
    wchar_t tempPath[MAX_PATH + 1] = {};
    if (!GetTempPathW(MAX_PATH + 1, tempPath)) return 1;
    const std::wstring dir =
        std::wstring(tempPath) + L"quolm_bench_load_" + std::to_wstring(GetCurrentProcessId());
    if (!CreateDirectoryW(dir.c_str(), nullptr)) return 1;

    const int sizes[] = {1000, 10000, 100000};
    double best[3] = {};
    int status = 0;
    for (int s = 0; s < 3 && status == 0; ++s) {
        const std::wstring file = dir + L"\\table" + std::to_wstring(sizes[s]) + L".dat";
        if (!WriteFileBytes(file, MakeTable(sizes[s]))) {
            std::printf("cannot write %ls\n", file.c_str());
            status = 1;
            break;
        }
        best[s] = 1e30;
        for (int run = 0; run < 3; ++run) {
            std::shared_ptr<const TDataLines> lines;
            tk::TGridModel grid(4, 2, 24);
            try {
                const double t0 = benchkit::Now();
                LoadDataFile(file, lines, grid);
                best[s] = std::min(best[s], benchkit::Now() - t0);
            } catch (const tk::Exception& e) {
                std::printf("load failed: %ls\n", e.Message().c_str());
                status = 1;
                break;
            }
            if (grid.RowCount() != sizes[s] + 1 ||
                grid.Cells(2, sizes[s]) != L"Command " + tk::IntToStr(sizes[s])) {
                std::printf("wrong result for %d rows\n", sizes[s]);
                status = 1;
                break;
            }
        }
        if (status == 0)
            std::printf("%7d rows: %8.1f ms (best of 3)\n", sizes[s], best[s] * 1000.0);
        DeleteFileW(file.c_str());
    }
    RemoveDirectoryW(dir.c_str());
    if (status == 0) std::printf("ratio 100k/10k: %.2f\n", best[2] / best[1]);
    return status;
}
