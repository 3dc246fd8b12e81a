// Brings back a port that is to stay open after its device went away (an
// adapter unplugged and plugged back). Told what happens, it says when to
// try an open and what the log notes; the main window owns the timer and
// the port. Nothing is sent on a port that came back: that stays the user's.
#pragma once

#include <string>

// The log note of a port whose device went away.
std::wstring PortLostNote(const std::wstring& Port, const std::wstring& Reason);

class TPortReconnect {
public:
    // The device went away while "Always connected" was ticked: tries start.
    // Returns the log note.
    std::wstring Lost(const std::wstring& Port, const std::wstring& Reason);
    // A timer tick or a device change: true when an open is to be tried now.
    // Never while one is running (an open can dispatch messages).
    bool TimeToTry();
    // The end of the open TimeToTry asked for. A success ends the tries and
    // returns the log note.
    std::wstring OpenSucceeded(const std::wstring& Port);
    void OpenFailed();
    // The box was unticked, or the port opened by other means: no more tries.
    void Stop();
    bool Trying() const { return trying_; }

    // How often the timer asks, in milliseconds.
    static constexpr unsigned kRetryIntervalMs = 1000;

private:
    bool trying_ = false;
    bool opening_ = false;
};
