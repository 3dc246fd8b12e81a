// Strings, numbers and exceptions shared by the whole program.
// Format and integer reading are portable (no windows.h) so the parsing core
// can also be built natively for fuzzing.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

namespace tk {

// The general exception class: carries the message shown to the user.
class Exception : public std::exception {
public:
    explicit Exception(std::wstring message);
    const std::wstring& Message() const { return message_; }
    void SetMessage(std::wstring message);
    // Narrow rendering for std::exception users (diagnostics only).
    const char* what() const noexcept override { return narrow_.c_str(); }

private:
    std::wstring message_;
    std::string narrow_;
};

class EConvertError : public Exception {
public:
    using Exception::Exception;
};
class EListError : public Exception {
public:
    using Exception::Exception;
};
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};
class EOSError : public Exception {
public:
    EOSError(std::wstring message, std::uint32_t code) : Exception(std::move(message)), code_(code) {}
    std::uint32_t ErrorCode() const { return code_; }

private:
    std::uint32_t code_;
};

// One argument of Format: a signed or unsigned integer, or a text.
class TVarRec {
public:
    enum class Kind { Signed, Unsigned, Text };
    TVarRec(int v) : kind_(Kind::Signed), i_(v) {}
    TVarRec(long v) : kind_(Kind::Signed), i_(v) {}
    TVarRec(long long v) : kind_(Kind::Signed), i_(v) {}
    TVarRec(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
    TVarRec(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
    TVarRec(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}
    TVarRec(const wchar_t* s) : kind_(Kind::Text), s_(s ? s : L"") {}
    TVarRec(std::wstring s) : kind_(Kind::Text), s_(std::move(s)) {}

    Kind kind() const { return kind_; }
    std::int64_t AsSigned() const { return kind_ == Kind::Unsigned ? static_cast<std::int64_t>(u_) : i_; }
    std::uint64_t AsUnsigned() const { return kind_ == Kind::Signed ? static_cast<std::uint64_t>(i_) : u_; }
    const std::wstring& AsText() const { return s_; }

private:
    Kind kind_;
    std::int64_t i_ = 0;
    std::uint64_t u_ = 0;
    std::wstring s_;
};

using TVarRecs = std::vector<TVarRec>;

// Fills "%d" (signed decimal), "%u" (unsigned decimal), "%s" (text) and "%X"
// (upper-case hexadecimal); digits between "%" and the letter give a minimum
// width padded on the left with blanks; "%%" is a percent sign. A placeholder
// without a matching argument, or of the wrong kind, raises EConvertError.
// Signed values given to %u/%X are taken as 32-bit two's complement, as the
// library's callers pass 32-bit values.
std::wstring Format(const std::wstring& fmt, const TVarRecs& args);
inline std::wstring Format(const std::wstring& fmt, std::initializer_list<TVarRec> args) {
    return Format(fmt, TVarRecs(args));
}

std::wstring IntToStr(std::int64_t value);

// Reads a signed 32-bit integer: blanks before it are skipped, then an
// optional "+" or "-", then decimal digits or hexadecimal digits introduced
// by "$", "x", "X", "0x" or "0X"; nothing may follow. Hexadecimal values up
// to FFFFFFFF are taken as their 32-bit two's complement.
bool TryStrToInt(const std::wstring& text, std::int32_t& value);
// As TryStrToInt; raises EConvertError "''%s'' is not a valid integer value".
std::int32_t StrToInt(const std::wstring& text);

// Appends a full stop when the last character's code is above that of "."
// (after a letter or digit, not after ")" or "!"): the error report's rule.
std::wstring WithFullStop(const std::wstring& text);

// Byte string <-> UTF-16 where each byte is the character with the same code.
std::wstring BytesToLatin1(const std::string& bytes);

#ifdef _WIN32
// Conversions through the active ANSI code page; unmappable characters
// become the code page's default character.
std::string WideToAnsi(const std::wstring& text);
std::wstring AnsiToWide(const std::string& bytes);
std::wstring Utf8ToWide(const std::string& bytes);
// The system's text for an error code, without trailing line breaks.
std::wstring SysErrorMessage(std::uint32_t code);
// Raises EOSError with the system's text for GetLastError() (captured first).
[[noreturn]] void RaiseLastOSError();
std::wstring ExpandFileName(const std::wstring& name);
bool FileExists(const std::wstring& name);
#endif

// Name comparison of the user's locale with letter case ignored
// (CompareStringW, LOCALE_USER_DEFAULT, NORM_IGNORECASE on Windows).
bool SameTextLocale(const std::wstring& a, const std::wstring& b);

}  // namespace tk
