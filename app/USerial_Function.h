// Routines that turn command text into bytes for the port: blank-separated
// tokens and two-digit hexadecimal bytes.
#pragma once

#include <string>

#include "Classes.h"

// Clears List, splits Text at Delimiter and appends the tokens; returns
// their number. Characters with codes 1 to 32 around tokens are skipped;
// a token starting with a double quote is read as a quoted field.
int SplitDelimitedText(wchar_t Delimiter, const std::wstring& Text, tk::TStringList& List);

// 0 to 15 for "0"-"9" and "A"-"F"; -1 for anything else (lower case too).
int HexDigitValue(wchar_t Ch);

// The byte written by the first two characters of Token (case-insensitive),
// or -1 when the token is no hexadecimal byte.
int HexByteValue(const std::wstring& Token);
