// The overlapped transfer routines, the configuration readers and the quick
// port list helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "Classes.h"
#include "SimDriver.h"
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

TEST_F(Win32Sim, WriteAndWaitWaitsForAPendingWrite) {
    port().pendWrites = true;
    ovl.Internal = 77;
    ovl.Offset = 5;
    EXPECT_TRUE(WriteAndWait(h, "abc", 3, ovl));
    EXPECT_EQ("abc", port().tx);
    auto names = drv.Names();
    EXPECT_EQ(std::vector<std::string>({"WriteFile", "GetOverlappedResult"}), names);
    EXPECT_EQ(1u, drv.Calls("GetOverlappedResult")[0].a);  // bWait
    EXPECT_EQ(0u, ovl.Offset);  // status fields cleared before use
    EXPECT_NE(nullptr, ovl.hEvent);  // the event kept
}

TEST_F(Win32Sim, WriteAndWaitReportsARefusedWriteWithItsError) {
    port().refuseWrites = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(WriteAndWait(h, "abc", 3, ovl));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
    EXPECT_EQ(0, drv.Count("GetOverlappedResult"));
}

TEST_F(Win32Sim, WriteNoWaitNeverWaits) {
    port().pendWrites = true;
    EXPECT_TRUE(WriteNoWait(h, "abc", 3, ovl));
    EXPECT_EQ(0, drv.Count("GetOverlappedResult"));
    EXPECT_TRUE(port().tx.empty());
    EXPECT_FALSE(HasOverlappedIoCompleted(&ovl));
    drv.CompletePendingWrites();
    EXPECT_EQ("abc", port().tx);
    EXPECT_TRUE(HasOverlappedIoCompleted(&ovl));
    port().refuseWrites = ERROR_GEN_FAILURE;
    EXPECT_FALSE(WriteNoWait(h, "abc", 3, ovl));
}

TEST_F(Win32Sim, ReadAndWaitReadsIntoTheBuffer) {
    drv.Receive(L"COM5", "xyz");
    char buf[3] = {};
    EXPECT_TRUE(ReadAndWait(h, buf, 3, ovl));
    EXPECT_EQ(std::string("xyz"), std::string(buf, 3));
    EXPECT_FALSE(ReadAndWait(reinterpret_cast<HANDLE>(0x1234), buf, 3, ovl));
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

}  // namespace
