// Shared helpers of the serial component tests: a recording log sink, a
// recorder for the component's callbacks, a check-box stand-in for the
// monitors, and a message pump with an upper bound.
#pragma once

#include <windows.h>
// clang-format off
#include <tlhelp32.h>
// clang-format on

#include <functional>
#include <string>
#include <vector>

#include "Application.h"
#include "pwclasses.h"
#include "pwcomm.h"

namespace commtest {

// Records every line the component logs, formatted.
class TRecordingLog : public TpwCustomLogFile {
public:
    explicit TRecordingLog(tk::TComponent* owner = nullptr) : TpwCustomLogFile(owner) {}
    void Save() override {}
    void Clear() override { lines.clear(); }
    void Add(const std::wstring& s) override { lines.push_back(s); }
    void AddSysInfo() override { lines.push_back(L"<sysinfo>"); }
    void AddLog(TDetailLevel, const std::wstring& s) override { lines.push_back(s); }
    void AddFmt(const std::wstring& fmt, const tk::TVarRecs& args) override {
        lines.push_back(tk::Format(fmt, args));
    }
    void AddLogFmt(TDetailLevel, const std::wstring& fmt, const tk::TVarRecs& args) override {
        lines.push_back(tk::Format(fmt, args));
    }
    bool Has(const std::wstring& line) const {
        for (auto& l : lines)
            if (l == line) return true;
        return false;
    }
    std::vector<std::wstring> lines;
};

// A control with a published "Checked" property.
class TFakeCheckBox : public tk::TComponent {
public:
    explicit TFakeCheckBox(tk::TComponent* owner = nullptr) : tk::TComponent(owner) {}
    bool SetBooleanProperty(const std::wstring& name, bool value) override {
        if (name != L"Checked") return false;
        checked = value;
        ++writes;
        return true;
    }
    bool checked = false;
    int writes = 0;
};

// Records what the component reports, in order.
struct TRecorder : tk::TObject {
    std::vector<std::int32_t> codes;
    std::vector<std::uint32_t> traceSets;
    struct CommError {
        std::uint32_t code, sys, state;
    };
    std::vector<CommError> commErrors;
    bool flashBuffers = false;
    std::string received;
    std::vector<std::uint32_t> blockSizes;
    int sent = 0;
    int opened = 0;
    int closed = 0;
    bool vetoFatal = false;
    std::vector<std::wstring> fatal;
    std::function<void()> onReceiveHook;
    std::function<void(std::uint32_t)> onTraceHook;

    void Notify(tk::TObject*, std::int32_t code) { codes.push_back(code); }
    void Trace(tk::TObject*, TTraceStates states) {
        traceSets.push_back(states.ToBits());
        if (onTraceHook) onTraceHook(states.ToBits());
    }
    void Error(tk::TObject*, std::uint32_t code, std::uint32_t sys, TComStateFlags state, bool& flash) {
        commErrors.push_back({code, sys, state.ToBits()});
        flash = flashBuffers;
    }
    void Received(tk::TObject*, const void* buffer, std::uint32_t n) {
        received.append(static_cast<const char*>(buffer), n);
        blockSizes.push_back(n);
        if (onReceiveHook) onReceiveHook();
    }
    void Sent(tk::TObject*) { ++sent; }
    void Opened(tk::TObject*) { ++opened; }
    void Closed(tk::TObject*) { ++closed; }
    void Fatal(tk::TObject*, std::uint32_t, std::uint32_t, const std::wstring& msg, bool& raise) {
        fatal.push_back(msg);
        if (vetoFatal) raise = false;
    }

    void Attach(TpwCustomComm& c) {
        c.NotifyAdd(TpwNotifyEvent(this, &TRecorder::Notify));
        c.SetOnTraceState(TOnTraceEvent(this, &TRecorder::Trace));
        c.SetOnCommError(TOnCommErrorEvent(this, &TRecorder::Error));
        c.SetOnOpen(tk::TNotifyEvent(this, &TRecorder::Opened));
        c.SetOnClose(tk::TNotifyEvent(this, &TRecorder::Closed));
        c.SetOnFatalError(TOnFatalErrorEvent(this, &TRecorder::Fatal));
    }
};

// Pumps the main thread's messages (and main-thread calls) until `done`
// holds or the bound passes; returns `done()`.
inline bool PumpUntil(const std::function<bool()>& done, DWORD boundMs = 10000) {
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > boundMs) return done();
        tk::Application().ProcessMessages();
        ::Sleep(1);
    }
    return true;
}

// Threads of this process, so a test can see that a component's threads ended.
inline DWORD ThreadCount() {
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 te = {};
    te.dwSize = sizeof(te);
    DWORD n = 0;
    for (BOOL ok = ::Thread32First(snap, &te); ok; ok = ::Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == ::GetCurrentProcessId()) ++n;
    ::CloseHandle(snap);
    return n;
}

// Answers message boxes without a user and remembers them. With
// `modalLoop` each box first handles the pending messages, as the message
// loop of a real modal box would.
class TMessageBoxCatcher {
public:
    explicit TMessageBoxCatcher(bool modalLoop = false) {
        saved_ = tk::Application().SetMessageBoxHook(
            [this, modalLoop](HWND, const std::wstring& text, const std::wstring& caption, UINT flags) {
                boxes.push_back({text, caption, flags});
                if (modalLoop) tk::Application().ProcessMessages();
                return IDOK;
            });
    }
    ~TMessageBoxCatcher() { tk::Application().SetMessageBoxHook(saved_); }
    struct Box {
        std::wstring text, caption;
        UINT flags;
    };
    std::vector<Box> boxes;

private:
    tk::TApplication::MessageBoxFn saved_;
};

}  // namespace commtest
