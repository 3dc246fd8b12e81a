// The view of the log modes: draws only the visible lines of the event
// store, formatting them as it paints, so a mode switch re-renders the whole
// history at once and a long stream costs no more than a screenful. Whole
// lines are selected with the mouse (Shift extends), Ctrl+C copies them;
// typed characters go to OnKeyChar. The text of the newest lines answers
// WM_GETTEXT, as an edit control's would.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Controls.h"
#include "EventLog.h"
#include "LogFormat.h"

using TKeyCharEvent = tk::TMethod<void(tk::TObject* Sender, wchar_t Ch)>;

class TLogView : public tk::TCustomControl {
public:
    // Line colours: sent, received, notes.
    static constexpr tk::TColor kTxColor = 0x0000FF;
    static constexpr tk::TColor kRxColor = 0x800000;
    static constexpr tk::TColor kNoteColor = 0x008000;
    // WM_GETTEXT gives at least this many characters of the newest lines.
    static constexpr std::size_t kAccessibleText = 64 * 1024;

    explicit TLogView(tk::TComponent* owner);
    ~TLogView() override;

    void SetLog(const EventLog* log);
    const LogFormatOptions& Options() const { return options_; }
    void SetOptions(const LogFormatOptions& options);
    // The store changed: new lines show (and are followed while the view is
    // at the end), dropped ones go. A stream changes the store per received
    // block; the view catches up at most every kSettleMs, so scroll bar and
    // painting cost per screen refresh, not per block.
    void LogChanged();
    static constexpr UINT kSettleMs = 40;

    std::wstring SelectedText() const;
    void CopySelection();

    TKeyCharEvent OnKeyChar() const { return onKeyChar_; }
    void SetOnKeyChar(TKeyCharEvent e) { onKeyChar_ = e; }

protected:
    void CreateParams(tk::TCreateParams& params) override;
    void CreateWnd() override;
    void WndProc(tk::TMessage& message) override;
    void Paint(HDC dc, const RECT& client) override;
    void Resize() override;

private:
    bool Hex() const { return options_.Mode == LogMode::Hex; }
    std::uint64_t Lines() const;
    // Line numbers are kept from the start of the store, so dropping old
    // events does not move what the user looks at.
    std::uint64_t Base() const;
    int PageLines() const;
    int LineHeight() const;
    void MeasureFont();
    void ScrollTo(std::int64_t top);
    void ScrollSideways(int column);
    void UpdateScrollBars();
    // Brings position, selection and scroll bars in line with the store.
    void Settle();
    void VScroll(int code);
    void HScroll(int code);
    std::int64_t LineAt(int y) const;
    void Select(std::int64_t line, bool extend);
    void KeyDown(WORD& key, tk::TShiftState shift) override;
    std::wstring NewestText() const;
    std::wstring LineText(std::uint64_t absLine) const;

    const EventLog* log_ = nullptr;
    LogFormatOptions options_;
    HFONT font_ = nullptr;
    int lineHeight_ = 14, charWidth_ = 7;
    std::int64_t top_ = 0;  // first visible line (store-based)
    int left_ = 0;          // first visible column
    int widest_ = 0;        // widest line seen on screen, in columns
    bool follow_ = true;
    std::int64_t anchor_ = -1, caret_ = -1;  // selected lines (store-based), -1: none
    bool selecting_ = false;
    bool settlePending_ = false;
    ULONGLONG settledAt_ = 0;  // tick count of the last settle
    TKeyCharEvent onKeyChar_;
};
