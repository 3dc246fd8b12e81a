#include "pwwin32di.h"

#include <cfgmgr32.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "Classes.h"
#include "pwclasses.h"
#include "pwwin32.h"

namespace {

const TpwModuleApi kDefaultModuleApi = {::LoadLibraryW, ::GetProcAddress, ::FreeLibrary};
TpwModuleApi g_modules = kDefaultModuleApi;

// The bound entry points, in binding order.
enum TSetupApiEntry {
    eGetClassDevs,
    eDestroyDeviceInfoList,
    eEnumDeviceInfo,
    eGetDeviceRegistryProperty,
    eOpenDevRegKey,
    eEnumDeviceInterfaces,
    eGetDeviceInterfaceDetail,
    eCreateDeviceInfoList,
    eCreateDeviceInfo,
    eGetINFClass,
    eSetDeviceRegistryProperty,
    eCallClassInstaller,
    eGetDeviceInstanceId,
    eRemoveDevice,
    eUnremoveDevice,
    eOpenDeviceInfo,
    eSetClassInstallParams,
    eLocateDevNode,  // the first configuration manager entry point
    eGetDevNodeRegistryProperty,
    eGetParent,
    eGetDeviceIdListSize,
    eGetDeviceIdList,
    eGetChild,
    eGetSibling,
    eRequestDeviceEject,
    eEntryCount
};

struct TEntryName {
    const char* name;  // ANSI form where the entry point has A and W variants
    bool charSet;
    bool required;
};

const TEntryName kEntries[eEntryCount] = {
    {"SetupDiGetClassDevsA", true, true},
    {"SetupDiDestroyDeviceInfoList", false, true},
    {"SetupDiEnumDeviceInfo", false, true},
    {"SetupDiGetDeviceRegistryPropertyA", true, true},
    {"SetupDiOpenDevRegKey", false, true},
    {"SetupDiEnumDeviceInterfaces", false, true},
    {"SetupDiGetDeviceInterfaceDetailA", true, true},
    {"SetupDiCreateDeviceInfoList", false, true},
    {"SetupDiCreateDeviceInfoA", true, true},
    {"SetupDiGetINFClassA", true, true},
    {"SetupDiSetDeviceRegistryPropertyA", true, true},
    {"SetupDiCallClassInstaller", false, true},
    {"SetupDiGetDeviceInstanceIdA", true, true},
    {"SetupDiRemoveDevice", false, false},
    {"SetupDiUnremoveDevice", false, false},
    {"SetupDiOpenDeviceInfoA", true, false},
    {"SetupDiSetClassInstallParamsA", true, true},
    {"CM_Locate_DevNodeA", true, true},
    {"CM_Get_DevNode_Registry_PropertyA", true, true},
    {"CM_Get_Parent", false, true},
    {"CM_Get_Device_ID_List_SizeA", true, true},
    {"CM_Get_Device_ID_ListA", true, true},
    {"CM_Get_Child", false, true},
    {"CM_Get_Sibling", false, true},
    {"CM_Request_Device_EjectA", true, false},
};

// Process-wide, main thread only.
struct TBinding {
    HMODULE setupApi = nullptr;
    HMODULE cfgMgr = nullptr;
    FARPROC slots[eEntryCount] = {};
};
TBinding g_binding;

// Releases the libraries when the process ends.
struct TBindingRelease {
    ~TBindingRelease() { UnloadSetupApi(); }
} g_bindingRelease;

FARPROC Lookup(HMODULE module, const TEntryName& entry) {
    if (!module) return nullptr;
    const std::string name = entry.charSet ? WideProcName(entry.name) : std::string(entry.name);
    return g_modules.GetProcAddress(module, name.c_str());
}

template <class Fn>
Fn Entry(TSetupApiEntry e) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(g_binding.slots[e]));
}

using GetClassDevsFn = HDEVINFO(WINAPI*)(const GUID*, PCWSTR, HWND, DWORD);
using DestroyDeviceInfoListFn = BOOL(WINAPI*)(HDEVINFO);
using EnumDeviceInfoFn = BOOL(WINAPI*)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
using GetDeviceRegistryPropertyFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE,
                                                  DWORD, PDWORD);
using OpenDevRegKeyFn = HKEY(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM);
using EnumDeviceInterfacesFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                             PSP_DEVICE_INTERFACE_DATA);
using GetDeviceInterfaceDetailFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
                                                 PSP_DEVINFO_DATA);
using GetDeviceInstanceIdFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD);
using GetDeviceIdListSizeFn = CONFIGRET(WINAPI*)(PULONG, PCWSTR, ULONG);
using GetDeviceIdListFn = CONFIGRET(WINAPI*)(PCWSTR, PWCHAR, ULONG, ULONG);
using ZwQueryKeyFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

constexpr ULONG kKeyNameInformation = 3;
constexpr std::size_t kPropertyBytes = 512;
constexpr DWORD kInstanceIdChars = 256;

// The device information set of one enumeration, destroyed on every way out.
struct TDeviceSet {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    ~TDeviceSet() {
        if (set != INVALID_HANDLE_VALUE)
            Entry<DestroyDeviceInfoListFn>(eDestroyDeviceInfoList)(set);
    }
};

bool StartsWithNoCase(const std::wstring& s, std::size_t at, const wchar_t* prefix) {
    const std::size_t n = std::wcslen(prefix);
    return s.size() >= at + n && _wcsnicmp(s.c_str() + at, prefix, n) == 0;
}

// The key name the system reports, relative to the root it lies under. The
// system may answer in any letter case (\REGISTRY\Machine\System\...).
std::wstring RelativeKeyPath(std::wstring path, HKEY& root) {
    root = nullptr;
    if (StartsWithNoCase(path, 9, L"\\MACHINE\\")) {
        root = HKEY_LOCAL_MACHINE;
        return path.substr(18);
    }
    if (StartsWithNoCase(path, 9, L"\\USER\\")) {
        root = HKEY_CURRENT_USER;
        path = path.substr(15);
        // Below the user's own key, whichever user's it is.
        const std::size_t slash = path.find(L'\\');
        return slash == std::wstring::npos ? std::wstring() : path.substr(slash + 1);
    }
    return path;
}

void ReadDeviceProperties(HDEVINFO set, const SP_DEVINFO_DATA& info, TpwDevice& device) {
    device.Driver = GetDeviceRegistryString(set, info, SPDRP_DRIVER);
    device.Service = GetDeviceRegistryString(set, info, SPDRP_SERVICE);
    device.NamePDO = GetDeviceRegistryString(set, info, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
    device.Description = GetDeviceRegistryString(set, info, SPDRP_DEVICEDESC);
    device.Manufacturer = GetDeviceRegistryString(set, info, SPDRP_MFG);
    device.GuidClass = info.ClassGuid;
}

// The device path of an interface, or empty.
std::wstring InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& iface, SP_DEVINFO_DATA* info) {
    auto detail = Entry<GetDeviceInterfaceDetailFn>(eGetDeviceInterfaceDetail);
    DWORD size = 0;
    if (detail(set, &iface, nullptr, 0, &size, info) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return std::wstring();
    TpwRecordBuffer buffer(size);
    auto* data = buffer.As<SP_DEVICE_INTERFACE_DETAIL_DATA_W>();
    data->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!detail(set, &iface, data, size, nullptr, info)) return std::wstring();
    return data->DevicePath;
}

std::unique_ptr<TpwDevice> ReadDevice(HDEVINFO set, SP_DEVINFO_DATA& info, const GUID* classGuid,
                                      bool withInterface) {
    auto device = std::make_unique<TpwDevice>();
    ReadDeviceProperties(set, info, *device);

    HKEY key = Entry<OpenDevRegKeyFn>(eOpenDevRegKey)(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                                      KEY_QUERY_VALUE);
    if (key && key != INVALID_HANDLE_VALUE) {
        HKEY root = nullptr;  // the device keys lie under the local machine
        device->RegKey = GetRegKeyPath(key, &root);
        ::RegCloseKey(key);
        device->NameSymbolic = ReadRegString(HKEY_LOCAL_MACHINE, device->RegKey, L"SymbolicName");
        device->PortName = ReadRegString(HKEY_LOCAL_MACHINE, device->RegKey, L"PortName");
    }

    wchar_t id[kInstanceIdChars] = {};
    DWORD required = 0;
    if (Entry<GetDeviceInstanceIdFn>(eGetDeviceInstanceId)(set, &info, id, kInstanceIdChars,
                                                           &required) &&
        required > 0) {
        device->InstanceId.assign(id, std::min<DWORD>(required - 1, kInstanceIdChars - 1));
        device->DevInst = info.DevInst;
        device->BusRelations = GetDeviceRelations(device->InstanceId, L";", true);
    }

    if (withInterface) {
        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof(iface);
        if (Entry<EnumDeviceInterfacesFn>(eEnumDeviceInterfaces)(set, &info, classGuid, 0,
                                                                 &iface)) {
            const std::wstring path = InterfacePath(set, iface, nullptr);
            if (!path.empty()) device->NameSymbolic = path;
        }
    }
    return device;
}

}  // namespace

TpwModuleApi& pwModuleApi() { return g_modules; }
const TpwModuleApi& pwDefaultModuleApi() { return kDefaultModuleApi; }

std::string WideProcName(const std::string& Name) {
    if (Name.empty()) return Name;
    std::string wide = Name;
    wide.back() = 'W';
    return wide;
}

bool LoadSetupApi() {
    if (g_binding.setupApi) return true;
    TBinding b;
    b.setupApi = g_modules.LoadLibraryW(L"SetupAPI.dll");
    if (!b.setupApi) return false;
    for (int e = 0; e < eLocateDevNode; ++e) b.slots[e] = Lookup(b.setupApi, kEntries[e]);

    // The configuration manager comes from the set-up library when it has it.
    HMODULE cm = b.setupApi;
    b.slots[eLocateDevNode] = Lookup(cm, kEntries[eLocateDevNode]);
    if (!b.slots[eLocateDevNode]) {
        b.cfgMgr = g_modules.LoadLibraryW(L"cfgmgr32.dll");
        cm = b.cfgMgr;
        b.slots[eLocateDevNode] = Lookup(cm, kEntries[eLocateDevNode]);
    }
    for (int e = eLocateDevNode + 1; e < eEntryCount; ++e) b.slots[e] = Lookup(cm, kEntries[e]);

    for (int e = 0; e < eEntryCount; ++e) {
        if (kEntries[e].required && !b.slots[e]) {
            if (b.cfgMgr) g_modules.FreeLibrary(b.cfgMgr);
            g_modules.FreeLibrary(b.setupApi);
            return false;
        }
    }
    g_binding = b;
    return true;
}

void UnloadSetupApi() {
    TBinding b = g_binding;
    g_binding = TBinding();
    if (b.cfgMgr) g_modules.FreeLibrary(b.cfgMgr);
    if (b.setupApi) g_modules.FreeLibrary(b.setupApi);
}

void EnumPnPDevices(const GUID* ClassGuid, bool PresentOnly, bool ByDevices, bool WithInterface,
                    tk::TStringList& L) {
    if (!LoadSetupApi()) return;
    DWORD flags = 0;
    if (PresentOnly) flags |= DIGCF_PRESENT;
    if (WithInterface) flags |= DIGCF_DEVICEINTERFACE;
    if (!ClassGuid) flags |= DIGCF_ALLCLASSES;
    TDeviceSet devices;
    devices.set = Entry<GetClassDevsFn>(eGetClassDevs)(ClassGuid, nullptr, nullptr, flags);
    if (devices.set == INVALID_HANDLE_VALUE) return;

    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof(info);
    if (ByDevices) {
        auto enumDevice = Entry<EnumDeviceInfoFn>(eEnumDeviceInfo);
        for (DWORD index = 0; enumDevice(devices.set, index, &info); ++index) {
            std::unique_ptr<TpwDevice> device =
                ReadDevice(devices.set, info, ClassGuid, WithInterface);
            L.AddObject(device->Driver, device.get());
            (void)device.release();
        }
        return;
    }

    auto enumInterface = Entry<EnumDeviceInterfacesFn>(eEnumDeviceInterfaces);
    SP_DEVICE_INTERFACE_DATA iface = {};
    for (DWORD index = 0;; ++index) {
        iface.cbSize = sizeof(iface);
        if (!enumInterface(devices.set, nullptr, ClassGuid, index, &iface)) break;
        info.cbSize = sizeof(info);
        const std::wstring path = InterfacePath(devices.set, iface, &info);
        if (path.empty()) continue;
        auto device = std::make_unique<TpwDevice>();
        ReadDeviceProperties(devices.set, info, *device);
        device->NameSymbolic = path;
        L.AddObject(device->Driver, device.get());
        (void)device.release();
    }
}

std::wstring GetDeviceRegistryString(HDEVINFO DevInfo, const SP_DEVINFO_DATA& DevData,
                                     DWORD Property) {
    if (!g_binding.setupApi) return std::wstring();
    wchar_t buffer[kPropertyBytes / sizeof(wchar_t)] = {};
    DWORD required = 0;
    SP_DEVINFO_DATA data = DevData;
    if (!Entry<GetDeviceRegistryPropertyFn>(eGetDeviceRegistryProperty)(
            DevInfo, &data, Property, nullptr, reinterpret_cast<PBYTE>(buffer), sizeof(buffer),
            &required))
        return std::wstring();
    const std::size_t chars = required / sizeof(wchar_t);
    if (chars < 1 || chars > kPropertyBytes / sizeof(wchar_t)) return std::wstring();
    return std::wstring(buffer, chars - 1);
}

std::wstring GetRegKeyPath(HKEY Key, HKEY* Root) {
    if (Root) *Root = nullptr;
    if (!Key || Key == INVALID_HANDLE_VALUE) return std::wstring();
    HMODULE ntdll = g_modules.LoadLibraryW(L"ntdll.dll");
    if (!ntdll) return std::wstring();
    std::wstring path;
    auto query = reinterpret_cast<ZwQueryKeyFn>(
        reinterpret_cast<void*>(g_modules.GetProcAddress(ntdll, "ZwQueryKey")));
    ULONG size = 0;
    if (query) (void)query(Key, kKeyNameInformation, nullptr, 0, &size);
    if (query && size > 0) {
        // Two zero bytes past the name end it.
        const ULONG bytes = size + 2;
        TpwRecordBuffer buffer(bytes);
        auto* info = buffer.As<unsigned char>();
        if (query(Key, kKeyNameInformation, info, bytes, &size) >= 0) {
            ULONG nameBytes = 0;
            std::memcpy(&nameBytes, info, sizeof(nameBytes));
            const std::size_t most = (bytes - sizeof(ULONG)) / sizeof(wchar_t);
            const auto* name = reinterpret_cast<const wchar_t*>(info + sizeof(ULONG));
            path.assign(name, std::min<std::size_t>(nameBytes / sizeof(wchar_t), most));
            path = path.substr(0, path.find(L'\0'));
        }
    }
    g_modules.FreeLibrary(ntdll);
    if (Root) path = RelativeKeyPath(path, *Root);
    return path;
}

std::wstring ReadRegString(HKEY Root, const std::wstring& Key, const std::wstring& Name) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(Root, Key.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::wstring();
    std::wstring text;
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key, Name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        if (::RegQueryValueExW(key, Name.c_str(), nullptr, &type,
                               reinterpret_cast<BYTE*>(data.data()), &got) == ERROR_SUCCESS) {
            text.assign(data.data(), std::min<std::size_t>(got, size) / sizeof(wchar_t));
            if (type == REG_SZ && !text.empty() && text.back() == L'\0') text.pop_back();
        }
    }
    ::RegCloseKey(key);
    return text;
}

std::wstring GetDeviceRelations(const std::wstring& DeviceId, const std::wstring& Separator,
                                bool Bus) {
    if (!g_binding.setupApi) return std::wstring();
    const ULONG filter =
        Bus ? CM_GETIDLIST_FILTER_BUSRELATIONS : CM_GETIDLIST_FILTER_REMOVALRELATIONS;
    // Some implementations report success without writing the length.
    ULONG length = 0;
    if (Entry<GetDeviceIdListSizeFn>(eGetDeviceIdListSize)(&length, DeviceId.c_str(), filter) !=
            CR_SUCCESS ||
        length == 0)
        return std::wstring();
    std::vector<wchar_t> list(length, L'\0');
    if (Entry<GetDeviceIdListFn>(eGetDeviceIdList)(DeviceId.c_str(), list.data(), length, filter) !=
        CR_SUCCESS)
        return std::wstring();
    return MultiSzToString(list.data(), list.size(), Separator);
}

std::wstring MultiSzToString(const wchar_t* Buffer, std::size_t Length,
                             const std::wstring& Separator) {
    std::wstring text;
    if (!Buffer || Length < 2) return text;
    for (std::size_t i = 0; i + 2 <= Length; ++i) {
        if (Buffer[i] != L'\0') {
            text += Buffer[i];
            continue;
        }
        // An empty string ends the list, also when the buffer is longer.
        if (i + 2 == Length || i == 0 || Buffer[i + 1] == L'\0') break;
        text += Separator;
    }
    return text;
}
