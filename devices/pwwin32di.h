// Plug-and-play device details: the run-time binding of the device set-up
// library ("SetupAPI.dll", and "cfgmgr32.dll" where the set-up library lacks
// the configuration manager), the enumeration of one class's devices or
// device interfaces into device records, and the small readers it uses.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include <cstddef>
#include <string>

namespace tk {
class TStringList;
}

// Binds the set-up library once per process; true when the binding exists.
// A failed binding releases what it loaded, so the next call starts afresh.
bool LoadSetupApi();
// Releases the binding (run at process end; a later LoadSetupApi binds again).
void UnloadSetupApi();
// The name with its last character replaced by "W": the library keeps the
// character-set-dependent entry points under their ANSI names.
std::string WideProcName(const std::string& Name);

// Appends one entry per device (or device interface) of the class, or of all
// classes without a GUID: text the device's driver key, object a new
// TpwDevice that the caller owns. Finding nothing, or failing, appends nothing.
void EnumPnPDevices(const GUID* ClassGuid, bool PresentOnly, bool ByDevices, bool WithInterface,
                    tk::TStringList& L);

// A device property as text; empty when it cannot be read or passes 255
// characters.
std::wstring GetDeviceRegistryString(HDEVINFO DevInfo, const SP_DEVINFO_DATA& DevData,
                                     DWORD Property);
// The path of an open key. With Root, a path below \REGISTRY\MACHINE\ or
// \REGISTRY\USER\<user>\ is made relative to HKEY_LOCAL_MACHINE or
// HKEY_CURRENT_USER (*Root 0 for any other path, which is left whole).
std::wstring GetRegKeyPath(HKEY Key, HKEY* Root = nullptr);
// A registry value as text (any type read as UTF-16); empty when missing.
std::wstring ReadRegString(HKEY Root, const std::wstring& Key, const std::wstring& Name);
// The identifiers of a device's bus relations (Bus) or removal relations,
// joined by Separator.
std::wstring GetDeviceRelations(const std::wstring& DeviceId, const std::wstring& Separator,
                                bool Bus);
// A list of null-terminated strings ended by an empty one, Length characters
// long, as one text with Separator between the strings.
std::wstring MultiSzToString(const wchar_t* Buffer, std::size_t Length,
                             const std::wstring& Separator);

// How the binding and the key-path reader load libraries and find entry
// points. By default the real kernel32 calls; tests install a loader that
// hides an entry point or a library.
struct TpwModuleApi {
    HMODULE(WINAPI* LoadLibraryW)(LPCWSTR);
    FARPROC(WINAPI* GetProcAddress)(HMODULE, LPCSTR);
    BOOL(WINAPI* FreeLibrary)(HMODULE);
};
TpwModuleApi& pwModuleApi();
const TpwModuleApi& pwDefaultModuleApi();
