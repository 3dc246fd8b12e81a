#include "PortReconnect.h"

std::wstring PortLostNote(const std::wstring& Port, const std::wstring& Reason) {
    return Port + L" lost: " + (Reason.empty() ? L"the device went away" : Reason);
}

std::wstring TPortReconnect::Lost(const std::wstring& Port, const std::wstring& Reason) {
    trying_ = true;
    opening_ = false;
    return PortLostNote(Port, Reason) + L"; trying to reopen it every second";
}

bool TPortReconnect::TimeToTry() {
    if (!trying_ || opening_) return false;
    opening_ = true;
    return true;
}

std::wstring TPortReconnect::OpenSucceeded(const std::wstring& Port) {
    const bool wasTrying = trying_;
    trying_ = false;
    opening_ = false;
    return wasTrying ? Port + L" is back" : std::wstring();
}

void TPortReconnect::OpenFailed() { opening_ = false; }

void TPortReconnect::Stop() {
    trying_ = false;
    opening_ = false;
}
