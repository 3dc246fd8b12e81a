#include "SendPath.h"

#include <exception>
#include <utility>

#include "Application.h"

#include "pwcomm.h"

TSendPath::TSendPath(TpwComm& comm, std::function<bool()> keepOpen)
    : comm_(comm), keepOpen_(std::move(keepOpen)) {}

void TSendPath::Serialize(TAction action) {
    if (busy_) {
        waiting_.push_back(std::move(action));
        return;
    }
    busy_ = true;
    // The caller's own error reaches the caller; those of the actions that
    // waited are reported where they happen, and never stop the ones after.
    std::exception_ptr error;
    try {
        action();
    } catch (...) {
        error = std::current_exception();
    }
    while (!waiting_.empty()) {
        TAction next = std::move(waiting_.front());
        waiting_.pop_front();
        try {
            next();
        } catch (...) {
            tk::Application().HandleException();
        }
    }
    busy_ = false;
    if (error) std::rethrow_exception(error);
}

void TSendPath::Open() { comm_.SetActive(true); }

std::wstring TSendPath::OpenFailureReason() const {
    const DWORD error = comm_.LastOpenError();
    if (error == 0) return std::wstring();
    std::wstring text = SysErrorText(error);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
    return comm_.ComName() + L": " + text;
}

void TSendPath::Write(const std::string& bytes, bool whole) {
    if (whole)
        comm_.SendString(bytes);
    else
        comm_.SendData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    if (OnWritten && comm_.Active()) OnWritten(bytes);
}

void TSendPath::CloseUnlessKept() {
    if (holds_ == 0 && !keepOpen_()) comm_.SetActive(false);
}

void TSendPath::Release() {
    if (holds_ == 0 || --holds_ > 0) return;
    Serialize([this] { CloseUnlessKept(); });
}
