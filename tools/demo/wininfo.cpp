// wininfo: tells scripts where a top-level window's client area lies on the
// screen, so that X input (xdotool) can hit its controls exactly.
//
//   wininfo.exe TITLE-PREFIX [OUTFILE] [TIMEOUT-MS]
//   wininfo.exe --close TITLE-PREFIX
//   wininfo.exe --combo TITLE-PREFIX
//   wininfo.exe --items TITLE-PREFIX
//   wininfo.exe --text CLASS-PREFIX TITLE-PREFIX
//   wininfo.exe --text-at X Y TITLE-PREFIX
//
// Waits up to TIMEOUT-MS (default 10000) for a visible top-level window whose
// caption starts with TITLE-PREFIX, then writes one line
//   <client-left> <client-top> <client-width> <client-height> <caption>
// in screen coordinates to OUTFILE (or to stdout). Exit code 1 when no such
// window showed up. An output file lets it report from inside a Wine desktop,
// where standard output is not passed through. --close posts WM_CLOSE to the
// window, which a user does with the close box. --combo prints the text shown
// by the window's first combo box (exit code 1 when it has none), --items
// every entry of its list, one a line; --text the
// text of its first child whose class name starts with CLASS-PREFIX (letter
// case ignored), e.g. RichEdit; --text-at the text of the visible child at a
// point of the client area (for views of the program's own window class).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <cstring>

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

struct ChildSearch {
    std::wstring classPrefix;
    HWND found = nullptr;
};

BOOL CALLBACK VisitChild(HWND wnd, LPARAM param) {
    auto* s = reinterpret_cast<ChildSearch*>(param);
    wchar_t cls[64];
    if (GetClassNameW(wnd, cls, 64) && _wcsnicmp(cls, s->classPrefix.c_str(), s->classPrefix.size()) == 0) {
        s->found = wnd;
        return FALSE;
    }
    return TRUE;
}

void PrintUtf8Line(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), n, nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fputc('\n', stdout);
}

// The text of another process's window: WM_GETTEXT is what returns what a
// control shows (GetWindowText would not ask it). Written as UTF-8.
int PrintWindowText(HWND wnd) {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(wnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length);
    std::wstring text(length + 1, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(wnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                        5000, &got);
    text.resize(got);
    PrintUtf8Line(text);
    return 0;
}

int PrintChildText(const Search& s, const wchar_t* classPrefix, bool exact) {
    ChildSearch c;
    c.classPrefix = classPrefix;
    EnumChildWindows(s.found, VisitChild, reinterpret_cast<LPARAM>(&c));
    if (!c.found) return 1;
    wchar_t cls[64];
    if (exact && (!GetClassNameW(c.found, cls, 64) || _wcsicmp(cls, classPrefix) != 0)) return 1;
    return PrintWindowText(c.found);
}

int PrintTextAt(const Search& s, POINT at) {
    HWND child = ChildWindowFromPointEx(s.found, at, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
    if (!child || child == s.found) return 1;
    return PrintWindowText(child);
}

// The entries of the first combo box (the system marshals CB_GETLBTEXT).
int PrintComboItems(const Search& s) {
    ChildSearch c;
    c.classPrefix = L"ComboBox";
    EnumChildWindows(s.found, VisitChild, reinterpret_cast<LPARAM>(&c));
    if (!c.found) return 1;
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(c.found, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count)) return 1;
    for (WPARAM i = 0; i < count; ++i) {
        DWORD_PTR length = 0;
        SendMessageTimeoutW(c.found, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, 5000, &length);
        if (static_cast<LRESULT>(length) == CB_ERR) return 1;
        std::wstring text(length + 1, L'\0');
        DWORD_PTR got = 0;
        SendMessageTimeoutW(c.found, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 5000,
                            &got);
        if (static_cast<LRESULT>(got) == CB_ERR) return 1;
        text.resize(got);
        PrintUtf8Line(text);
    }
    return 0;
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
        return PrintChildText(s, L"ComboBox", true);
    }
    if (std::wcscmp(argv[1], L"--items") == 0) {
        if (argc < 3) return 2;
        s.prefix = argv[2];
        EnumWindows(Visit, reinterpret_cast<LPARAM>(&s));
        if (!s.found) return 1;
        return PrintComboItems(s);
    }
    if (std::wcscmp(argv[1], L"--text-at") == 0) {
        if (argc < 5) return 2;
        s.prefix = argv[4];
        EnumWindows(Visit, reinterpret_cast<LPARAM>(&s));
        if (!s.found) return 1;
        const POINT at{std::wcstol(argv[2], nullptr, 10), std::wcstol(argv[3], nullptr, 10)};
        return PrintTextAt(s, at);
    }
    if (std::wcscmp(argv[1], L"--text") == 0) {
        if (argc < 4) return 2;
        s.prefix = argv[3];
        EnumWindows(Visit, reinterpret_cast<LPARAM>(&s));
        if (!s.found) return 1;
        return PrintChildText(s, argv[2], false);
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
