// Prints the COM ports that the serial component lists, in each enumeration
// mode, with every detail its device records carry: how a user checks what
// the library sees on this machine.
//
//   listports              the three modes, one after the other
//   listports quick|info|present
#include <windows.h>

#include <cstdio>
#include <string>

#include "SysUtils.h"
#include "WinePorts.h"
#include "pwcomm.h"

namespace {

// The console takes UTF-16 as it is; a pipe or file gets UTF-8.
void Print(const std::wstring& text) {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (::GetConsoleMode(out, &mode)) {
        ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                              n, nullptr, nullptr);
    ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Field(std::wstring& out, const wchar_t* name, const std::wstring& value) {
    if (value.empty()) return;
    out += tk::Format(L"    %s", {std::wstring(name)});
    out.append(14 - std::wstring(name).size(), L' ');
    out += value + L"\r\n";
}

std::wstring Describe(const TpwDevice& d) {
    std::wstring out = tk::Format(L"  [%d] %s\r\n", {d.Index(), d.NameFriendly});
    // Under Wine: the Linux device behind the port.
    const std::wstring device = WinePortDevice(d.PortName);
    if (!device.empty()) out += L"    " + PortMappingText(d.PortName, device) + L"\r\n";
    Field(out, L"PortName", d.PortName);
    Field(out, L"Data", tk::IntToStr(d.Data));
    Field(out, L"NameDeviceDos", d.NameDeviceDos);
    Field(out, L"NamePDO", d.NamePDO);
    Field(out, L"Description", d.Description);
    Field(out, L"Manufacturer", d.Manufacturer);
    Field(out, L"Service", d.Service);
    Field(out, L"Driver", d.Driver);
    Field(out, L"InstanceId", d.InstanceId);
    // Device node 0 is a valid node; it means something only with an instance.
    if (!d.InstanceId.empty())
        Field(out, L"DevInst", tk::IntToStr(static_cast<std::int64_t>(d.DevInst)));
    Field(out, L"RegKey", d.RegKey);
    return out;
}

struct TMode {
    const wchar_t* arg;
    const wchar_t* name;
    TpwEnumPorts mode;
};
const TMode kModes[] = {
    {L"quick", L"epQuickAll", epQuickAll},
    {L"info", L"epFullInfo", epFullInfo},
    {L"present", L"epFullPresent", epFullPresent},
};

int ListMode(TpwComm& comm, const TMode& m) {
    comm.SetEnumPorts(m.mode);
    try {
        comm.Update();
    } catch (const tk::Exception& e) {
        Print(tk::Format(L"%s: %s\r\n", {std::wstring(m.name), e.Message()}));
        return 1;
    }
    std::wstring out =
        tk::Format(L"%s: %d port(s)\r\n", {std::wstring(m.name), comm.DeviceCount()});
    for (int i = 0; i < comm.DeviceCount(); ++i) out += Describe(*comm.GetDevice(i));
    Print(out);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    TpwComm comm(nullptr);
    int failed = 0;
    bool listed = false;
    for (const TMode& m : kModes) {
        if (argc > 1 && std::wstring(argv[1]) != m.arg) continue;
        if (listed) Print(L"\r\n");
        failed |= ListMode(comm, m);
        listed = true;
    }
    if (!listed) {
        Print(L"usage: listports [quick|info|present]\r\n");
        return 2;
    }
    return failed;
}
