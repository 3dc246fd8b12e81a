// The open-file dialog.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "Classes.h"

namespace tk {

class TOpenDialog : public TComponent {
public:
    // Replaces the system dialog (tests): returns whether a file was chosen
    // and may set FileName.
    using ExecuteHook = std::function<bool(TOpenDialog& dialog)>;

    explicit TOpenDialog(TComponent* owner);

    // "Description|*.ext|Other|*.a;*.b"
    const std::wstring& Filter() const { return filter_; }
    void SetFilter(const std::wstring& filter) { filter_ = filter; }
    int FilterIndex() const { return filterIndex_; }
    void SetFilterIndex(int index) { filterIndex_ = index; }
    const std::wstring& FileName() const { return fileName_; }
    void SetFileName(const std::wstring& name) { fileName_ = name; }
    const std::wstring& InitialDir() const { return initialDir_; }
    void SetInitialDir(const std::wstring& dir) { initialDir_ = dir; }
    const std::wstring& Title() const { return title_; }
    void SetTitle(const std::wstring& title) { title_ = title; }
    const std::wstring& DefaultExt() const { return defaultExt_; }
    void SetDefaultExt(const std::wstring& ext) { defaultExt_ = ext; }

    // Shows the dialog; true when the user chose a file (then in FileName).
    bool Execute(HWND owner = nullptr);

    static ExecuteHook SetExecuteHook(ExecuteHook hook);
    // The filter in the dialog's form: pairs separated by NULs, two at the end.
    static std::wstring FilterForDialog(const std::wstring& filter);

protected:
    // The save form of the dialog (asks before overwriting).
    bool save_ = false;

private:
    std::wstring filter_, fileName_, initialDir_, title_, defaultExt_;
    int filterIndex_ = 1;
};

// The system's save dialog; the execute hook replaces it as it does the open one.
class TSaveDialog : public TOpenDialog {
public:
    explicit TSaveDialog(TComponent* owner) : TOpenDialog(owner) { save_ = true; }
};

}  // namespace tk
