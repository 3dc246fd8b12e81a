// Application routines shared by the main window: splitting command table
// values into their fields.
#pragma once

#include <string>
#include <string_view>

#include "Classes.h"

// Clears List and appends the comma-separated fields of Text; returns their
// number. Blanks and tabs belong to the fields. A field that begins with a
// double quote runs to the next single double quote (a doubled one stands for
// one, commas inside are ordinary; without a closing quote it runs to the
// end); text after the closing quote up to the next comma is a field of its
// own. A comma at the end adds an empty field. Only the first three fields
// of a command row are used, so at most three are returned. Empty Text gives
// no fields.
int SplitCommaText(std::wstring_view Text, tk::TStringList& List);

// The number of fields SplitCommaText finds in Text, without making them.
int CountCommaFields(std::wstring_view Text);
// The same for narrow text (a table's ASCII lines).
int CountCommaFields(std::string_view Text);

#ifdef _WIN32
// The program's version as "major.minor.release", from the fixed file
// version of its own executable. A failing version call raises EOSError
// with that call's system error.
std::wstring GetAppVersion();
#endif
