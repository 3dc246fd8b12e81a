// The serial port component against the simulated driver: settings and the
// DCB they produce, the open and close sequences, writes, reads, line
// control, error reports and the event path.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "CommTestKit.h"
#include "SimDriver.h"
#include "StdCtrls.h"
#include "pwcomm.h"

using commtest::PumpUntil;

namespace {

// Gives tests the software RTS switching of platforms without RTS toggling.
class TTestComm : public TpwComm {
public:
    using TpwComm::TpwComm;
    void SetSoftwareRTS(bool v) { fIsNotSupportRS485 = v; }
    const DCB& Dcb() {
        EnsureDefaultConfig();
        return CommCfg.dcb;
    }
    void CallDoClose() { DoClose(); }
};

DWORD Flags(const DCB& d) { return GetDcbFlags(d); }

MSG ComEvent(DWORD mask) {
    MSG m = {};
    m.message = MsgComEvent();
    m.wParam = mask;
    return m;
}

class SimComm : public ::testing::Test {
protected:
    void SetUp() override {
        drv.AddPort(L"COM1");
        drv.AddPort(L"COM3");
        comm = std::make_unique<TTestComm>(nullptr);
        comm->SetComPortNo(3);
        comm->SetLog(&log);
        rec.Attach(*comm);
        drv.ClearCalls();
    }
    void TearDown() override { comm.reset(); }

    sim::Port& port() { return drv.port(L"COM3"); }
    void Open() {
        comm->SetActive(true);
        ASSERT_TRUE(comm->Active());
        drv.ClearCalls();
        rec.traceSets.clear();
        rec.codes.clear();
        log.lines.clear();
    }
    DCB LastDcb() {
        auto calls = drv.Calls("SetCommState");
        EXPECT_FALSE(calls.empty());
        return calls.empty() ? DCB{} : calls.back().dcb;
    }

    sim::Driver drv;
    commtest::TRecordingLog log;
    commtest::TRecorder rec;
    std::unique_ptr<TTestComm> comm;
};

// --- constructor defaults and property rules -----------------------------

TEST_F(SimComm, FreshComponentHasTheConstructorDefaults) {
    TpwComm c(nullptr);
    EXPECT_EQ(19200u, c.BaudRate());
    EXPECT_EQ(8, c.ByteSize());
    EXPECT_EQ(pNone, c.Parity());
    EXPECT_EQ(sbOne, c.StopBits());
    EXPECT_EQ(spHardware, c.StreamProtocol());
    EXPECT_EQ(1, c.ComPortNo());
    EXPECT_EQ(cpCOM1, c.ComPort());
    EXPECT_EQ(8192, c.BufferInSize());
    EXPECT_EQ(8192, c.BufferOutSize());
    EXPECT_EQ(0u, c.TimeoutRead());
    EXPECT_EQ(0u, c.TimeoutWrite());
    EXPECT_TRUE(c.TraceStates().Empty());
    EXPECT_TRUE(c.UseMainThread());
    EXPECT_FALSE(c.RS485Mode());
    EXPECT_FALSE(c.Active());
    EXPECT_EQ(L'\0', c.EventChar());
    EXPECT_EQ(L"COM1", c.ComName());
    EXPECT_EQ(epQuickAll, c.EnumPorts());
}

TEST_F(SimComm, ByteSizeOutsideFourToEightReadsEight) {
    for (int v : {3, 9, 0, 255}) {
        comm->SetByteSize(static_cast<std::uint8_t>(v));
        EXPECT_EQ(8, comm->ByteSize()) << v;
    }
    for (int v : {4, 5, 6, 7}) {
        comm->SetByteSize(static_cast<std::uint8_t>(v));
        EXPECT_EQ(v, comm->ByteSize());
    }
}

TEST_F(SimComm, ComPortAndComPortNoFollowEachOther) {
    comm->SetComPortNo(12);
    EXPECT_EQ(cpCOMxx, comm->ComPort());
    EXPECT_EQ(L"COM12", comm->ComName());
    comm->SetComPort(cpCOMxx);
    EXPECT_EQ(12, comm->ComPortNo());
    comm->SetComPort(cpCOM3);
    EXPECT_EQ(3, comm->ComPortNo());
    comm->SetComPortNo(8);
    EXPECT_EQ(cpCOM8, comm->ComPort());
    comm->SetComPortNo(9);
    EXPECT_EQ(cpCOMxx, comm->ComPort());
    comm->SetComPortNo(0);
    EXPECT_EQ(cpCOMxx, comm->ComPort());
}

TEST_F(SimComm, EventCharKeepsTheLowByte) {
    comm->SetEventChar(static_cast<wchar_t>(0x0E41));
    EXPECT_EQ(static_cast<wchar_t>(0x41), comm->EventChar());
    EXPECT_EQ(0x41, static_cast<unsigned char>(comm->Dcb().EvtChar));
}

TEST_F(SimComm, SettingComPortNoTellsListenersEvenWhenClosed) {
    comm->SetComPortNo(3);
    EXPECT_EQ(std::vector<std::int32_t>({3}), rec.codes);
    EXPECT_EQ(0, drv.Count("CreateFileW"));
}

// --- DCB composition --------------------------------------------------------

TEST(DcbFlags, CompositionKeepsOnlyTheKeptBitsAndAddsTheProtocolBits) {
    EXPECT_EQ(0x1011u, ComposeDcbFlags(0, false, spNone));
    EXPECT_EQ(0x1311u, ComposeDcbFlags(0, false, spXonXoff));
    EXPECT_EQ(0x2015u, ComposeDcbFlags(0, false, spHardware));
    EXPECT_EQ(0x3011u, ComposeDcbFlags(0, true, spXonXoff));
    // Every bit outside the kept mask is replaced, every kept bit survives.
    EXPECT_EQ(0x4CEAu | 0x1011u, ComposeDcbFlags(0xFFFFFFFFu, false, spNone));
    EXPECT_EQ(0x4CEAu | 0x2015u, ComposeDcbFlags(0xFFFFFFFFu, false, spHardware));
}

TEST_F(SimComm, AppliedDcbFollowsEachSetting) {
    Open();
    comm->SetStreamProtocol(spXonXoff);
    DCB d = LastDcb();
    EXPECT_EQ(1u, d.fOutX);
    EXPECT_EQ(1u, d.fInX);
    EXPECT_EQ(0u, d.fOutxCtsFlow);
    EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_ENABLE), d.fDtrControl);
    EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_ENABLE), d.fRtsControl);
    EXPECT_EQ(80, d.XonLim);
    EXPECT_EQ(200, d.XoffLim);
    EXPECT_EQ(0x11, d.XonChar);
    EXPECT_EQ(0x13, d.XoffChar);
    EXPECT_EQ(sizeof(DCB), d.DCBlength);

    comm->SetStreamProtocol(spHardware);
    d = LastDcb();
    EXPECT_EQ(0u, d.fOutX);
    EXPECT_EQ(0u, d.fInX);
    EXPECT_EQ(1u, d.fOutxCtsFlow);
    EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_HANDSHAKE), d.fRtsControl);

    comm->SetStreamProtocol(spNone);
    d = LastDcb();
    EXPECT_EQ(0x1011u, Flags(d) & ~0x4CEAu);

    comm->SetRS485Mode(true);
    d = LastDcb();
    EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_TOGGLE), d.fRtsControl);
    EXPECT_EQ(0x3011u, Flags(d) & ~0x4CEAu);
    comm->SetStreamProtocol(spXonXoff);  // RS-485 wins over any protocol
    EXPECT_EQ(0x3011u, Flags(LastDcb()) & ~0x4CEAu);
    comm->SetRS485Mode(false);

    comm->SetParity(pEven);
    d = LastDcb();
    EXPECT_EQ(1u, d.fParity);
    EXPECT_EQ(EVENPARITY, d.Parity);
    comm->SetParity(pNone);
    EXPECT_EQ(0u, LastDcb().fParity);

    comm->SetBaudRate(115200);
    EXPECT_EQ(115200u, LastDcb().BaudRate);
    comm->SetStopBits(sbTwo);
    EXPECT_EQ(TWOSTOPBITS, LastDcb().StopBits);
    comm->SetByteSize(7);
    EXPECT_EQ(7, LastDcb().ByteSize);
}

TEST_F(SimComm, KeptBitsComeFromTheDefaultConfigurationOfCom1ReadOnceWhenFirstNeeded) {
    DCB& def = drv.port(L"COM1").dcb;
    def.fAbortOnError = 1;
    def.fDsrSensitivity = 1;
    def.ErrorChar = 0x3F;
    def.fOutX = 1;       // not kept
    def.fParity = 1;     // the parity setter's
    def.BaudRate = 300;  // the setter's
    TTestComm c(nullptr);
    c.SetComPortNo(3);
    c.SetBaudRate(57600);
    EXPECT_EQ(0, drv.Count("GetDefaultCommConfigW"));
    c.SetActive(true);
    ASSERT_TRUE(c.Active());
    const DCB d = LastDcb();
    EXPECT_EQ(1u, d.fAbortOnError);
    EXPECT_EQ(1u, d.fDsrSensitivity);
    EXPECT_EQ(0x3F, d.ErrorChar);
    EXPECT_EQ(0u, d.fOutX);
    EXPECT_EQ(0u, d.fParity);
    EXPECT_EQ(57600u, d.BaudRate);
    c.SetActive(false);
    c.SetActive(true);
    EXPECT_EQ(1, drv.Count("GetDefaultCommConfigW"));
}

TEST_F(SimComm, OversizedDefaultConfigurationDoesNotOverrunTheRecord) {
    drv.port(L"COM1").configSize = 200;
    drv.port(L"COM1").dcb.fAbortOnError = 1;
    auto c = std::make_unique<TTestComm>(nullptr);
    EXPECT_EQ(sizeof(COMMCONFIG), c->CommConfig().dwSize);
    EXPECT_EQ(1u, c->Dcb().fAbortOnError);
    EXPECT_EQ(19200u, c->BaudRate());
    c.reset();
}

TEST_F(SimComm, SettingsWhileClosedReachTheDeviceAtOpen) {
    comm->SetBaudRate(9600);
    comm->SetStreamProtocol(spNone);
    comm->SetBufferInSize(1024);
    comm->SetTimeoutRead(7);
    comm->SetTimeoutWrite(9);
    EXPECT_EQ(0, drv.Count("SetCommState"));
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    EXPECT_EQ(9600u, port().dcb.BaudRate);
    EXPECT_EQ(0u, port().dcb.fOutxCtsFlow);
    EXPECT_EQ(1024u, port().inQueue);
    EXPECT_EQ(8192u, port().outQueue);
    EXPECT_EQ(7u, port().timeouts.ReadIntervalTimeout);
    EXPECT_EQ(9u, port().timeouts.WriteTotalTimeoutConstant);
    // The receive buffer never shrinks below 8192.
    auto allocs = drv.Calls("LocalAlloc");
    ASSERT_EQ(1u, allocs.size());
    EXPECT_EQ(8192u, allocs[0].b);
    EXPECT_EQ(static_cast<DWORD>(LMEM_ZEROINIT), allocs[0].a);
    EXPECT_EQ(8192u, comm->ReceiveBufferSize());
}

TEST_F(SimComm, SettersWhileOpenApplyAtOnce) {
    Open();
    comm->SetBufferInSize(2048);
    comm->SetBufferOutSize(4096);
    auto setups = drv.Calls("SetupComm");
    ASSERT_EQ(2u, setups.size());
    EXPECT_EQ(2048u, setups[0].a);
    EXPECT_EQ(8192u, setups[0].b);
    EXPECT_EQ(2048u, setups[1].a);
    EXPECT_EQ(4096u, setups[1].b);
    comm->SetTimeoutRead(50);
    EXPECT_EQ(50u, drv.Calls("SetCommTimeouts").back().timeouts.ReadIntervalTimeout);
    // The receive buffer keeps its size until the next open.
    EXPECT_EQ(8192u, comm->ReceiveBufferSize());
}

// --- open and close ------------------------------------------------------------

TEST_F(SimComm, OpenRunsItsStepsInOrder) {
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    auto calls = drv.Calls();
    ASSERT_FALSE(calls.empty());
    const auto& create = calls[static_cast<std::size_t>(drv.IndexOf("CreateFileW"))];
    EXPECT_EQ(L"\\\\?\\COM3", create.name);
    EXPECT_EQ(static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE), create.a);
    EXPECT_EQ(0u, create.b);
    EXPECT_EQ(std::to_string(OPEN_EXISTING) + ":" + std::to_string(FILE_FLAG_OVERLAPPED), create.data);
    const int iCreate = drv.IndexOf("CreateFileW");
    const int iAlloc = drv.IndexOf("LocalAlloc");
    const int iClear = drv.IndexOf("ClearCommError");
    const int iSetup = drv.IndexOf("SetupComm");
    const int iTimeouts = drv.IndexOf("SetCommTimeouts");
    const int iState = drv.IndexOf("SetCommState");
    const int iMask = drv.IndexOf("SetCommMask");
    EXPECT_LT(iCreate, iAlloc);
    EXPECT_LT(iAlloc, iClear);
    EXPECT_LT(iClear, iSetup);
    EXPECT_LT(iSetup, iTimeouts);
    EXPECT_LT(iTimeouts, iState);
    EXPECT_LT(iState, iMask);
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR), calls[static_cast<std::size_t>(iMask)].a);
    EXPECT_EQ(std::vector<std::int32_t>({2}), rec.codes);
    EXPECT_TRUE(log.Has(L"pwComm: The port COM3 is opened succesfully"));
    // Every open first runs the close's line-state report.
    ASSERT_FALSE(rec.traceSets.empty());
    EXPECT_EQ(TTraceStates{tsTxEmpty}.ToBits(), rec.traceSets.front());
}

TEST_F(SimComm, OpeningAnOpenPortDoesNothing) {
    Open();
    comm->SetActive(true);
    EXPECT_EQ(0, drv.Count("CreateFileW"));
    EXPECT_TRUE(rec.codes.empty());
}

TEST_F(SimComm, CloseAbandonsOutputThatNeverLeavesFreesAndTellsListeners) {
    Open();
    port().outQue = 5;  // stays: the line never sends it
    comm->SetActive(false);
    EXPECT_FALSE(comm->Active());
    const int iPurge = drv.IndexOf("PurgeComm");
    ASSERT_GE(iPurge, 0);
    EXPECT_EQ(static_cast<DWORD>(PURGE_TXABORT | PURGE_TXCLEAR), drv.Calls()[static_cast<std::size_t>(iPurge)].a);
    ASSERT_EQ(1u, rec.commErrors.size());
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_TIMEOUT), rec.commErrors[0].sys);
    EXPECT_EQ(5u, comm->LastTransmit().Abandoned);
    EXPECT_LT(iPurge, drv.IndexOf("LocalFree"));
    EXPECT_LT(drv.IndexOf("LocalFree"), drv.IndexOf("CloseHandle"));
    EXPECT_EQ(std::vector<std::int32_t>({1}), rec.codes);
    EXPECT_EQ(1, rec.closed);
    EXPECT_TRUE(log.Has(L"pwComm: The port is closed succesfully"));
    EXPECT_EQ(TTraceStates{tsTxEmpty}.ToBits(), rec.traceSets.back());
    EXPECT_EQ(0, drv.OpenHandles());
    EXPECT_EQ(0, drv.liveAllocs);
}

TEST_F(SimComm, CloseWithNothingUnsentDoesNotPurge) {
    Open();
    comm->SetActive(false);
    EXPECT_EQ(0, drv.Count("PurgeComm"));
    EXPECT_EQ(1, drv.Count("CloseHandle"));
}

TEST_F(SimComm, ClosingAClosedPortOnlyReportsTheLineState) {
    comm->SetActive(false);  // already closed: the template is not even called
    EXPECT_TRUE(rec.traceSets.empty());
    comm->CallDoClose();
    EXPECT_EQ(0, drv.Count("CloseHandle"));
    EXPECT_TRUE(log.lines.empty());
    EXPECT_TRUE(rec.codes.empty());
    EXPECT_EQ(0, rec.closed);
    EXPECT_EQ(std::vector<std::uint32_t>({TTraceStates{tsTxEmpty}.ToBits()}), rec.traceSets);
}

TEST_F(SimComm, ComPortNoChangeOnAnOpenPortClosesAndReopens) {
    drv.AddPort(L"COM4");
    Open();
    comm->SetComPortNo(4);
    EXPECT_TRUE(comm->Active());
    EXPECT_EQ(std::vector<std::int32_t>({1, 2, 3}), rec.codes);
    EXPECT_EQ(L"\\\\?\\COM4", drv.Calls("CreateFileW").back().name);
    rec.codes.clear();
    comm->SetComPortNo(4);  // the same number still reopens
    EXPECT_EQ(std::vector<std::int32_t>({1, 2, 3}), rec.codes);
    EXPECT_EQ(2, drv.Count("CreateFileW"));
}

TEST_F(SimComm, OpenFailureOfAMissingPortRaisesTheOpenErrorText) {
    comm->SetComPortNo(9);
    rec.codes.clear();
    try {
        comm->SetActive(true);
        FAIL() << "no exception";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(L"Device \"COM9\" Open Error !!!\r" + SysErrorText(ERROR_FILE_NOT_FOUND), e.Message());
    }
    EXPECT_FALSE(comm->Active());
    EXPECT_TRUE(rec.codes.empty());
    EXPECT_EQ(0, drv.Count("LocalAlloc"));
    const std::wstring text = L"Device \"COM9\" Open Error !!!\r" + SysErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text, comm->LastErrorString());
    EXPECT_TRUE(log.Has(L"Fatal Error: 1, 0, " + text));
    EXPECT_FALSE(log.Has(L"pwComm: The port COM9 is opened succesfully"));
}

TEST_F(SimComm, OpenFailureOfAPortHeldElsewhereCarriesAccessDenied) {
    port().busy = true;
    rec.vetoFatal = true;
    comm->SetActive(true);  // vetoed: no exception
    EXPECT_FALSE(comm->Active());
    ASSERT_EQ(1u, rec.fatal.size());
    EXPECT_EQ(L"Device \"COM3\" Open Error !!!\r" + SysErrorText(ERROR_ACCESS_DENIED), rec.fatal[0]);
}

TEST_F(SimComm, FailedReceiveBufferAllocationFailsTheOpenCleanly) {
    drv.failAlloc = true;
    EXPECT_THROW(comm->SetActive(true), tk::Exception);
    EXPECT_FALSE(comm->Active());
    EXPECT_EQ(0, rec.opened);
    EXPECT_EQ(0, rec.closed);
    EXPECT_EQ(0, drv.OpenHandles());
    EXPECT_EQ(1, drv.Count("CloseHandle"));
    EXPECT_EQ(0, drv.Count("SetupComm"));
    EXPECT_EQ(0, drv.Count("SetCommState"));
    EXPECT_TRUE(rec.codes.empty());
    EXPECT_EQ(L"Device \"COM3\" Open Error !!!\r" + SysErrorText(ERROR_NOT_ENOUGH_MEMORY),
              comm->LastErrorString());
    drv.failAlloc = false;
    comm->SetActive(true);
    EXPECT_TRUE(comm->Active());
    EXPECT_EQ(1, rec.opened);
}

TEST_F(SimComm, DestroyingAnOpenComponentClosesThePort) {
    Open();
    comm.reset();
    EXPECT_EQ(0, drv.OpenHandles());
    EXPECT_EQ(0, drv.liveAllocs);
}

TEST_F(SimComm, ExternalHandleIsUsedForOneOpen) {
    comm->SetExtHandle(nullptr);
    comm->SetExtHandle(INVALID_HANDLE_VALUE);
    EXPECT_EQ(0u, drv.Calls().size());
    drv.AddPort(L"COM7");
    HANDLE h = pwCommApi().CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    Open();
    drv.ClearCalls();
    comm->SetExtHandle(h);  // closes the open port first
    EXPECT_TRUE(comm->Active());
    EXPECT_EQ(h, comm->Handle());
    EXPECT_EQ(0, drv.Count("CreateFileW"));
    EXPECT_EQ(1, drv.Count("CloseHandle"));
    EXPECT_EQ(std::vector<std::int32_t>({1, 2}), rec.codes);
    comm->SetActive(false);
    EXPECT_FALSE(drv.port(L"COM7").handle);  // the component owned and closed it
    comm->SetActive(true);
    EXPECT_EQ(L"\\\\?\\COM3", drv.Calls("CreateFileW").back().name);
}

TEST_F(SimComm, CommPropRefreshesOnlyWhileOpen) {
    const COMMPROP* p = comm->CommProp();
    EXPECT_EQ(0u, p->dwMaxBaud);
    Open();
    EXPECT_EQ(static_cast<DWORD>(BAUD_115200), comm->CommProp()->dwMaxBaud);
    comm->SetActive(false);
    EXPECT_EQ(static_cast<DWORD>(BAUD_115200), comm->CommProp()->dwMaxBaud);
}

// --- writes --------------------------------------------------------------------

TEST_F(SimComm, WritesOnAClosedPortDoNothing) {
    comm->SendChar(L'a');
    comm->SendString("abc");
    comm->SendData("abc", 3);
    comm->SendAheadChar(L'a');
    EXPECT_EQ(0, drv.Count("WriteFile"));
    EXPECT_EQ(0u, comm->TotalSent());
    EXPECT_TRUE(log.lines.empty());
    EXPECT_TRUE(rec.commErrors.empty());
}

TEST_F(SimComm, SendCharWritesTheLowByte) {
    Open();
    comm->SendChar(static_cast<wchar_t>(0x0E01));
    comm->SendChar(L'\n');
    EXPECT_EQ(std::string("\x01\n"), port().tx);
    EXPECT_EQ(2u, comm->TotalSent());
    EXPECT_TRUE(log.Has(L"pwComm: Try to send char  1h ..."));
    EXPECT_TRUE(log.Has(L"pwComm: Try to send char  Ah ..."));
}

TEST_F(SimComm, SendStringAndSendDataDeliverTheirBytes) {
    Open();
    comm->SendString(std::string("AT\r", 3));
    const unsigned char raw[] = {0x00, 0xFF, 0x10};
    comm->SendData(raw, 3);
    EXPECT_EQ(std::string("AT\r\x00\xFF\x10", 6), port().tx);
    EXPECT_EQ(6u, comm->TotalSent());
    EXPECT_TRUE(log.Has(L"pwComm: Try to send string AT\r ..."));
    EXPECT_TRUE(log.Has(L"pwComm: Try to send the data with 3 length ..."));
    EXPECT_TRUE(log.Has(L"pwComm: ... the data transmittion is OK!"));
}

TEST_F(SimComm, EmptySendStringDoesNothingAtAll) {
    Open();
    comm->SendString("");
    EXPECT_EQ(0, drv.Count("WriteFile"));
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(SimComm, SendDataOfZeroBytesIssuesAZeroLengthWrite) {
    Open();
    comm->SendData(nullptr, 0);
    auto writes = drv.Calls("WriteFile");
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(0u, writes[0].a);
    EXPECT_EQ(0u, comm->TotalSent());
    EXPECT_TRUE(log.Has(L"pwComm: Try to send the data with 0 length ..."));
}

TEST_F(SimComm, SendAheadCharUsesTransmitCommChar) {
    Open();
    comm->SendAheadChar(static_cast<wchar_t>(0x1234));
    EXPECT_EQ(std::string("\x34"), port().ahead);
    EXPECT_EQ(1u, comm->TotalSent());
    EXPECT_EQ(0, drv.Count("WriteFile"));
}

TEST_F(SimComm, RefusedWriteIsReportedAsCommunicationError) {
    Open();
    port().refuseWrites = ERROR_ACCESS_DENIED;
    comm->SendString("x");
    comm->SendChar(L'y');
    comm->SendData("z", 1);
    ASSERT_EQ(3u, rec.commErrors.size());
    for (auto& e : rec.commErrors) {
        EXPECT_EQ(0u, e.code);
        EXPECT_EQ(5u, e.sys);
        EXPECT_EQ(0u, e.state);
    }
    EXPECT_TRUE(log.Has(L"pwComm: Communication Error 0:5 0"));
    EXPECT_EQ(0u, comm->TotalSent());
    EXPECT_TRUE(comm->Active());
    EXPECT_EQ(0, drv.Count("PurgeComm"));  // not asked to flush
}

TEST_F(SimComm, CommErrorHandlerCanFlushBothQueues) {
    Open();
    port().refuseWrites = ERROR_ACCESS_DENIED;
    rec.flashBuffers = true;
    comm->SendString("x");
    auto purges = drv.Calls("PurgeComm");
    ASSERT_EQ(1u, purges.size());
    EXPECT_EQ(0x000Fu, purges[0].a);
    EXPECT_EQ(1, drv.Count("CancelIo"));
}

TEST_F(SimComm, SendDataKeepsItsBytesAndRecordUntilTheDriverTookThem) {
    Open();
    port().pendWrites = true;
    char buffer[4] = {'a', 'b', 'c', 'd'};
    comm->SendData(buffer, 4);
    EXPECT_EQ(1u, drv.PendingWrites());
    std::memset(buffer, 'X', sizeof(buffer));  // the caller reuses its buffer at once
    comm->SendData(buffer, 2);
    // The first write was finished before its record was used again.
    const int iWait = drv.IndexOf("GetOverlappedResult");
    ASSERT_GE(iWait, 0);
    EXPECT_LT(drv.IndexOf("WriteFile"), iWait);
    EXPECT_LT(iWait, drv.IndexOf("WriteFile", iWait));
    drv.CompletePendingWrites();
    EXPECT_EQ(std::string("abcdXX"), port().tx);
    EXPECT_TRUE(comm->DrainOutput());  // learns that the second write completed
    EXPECT_EQ(6u, comm->TotalSent());
}

TEST_F(SimComm, CloseFinishesAWriteStillInFlight) {
    Open();
    port().pendWrites = true;
    comm->SendData("abcd", 4);
    comm->SetActive(false);
    EXPECT_EQ(0u, drv.PendingWrites());
    EXPECT_EQ(std::string("abcd"), port().tx);
    EXPECT_EQ(0, drv.Count("PurgeComm"));
    EXPECT_LT(drv.IndexOf("GetOverlappedResult"), drv.IndexOf("CloseHandle"));
    // A new open starts with a free record.
    port().pendWrites = false;
    comm->SetActive(true);
    comm->SendData("ok", 2);
    EXPECT_EQ(std::string("abcdok"), port().tx);
}

// --- reads -----------------------------------------------------------------------

TEST_F(SimComm, ReadsOfQueuedBytes) {
    Open();
    drv.Receive(L"COM3", "hello world");
    EXPECT_EQ(11u, comm->ReadyForRead());
    char buf[32] = {};
    EXPECT_EQ(5, comm->ReadMax(buf, 5));
    EXPECT_EQ(std::string("hello"), std::string(buf, 5));
    EXPECT_EQ(6, comm->ReadMax(buf, 100));  // above the queue: the queue count
    EXPECT_EQ(std::string(" world"), std::string(buf, 6));
    EXPECT_EQ(0, comm->ReadMax(buf, 100));
    drv.Receive(L"COM3", "xyz");
    EXPECT_EQ(std::string("xyz"), comm->ReadString());
    EXPECT_EQ(std::string(), comm->ReadString());
}

TEST_F(SimComm, ReadsNeverAskForMoreThanTheBufferHolds) {
    Open();
    drv.Receive(L"COM3", "0123456789");
    char buf[4] = {};
    drv.ClearCalls();
    EXPECT_EQ(0, comm->ReadMax(buf, -1));
    EXPECT_EQ(0, comm->ReadMax(buf, 0));
    comm->Read(buf, static_cast<std::uint32_t>(-4));  // a length from a negative count
    comm->Read(nullptr, 4);
    EXPECT_EQ(0, drv.Count("ReadFile"));
    comm->ReadAll(buf, sizeof(buf));  // ten queued, four fit
    auto reads = drv.Calls("ReadFile");
    ASSERT_EQ(1u, reads.size());
    EXPECT_EQ(4u, reads[0].a);
    EXPECT_EQ(6u, comm->ReadyForRead());
}

TEST_F(SimComm, ReadsOnAClosedPortFindNothing) {
    char buf[4];
    EXPECT_EQ(0u, comm->ReadyForRead());
    EXPECT_EQ(0u, comm->NotYetSend());
    EXPECT_EQ(0, comm->ReadMax(buf, 4));
    EXPECT_EQ(std::string(), comm->ReadString());
    EXPECT_FALSE(comm->WaitForBytes(0, 10));
    EXPECT_FALSE(comm->WaitForSignal(msCTS, 10));
    EXPECT_TRUE(comm->ModemSignals().Empty());
}

TEST_F(SimComm, WaitForBytesSucceedsAtOnceForZeroAndRestoresTraceStates) {
    comm->SetTraceStates(TTraceStates{tsRxChar, tsCTS});
    Open();
    EXPECT_TRUE(comm->WaitForBytes(0, 0));
    auto masks = drv.Calls("SetCommMask");
    ASSERT_EQ(2u, masks.size());
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_CTS), masks[0].a);  // tsRxChar dropped; EV_RXCHAR stays
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_CTS), masks[1].a);
    EXPECT_EQ((TTraceStates{tsRxChar, tsCTS}), comm->TraceStates());
}

TEST_F(SimComm, WaitForBytesSeesQueuedBytesOrGivesUp) {
    Open();
    drv.Receive(L"COM3", "abc");
    EXPECT_TRUE(comm->WaitForBytes(3, 1000));
    EXPECT_FALSE(comm->WaitForBytes(4, 20));
    EXPECT_EQ(3u, comm->ReadyForRead());  // nobody read them
}

// --- line control and line state ------------------------------------------------

TEST_F(SimComm, LineControlDrivesTheLinesAndReports) {
    Open();
    comm->SetStateDTR(true);
    comm->SetStateRTS(true);
    comm->SetStateX(true);
    comm->SetStateX(false);
    comm->SetStateBreak(true);
    comm->SetStateBreak(false);
    comm->SetStateRTS(false);
    comm->SetStateDTR(false);
    std::vector<DWORD> fns;
    for (auto& c : drv.Calls("EscapeCommFunction")) fns.push_back(c.a);
    EXPECT_EQ(std::vector<DWORD>({SETDTR, SETRTS, SETXON, SETXOFF, SETBREAK, CLRBREAK, CLRRTS, CLRDTR}), fns);
    EXPECT_EQ(std::vector<std::uint32_t>({TTraceStates{tsDSR}.ToBits(), TTraceStates{tsCTS}.ToBits(),
                                          TTraceStates{tsCTS}.ToBits(), TTraceStates{tsDSR}.ToBits()}),
              rec.traceSets);
    comm->SetActive(false);
    drv.ClearCalls();
    comm->SetStateDTR(true);
    comm->SetStateBreak(true);
    EXPECT_EQ(0, drv.Count("EscapeCommFunction"));
}

TEST_F(SimComm, ModemSignalsMapTheStatusBits) {
    Open();
    drv.SetModem(L"COM3", MS_CTS_ON | MS_RLSD_ON);
    EXPECT_EQ((TModemSignals{msCTS, msRLSD}), comm->ModemSignals());
    drv.SetModem(L"COM3", MS_DSR_ON | MS_RING_ON);
    EXPECT_EQ((TModemSignals{msDSR, msRing}), comm->ModemSignals());
    port().linesUnsupported = true;  // a pty under Wine
    EXPECT_TRUE(comm->ModemSignals().Empty());
}

TEST_F(SimComm, MonitorsMirrorTheLinesAndTheRingStaysChecked) {
    commtest::TFakeCheckBox cts, dsr, rlsd, ring;
    comm->SetMonitorCTS(&cts);
    comm->SetMonitorDSR(&dsr);
    comm->SetMonitorRLSD(&rlsd);
    comm->SetMonitorRing(&ring);
    Open();
    drv.SetModem(L"COM3", MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON);
    comm->ProcessCommEvent(ComEvent(EV_RING | EV_CTS));
    EXPECT_TRUE(cts.checked);
    EXPECT_TRUE(dsr.checked);
    EXPECT_TRUE(rlsd.checked);
    EXPECT_TRUE(ring.checked);
    drv.SetModem(L"COM3", MS_DSR_ON);
    comm->ProcessCommEvent(ComEvent(EV_CTS));
    EXPECT_FALSE(cts.checked);
    EXPECT_TRUE(dsr.checked);
    EXPECT_TRUE(ring.checked);  // only ever set
    comm->SetActive(false);
    EXPECT_FALSE(dsr.checked);
    EXPECT_FALSE(cts.checked);
    EXPECT_FALSE(rlsd.checked);
    EXPECT_TRUE(ring.checked);
    EXPECT_EQ(TTraceStates{tsTxEmpty}.ToBits(), rec.traceSets.back());
}

TEST_F(SimComm, ACheckBoxServesAsMonitor) {
    tk::TCheckBox box(nullptr);
    comm->SetMonitorDSR(&box);
    Open();
    drv.SetModem(L"COM3", MS_DSR_ON);
    comm->SetStateDTR(true);
    EXPECT_TRUE(box.Checked());
    comm->SetActive(false);
    EXPECT_FALSE(box.Checked());
}

TEST_F(SimComm, DestroyedMonitorIsDropped) {
    auto cts = std::make_unique<commtest::TFakeCheckBox>();
    comm->SetMonitorCTS(cts.get());
    cts.reset();
    EXPECT_EQ(nullptr, comm->MonitorCTS());
    Open();
    comm->SetStateRTS(true);  // reports without touching the gone control
    EXPECT_TRUE(comm->Active());
}

TEST_F(SimComm, TraceStatesMapToTheEventMask) {
    EXPECT_EQ(static_cast<std::uint32_t>(EV_RXCHAR), TraceStatesToEventMask(TTraceStates(), false));
    EXPECT_EQ(static_cast<std::uint32_t>(EV_RXCHAR | EV_RX80FULL),
              TraceStatesToEventMask(TTraceStates{tsRx80Full}, false));
    EXPECT_EQ(static_cast<std::uint32_t>(EV_RXCHAR | EV_EVENT1 | EV_EVENT2 | EV_RING),
              TraceStatesToEventMask(TTraceStates{tsEvent1, tsEvent2, tsRing}, false));
    EXPECT_EQ(static_cast<std::uint32_t>(EV_RXCHAR | EV_TXEMPTY), TraceStatesToEventMask(TTraceStates(), true));
    EXPECT_EQ((TTraceStates{tsRx80Full, tsCTS}), EventMaskToTraceStates(EV_RX80FULL | EV_CTS | EV_RXCHAR | EV_TXEMPTY));
    EXPECT_TRUE(EventMaskToTraceStates(EV_PERR).Empty());
    Open();
    comm->SetTraceStates(TTraceStates{tsRx80Full});
    EXPECT_EQ(0x0401u, drv.Calls("SetCommMask").back().a);
    EXPECT_EQ(TTraceStates{tsRx80Full}, comm->TraceStates());
}

// --- purges -------------------------------------------------------------------------

TEST_F(SimComm, PurgesUseTheirFlags) {
    Open();
    comm->ClearDeviceInput();
    comm->ClearDeviceOutput();
    comm->ClearDeviceBuffers();
    comm->FlushOutputBuffer();
    auto purges = drv.Calls("PurgeComm");
    ASSERT_EQ(3u, purges.size());
    EXPECT_EQ(0x000Au, purges[0].a);
    EXPECT_EQ(0x0005u, purges[1].a);
    EXPECT_EQ(0x000Fu, purges[2].a);
    EXPECT_EQ(1, drv.Count("CancelIo"));
    EXPECT_EQ(0, drv.Count("FlushFileBuffers"));  // unbounded on a held line: never used
    EXPECT_LT(drv.IndexOf("PurgeComm", drv.IndexOf("PurgeComm", drv.IndexOf("PurgeComm") + 1) + 1),
              drv.IndexOf("CancelIo"));
    comm->SetActive(false);
    drv.ClearCalls();
    comm->ClearDeviceBuffers();
    comm->FlushOutputBuffer();
    EXPECT_TRUE(drv.Calls().empty());
}

// --- connection test --------------------------------------------------------------

TEST_F(SimComm, InitDeviceConnectWithADeviceThatAnswersDsr) {
    port().dsrFollowsDtr = true;
    Open();
    comm->InitDeviceConnect();
    EXPECT_TRUE(port().dtr);
    EXPECT_TRUE(port().rts);
    EXPECT_TRUE(log.Has(L"pwComm: The device connection was succesful tested"));
    EXPECT_EQ(0x000Fu, drv.Calls("PurgeComm").front().a);
}

TEST_F(SimComm, InitDeviceConnectWithoutDsrIsAFatalError) {
    Open();
    try {
        comm->InitDeviceConnect();
        FAIL() << "no exception";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(L"Device Connect Initialization Error", e.Message());
    }
    EXPECT_TRUE(port().dtr);
    EXPECT_FALSE(port().rts);
    EXPECT_TRUE(log.Has(L"Fatal Error: 1, 0, Device Connect Initialization Error"));
    EXPECT_TRUE(comm->Active());
    comm->SetActive(false);
    drv.ClearCalls();
    comm->InitDeviceConnect();  // closed: nothing
    EXPECT_TRUE(drv.Calls().empty());
}

// --- RS-485 emulation -----------------------------------------------------------

class SimRS485 : public SimComm {
protected:
    void SetUp() override {
        SimComm::SetUp();
        comm->SetSoftwareRTS(true);
        comm->SetRS485Mode(true);
        // Note where each line-state report falls among the driver calls.
        rec.onTraceHook = [this](std::uint32_t bits) {
            marks.push_back({bits, static_cast<int>(drv.Calls().size())});
        };
    }
    struct Mark {
        std::uint32_t bits;
        int at;
    };
    std::vector<Mark> marks;
};

TEST_F(SimRS485, EverySendRaisesRtsAndReportsCtsBeforeTheBytes) {
    Open();
    marks.clear();
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY), port().mask);
    comm->SendString("abc");
    const int iRts = drv.IndexOf("EscapeCommFunction");
    const int iWrite = drv.IndexOf("WriteFile");
    ASSERT_GE(iRts, 0);
    EXPECT_EQ(static_cast<DWORD>(SETRTS), drv.Calls()[static_cast<std::size_t>(iRts)].a);
    ASSERT_EQ(1u, marks.size());
    EXPECT_EQ(TTraceStates{tsCTS}.ToBits(), marks[0].bits);
    EXPECT_GT(marks[0].at, iRts);
    EXPECT_LE(marks[0].at, iWrite);
    for (auto send : {+[](TpwCustomComm& c) { c.SendChar(L'a'); },
                      +[](TpwCustomComm& c) { c.SendData("a", 1); },
                      +[](TpwCustomComm& c) { c.SendAheadChar(L'a'); }}) {
        drv.ClearCalls();
        send(*comm);
        auto calls = drv.Calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ("EscapeCommFunction", calls[0].fn);
        EXPECT_EQ(static_cast<DWORD>(SETRTS), calls[0].a);
    }
}

TEST_F(SimRS485, RtsIsLoweredOnErrorsPurgesAndAnEmptyTransmitQueue) {
    Open();
    port().refuseWrites = ERROR_ACCESS_DENIED;
    comm->SendString("x");
    EXPECT_FALSE(port().rts);
    port().refuseWrites = 0;
    comm->SendString("x");
    EXPECT_TRUE(port().rts);
    comm->ClearDeviceOutput();
    EXPECT_FALSE(port().rts);
    comm->SendString("x");
    comm->ClearDeviceBuffers();
    EXPECT_FALSE(port().rts);
    comm->SendString("x");
    comm->ProcessCommEvent(ComEvent(EV_TXEMPTY));
    EXPECT_FALSE(port().rts);
    EXPECT_EQ(0, rec.sent);  // tsTxEmpty not asked for
}

// --- the event handler --------------------------------------------------------------

TEST_F(SimComm, LineErrorIsReportedAndTheDataWaitsForTheNextEvent) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    Open();
    drv.Receive(L"COM3", "abc");
    port().errors = CE_FRAME;
    port().statFlags = 0x03;
    comm->ProcessCommEvent(ComEvent(EV_RXCHAR | EV_ERR));
    ASSERT_EQ(1u, rec.commErrors.size());
    EXPECT_EQ(static_cast<std::uint32_t>(CE_FRAME), rec.commErrors[0].code);
    EXPECT_EQ(0u, rec.commErrors[0].sys);
    EXPECT_EQ(0x03u, rec.commErrors[0].state);
    EXPECT_TRUE(log.Has(L"pwComm: Communication Error 8:0 3"));
    EXPECT_TRUE(rec.received.empty());
    comm->ProcessCommEvent(ComEvent(EV_RXCHAR));
    EXPECT_EQ("abc", rec.received);
    EXPECT_EQ(3u, comm->TotalReceived());
}

TEST_F(SimComm, ReceivedBlocksNeverExceedTheReceiveBuffer) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    Open();
    std::string big(20000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    drv.Receive(L"COM3", big);
    comm->ProcessCommEvent(ComEvent(EV_RXCHAR));
    EXPECT_EQ(big, rec.received);
    for (auto n : rec.blockSizes) EXPECT_LE(n, 8192u);
    for (auto& r : drv.Calls("ReadFile")) EXPECT_LE(r.a, 8192u);
    EXPECT_EQ(20000u, comm->TotalReceived());
}

TEST_F(SimComm, ASlowReceiverLetsTheThreadBreatheBetweenPiecesAndLosesNothing) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    rec.onReceiveHook = [] { ::Sleep(30); };
    Open();
    std::string big(20000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13);
    drv.Receive(L"COM3", big);
    comm->ProcessCommEvent(ComEvent(EV_RXCHAR));
    // One piece, then the rest is left to a follow-up event.
    EXPECT_EQ(8192u, rec.received.size());
    EXPECT_TRUE(commtest::PumpUntil([&] { return rec.received.size() >= big.size(); }));
    EXPECT_EQ(big, rec.received);
}

TEST_F(SimComm, WithoutReceiverTheBytesStayQueuedButAreCounted) {
    Open();
    drv.Receive(L"COM3", "abcd");
    comm->ProcessCommEvent(ComEvent(EV_RXCHAR));
    comm->ProcessCommEvent(ComEvent(EV_RXCHAR));
    EXPECT_EQ(0, drv.Count("ReadFile"));
    EXPECT_EQ(8u, comm->TotalReceived());
    EXPECT_EQ(std::string("abcd"), comm->ReadString());
}

TEST_F(SimComm, ExceptionInAReceiveCallbackBecomesAShownFatalError) {
    commtest::TMessageBoxCatcher boxes;
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    rec.onReceiveHook = [] { throw tk::Exception(L"receiver broke"); };
    Open();
    drv.Receive(L"COM3", "abc");
    comm->ProcessCommEvent(ComEvent(EV_RXCHAR | EV_CTS));
    ASSERT_EQ(1u, boxes.boxes.size());
    EXPECT_EQ(L"receiver broke", boxes.boxes[0].text);
    EXPECT_EQ(L"Application Error", boxes.boxes[0].caption);
    EXPECT_TRUE(rec.traceSets.empty());  // the rest of the event was skipped
    EXPECT_TRUE(comm->Active());
}

TEST_F(SimComm, TransmitQueueEmptyCallsOnAfterSendOnlyWhenAskedFor) {
    comm->SetOnAfterSend(TOnSent(&rec, &commtest::TRecorder::Sent));
    Open();
    comm->ProcessCommEvent(ComEvent(EV_TXEMPTY));
    EXPECT_EQ(0, rec.sent);
    comm->SetTraceStates(TTraceStates{tsTxEmpty});
    comm->ProcessCommEvent(ComEvent(EV_TXEMPTY));
    EXPECT_EQ(1, rec.sent);
    EXPECT_TRUE(rec.traceSets.empty());  // EV_TXEMPTY is not a line-state event
    comm->ProcessCommEvent(ComEvent(EV_CTS | EV_DSR));
    EXPECT_EQ(std::vector<std::uint32_t>({TTraceStates{tsCTS, tsDSR}.ToBits()}), rec.traceSets);
}

// --- the threads --------------------------------------------------------------------

TEST_F(SimComm, ReceivedBytesReachTheCallbackThroughTheThreads) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    Open();
    drv.Receive(L"COM3", "ping");
    EXPECT_TRUE(PumpUntil([&] { return rec.received == "ping"; }));
    drv.Receive(L"COM3", "pong");
    EXPECT_TRUE(PumpUntil([&] { return rec.received == "pingpong"; }));
    EXPECT_EQ(8u, comm->TotalReceived());
}

TEST_F(SimComm, BytesArrivingWhileTheDriverWaitStallsAreStillDelivered) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    Open();
    drv.ReceiveSilently(L"COM3", "late reply");
    EXPECT_TRUE(PumpUntil([&] { return rec.received == "late reply"; }));
    EXPECT_EQ(10u, comm->TotalReceived());
    EXPECT_TRUE(comm->Active());
}

TEST_F(SimComm, LineErrorsFoundByTheQueueCheckAreStillReported) {
    Open();
    drv.ReceiveSilently(L"COM3", "x", CE_FRAME);
    EXPECT_TRUE(PumpUntil([&] { return !rec.commErrors.empty(); }));
    ASSERT_FALSE(rec.commErrors.empty());
    EXPECT_EQ(static_cast<DWORD>(CE_FRAME), rec.commErrors[0].code);
}

// A driver whose waits always end cancelled (a pty under Wine) must neither
// keep a core busy re-arming them nor leave arriving bytes or line errors
// unseen while the event thread pauses between waits.
TEST_F(SimComm, ADriverThatCancelsEveryWaitIsWatchedWithoutSpinning) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    port().cancelWaits = true;
    Open();
    ::Sleep(300);  // the pauses have grown to their longest
    const int before = drv.Count("WaitCommEvent");
    ::Sleep(500);
    EXPECT_LT(drv.Count("WaitCommEvent") - before, 100) << "waits re-armed without a pause";

    drv.ReceiveSilently(L"COM3", "after a quiet while");
    EXPECT_TRUE(PumpUntil([&] { return rec.received == "after a quiet while"; }));
    ::Sleep(300);
    drv.ReceiveSilently(L"COM3", "", CE_OVERRUN);
    EXPECT_TRUE(PumpUntil([&] { return !rec.commErrors.empty(); }));
    ASSERT_FALSE(rec.commErrors.empty());
    EXPECT_EQ(static_cast<DWORD>(CE_OVERRUN), rec.commErrors[0].code);
    EXPECT_TRUE(comm->Active());
}

// Such a driver reports received characters at every wait while bytes are
// queued. Bytes that nobody reads (no receiver) are news once, not at every
// wait: no spinning, each byte counted as on a driver whose waits work.
TEST_F(SimComm, UnreadBytesOnADriverThatCancelsEveryWaitAreReportedOnce) {
    port().cancelWaits = true;
    Open();
    drv.ReceiveSilently(L"COM3", "abcd");
    EXPECT_TRUE(PumpUntil([&] { return comm->TotalReceived() > 0; }));
    const int before = drv.Count("WaitCommEvent");
    PumpUntil([] { return false; }, 500);
    EXPECT_EQ(4u, comm->TotalReceived());
    EXPECT_LT(drv.Count("WaitCommEvent") - before, 100) << "waits re-armed without a pause";
    drv.ReceiveSilently(L"COM3", "ef");
    EXPECT_TRUE(PumpUntil([&] { return comm->TotalReceived() > 4; }));
    EXPECT_EQ("abcdef", comm->ReadString());
}

TEST_F(SimComm, ReceiveOnTheMessageThreadWhenNotUsingTheMainThread) {
    comm->SetUseMainThread(false);
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    Open();
    drv.Receive(L"COM3", "data");
    // No pumping needed: the handler runs on the message thread.
    const DWORD start = ::GetTickCount();
    while (comm->TotalReceived() < 4 && ::GetTickCount() - start < 10000) ::Sleep(1);
    comm->SetActive(false);  // waits for both threads
    EXPECT_EQ("data", rec.received);
}

TEST_F(SimComm, LineEventsReachOnTraceStateThroughTheThreads) {
    comm->SetTraceStates(TTraceStates{tsCTS});
    Open();
    drv.SetModem(L"COM3", MS_CTS_ON);
    EXPECT_TRUE(PumpUntil([&] { return !rec.traceSets.empty(); }));
    EXPECT_EQ(TTraceStates{tsCTS}.ToBits(), rec.traceSets[0]);
}

TEST_F(SimComm, APortThatVanishesIsShutDownWithoutPurging) {
    Open();
    port().outQue = 3;
    drv.Vanish(L"COM3");
    EXPECT_TRUE(PumpUntil([&] { return !comm->IsDeviceOpen(); }));
    // Closed, then told apart from a close the program asked for.
    EXPECT_EQ(std::vector<std::int32_t>({pwNotifyClosed, pwNotifyLost}), rec.codes);
    EXPECT_EQ(1, rec.closed);
    EXPECT_EQ(0, drv.Count("PurgeComm"));
    EXPECT_EQ(1, drv.Count("CloseHandle"));
    EXPECT_FALSE(log.Has(L"pwComm: The port is closed succesfully"));
    EXPECT_EQ(0, drv.liveAllocs);
    // The component can be opened again once the device is back.
    drv.port(L"COM3").vanishedError = 0;
    drv.port(L"COM3").waitFails = 0;
    comm->SetActive(true);
    EXPECT_TRUE(comm->Active());
}

TEST_F(SimComm, APortThatStopsAnsweringDuringAPendingWaitIsShutDown) {
    Open();
    ::Sleep(20);  // the event thread's wait is pending
    drv.StopAnswering(L"COM3");
    EXPECT_TRUE(PumpUntil([&] { return !comm->IsDeviceOpen(); }));
    EXPECT_EQ(1, rec.closed);
    EXPECT_EQ(1, drv.Count("CloseHandle"));
}

TEST_F(SimComm, APortThatStopsAnsweringBetweenCancelledWaitsIsShutDown) {
    port().cancelWaits = true;
    Open();
    ::Sleep(200);
    drv.StopAnswering(L"COM3");
    EXPECT_TRUE(PumpUntil([&] { return !comm->IsDeviceOpen(); }));
    EXPECT_EQ(1, rec.closed);
}

TEST_F(SimComm, ClosingWhileEventsAreQueuedSkipsTheirHandling) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    Open();
    for (int i = 0; i < 20; ++i) drv.Receive(L"COM3", "x");
    // Nothing pumped: handovers are pending while the close runs.
    comm->SetActive(false);
    EXPECT_FALSE(comm->Active());
    tk::Application().ProcessMessages();
    EXPECT_LE(rec.received.size(), 20u);
}

TEST_F(SimComm, ACallbackThatClosesThePortDoesNotWaitForItself) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    rec.onReceiveHook = [this] { comm->SetActive(false); };
    Open();
    drv.Receive(L"COM3", "bye");
    // The close runs once the event is handled, on the main loop.
    EXPECT_TRUE(PumpUntil([&] { return !comm->IsDeviceOpen(); }));
    EXPECT_EQ("bye", rec.received);
    EXPECT_EQ(std::vector<std::int32_t>({1}), rec.codes);
    EXPECT_TRUE(log.Has(L"pwComm: The port is closed succesfully"));
}

TEST_F(SimComm, ACallbackOnTheMessageThreadCanCloseThePort) {
    comm->SetUseMainThread(false);
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    rec.onReceiveHook = [this] { comm->SetActive(false); };
    Open();
    drv.Receive(L"COM3", "bye");
    EXPECT_TRUE(PumpUntil([&] { return !comm->IsDeviceOpen(); }));
    EXPECT_EQ(std::vector<std::int32_t>({1}), rec.codes);
}

TEST_F(SimComm, APortChangeFromALineEventReopensAfterTheEvent) {
    drv.AddPort(L"COM4");
    comm->SetTraceStates(TTraceStates{tsCTS});
    Open();
    rec.onTraceHook = [this](std::uint32_t) {
        if (comm->ComPortNo() == 3) comm->SetComPortNo(4);
    };
    comm->ProcessCommEvent(ComEvent(EV_CTS));
    EXPECT_EQ(std::vector<std::int32_t>({3}), rec.codes);  // told at once, reopened later
    EXPECT_TRUE(PumpUntil([&] { return rec.codes.size() >= 3; }));
    EXPECT_EQ(std::vector<std::int32_t>({3, 1, 2}), rec.codes);
    EXPECT_TRUE(comm->Active());
    EXPECT_EQ(L"\\\\?\\COM4", drv.Calls("CreateFileW").back().name);
}

// A close asked for in a callback completes once the handler has returned,
// whatever message loops ran inside it: a polling wait, the modal error box.
TEST_F(SimComm, ACloseAskedInACallbackCompletesAfterTheLoopsInsideTheHandler) {
    commtest::TMessageBoxCatcher boxes(true);
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    rec.onReceiveHook = [this] {
        comm->SetActive(false);
        comm->WaitForBytes(100, 100);
    };
    Open();
    drv.Receive(L"COM3", "a");
    EXPECT_TRUE(PumpUntil([&] { return !comm->IsDeviceOpen(); }));
    EXPECT_EQ(std::vector<std::int32_t>({1}), rec.codes);

    rec.onReceiveHook = [this] {
        comm->SetActive(false);
        throw tk::Exception(L"closed and failed");
    };
    Open();
    drv.Receive(L"COM3", "b");
    EXPECT_TRUE(PumpUntil([&] { return !comm->IsDeviceOpen(); }));
    EXPECT_EQ(std::vector<std::int32_t>({1}), rec.codes);
    ASSERT_EQ(1u, boxes.boxes.size());
    EXPECT_EQ(L"closed and failed", boxes.boxes[0].text);
    EXPECT_EQ(0, drv.OpenHandles());
}

// The shutdown after a device failure that arrives while a callback runs a
// message loop must not wait there for the thread the callback blocks.
TEST_F(SimComm, ADeviceFailureSeenInsideACallbacksLoopShutsThePortDownAfterIt) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    rec.onReceiveHook = [this] {
        drv.Vanish(L"COM3");
        comm->WaitForBytes(100, 300);
    };
    Open();
    drv.Receive(L"COM3", "a");
    EXPECT_TRUE(PumpUntil([&] { return !comm->IsDeviceOpen(); }));
    EXPECT_EQ(1, rec.closed);
    EXPECT_EQ(0, drv.OpenHandles());
    EXPECT_EQ(0, drv.liveAllocs);
}

TEST_F(SimComm, NothingMoreIsDeliveredOnceACallbackAskedForTheClose) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    comm->SetOnAfterSend(TOnSent(&rec, &commtest::TRecorder::Sent));
    comm->SetTraceStates(TTraceStates{tsTxEmpty, tsCTS});
    rec.onReceiveHook = [this] { comm->SetActive(false); };
    Open();
    drv.ReceiveSilently(L"COM3", std::string(20000, 'x'));
    comm->ProcessCommEvent(ComEvent(EV_RXCHAR | EV_TXEMPTY | EV_CTS));
    EXPECT_EQ(std::vector<std::uint32_t>({8192u}), rec.blockSizes);
    EXPECT_EQ(0, rec.sent);
    EXPECT_TRUE(rec.traceSets.empty());
    // Nor by a later event handled before the close has run.
    comm->ProcessCommEvent(ComEvent(EV_RXCHAR | EV_CTS));
    EXPECT_EQ(1u, rec.blockSizes.size());
    EXPECT_TRUE(rec.traceSets.empty());
    EXPECT_TRUE(PumpUntil([&] { return !comm->IsDeviceOpen(); }));
    EXPECT_EQ(1u, rec.blockSizes.size());
    EXPECT_EQ(std::vector<std::uint32_t>({TTraceStates{tsTxEmpty}.ToBits()}), rec.traceSets);
}

TEST_F(SimComm, AnExternalHandleGivenInACallbackIsOpenedAfterTheEvent) {
    drv.AddPort(L"COM7");
    HANDLE h = pwCommApi().CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    comm->SetTraceStates(TTraceStates{tsCTS});
    Open();
    rec.onTraceHook = [&](std::uint32_t bits) {
        if (bits == TTraceStates{tsCTS}.ToBits()) comm->SetExtHandle(h);
    };
    comm->ProcessCommEvent(ComEvent(EV_CTS));
    EXPECT_TRUE(PumpUntil([&] { return comm->Handle() == h; }));
    EXPECT_TRUE(comm->Active());
    EXPECT_EQ(std::vector<std::int32_t>({1, 2}), rec.codes);
    EXPECT_FALSE(port().handle);
}

// The component's threads end with it when it is destroyed from inside the
// handling of an event, on the main thread or on the message thread.
TEST_F(SimComm, DestroyingTheComponentFromItsCallbackStopsItsThreads) {
    const DWORD threads = commtest::ThreadCount();
    for (bool onMainThread : {true, false}) {
        if (!comm) {
            comm = std::make_unique<TTestComm>(nullptr);
            comm->SetComPortNo(3);
            rec.Attach(*comm);
        }
        comm->SetUseMainThread(onMainThread);
        comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
        std::atomic<bool> destroyed{false};
        rec.onReceiveHook = [&] {
            comm.reset();
            destroyed = true;
        };
        Open();
        drv.Receive(L"COM3", "bye");
        EXPECT_TRUE(PumpUntil([&] { return destroyed && commtest::ThreadCount() <= threads; })) << onMainThread;
        EXPECT_EQ(0, drv.OpenHandles());
        EXPECT_EQ(0, drv.liveAllocs);
        EXPECT_EQ(std::vector<std::int32_t>({1}), rec.codes);
        rec.onReceiveHook = nullptr;
    }
}

TEST_F(SimComm, DestroyingTheComponentWaitsForAnEventTheMessageThreadHandles) {
    const DWORD threads = commtest::ThreadCount();
    comm->SetUseMainThread(false);
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    std::atomic<bool> inside{false}, destroying{false};
    rec.onReceiveHook = [&] {
        inside = true;
        while (!destroying) ::Sleep(1);
        ::Sleep(50);  // the destruction is under way meanwhile
    };
    Open();
    drv.Receive(L"COM3", std::string(10000, 'y'));
    ASSERT_TRUE(PumpUntil([&] { return inside.load(); }));
    destroying = true;
    comm.reset();
    EXPECT_EQ(10000u, rec.received.size());
    EXPECT_EQ(0, drv.OpenHandles());
    EXPECT_EQ(0, drv.liveAllocs);
    EXPECT_TRUE(PumpUntil([&] { return commtest::ThreadCount() <= threads; }));
}

// Bytes nobody reads stay queued while the driver's wait stays pending: the
// queue check reports them once, and again only when more have arrived.
TEST_F(SimComm, QueuedInputIsReportedOnlyWhenTheQueueGrew) {
    Open();
    ::Sleep(20);  // the event thread's wait is pending
    drv.ReceiveSilently(L"COM3", "abcd");
    EXPECT_TRUE(PumpUntil([&] { return comm->TotalReceived() > 0; }));
    drv.ClearCalls();
    EXPECT_TRUE(PumpUntil([&] { return drv.Count("ClearCommError") >= 8; }));  // checks of the queue
    EXPECT_EQ(4u, comm->TotalReceived());
    drv.ReceiveSilently(L"COM3", "ef");
    EXPECT_TRUE(PumpUntil([&] { return comm->TotalReceived() > 4; }));
    drv.ClearCalls();
    EXPECT_TRUE(PumpUntil([&] { return drv.Count("ClearCommError") >= 8; }));
    EXPECT_EQ(10u, comm->TotalReceived());  // the whole queue once more
    EXPECT_EQ("abcdef", comm->ReadString());
}

// A line error that only the queue check found is reported as such; it is
// no line event for OnTraceState when tsErr was not asked for.
TEST_F(SimComm, ALineErrorFoundByTheQueueCheckIsNoLineEventUnlessAskedFor) {
    Open();
    ::Sleep(20);
    drv.Receive(L"COM3", "a");  // its event waits for the main thread
    drv.ReceiveSilently(L"COM3", "", CE_FRAME);
    drv.ClearCalls();
    const DWORD start = ::GetTickCount();
    while (drv.Count("ClearCommError") == 0 && ::GetTickCount() - start < 10000) ::Sleep(1);
    EXPECT_TRUE(PumpUntil([&] { return comm->TotalReceived() > 0; }));
    ASSERT_EQ(1u, rec.commErrors.size());
    EXPECT_EQ(static_cast<std::uint32_t>(CE_FRAME), rec.commErrors[0].code);
    for (auto bits : rec.traceSets) EXPECT_FALSE(TTraceStates::FromBits(static_cast<std::uint16_t>(bits)).Contains(tsErr));
}

TEST_F(SimComm, AFailingWaitOfTheEventThreadIsRiddenOut) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    drv.failObjectWaits = true;
    Open();
    ::Sleep(100);
    drv.Receive(L"COM3", "ping");
    EXPECT_TRUE(PumpUntil([&] { return rec.received == "ping"; }));
    comm->SetActive(false);
    EXPECT_FALSE(comm->Active());
    drv.failObjectWaits = false;
}

TEST_F(SimComm, RepeatedOpenAndCloseLeavesNothingBehind) {
    for (int i = 0; i < 50; ++i) {
        comm->SetActive(true);
        comm->SendString("a");
        comm->SetActive(false);
    }
    EXPECT_EQ(0, drv.OpenHandles());
    EXPECT_EQ(0, drv.liveAllocs);
    EXPECT_EQ(std::string(50, 'a'), port().tx);
}

// --- device list ---------------------------------------------------------------------

// A plug-and-play enumeration with a fixed set of port devices in the Ports class.
struct FakePnP {
    static inline int calls = 0;
    static inline bool lastPresent = false;
    static void Enum(const GUID* cls, bool present, bool byDevices, bool withInterface, tk::TStringList& L) {
        ++calls;
        lastPresent = present;
        static const GUID ports = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
        if (!cls || !IsEqualGUID(*cls, ports) || !byDevices || withInterface) return;
        auto add = [&](const wchar_t* port, const wchar_t* desc) {
            auto* d = new TpwDevice();
            d->PortName = port;
            d->Description = desc;
            d->Driver = std::wstring(L"drv-") + port;
            d->Service = L"serial";
            d->Manufacturer = L"ACME";
            d->RegKey = L"SYSTEM\\Enum\\X";
            d->DevInst = 7;
            d->InstanceId = L"ID-" + std::wstring(port);
            L.AddObject(d->Driver, d);
        };
        add(L"LPT1", L"Printer port");
        add(L"CNCA0", L"Null-modem emulator");
        add(L"COM77", L"Unplugged adapter");
        add(L"COM10", L"Test adapter");
    }
};

class DeviceList : public SimComm {
protected:
    void SetUp() override {
        SimComm::SetUp();
        FakePnP::calls = 0;
        realPnP = GetEnumPnPDevicesProc();
        SetEnumPnPDevicesProc(&FakePnP::Enum);
        ListComPorts(quick, true);
    }
    void TearDown() override {
        SetEnumPnPDevicesProc(realPnP);
        SimComm::TearDown();
    }
    TpwDevice* Find(const std::wstring& port) {
        for (int i = 0; i < comm->DeviceCount(); ++i)
            if (comm->GetDevice(i)->PortName == port) return comm->GetDevice(i);
        return nullptr;
    }
    void ExpectOrdered() {
        for (int i = 0; i < comm->DeviceCount(); ++i) {
            EXPECT_EQ(i, comm->GetDevice(i)->Index());
            if (i > 0) {
                EXPECT_LT(comm->GetDevice(i - 1)->Data, comm->GetDevice(i)->Data);
            }
        }
    }
    tk::TStringList quick;
    TpwEnumPnPDevicesProc realPnP = nullptr;
};

TEST_F(DeviceList, QuickModeListsTheRegistryPortsOnly) {
    comm->Update();
    EXPECT_EQ(0, FakePnP::calls);
    EXPECT_EQ(quick.Count(), comm->DeviceCount());
    ExpectOrdered();
    for (int i = 0; i < comm->DeviceCount(); ++i) {
        const TpwDevice* d = comm->GetDevice(i);
        EXPECT_EQ(d->PortName, d->NameFriendly);
        EXPECT_FALSE(d->NamePDO.empty());
    }
}

TEST_F(DeviceList, FullInfoAddsPartnersAndUnlistedPorts) {
    comm->SetEnumPorts(epFullInfo);
    comm->Update();
    EXPECT_EQ(12, FakePnP::calls);
    EXPECT_FALSE(FakePnP::lastPresent);
    ExpectOrdered();
    EXPECT_EQ(nullptr, Find(L"LPT1"));
    TpwDevice* com77 = Find(L"COM77");
    ASSERT_NE(nullptr, com77);
    EXPECT_EQ(77, com77->Data);
    EXPECT_EQ(L"COM77 (Unplugged adapter)", com77->NameFriendly);
    EXPECT_EQ(0u, com77->DevInst);  // only partnered registry ports carry it
    TpwDevice* other = Find(L"CNCA0");
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(4097, other->Data);
    EXPECT_EQ(other, comm->GetDevice(comm->DeviceCount() - 1));
    bool listed = false;
    for (int i = 0; i < quick.Count(); ++i) listed = listed || quick.Strings(i).rfind(L"COM10=", 0) == 0;
    if (!listed) GTEST_SKIP() << "COM10 is not in the registry's port list";
    TpwDevice* com10 = Find(L"COM10");
    ASSERT_NE(nullptr, com10);
    EXPECT_EQ(L"COM10 (Test adapter)", com10->NameFriendly);
    EXPECT_EQ(7u, com10->DevInst);
    EXPECT_EQ(L"ID-COM10", com10->InstanceId);
    EXPECT_EQ(L"drv-COM10", com10->Driver);
    EXPECT_EQ(L"ACME", com10->Manufacturer);
    comm->SetComPortNo(10);
    EXPECT_EQ(L"COM10", comm->ComName());
}

TEST_F(DeviceList, FullPresentDropsRegistryPortsWithoutPartner) {
    comm->SetEnumPorts(epFullPresent);
    comm->Update();
    EXPECT_TRUE(FakePnP::lastPresent);
    ExpectOrdered();
    for (int i = 0; i < quick.Count(); ++i) {
        const std::wstring name = quick.Strings(i).substr(0, quick.Strings(i).find(L'='));
        if (name != L"COM10") {
            EXPECT_EQ(nullptr, Find(name)) << std::string(name.begin(), name.end());
        }
    }
    EXPECT_NE(nullptr, Find(L"COM77"));
    // Without the plug-and-play enumeration nothing is dropped.
    SetEnumPnPDevicesProc(nullptr);
    comm->Update();
    EXPECT_EQ(quick.Count(), comm->DeviceCount());
}

TEST_F(DeviceList, SelectingAnIndexSetsThePortNumber) {
    comm->SetEnumPorts(epFullInfo);
    comm->Update();
    ASSERT_GE(comm->DeviceCount(), 2);
    rec.codes.clear();
    comm->SetDeviceIndex(1);
    EXPECT_EQ(comm->GetDevice(1)->Data, comm->ComPortNo());
    EXPECT_EQ(1, comm->GetDeviceIndex());
    EXPECT_EQ(std::vector<std::int32_t>({3}), rec.codes);
    comm->SetComPortNo(4000);
    EXPECT_EQ(-1, comm->GetDeviceIndex());
    EXPECT_EQ(L"COM4000", comm->ComName());
}

TEST_F(SimComm, UpdateReloadsTheListAndTellsListeners) {
    comm->Update();
    EXPECT_EQ(std::vector<std::int32_t>({3}), rec.codes);
    for (int i = 1; i < comm->DeviceCount(); ++i)
        EXPECT_LT(comm->GetDevice(i - 1)->Data, comm->GetDevice(i)->Data);
    for (int i = 0; i < comm->DeviceCount(); ++i) EXPECT_EQ(i, comm->GetDevice(i)->Index());
    comm->SetDeviceIndex(-1);
    comm->SetDeviceIndex(comm->DeviceCount());
    EXPECT_EQ(std::vector<std::int32_t>({3}), rec.codes);  // out of range: nothing
}

// --- configuration dialog and the stored configuration -------------------------------

namespace {

DCB DialogDcb(DWORD flags, DWORD baud = 57600) {
    DCB d = {};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = baud;
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = TWOSTOPBITS;
    d.EvtChar = 'Z';
    SetDcbFlags(d, flags);
    return d;
}

}  // namespace

TEST_F(SimComm, ConfigDialogDerivesTheFlowControlFromWhatTheUserChose) {
    struct Case {
        DWORD flags;  // fBinary plus the dialog's flow-control choice
        TStreamProtocol protocol;
    } cases[] = {
        {0x0001 | 0x0100 | 0x0200 | 0x0010 | 0x1000, spXonXoff},  // fOutX fInX, DTR and RTS enabled
        {0x0001 | 0x0004 | 0x0010 | 0x2000, spHardware},          // CTS flow, DTR enabled, RTS handshake
        {0x0001, spNone},
    };
    for (const auto& c : cases) {
        const DCB chosen = DialogDcb(c.flags);
        drv.SetDialogAnswer(&chosen);
        comm->ConfigDialog();
        EXPECT_EQ(c.protocol, comm->StreamProtocol()) << std::hex << c.flags;
        EXPECT_FALSE(comm->RS485Mode());
        EXPECT_EQ(57600u, comm->BaudRate());
        EXPECT_EQ(7, comm->ByteSize());
        EXPECT_EQ(pEven, comm->Parity());
        EXPECT_EQ(sbTwo, comm->StopBits());
        EXPECT_EQ(L'Z', comm->EventChar());
    }
    EXPECT_EQ(L"COM3", drv.Calls("CommConfigDialogW").back().name);
    EXPECT_EQ(0, drv.Count("SetCommState"));  // a closed port only keeps the choice

    // An RS-485 DCB reads back as such.
    const DCB rs485 = DialogDcb(kDcbRS485);
    drv.SetDialogAnswer(&rs485);
    comm->ConfigDialog();
    EXPECT_TRUE(comm->RS485Mode());
    EXPECT_EQ(spNone, comm->StreamProtocol());
}

TEST_F(SimComm, ConfigDialogOnAnOpenPortAppliesTheChosenDcbAsItIs) {
    Open();
    const DCB chosen = DialogDcb(0x0001 | 0x0004 | 0x0010 | 0x2000, 38400);
    drv.SetDialogAnswer(&chosen);
    comm->ConfigDialog();
    ASSERT_EQ(1, drv.Count("SetCommState"));
    const DCB applied = LastDcb();
    EXPECT_EQ(0, std::memcmp(&applied, &chosen, sizeof(DCB)));
    EXPECT_EQ(spHardware, comm->StreamProtocol());
    EXPECT_EQ(38400u, port().dcb.BaudRate);
}

TEST_F(SimComm, ConfigDialogCancelledChangesNothing) {
    comm->SetBaudRate(4800);
    comm->SetStreamProtocol(spXonXoff);
    Open();
    drv.SetDialogAnswer(nullptr);
    comm->ConfigDialog();
    EXPECT_EQ(0, drv.Count("SetCommState"));
    EXPECT_EQ(4800u, comm->BaudRate());
    EXPECT_EQ(spXonXoff, comm->StreamProtocol());
    // The dialog was shown what the port holds.
    EXPECT_EQ(4800u, drv.Calls("CommConfigDialogW").back().dcb.BaudRate);
}

class StoredConfig : public SimComm {
protected:
    void SetUp() override {
        SimComm::SetUp();
        key = L"Software\\QuolmTests\\StoredConfig" + std::to_wstring(::GetCurrentProcessId());
        ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        SimComm::TearDown();
    }
    void Put(DWORD type, const std::vector<unsigned char>& bytes) {
        HKEY k = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &k, nullptr));
        ::RegSetValueExW(k, L"Port", 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
        ::RegCloseKey(k);
    }
    std::vector<unsigned char> Get() {
        std::vector<unsigned char> bytes(64);
        DWORD size = static_cast<DWORD>(bytes.size()), type = 0;
        if (::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Port", RRF_RT_ANY, &type, bytes.data(),
                           &size) != ERROR_SUCCESS)
            return {};
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
        bytes.resize(size);
        return bytes;
    }
    std::wstring key;
};

TEST_F(StoredConfig, SaveThenLoadRestoresTheSettings) {
    comm->SetBaudRate(115200);
    comm->SetByteSize(7);
    comm->SetParity(pOdd);
    comm->SetStopBits(sbTwo);
    comm->SetEventChar(L'#');
    comm->SetStreamProtocol(spHardware);
    const COMMTIMEOUTS t = {11, 22, 33, 44, 55};
    comm->SetTimeouts(t);
    comm->SaveConfig(HKEY_CURRENT_USER, key, L"Port");
    EXPECT_TRUE(log.Has(L"pwComm: Configuration was saved"));
    const auto stored = Get();
    ASSERT_EQ(49u, stored.size());
    EXPECT_EQ(3, stored[0]);
    EXPECT_EQ(28, stored[1]);  // DCBlength leads the DCB

    auto other = std::make_unique<TTestComm>(nullptr);
    other->SetLog(&log);
    other->SetComPortNo(1);
    other->SetStreamProtocol(spXonXoff);
    other->LoadConfig(HKEY_CURRENT_USER, key, L"Port");
    EXPECT_EQ(3, other->ComPortNo());
    EXPECT_EQ(115200u, other->BaudRate());
    EXPECT_EQ(7, other->ByteSize());
    EXPECT_EQ(pOdd, other->Parity());
    EXPECT_EQ(sbTwo, other->StopBits());
    EXPECT_EQ(L'#', other->EventChar());
    EXPECT_EQ(0, std::memcmp(&t, &other->Timeouts(), sizeof t));
    // Flow control is the loader's own, not the stored one.
    EXPECT_EQ(spXonXoff, other->StreamProtocol());
    EXPECT_EQ(kDcbXonXoff, GetDcbFlags(other->Dcb()) & ~kDcbKeptFlags);
    EXPECT_TRUE(log.Has(L"pwComm: Configuration was loaded"));
}

TEST_F(StoredConfig, ThePortNumberIsKeptInOneByte) {
    comm->SetComPortNo(260);
    comm->SaveConfig(HKEY_CURRENT_USER, key, L"Port");
    ASSERT_EQ(49u, Get().size());
    EXPECT_EQ(4, Get()[0]);
    comm->SetComPortNo(9);
    comm->LoadConfig(HKEY_CURRENT_USER, key, L"Port");
    EXPECT_EQ(4, comm->ComPortNo());
}

TEST_F(StoredConfig, LoadingAnOpenPortReopensItAndAppliesTheValues) {
    comm->SetComPortNo(1);
    comm->SetBaudRate(2400);
    comm->SaveConfig(HKEY_CURRENT_USER, key, L"Port");
    comm->SetComPortNo(3);
    comm->SetBaudRate(9600);
    Open();
    comm->LoadConfig(HKEY_CURRENT_USER, key, L"Port");
    EXPECT_TRUE(comm->Active());
    EXPECT_EQ(1, comm->ComPortNo());
    EXPECT_EQ(2400u, drv.port(L"COM1").dcb.BaudRate);
    // Closed, opened, changed: the reopen on the stored number.
    ASSERT_GE(rec.codes.size(), 3u);
    EXPECT_EQ(std::vector<std::int32_t>({1, 2, 3}), std::vector<std::int32_t>(rec.codes.begin(), rec.codes.begin() + 3));
}

TEST_F(StoredConfig, ValuesOfAnotherSizeAndMissingKeysLoadNothing) {
    comm->SetBaudRate(4800);
    for (std::size_t n : {48u, 50u}) {
        Put(REG_BINARY, std::vector<unsigned char>(n, 0x01));
        log.lines.clear();
        comm->LoadConfig(HKEY_CURRENT_USER, key, L"Port");
        EXPECT_EQ(4800u, comm->BaudRate()) << n;
        EXPECT_EQ(3, comm->ComPortNo());
        EXPECT_TRUE(log.Has(L"pwComm: Configuration was loaded"));
    }
    ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    comm->LoadConfig(HKEY_CURRENT_USER, key, L"Port");
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k))
        << "the key is created";
    if (k) ::RegCloseKey(k);
}

TEST_F(StoredConfig, FailuresAreFatalErrors) {
    Put(REG_SZ, std::vector<unsigned char>(49, 'A'));
    try {
        comm->LoadConfig(HKEY_CURRENT_USER, key, L"Port");
        ADD_FAILURE() << "no exception";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(L"Error on load config information from registry", e.Message());
    }
    EXPECT_TRUE(log.Has(L"Fatal Error: 1, 0, Error on load config information from registry"));
    EXPECT_FALSE(log.Has(L"pwComm: Configuration was loaded"));

    // No key can be made below a root that is no key.
    try {
        comm->SaveConfig(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), L"x", L"Port");
        ADD_FAILURE() << "no exception";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(L"Error on save config information from registry", e.Message());
    }
    EXPECT_FALSE(log.Has(L"pwComm: Configuration was saved"));
}

}  // namespace
