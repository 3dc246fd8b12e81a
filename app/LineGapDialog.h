// View > Line Gap: the silence, in ms, after which a received line ends in
// the log modes. A plain system dialog, so Enter, Escape and Tab work as in
// any Windows dialog.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string_view>

constexpr std::int64_t kMinLineGapMs = 1;
constexpr std::int64_t kMaxLineGapMs = 60000;
// The dialog's caption, for finding it.
inline const wchar_t* const kLineGapCaption = L"Line Gap";

// Whole milliseconds within the bounds, blanks around them allowed.
std::optional<std::int64_t> ParseLineGapMs(std::wstring_view text);

// Shows the dialog with ms filled in; true with the new value in ms when the
// user confirmed one. A value out of bounds keeps the dialog open.
bool AskLineGapMs(HWND owner, std::int64_t& ms);
