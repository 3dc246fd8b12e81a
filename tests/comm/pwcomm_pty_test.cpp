// The serial port component on real null-modem pairs under Wine: the line
// settings the Linux side sees, the bytes that reach the peer, reads of
// queued bytes, the receive path through the threads, reopening and the
// open failure of a port that is not mapped.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "CommTestKit.h"
#include "PtyPeer.h"
#include "pwcomm.h"

using commtest::PumpUntil;
using commtest::TPeer;

namespace {

struct Pair {
    int a = 0, b = 0;
    std::string pathA;
};

// The harness maps COMa<->COMb as QUOLM_PAIRn=COMa:COMb with the Linux path
// of COMa in QUOLM_PAIRn_A.
bool ReadPair(int n, Pair& p) {
    const std::string var = "QUOLM_PAIR" + std::to_string(n);
    const char* v = std::getenv(var.c_str());
    const char* path = std::getenv((var + "_A").c_str());
    if (!v || !path) return false;
    return std::sscanf(v, "COM%d:COM%d", &p.a, &p.b) == 2 && (p.pathA = path, true);
}


// The terminal settings of the Linux end as `stty -a` reports them. Wine
// starts Linux programs through CreateProcessW, so the test asks Linux
// itself rather than Wine's view of the port. The process handle of a Linux
// program may signal before it has finished, so the output is written to a
// temporary name and renamed when complete.
std::string LinuxShell(const std::string& command) {
    static int serial = 0;
    const std::string out =
        "/tmp/quolm-stty-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++serial) + ".txt";
    const std::string script = "(" + command + ") > " + out + ".part 2>&1; mv " + out + ".part " + out;
    std::wstring cmd = L"Z:\\bin\\sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return "<CreateProcessW failed>";
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    std::string winPath = "Z:" + out;
    for (auto& c : winPath)
        if (c == '/') c = '\\';
    const DWORD start = ::GetTickCount();
    while (::GetFileAttributesA(winPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (::GetTickCount() - start > 20000) return "<no stty output>";
        ::Sleep(5);
    }
    std::ifstream f(winPath);
    std::stringstream ss;
    ss << f.rdbuf();
    f.close();
    ::DeleteFileA(winPath.c_str());
    return ss.str();
}

std::string LinuxStty(const std::string& path) { return LinuxShell("stty -F '" + path + "' -a"); }

// True when the stty output holds the word (flags are separated by blanks,
// semicolons or line breaks).
bool HasWord(const std::string& stty, const std::string& word) {
    std::string norm = " " + stty + " ";
    for (auto& c : norm)
        if (c == ';' || c == '\n' || c == '\r' || c == '\t') c = ' ';
    return norm.find(" " + word + " ") != std::string::npos;
}

class PtyComm : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ReadPair(1, pair)) GTEST_SKIP() << "no pty pair (run inside tests/harness/sandbox.sh)";
        peer = std::make_unique<TPeer>(pair.b);
        ASSERT_TRUE(peer->ok());
        comm = std::make_unique<TpwComm>(nullptr);
        // The main window's designed values.
        comm->SetBaudRate(9600);
        comm->SetStreamProtocol(spNone);
        comm->SetComPortNo(static_cast<std::uint16_t>(pair.a));
        rec.Attach(*comm);
    }
    void TearDown() override {
        comm.reset();
        peer.reset();
    }

    Pair pair;
    std::unique_ptr<TPeer> peer;
    std::unique_ptr<TpwComm> comm;
    commtest::TRecorder rec;
};

// --- line settings on the Linux side -------------------------------------------

TEST_F(PtyComm, OpenByNumberAppliesTheDesignedSettingsToTheLine) {
    // Line settings outlive a close: start from other ones.
    LinuxShell("stty -F '" + pair.pathA + "' 38400 cstopb crtscts ixon ixoff");
    ASSERT_NE(std::string::npos, LinuxStty(pair.pathA).find("speed 38400 baud"));
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    EXPECT_EQ(L"COM" + std::to_wstring(pair.a), comm->ComName());
    const std::string s = LinuxStty(pair.pathA);
    EXPECT_NE(std::string::npos, s.find("speed 9600 baud")) << s;
    EXPECT_TRUE(HasWord(s, "cs8")) << s;
    EXPECT_TRUE(HasWord(s, "-parenb")) << s;
    EXPECT_TRUE(HasWord(s, "-cstopb")) << s;
    EXPECT_TRUE(HasWord(s, "-crtscts")) << s;
    EXPECT_TRUE(HasWord(s, "-ixon")) << s;
    EXPECT_TRUE(HasWord(s, "-ixoff")) << s;
}

TEST_F(PtyComm, SettingsChangedWhileOpenReachTheLineAtOnce) {
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    comm->SetBaudRate(19200);
    comm->SetByteSize(7);
    comm->SetParity(pEven);
    comm->SetStopBits(sbTwo);
    // A Linux pty forces cs8 and -parenb whatever it is told (pty_set_termios),
    // so only speed and stop bits can be seen there; data bits and parity
    // of the DCB are covered with the simulated driver.
    std::string s = LinuxStty(pair.pathA);
    EXPECT_NE(std::string::npos, s.find("speed 19200 baud")) << s;
    EXPECT_TRUE(HasWord(s, "cstopb")) << s;
    // Back to 8 data bits: once a pty has forced cs8, Wine refuses a further
    // 7-bit configuration with error 87 (the component ignores the result,
    // the device keeps its previous settings).
    comm->SetByteSize(8);
    comm->SetParity(pNone);
    comm->SetStopBits(sbOne);
    s = LinuxStty(pair.pathA);
    EXPECT_TRUE(HasWord(s, "-cstopb")) << s;

    comm->SetStreamProtocol(spHardware);
    s = LinuxStty(pair.pathA);
    EXPECT_TRUE(HasWord(s, "crtscts")) << s;
    comm->SetStreamProtocol(spXonXoff);
    s = LinuxStty(pair.pathA);
    EXPECT_TRUE(HasWord(s, "-crtscts")) << s;
    EXPECT_TRUE(HasWord(s, "ixon")) << s;
    EXPECT_TRUE(HasWord(s, "ixoff")) << s;
}

TEST_F(PtyComm, SettingsMadeWhileClosedAreAppliedByTheNextOpen) {
    comm->SetBaudRate(19200);
    comm->SetByteSize(7);
    comm->SetParity(pOdd);
    comm->SetStopBits(sbTwo);
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    const std::string s = LinuxStty(pair.pathA);
    EXPECT_NE(std::string::npos, s.find("speed 19200 baud")) << s;
    EXPECT_TRUE(HasWord(s, "cstopb")) << s;
}

// --- bytes on the line ----------------------------------------------------------

TEST_F(PtyComm, WrittenBytesArriveExactlyAtThePeer) {
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    std::string block(3000, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 31 + 7) & 0xFF);

    comm->SendChar(L'A');
    comm->SendChar(static_cast<wchar_t>(0x0E0D));  // only the low byte, CR
    comm->SendString(all);
    comm->SendData(block.data(), static_cast<std::uint32_t>(block.size()));
    block[0] = 'X';  // reused at once: the component sent its own copy
    comm->SendData("tail", 4);
    const std::string expected = std::string("A\r") + all + std::string(1, static_cast<char>(7)) +
                                 block.substr(1) + "tail";
    EXPECT_EQ(expected, peer->Read(expected.size()));
    EXPECT_EQ(expected.size(), comm->TotalSent());
}

TEST_F(PtyComm, SendDataOfZeroBytesPutsNothingOnTheLine) {
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    comm->SendData(nullptr, 0);
    comm->SendData("", 0);
    comm->SendString("x");
    EXPECT_EQ("x", peer->Read(1));
    EXPECT_EQ(1u, comm->TotalSent());
}

TEST_F(PtyComm, ACommandSentRightBeforeTheCloseStillLeaves) {
    // As the application does per command: open, send, close.
    for (int i = 0; i < 5; ++i) {
        comm->SetActive(true);
        ASSERT_TRUE(comm->Active());
        comm->SendString("AT" + std::to_string(i) + "\r");
        comm->SetActive(false);
    }
    EXPECT_EQ("AT0\rAT1\rAT2\rAT3\rAT4\r", peer->Read(20));
}

// --- reads ----------------------------------------------------------------------------

TEST_F(PtyComm, QueuedBytesAreReadByThePollingReads) {
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    peer->Write("hello world");
    EXPECT_TRUE(comm->WaitForBytes(11, 10000));
    EXPECT_EQ(11u, comm->ReadyForRead());
    char buf[5];
    EXPECT_EQ(5, comm->ReadMax(buf, 5));
    EXPECT_EQ("hello", std::string(buf, 5));
    EXPECT_EQ(" world", comm->ReadString());
    EXPECT_EQ(0u, comm->ReadyForRead());
    EXPECT_FALSE(comm->WaitForBytes(1, 30));
}

TEST_F(PtyComm, ReceivedBytesReachOnAfterReceiveThroughTheThreads) {
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    peer->Write("ping");
    EXPECT_TRUE(PumpUntil([&] { return rec.received.size() >= 4; }));
    EXPECT_EQ("ping", rec.received);
    std::string big(20000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i & 0xFF);
    // The main thread keeps handling events while the peer writes: more
    // than a pty holds may be on its way.
    peer->Start(big);
    EXPECT_TRUE(PumpUntil([&] { return rec.received.size() >= 4 + big.size(); }, 30000))
        << rec.received.size() << " bytes received";
    peer->Finish();
    EXPECT_EQ("ping" + big, rec.received);
    for (auto n : rec.blockSizes) EXPECT_LE(n, comm->ReceiveBufferSize());
    comm->SetActive(false);
    EXPECT_FALSE(comm->Active());
}

// --- reopen and failure --------------------------------------------------------------

TEST_F(PtyComm, ChangingComPortNoClosesAndReopensOnTheNewPort) {
    Pair second;
    if (!ReadPair(2, second)) GTEST_SKIP() << "no second pty pair";
    TPeer peer2(second.b);
    ASSERT_TRUE(peer2.ok());
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    rec.codes.clear();
    comm->SetComPortNo(static_cast<std::uint16_t>(second.a));
    EXPECT_TRUE(comm->Active());
    EXPECT_EQ(std::vector<std::int32_t>({1, 2, 3}), rec.codes);
    EXPECT_EQ(L"COM" + std::to_wstring(second.a), comm->ComName());
    comm->SendString("moved");
    EXPECT_EQ("moved", peer2.Read(5));
    EXPECT_EQ(0u, peer->Queued());
}

TEST_F(PtyComm, OpeningAPortThatIsNotMappedFailsWithTheSystemText) {
    comm->SetComPortNo(42);
    rec.codes.clear();
    try {
        comm->SetActive(true);
        FAIL() << "no exception";
    } catch (const tk::Exception& e) {
        const std::wstring prefix = L"Device \"COM42\" Open Error !!!\r";
        ASSERT_EQ(0u, e.Message().rfind(prefix, 0));
        const std::wstring sys = e.Message().substr(prefix.size());
        EXPECT_FALSE(sys.empty());
        EXPECT_TRUE(sys == SysErrorText(ERROR_FILE_NOT_FOUND) || sys == SysErrorText(ERROR_PATH_NOT_FOUND))
            << std::string(sys.begin(), sys.end());
    }
    EXPECT_FALSE(comm->Active());
    EXPECT_TRUE(rec.codes.empty());
}

}  // namespace
