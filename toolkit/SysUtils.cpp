#include "SysUtils.h"

#include <cwctype>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tk {

namespace {

std::string NarrowForWhat(const std::wstring& w) {
    std::string out;
    out.reserve(w.size());
    for (wchar_t c : w) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::wstring PadLeft(std::wstring s, std::size_t width) {
    if (s.size() < width) s.insert(0, width - s.size(), L' ');
    return s;
}

std::wstring ToHex(std::uint64_t v) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring out;
    do {
        out.insert(out.begin(), digits[v & 0xF]);
        v >>= 4;
    } while (v != 0);
    return out;
}

[[noreturn]] void BadFormat(const std::wstring& fmt) {
    throw EConvertError(L"Format '" + fmt + L"' invalid or incompatible with argument");
}

}  // namespace

Exception::Exception(std::wstring message) : message_(std::move(message)), narrow_(NarrowForWhat(message_)) {}

void Exception::SetMessage(std::wstring message) {
    message_ = std::move(message);
    narrow_ = NarrowForWhat(message_);
}

std::wstring IntToStr(std::int64_t value) { return std::to_wstring(value); }

std::wstring Format(const std::wstring& fmt, const TVarRecs& args) {
    std::wstring out;
    out.reserve(fmt.size() + 16);
    std::size_t next = 0;
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        wchar_t c = fmt[i];
        if (c != L'%') {
            out.push_back(c);
            continue;
        }
        if (++i >= fmt.size()) BadFormat(fmt);
        if (fmt[i] == L'%') {
            out.push_back(L'%');
            continue;
        }
        std::size_t width = 0;
        while (i < fmt.size() && fmt[i] >= L'0' && fmt[i] <= L'9') {
            width = width * 10 + static_cast<std::size_t>(fmt[i] - L'0');
            if (width > 4096) BadFormat(fmt);
            ++i;
        }
        if (i >= fmt.size() || next >= args.size()) BadFormat(fmt);
        const TVarRec& arg = args[next++];
        std::wstring piece;
        switch (fmt[i]) {
            case L'd':
            case L'D':
                if (arg.kind() == TVarRec::Kind::Text) BadFormat(fmt);
                piece = arg.kind() == TVarRec::Kind::Unsigned ? std::to_wstring(arg.AsUnsigned())
                                                               : std::to_wstring(arg.AsSigned());
                break;
            case L'u':
            case L'U':
                if (arg.kind() == TVarRec::Kind::Text) BadFormat(fmt);
                piece = arg.kind() == TVarRec::Kind::Signed
                            ? std::to_wstring(static_cast<std::uint32_t>(arg.AsSigned()))
                            : std::to_wstring(arg.AsUnsigned());
                break;
            case L'x':
            case L'X':
                if (arg.kind() == TVarRec::Kind::Text) BadFormat(fmt);
                piece = arg.kind() == TVarRec::Kind::Signed && arg.AsSigned() < 0
                            ? ToHex(static_cast<std::uint32_t>(arg.AsSigned()))
                            : ToHex(arg.AsUnsigned());
                break;
            case L's':
            case L'S':
                if (arg.kind() != TVarRec::Kind::Text) BadFormat(fmt);
                piece = arg.AsText();
                break;
            default:
                BadFormat(fmt);
        }
        out += PadLeft(std::move(piece), width);
    }
    return out;
}

bool TryStrToInt(const std::wstring& text, std::int32_t& value) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == L' ') ++i;
    bool negative = false;
    if (i < n && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    bool hex = false;
    if (i < n && text[i] == L'$') {
        hex = true;
        ++i;
    } else if (i < n && (text[i] == L'x' || text[i] == L'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X')) {
        hex = true;
        i += 2;
    }
    if (i >= n) return false;
    std::uint64_t acc = 0;
    for (; i < n; ++i) {
        wchar_t c = text[i];
        unsigned digit;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<unsigned>(c - L'0');
        } else if (hex && c >= L'a' && c <= L'f') {
            digit = static_cast<unsigned>(c - L'a' + 10);
        } else if (hex && c >= L'A' && c <= L'F') {
            digit = static_cast<unsigned>(c - L'A' + 10);
        } else {
            return false;
        }
        acc = acc * (hex ? 16 : 10) + digit;
        // Hexadecimal covers the full 32 bits; decimal the signed range.
        const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
        if (acc > limit) return false;
    }
    std::uint32_t bits = static_cast<std::uint32_t>(acc);
    if (negative) bits = 0u - bits;
    value = static_cast<std::int32_t>(bits);
    return true;
}

std::int32_t StrToInt(const std::wstring& text) {
    std::int32_t v = 0;
    if (!TryStrToInt(text, v)) throw EConvertError(Format(L"''%s'' is not a valid integer value", {text}));
    return v;
}

std::wstring WithFullStop(const std::wstring& text) {
    if (!text.empty() && text.back() > L'.') return text + L".";
    return text;
}

std::wstring BytesToLatin1(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (char c : bytes) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

#ifdef _WIN32

std::string WideToAnsi(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}

namespace {
std::wstring DecodeCodePage(UINT cp, const std::string& bytes) {
    if (bytes.empty()) return {};
    int n = MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
    return out;
}
}  // namespace

std::wstring AnsiToWide(const std::string& bytes) { return DecodeCodePage(CP_ACP, bytes); }
std::wstring Utf8ToWide(const std::string& bytes) { return DecodeCodePage(CP_UTF8, bytes); }

std::wstring SysErrorMessage(std::uint32_t code) {
    wchar_t* buffer = nullptr;
    DWORD len = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                               nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (buffer) {
        text.assign(buffer, len);
        LocalFree(buffer);
    }
    while (!text.empty() && (text.back() <= L' ')) text.pop_back();
    return text;
}

void RaiseLastOSError() {
    DWORD code = GetLastError();
    std::wstring text = SysErrorMessage(code);
    if (code != 0)
        throw EOSError(Format(L"System Error.  Code: %d.\r\n%s", {static_cast<int>(code), text}), code);
    throw EOSError(L"A call to an OS function failed", code);
}

std::wstring ExpandFileName(const std::wstring& name) {
    if (name.empty()) return {};
    DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (n == 0) return name;
    std::wstring out(n, L'\0');
    DWORD got = GetFullPathNameW(name.c_str(), n, out.data(), nullptr);
    out.resize(got < n ? got : n - 1);
    return out;
}

bool FileExists(const std::wstring& name) {
    DWORD attrs = GetFileAttributesW(name.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool SameTextLocale(const std::wstring& a, const std::wstring& b) {
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

#else

// Portable stand-in for the native fuzz build: simple case folding.
bool SameTextLocale(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
    return true;
}

#endif

}  // namespace tk
