#include "Dialogs.h"

#include <commdlg.h>

#include <vector>

#include "Application.h"

namespace tk {

namespace {
TOpenDialog::ExecuteHook& Hook() {
    static TOpenDialog::ExecuteHook hook;
    return hook;
}
}  // namespace

TOpenDialog::TOpenDialog(TComponent* owner) : TComponent(owner) {}

TOpenDialog::ExecuteHook TOpenDialog::SetExecuteHook(ExecuteHook hook) {
    ExecuteHook old = std::move(Hook());
    Hook() = std::move(hook);
    return old;
}

std::wstring TOpenDialog::FilterForDialog(const std::wstring& filter) {
    std::wstring f = filter;
    for (wchar_t& c : f)
        if (c == L'|') c = L'\0';
    f.push_back(L'\0');
    f.push_back(L'\0');
    return f;
}

bool TOpenDialog::Execute(HWND owner) {
    if (Hook()) return Hook()(*this);
    std::wstring filter = FilterForDialog(filter_);
    std::vector<wchar_t> file(32768, L'\0');
    if (fileName_.size() < file.size()) std::copy(fileName_.begin(), fileName_.end(), file.begin());
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner ? owner : (GetActiveWindow() ? GetActiveWindow() : Application().MainWindow());
    ofn.lpstrFilter = filter_.empty() ? nullptr : filter.c_str();
    ofn.nFilterIndex = static_cast<DWORD>(filterIndex_);
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = initialDir_.empty() ? nullptr : initialDir_.c_str();
    ofn.lpstrTitle = title_.empty() ? nullptr : title_.c_str();
    ofn.lpstrDefExt = defaultExt_.empty() ? nullptr : defaultExt_.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
    if (save_) ofn.Flags |= OFN_OVERWRITEPROMPT;
    if (!(save_ ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn))) return false;
    fileName_ = file.data();
    filterIndex_ = static_cast<int>(ofn.nFilterIndex);
    return true;
}

}  // namespace tk
