// The overlapped transfer routines, the configuration readers, the quick
// port list helpers and the sources the quick list reads.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "Classes.h"
#include "SimDriver.h"
#include "pwcomm.h"
#include "pwwin32.h"

namespace {

class Win32Sim : public ::testing::Test {
protected:
    void SetUp() override {
        drv.AddPort(L"COM5");
        h = pwCommApi().CreateFileW(L"\\\\?\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        ovl.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        drv.ClearCalls();
    }
    void TearDown() override {
        pwCommApi().CloseHandle(h);
        ::CloseHandle(ovl.hEvent);
    }
    sim::Port& port() { return drv.port(L"COM5"); }

    sim::Driver drv;
    HANDLE h = nullptr;
    OVERLAPPED ovl = {};
};

TEST_F(Win32Sim, ReadAndWaitReadsIntoTheBuffer) {
    drv.Receive(L"COM5", "xyz");
    char buf[3] = {};
    EXPECT_TRUE(ReadAndWait(h, buf, 3, ovl));
    EXPECT_EQ(std::string("xyz"), std::string(buf, 3));
    EXPECT_FALSE(ReadAndWait(reinterpret_cast<HANDLE>(0x1234), buf, 3, ovl));
    // A read that comes back short tells how much it read.
    port().readChunk = 2;
    drv.Receive(L"COM5", "abc");
    DWORD n = 99;
    EXPECT_TRUE(ReadAndWait(h, buf, 3, ovl, &n));
    EXPECT_EQ(2u, n);
}

TEST_F(Win32Sim, WaitOverlappedResultOnlyWaitsForPendingTransfers) {
    DWORD n = 0, err = 0;
    ::SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WaitOverlappedResult(h, ovl, n, err));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), err);
    EXPECT_EQ(0, drv.Count("GetOverlappedResult"));
    // A cancelled transfer completes with its own error.
    ovl.Internal = 0xC0000120;
    ::SetLastError(ERROR_IO_PENDING);
    EXPECT_FALSE(WaitOverlappedResult(h, ovl, n, err));
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), err);
}

TEST_F(Win32Sim, CancelDeviceIoLooksCancelIoUpAtEveryCall) {
    EXPECT_TRUE(CancelDeviceIo(h));
    EXPECT_TRUE(CancelDeviceIo(h));
    EXPECT_EQ(2, drv.Count("LookupCancelIo"));
    EXPECT_EQ(2, drv.Count("CancelIo"));
}

TEST_F(Win32Sim, OversizedConfigurationIsReadWithoutOverrun) {
    struct {
        COMMCONFIG cfg;
        unsigned char guard[256];
    } block;
    std::memset(&block, 0x5A, sizeof(block));
    port().configSize = 180;
    port().dcb.BaudRate = 57600;
    EXPECT_TRUE(GetCommConfigFixed(h, block.cfg));
    for (unsigned char b : block.guard) ASSERT_EQ(0x5A, b);
    EXPECT_EQ(sizeof(COMMCONFIG), block.cfg.dwSize);
    EXPECT_EQ(57600u, block.cfg.dcb.BaudRate);
    EXPECT_EQ(0u, block.cfg.dwProviderSize);
    // The first call told the size, the second read into a block that large.
    auto calls = drv.Calls("GetCommConfig");
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(sizeof(COMMCONFIG), calls[0].a);
    EXPECT_EQ(180u, calls[1].a);
}

TEST_F(Win32Sim, DefaultConfigurationOfAnUnknownPortLeavesTheRecord) {
    COMMCONFIG cfg = {};
    cfg.dcb.BaudRate = 1234;
    EXPECT_FALSE(GetDefaultCommConfigFixed(L"COM9", cfg));
    EXPECT_EQ(1234u, cfg.dcb.BaudRate);
    EXPECT_EQ(sizeof(COMMCONFIG), cfg.dwSize);
    port().dcb.BaudRate = 4800;
    EXPECT_TRUE(GetDefaultCommConfigFixed(L"COM5", cfg));
    EXPECT_EQ(4800u, cfg.dcb.BaudRate);
}

TEST(Win32, SimulationIsInstalledAndRemovedAgain) {
    const auto real = pwDefaultCommApi().CreateFileW;
    EXPECT_EQ(real, pwCommApi().CreateFileW);
    {
        sim::Driver drv;
        EXPECT_NE(real, pwCommApi().CreateFileW);
    }
    EXPECT_EQ(real, pwCommApi().CreateFileW);
    // The real lookup finds CancelIo in kernel32.
    EXPECT_NE(nullptr, pwDefaultCommApi().LookupCancelIo());
}

TEST(Win32, SysErrorTextHasNoTrailingBreakOrFullStop) {
    for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}) {
        const std::wstring t = SysErrorText(code);
        ASSERT_FALSE(t.empty()) << code;
        EXPECT_GT(t.back(), L' ');
        EXPECT_NE(L'.', t.back());
    }
    EXPECT_TRUE(SysErrorText(0xDEADBEEF).empty());
}

TEST(Win32, ResetOverlappedKeepsTheEvent) {
    OVERLAPPED o;
    std::memset(&o, 0xFF, sizeof(o));
    HANDLE e = reinterpret_cast<HANDLE>(0x40);
    o.hEvent = e;
    ResetOverlapped(o);
    EXPECT_EQ(e, o.hEvent);
    EXPECT_EQ(0u, o.Internal);
    EXPECT_EQ(0u, o.InternalHigh);
    EXPECT_EQ(0u, o.Offset);
    EXPECT_EQ(0u, o.OffsetHigh);
}

// --- quick port list helpers ---------------------------------------------------

TEST(PortList, AddPortSortedOrdersByNumberAndSkipsDuplicates) {
    tk::TStringList l;
    AddPortSorted(L"COM10", 10, l);
    AddPortSorted(L"COM2", 2, l);
    AddPortSorted(L"COM1", 1, l);
    AddPortSorted(L"com2", 2, l);  // the same text, other case
    ASSERT_EQ(3, l.Count());
    EXPECT_EQ(L"COM1", l.Strings(0));
    EXPECT_EQ(L"COM2", l.Strings(1));
    EXPECT_EQ(L"COM10", l.Strings(2));
    EXPECT_EQ(1, PortNoOfEntry(l, 0));
    EXPECT_EQ(10, PortNoOfEntry(l, 2));
    AddPortSorted(L"COM5", 5, l);
    EXPECT_EQ(L"COM5", l.Strings(2));
    // Another text with a listed number goes before the next higher number
    // (the device list keeps only the first of them); with no higher number
    // it is dropped.
    AddPortSorted(L"COM01", 1, l);
    EXPECT_EQ(L"COM01", l.Strings(1));
    AddPortSorted(L"COM010", 10, l);
    EXPECT_EQ(5, l.Count());
}

TEST(PortList, TrimTextDropsBlanksAndControlCharacters) {
    EXPECT_EQ(L"COM4", TrimText(L" \t COM4 \r\n"));
    EXPECT_EQ(L"", TrimText(L"  "));
    EXPECT_EQ(L"A B", TrimText(L"A B"));
}

TEST(PortList, TheMappedTestPortsAreListedInOrder) {
    tk::TStringList l;
    ListComPorts(l, true);
    for (int i = 1; i < l.Count(); ++i) EXPECT_LT(PortNoOfEntry(l, i - 1), PortNoOfEntry(l, i));
    for (int i = 0; i < l.Count(); ++i) {
        EXPECT_EQ(0u, l.Strings(i).rfind(L"COM", 0));
        EXPECT_NE(std::wstring::npos, l.Strings(i).find(L'='));
    }
}


// --- where the quick list comes from ----------------------------------------

// Registry contents a real machine seldom shows: the real registry calls,
// reading a key of the test's own in place of HARDWARE\DEVICEMAP\SERIALCOMM.
class PortSources : public ::testing::Test {
protected:
    static inline std::wstring keyPath;
    static inline std::wstring opened;
    static inline std::vector<std::wstring> spooler;

    static LONG WINAPI OpenTestKey(HKEY root, LPCWSTR path, DWORD options, REGSAM sam, PHKEY key) {
        opened = (root == HKEY_LOCAL_MACHINE ? L"HKLM\\" : L"?\\") + std::wstring(path);
        return ::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), options, sam, key);
    }
    static DWORD Windows9x() { return VER_PLATFORM_WIN32_WINDOWS; }
    // Level 1 (PORT_INFO_1W): the records, then their names, in the caller's block.
    struct TPortInfo1 {
        LPWSTR pName;
    };
    static BOOL WINAPI EnumSpoolerPorts(LPWSTR, DWORD level, LPBYTE block, DWORD size, LPDWORD needed,
                                        LPDWORD returned) {
        DWORD bytes = static_cast<DWORD>(spooler.size() * sizeof(TPortInfo1));
        for (const auto& p : spooler) bytes += static_cast<DWORD>((p.size() + 1) * sizeof(wchar_t));
        *needed = bytes;
        if (level != 1 || size < bytes) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        auto* info = reinterpret_cast<TPortInfo1*>(block);
        auto* text = reinterpret_cast<wchar_t*>(block + spooler.size() * sizeof(TPortInfo1));
        for (const auto& p : spooler) {
            info->pName = text;
            ++info;
            std::memcpy(text, p.c_str(), (p.size() + 1) * sizeof(wchar_t));
            text += p.size() + 1;
        }
        *returned = static_cast<DWORD>(spooler.size());
        return TRUE;
    }

    void SetUp() override {
        keyPath = L"Software\\QuolmTest\\SERIALCOMM";
        opened.clear();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QuolmTest");
        TpwPortListApi api = pwDefaultPortListApi();
        api.RegOpenKeyExW = &OpenTestKey;
        scope = std::make_unique<TpwApiScope<TpwPortListApi>>(pwPortListApi(), api);
    }
    void TearDown() override {
        scope.reset();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QuolmTest");
    }
    void Value(const std::wstring& name, const std::wstring& data) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ::RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                         static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
    }
    static std::vector<std::wstring> Entries(bool withValues = true) {
        tk::TStringList l;
        ListComPorts(l, withValues);
        std::vector<std::wstring> out;
        for (int i = 0; i < l.Count(); ++i) out.push_back(l.Strings(i));
        return out;
    }
    using Texts = std::vector<std::wstring>;
    std::unique_ptr<TpwApiScope<TpwPortListApi>> scope;
};

TEST_F(PortSources, PortsInNumberOrderOnceEachAndOnlyPlainNumbers) {
    // Read in this order. None of the first six is a port; read as signed or
    // hexadecimal numbers they would be listed (and COMXA would take COM10's place).
    Value(L"a1", L"COMXA");
    Value(L"a2", L"COM-1");
    Value(L"a3", L"COM 3");
    Value(L"a4", L"COM0x5");
    Value(L"a5", L"COM");
    Value(L"a6", L"LPT1");
    Value(L"b1", L"COM10");
    Value(L"b2", L"COM2");
    Value(L"b3", L"COM1");
    Value(L"b4", L"com1 ");
    Value(L"b5", L"COM01");
    Value(L"b6", L"com4 ");
    EXPECT_EQ((Texts{L"COM1=b3", L"COM01=b5", L"COM2=b2", L"COM4=b6", L"COM10=b1"}), Entries());
    EXPECT_EQ(L"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", opened);
    EXPECT_EQ((Texts{L"COM1", L"COM01", L"COM2", L"COM4", L"COM10"}), Entries(false));

    // In the device list the first port of a number wins.
    TpwComm comm(nullptr);
    comm.Update();
    ASSERT_EQ(4, comm.DeviceCount());
    const std::int32_t numbers[] = {1, 2, 4, 10};
    const wchar_t* values[] = {L"b3", L"b2", L"b6", L"b1"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(numbers[i], comm.GetDevice(i)->Data);
        EXPECT_EQ(L"COM" + std::to_wstring(numbers[i]), comm.GetDevice(i)->PortName);
        EXPECT_EQ(values[i], comm.GetDevice(i)->NamePDO);
    }
}

TEST_F(PortSources, AValueThatDoesNotFitIsSkippedAndThePortsAfterItListed) {
    Value(L"a1", L"COM3");
    Value(L"a2", L"COM5" + std::wstring(140, L' '));  // 290 bytes of data
    Value(L"a3", L"COM6");
    EXPECT_EQ((Texts{L"COM3=a1", L"COM6=a3"}), Entries());
    keyPath += L"2";
    Value(L"a1", L"COM3");
    Value(L"a2" + std::wstring(129, L'x'), L"COM5");  // 131 characters of name
    Value(L"a3", L"COM6");
    EXPECT_EQ((Texts{L"COM3=a1", L"COM6=a3"}), Entries());
}

TEST_F(PortSources, WithoutTheKeyThePortOpensByItsNumber) {
    keyPath = L"Software\\QuolmTest\\Missing";
    EXPECT_TRUE(Entries().empty());
    sim::Driver drv;
    drv.AddPort(L"COM7");
    TpwComm comm(nullptr);
    comm.SetComPortNo(7);
    comm.Update();
    EXPECT_EQ(0, comm.DeviceCount());
    EXPECT_EQ(-1, comm.DeviceIndex());
    comm.SetActive(true);
    EXPECT_TRUE(comm.Active());
    auto opens = drv.Calls("CreateFileW");
    ASSERT_FALSE(opens.empty());
    EXPECT_EQ(L"\\\\?\\COM7", opens.back().name);
}

TEST_F(PortSources, The9xFamilyListsTheSpoolersComPorts) {
    TpwPortListApi api = pwPortListApi();
    api.PlatformId = &Windows9x;
    api.EnumPortsW = &EnumSpoolerPorts;
    TpwApiScope<TpwPortListApi> nineX(pwPortListApi(), api);
    Value(L"a1", L"COM4");  // the registry is not read there
    spooler = {L"LPT1:", L"COM3:", L"FILE:", L"COM1:", L"com2:", L"COM12 :"};
    EXPECT_EQ((Texts{L"COM1=", L"COM3=", L"COM12="}), Entries(false));
    EXPECT_TRUE(opened.empty());

    // A COM name without a number ends the load with the conversion error.
    spooler = {L"COM1:", L"COMX:"};
    TpwComm comm(nullptr);
    EXPECT_THROW(comm.Update(), tk::EConvertError);
    EXPECT_EQ(0, comm.DeviceCount());
}

}  // namespace
