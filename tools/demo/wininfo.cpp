// wininfo: tells scripts where a top-level window's client area lies on the
// screen, so that X input (xdotool) can hit its controls exactly.
//
//   wininfo.exe TITLE-PREFIX [OUTFILE] [TIMEOUT-MS]
//   wininfo.exe --close TITLE-PREFIX
//   wininfo.exe --combo TITLE-PREFIX
//
// Waits up to TIMEOUT-MS (default 10000) for a visible top-level window whose
// caption starts with TITLE-PREFIX, then writes one line
//   <client-left> <client-top> <client-width> <client-height> <caption>
// in screen coordinates to OUTFILE (or to stdout). Exit code 1 when no such
// window showed up. An output file lets it report from inside a Wine desktop,
// where standard output is not passed through. --close posts WM_CLOSE to the
// window, which a user does with the close box. --combo prints the text shown
// by the window's first combo box (exit code 1 when it has none).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Search {
    std::wstring prefix;
    HWND found = nullptr;
};

BOOL CALLBACK Visit(HWND wnd, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    if (!IsWindowVisible(wnd)) return TRUE;
    wchar_t caption[512];
    int n = GetWindowTextW(wnd, caption, 512);
    if (n >= static_cast<int>(s->prefix.size()) && std::wcsncmp(caption, s->prefix.c_str(), s->prefix.size()) == 0) {
        s->found = wnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK VisitChild(HWND wnd, LPARAM param) {
    wchar_t cls[64];
    if (GetClassNameW(wnd, cls, 64) && _wcsicmp(cls, L"ComboBox") == 0) {
        *reinterpret_cast<HWND*>(param) = wnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: wininfo TITLE-PREFIX [OUTFILE] [TIMEOUT-MS]\n", stderr);
        return 2;
    }
    Search s;
    if (std::wcscmp(argv[1], L"--close") == 0) {
        if (argc < 3) return 2;
        s.prefix = argv[2];
        EnumWindows(Visit, reinterpret_cast<LPARAM>(&s));
        if (!s.found) return 1;
        return PostMessageW(s.found, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (std::wcscmp(argv[1], L"--combo") == 0) {
        if (argc < 3) return 2;
        s.prefix = argv[2];
        EnumWindows(Visit, reinterpret_cast<LPARAM>(&s));
        if (!s.found) return 1;
        HWND combo = nullptr;
        EnumChildWindows(s.found, VisitChild, reinterpret_cast<LPARAM>(&combo));
        if (!combo) return 1;
        // Another process's window: WM_GETTEXT is what returns the shown item.
        wchar_t text[256] = L"";
        DWORD_PTR got = 0;
        SendMessageTimeoutW(combo, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &got);
        std::printf("%ls\n", text);
        return 0;
    }
    s.prefix = argv[1];
    const DWORD timeout = argc > 3 ? static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) : 10000;
    const DWORD start = GetTickCount();
    for (;;) {
        EnumWindows(Visit, reinterpret_cast<LPARAM>(&s));
        if (s.found) break;
        if (GetTickCount() - start > timeout) return 1;
        Sleep(50);
    }
    RECT rc;
    GetClientRect(s.found, &rc);
    POINT origin{0, 0};
    ClientToScreen(s.found, &origin);
    wchar_t caption[512];
    GetWindowTextW(s.found, caption, 512);

    char line[1200];
    std::snprintf(line, sizeof line, "%ld %ld %ld %ld %ls\n", origin.x, origin.y, rc.right - rc.left,
                  rc.bottom - rc.top, caption);
    if (argc > 2) {
        FILE* f = _wfopen(argv[2], L"w");
        if (!f) return 3;
        std::fputs(line, f);
        std::fclose(f);
    } else {
        std::fputs(line, stdout);
    }
    return 0;
}
