#include "WinePorts.h"

#include <windows.h>

#include <vector>

std::wstring WinePortDevice(const std::wstring& Port) {
    if (Port.empty()) return {};
    HKEY key = nullptr;
    // Wine's own keys are in the 64-bit view; a 32-bit program would be
    // redirected to Wow6432Node without the flag.
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Wine\\Ports", 0,
                        KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return {};
    std::wstring result;
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key, Port.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_SZ && size >= sizeof(wchar_t)) {
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
        if (::RegQueryValueExW(key, Port.c_str(), nullptr, &type,
                               reinterpret_cast<BYTE*>(buffer.data()), &size) == ERROR_SUCCESS)
            result = buffer.data();
    }
    ::RegCloseKey(key);
    return result;
}

std::wstring PortMappingText(const std::wstring& Port, const std::wstring& Device) {
    return Device.empty() ? Port : Port + L" = " + Device;
}
