#include "UAppFunction.h"

namespace {
// A command row has Type, Function and Command Data; later fields are dropped.
constexpr int kMaxCommaFields = 3;
}  // namespace

int SplitCommaText(std::wstring_view Text, tk::TStringList& List) {
    List.Clear();
    const std::size_t n = Text.size();
    std::size_t i = 0;
    while (i < n && List.Count() < kMaxCommaFields) {
        if (Text[i] == L'"') {
            std::wstring field;
            bool closed = false;
            for (++i; i < n; ++i) {
                if (Text[i] != L'"') {
                    field.push_back(Text[i]);
                } else if (i + 1 < n && Text[i + 1] == L'"') {
                    field.push_back(L'"');
                    ++i;
                } else {
                    ++i;
                    closed = true;
                    break;
                }
            }
            List.Add(std::move(field));
            // Whatever follows the closing quote up to the next comma stands alone.
            if (closed && i < n && Text[i] != L',') continue;
        } else {
            std::size_t end = Text.find(L',', i);
            if (end == std::wstring_view::npos) end = n;
            List.Add(std::wstring(Text.substr(i, end - i)));
            i = end;
        }
        if (i >= n) break;
        ++i;  // the comma
        if (i == n && List.Count() < kMaxCommaFields) List.Add(std::wstring());
    }
    return List.Count();
}

#ifdef _WIN32

#include <windows.h>

#include <vector>

#include "SysUtils.h"

namespace {
[[noreturn]] void RaiseVersionError(DWORD error) {
    // Some failures leave no error code behind; still say what went wrong.
    if (error == 0) error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    throw tk::EOSError(tk::SysErrorMessage(error), error);
}
}  // namespace

std::wstring GetAppVersion() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) RaiseVersionError(GetLastError());
        if (n < path.size()) break;
        path.resize(path.size() * 2);
    }
    DWORD dummy = 0;
    SetLastError(0);
    const DWORD size = GetFileVersionInfoSizeW(path.data(), &dummy);
    if (size == 0) RaiseVersionError(GetLastError());
    std::vector<unsigned char> block(size);
    SetLastError(0);
    if (!GetFileVersionInfoW(path.data(), 0, size, block.data())) RaiseVersionError(GetLastError());
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    SetLastError(0);
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info ||
        len < sizeof(VS_FIXEDFILEINFO))
        RaiseVersionError(GetLastError());
    return tk::Format(L"%d.%d.%d", {static_cast<int>(HIWORD(info->dwFileVersionMS)),
                                    static_cast<int>(LOWORD(info->dwFileVersionMS)),
                                    static_cast<int>(HIWORD(info->dwFileVersionLS))});
}

#endif
