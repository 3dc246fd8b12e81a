// The plug-and-play unit against the real set-up library: Ports-class devices
// that the test creates (and removes again), walked by devices and by device
// interfaces, the full device-list modes built from them, the port lister
// showing them, the readers, and the binding rules.
#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Classes.h"
#include "pwcomm.h"
#include "pwwin32di.h"

namespace {

const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const wchar_t kMaker[] = L"Quolm Test";

void SetText(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property, const std::wstring& text) {
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(
        set, &info, property, reinterpret_cast<const BYTE*>(text.c_str()),
        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))))
        << property;
}

// Ports-class devices made with the set-up library, as a driver's installer
// makes them: registered, with properties and a device key. Removed again at
// the end, also when an earlier run left some behind.
class TTestDevices {
public:
    TTestDevices() {
        RemoveAll();
        set_ = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
    }
    ~TTestDevices() {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
        RemoveAll();
    }
    // PortName empty: the device key gets no such value.
    void Add(const std::wstring& description, const std::wstring& portName,
             bool withInterface = false) {
        SP_DEVINFO_DATA info = {};
        info.cbSize = sizeof(info);
        ASSERT_TRUE(SetupDiCreateDeviceInfoW(set_, L"PORTS", &kPortsClass, description.c_str(),
                                             nullptr, DICD_GENERATE_ID, &info));
        ASSERT_TRUE(SetupDiRegisterDeviceInfo(set_, &info, 0, nullptr, nullptr, nullptr));
        SetText(set_, info, SPDRP_DEVICEDESC, description);
        SetText(set_, info, SPDRP_MFG, kMaker);
        SetText(set_, info, SPDRP_SERVICE, L"Serial");
        HKEY key =
            SetupDiCreateDevRegKeyW(set_, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, key);
        if (!portName.empty())
            RegSetValueExW(key, L"PortName", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(portName.c_str()),
                           static_cast<DWORD>((portName.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        if (withInterface) {
            SP_DEVICE_INTERFACE_DATA iface = {};
            iface.cbSize = sizeof(iface);
            ASSERT_TRUE(
                SetupDiCreateDeviceInterfaceW(set_, &info, &kComPortInterface, nullptr, 0, &iface));
        }
    }

private:
    static void RemoveAll() {
        HDEVINFO all = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, 0);
        if (all == INVALID_HANDLE_VALUE) return;
        SP_DEVINFO_DATA info = {};
        info.cbSize = sizeof(info);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(all, i, &info); ++i)
            if (GetDeviceRegistryString(all, info, SPDRP_MFG) == kMaker)
                SetupDiRemoveDevice(all, &info);
        SetupDiDestroyDeviceInfoList(all);
    }
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

// Owns the records EnumPnPDevices hands out.
struct TRecords {
    tk::TStringList list;
    ~TRecords() {
        for (int i = 0; i < list.Count(); ++i) delete list.Objects(i);
    }
    const TpwDevice* ByDescription(const std::wstring& d) const {
        for (int i = 0; i < list.Count(); ++i)
            if (static_cast<TpwDevice*>(list.Objects(i))->Description == d)
                return static_cast<TpwDevice*>(list.Objects(i));
        return nullptr;
    }
};

bool QuickListHas(const std::wstring& port) {
    tk::TStringList quick;
    ListComPorts(quick, false);
    return quick.IndexOf(port) >= 0;
}

const TpwDevice* Listed(TpwComm& comm, const std::wstring& portName) {
    for (int i = 0; i < comm.DeviceCount(); ++i)
        if (comm.GetDevice(i)->PortName == portName) return comm.GetDevice(i);
    return nullptr;
}

std::vector<std::wstring> Names(TpwComm& comm) {
    std::vector<std::wstring> names;
    for (int i = 0; i < comm.DeviceCount(); ++i) names.push_back(comm.GetDevice(i)->NameFriendly);
    return names;
}

class PnPDevices : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QuickListHas(L"COM10") || !QuickListHas(L"COM12"))
            GTEST_SKIP() << "COM10 and COM12 are mapped by the harness (run inside "
                            "tests/harness/sandbox.sh)";
        devices = std::make_unique<TTestDevices>();
        devices->Add(L"Quolm test port", L"COM10", true);
        // No port name: found through the "(COM12)" in its description.
        devices->Add(L"Quolm modem (COM12)", L"");
        devices->Add(L"Quolm unplugged adapter", L"COM77");
        devices->Add(L"Quolm virtual port", L"CNCA0");
        devices->Add(L"Quolm printer port", L"LPT3");
        if (HasFatalFailure()) return;
        comm = std::make_unique<TpwComm>(nullptr);
    }
    void TearDown() override {
        comm.reset();
        devices.reset();
    }
    std::unique_ptr<TTestDevices> devices;
    std::unique_ptr<TpwComm> comm;
};

TEST_F(PnPDevices, TheDeviceWalkReadsPropertiesKeyAndInstance) {
    devices->Add(std::wstring(300, L'x'), L"COM78");  // a description past the buffer
    TRecords r;
    EnumPnPDevices(&kPortsClass, false, true, false, r.list);
    const TpwDevice* longer = r.ByDescription(L"");
    ASSERT_NE(nullptr, longer);
    EXPECT_EQ(L"COM78", longer->PortName);
    const TpwDevice* port = r.ByDescription(L"Quolm test port");
    ASSERT_NE(nullptr, port);
    EXPECT_EQ(L"COM10", port->PortName);  // without its terminating null
    EXPECT_EQ(kMaker, port->Manufacturer);
    EXPECT_EQ(L"Serial", port->Service);
    EXPECT_TRUE(IsEqualGUID(kPortsClass, port->GuidClass));
    EXPECT_EQ(port->Driver, r.list.Strings(r.list.IndexOfObject(const_cast<TpwDevice*>(port))));
    EXPECT_EQ(0u, port->InstanceId.rfind(L"ROOT\\PORTS\\", 0)) << port->InstanceId;
    // The key path is relative to the local machine and leads to the key.
    EXPECT_NE(L'\\', port->RegKey.empty() ? L'\\' : port->RegKey[0]) << port->RegKey;
    EXPECT_EQ(L"COM10", ReadRegString(HKEY_LOCAL_MACHINE, port->RegKey, L"PortName"));

    const TpwDevice* modem = r.ByDescription(L"Quolm modem (COM12)");
    ASSERT_NE(nullptr, modem);
    EXPECT_TRUE(modem->PortName.empty());
    EXPECT_FALSE(modem->RegKey.empty());
    EXPECT_NE(port->InstanceId, modem->InstanceId);

    // No class: every class, ours among them.
    TRecords all;
    EnumPnPDevices(nullptr, false, true, false, all.list);
    EXPECT_NE(nullptr, all.ByDescription(L"Quolm virtual port"));
}

TEST_F(PnPDevices, TheInterfaceWalkGivesTheInterfacePathOnly) {
    TRecords r;
    EnumPnPDevices(&kComPortInterface, false, false, true, r.list);
    const TpwDevice* port = r.ByDescription(L"Quolm test port");
    ASSERT_NE(nullptr, port);
    EXPECT_EQ(kMaker, port->Manufacturer);
    std::wstring path = port->NameSymbolic;
    for (wchar_t& c : path) c = towlower(c);
    EXPECT_NE(std::wstring::npos, path.find(L"{86e0d1e0-8089-11d0-9ce4-08003e301f73}"))
        << port->NameSymbolic;
    EXPECT_TRUE(port->PortName.empty());
    EXPECT_TRUE(port->RegKey.empty());
    EXPECT_TRUE(port->InstanceId.empty());
    EXPECT_EQ(nullptr, r.ByDescription(L"Quolm virtual port"));  // it has no interface
}

TEST_F(PnPDevices, FullInfoCompletesTheRegistryPortsAndAddsTheOthers) {
    comm->SetEnumPorts(epFullInfo);
    comm->Update();
    const TpwDevice* com10 = Listed(*comm, L"COM10");
    ASSERT_NE(nullptr, com10);
    EXPECT_EQ(L"COM10 (Quolm test port)", com10->NameFriendly);
    EXPECT_EQ(kMaker, com10->Manufacturer);
    EXPECT_EQ(L"Serial", com10->Service);
    EXPECT_FALSE(com10->InstanceId.empty());
    EXPECT_FALSE(com10->RegKey.empty());
    EXPECT_FALSE(com10->NamePDO.empty());  // the registry value's name

    // Partnered through its description, it keeps its own name and opens.
    const TpwDevice* com12 = Listed(*comm, L"COM12");
    ASSERT_NE(nullptr, com12);
    EXPECT_EQ(L"COM12 (Quolm modem (COM12))", com12->NameFriendly);
    comm->SetComPortNo(12);
    EXPECT_EQ(L"COM12", comm->ComName());
    comm->SetActive(true);
    EXPECT_TRUE(comm->Active());
    comm->SetActive(false);

    const TpwDevice* unplugged = Listed(*comm, L"COM77");
    ASSERT_NE(nullptr, unplugged);
    EXPECT_EQ(77, unplugged->Data);
    EXPECT_TRUE(unplugged->InstanceId.empty());  // only partnered registry ports carry it
    const TpwDevice* other = Listed(*comm, L"CNCA0");
    ASSERT_NE(nullptr, other);
    EXPECT_GE(other->Data, 4097);
    EXPECT_EQ(other, comm->GetDevice(comm->DeviceCount() - 1));
    EXPECT_EQ(nullptr, Listed(*comm, L"LPT3"));
    for (int i = 1; i < comm->DeviceCount(); ++i)
        EXPECT_LT(comm->GetDevice(i - 1)->Data, comm->GetDevice(i)->Data);
}

TEST_F(PnPDevices, FullPresentDropsRegistryPortsWithoutAPartner) {
    comm->SetEnumPorts(epFullPresent);
    comm->Update();
    EXPECT_NE(nullptr, Listed(*comm, L"COM10"));
    EXPECT_NE(nullptr, Listed(*comm, L"COM12"));
    EXPECT_EQ(nullptr, Listed(*comm, L"COM11"));
    EXPECT_EQ(nullptr, Listed(*comm, L"COM13"));
    // Unpartnered plug-and-play records stay (this set-up library does not
    // tell present devices from absent ones).
    EXPECT_NE(nullptr, Listed(*comm, L"CNCA0"));
}

#ifdef QUOLM_LISTPORTS_EXE
// What a user sees: the port lister shows the test devices with their details.
TEST_F(PnPDevices, ThePortListerShowsThem) {
    std::wstring exe = L"Z:";
    for (const char* c = QUOLM_LISTPORTS_EXE; *c; ++c)
        exe += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &sa, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = writeEnd;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + exe + L"\"";
    ASSERT_TRUE(CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &si, &pi))
        << GetLastError();
    CloseHandle(writeEnd);
    std::string out;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(readEnd, buf, sizeof(buf), &n, nullptr) && n > 0) out.append(buf, n);
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(readEnd);
    std::printf("%s", out.c_str());
    EXPECT_EQ(0u, code);
    const std::size_t info = out.find("epFullInfo");
    ASSERT_NE(std::string::npos, info);
    const std::string full = out.substr(info);
    for (const char* want : {"COM10 (Quolm test port)", "COM12 (Quolm modem (COM12))",
                             "COM77 (Quolm unplugged adapter)", "CNCA0 (Quolm virtual port)",
                             "Manufacturer  Quolm Test", "InstanceId    ROOT\\PORTS\\", "RegKey"})
        EXPECT_NE(std::string::npos, full.find(want)) << want;
}
#endif

// --- readers ---------------------------------------------------------------

TEST(Readers, KeyPathsAreMadeRelativeToTheirRoot) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\QuolmTest\\Path", 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    HKEY root = HKEY_CLASSES_ROOT;
    EXPECT_EQ(0, _wcsicmp(L"Software\\QuolmTest\\Path", GetRegKeyPath(key, &root).c_str()));
    EXPECT_EQ(HKEY_CURRENT_USER, root);
    const std::wstring whole = GetRegKeyPath(key);
    EXPECT_EQ(0, _wcsnicmp(L"\\REGISTRY\\USER\\", whole.c_str(), 15)) << whole;
    RegCloseKey(key);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QuolmTest");

    EXPECT_EQ(L"", GetRegKeyPath(static_cast<HKEY>(INVALID_HANDLE_VALUE), &root));
}

TEST(Readers, RegistryValuesAsText) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\QuolmTest", 0, nullptr,
                                             0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const wchar_t text[] = L"COM4";
    RegSetValueExW(key, L"WithNull", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text));
    RegSetValueExW(key, L"NoNull", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   4 * sizeof(wchar_t));
    const DWORD number = 0x00420041;  // "AB" when read as UTF-16
    RegSetValueExW(key, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                   sizeof(number));
    RegCloseKey(key);
    EXPECT_EQ(L"COM4", ReadRegString(HKEY_CURRENT_USER, L"Software\\QuolmTest", L"WithNull"));
    EXPECT_EQ(L"COM4", ReadRegString(HKEY_CURRENT_USER, L"Software\\QuolmTest", L"NoNull"));
    EXPECT_EQ(L"AB", ReadRegString(HKEY_CURRENT_USER, L"Software\\QuolmTest", L"Number"));
    EXPECT_EQ(L"", ReadRegString(HKEY_CURRENT_USER, L"Software\\QuolmTest", L"Missing"));
    EXPECT_EQ(L"", ReadRegString(HKEY_CURRENT_USER, L"Software\\QuolmTest\\Missing", L"WithNull"));
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QuolmTest");
}

TEST(Readers, MultiStringsJoinWithoutATrailingSeparator) {
    const wchar_t two[] = {L'A', 0, L'B', 0, 0};
    EXPECT_EQ(L"A;B", MultiSzToString(two, 5, L";"));
    const wchar_t none[] = {0, 0};
    EXPECT_EQ(L"", MultiSzToString(none, 2, L";"));
    // A buffer longer than its list ends at the list's empty string.
    const wchar_t padded[] = {L'I', L'D', 0, 0, 0, 0};
    EXPECT_EQ(L"ID", MultiSzToString(padded, 6, L"; "));
    EXPECT_EQ("SetupDiGetClassDevsW", WideProcName("SetupDiGetClassDevsA"));
}

// --- binding ---------------------------------------------------------------

// Loads the real libraries but can hide entry points, and records what it did.
struct TLoader {
    static inline std::set<std::string> hiddenInSetupApi;
    static inline std::set<std::string> hidden;
    static inline std::vector<std::wstring> loaded;
    static inline std::vector<HMODULE> freed;
    static inline HMODULE setupApi = nullptr, cfgMgr = nullptr;
    static inline std::vector<std::pair<HMODULE, std::string>> asked;

    static HMODULE WINAPI Load(LPCWSTR name) {
        loaded.push_back(name);
        HMODULE m = pwDefaultModuleApi().LoadLibraryW(name);
        if (_wcsicmp(name, L"SetupAPI.dll") == 0) setupApi = m;
        if (_wcsicmp(name, L"cfgmgr32.dll") == 0) cfgMgr = m;
        return m;
    }
    static FARPROC WINAPI Find(HMODULE m, LPCSTR name) {
        asked.emplace_back(m, name);
        if (hidden.count(name) || (m == setupApi && hiddenInSetupApi.count(name))) return nullptr;
        return pwDefaultModuleApi().GetProcAddress(m, name);
    }
    static BOOL WINAPI Free(HMODULE m) {
        freed.push_back(m);
        return pwDefaultModuleApi().FreeLibrary(m);
    }
    static int Loads(const wchar_t* name) {
        return static_cast<int>(
            std::count_if(loaded.begin(), loaded.end(),
                          [&](const std::wstring& n) { return _wcsicmp(n.c_str(), name) == 0; }));
    }
};

class Binding : public ::testing::Test {
protected:
    void SetUp() override {
        UnloadSetupApi();
        TLoader::hiddenInSetupApi.clear();
        TLoader::hidden.clear();
        TLoader::loaded.clear();
        TLoader::freed.clear();
        TLoader::asked.clear();
        TLoader::setupApi = TLoader::cfgMgr = nullptr;
        scope = std::make_unique<TpwApiScope<TpwModuleApi>>(
            pwModuleApi(), TpwModuleApi{&TLoader::Load, &TLoader::Find, &TLoader::Free});
    }
    void TearDown() override {
        UnloadSetupApi();
        scope.reset();
    }
    std::unique_ptr<TpwApiScope<TpwModuleApi>> scope;
};

TEST_F(Binding, AMissingEntryPointLeavesNothingBoundAndTheFullModesListTheQuickList) {
    TLoader::hidden = {"SetupDiGetDeviceInstanceIdW"};
    TLoader::hiddenInSetupApi = {"CM_Locate_DevNodeW"};
    EXPECT_FALSE(LoadSetupApi());
    // Both libraries were loaded and both released again.
    ASSERT_NE(nullptr, TLoader::setupApi);
    ASSERT_NE(nullptr, TLoader::cfgMgr);
    EXPECT_EQ(1, static_cast<int>(
                     std::count(TLoader::freed.begin(), TLoader::freed.end(), TLoader::setupApi)));
    EXPECT_EQ(1, static_cast<int>(
                     std::count(TLoader::freed.begin(), TLoader::freed.end(), TLoader::cfgMgr)));

    TpwComm comm(nullptr);
    comm.Update();
    const std::vector<std::wstring> quick = Names(comm);
    for (TpwEnumPorts mode : {epFullInfo, epFullPresent}) {
        comm.SetEnumPorts(mode);
        comm.Update();
        EXPECT_EQ(quick, Names(comm)) << mode;
    }
    // Every load tried again from the start: no half binding was kept.
    EXPECT_GE(TLoader::Loads(L"SetupAPI.dll"), 1 + 2 * 12);
    EXPECT_EQ(TLoader::Loads(L"SetupAPI.dll"),
              static_cast<int>(
                  std::count(TLoader::freed.begin(), TLoader::freed.end(), TLoader::setupApi)));
}

TEST_F(Binding, TheConfigurationManagerComesFromTheSetUpLibraryWhenItHasIt) {
    ASSERT_TRUE(LoadSetupApi());
    EXPECT_EQ(0, TLoader::Loads(L"cfgmgr32.dll"));
    EXPECT_TRUE(LoadSetupApi());  // once per process
    EXPECT_EQ(1, TLoader::Loads(L"SetupAPI.dll"));
    // The wide variants are the ones looked up.
    for (const auto& a : TLoader::asked) EXPECT_NE('A', a.second.back()) << a.second;
    UnloadSetupApi();

    // Without them there, all of them come from cfgmgr32.dll; an optional
    // entry point may be missing.
    TLoader::asked.clear();
    TLoader::hiddenInSetupApi = {"CM_Locate_DevNodeW"};
    TLoader::hidden = {"SetupDiRemoveDevice", "CM_Request_Device_EjectW"};
    ASSERT_TRUE(LoadSetupApi());
    ASSERT_NE(nullptr, TLoader::cfgMgr);
    int fromCfgMgr = 0;
    for (const auto& a : TLoader::asked) {
        if (a.second.rfind("CM_", 0) != 0) continue;
        if (a.first == TLoader::cfgMgr) ++fromCfgMgr;
        if (a.second != "CM_Locate_DevNodeW") {
            EXPECT_EQ(TLoader::cfgMgr, a.first) << a.second;
        }
    }
    EXPECT_EQ(8, fromCfgMgr);
    UnloadSetupApi();
    EXPECT_EQ(1, static_cast<int>(
                     std::count(TLoader::freed.begin(), TLoader::freed.end(), TLoader::cfgMgr)));
}

}  // namespace
