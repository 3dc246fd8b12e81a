// Proves the test harness itself: the sandbox is in force, the null-modem
// pairs carry bytes unchanged between their two COM ports, and a port that
// was not mapped does not exist. Plain Win32 only, so a fault here is the
// harness's, not the component's.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

// Owns one port handle.
class PortHandle {
public:
    PortHandle() = default;
    explicit PortHandle(HANDLE h) : h_(h) {}
    PortHandle(const PortHandle&) = delete;
    PortHandle& operator=(const PortHandle&) = delete;
    PortHandle(PortHandle&& other) noexcept : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
    ~PortHandle() {
        if (valid()) CloseHandle(h_);
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Environment values and device names here are plain ASCII.
std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

// "COM10:COM11" from QUOLM_PAIRn.
std::pair<std::wstring, std::wstring> Pair(int n) {
    const std::string value = Env(("QUOLM_PAIR" + std::to_string(n)).c_str());
    const auto colon = value.find(':');
    if (colon == std::string::npos) return {};
    return {Widen(value.substr(0, colon)), Widen(value.substr(colon + 1))};
}

// Opens a port the way a plain Win32 program does; keeps the error code.
PortHandle OpenPort(const std::wstring& name, DWORD* error = nullptr) {
    const std::wstring path = L"\\\\.\\" + name;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (error) *error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    return PortHandle(h);
}

// 9600 8N1, binary, no flow control; reads give up after two seconds.
void Configure(const PortHandle& port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port.get(), &dcb)) << GetLastError();
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port.get(), &dcb)) << GetLastError();

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 2000;
    timeouts.WriteTotalTimeoutConstant = 2000;
    ASSERT_TRUE(SetCommTimeouts(port.get(), &timeouts)) << GetLastError();
    // Bytes left in the pty by an earlier run must not reach this test.
    ASSERT_TRUE(PurgeComm(port.get(), PURGE_RXCLEAR | PURGE_TXCLEAR)) << GetLastError();
}

void WriteAll(const PortHandle& port, const std::string& data) {
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(port.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr))
        << GetLastError();
    ASSERT_EQ(written, data.size());
}

// Reads until `count` bytes came or a read brings nothing within its time-out.
std::string ReadUpTo(const PortHandle& port, size_t count) {
    std::string data;
    while (data.size() < count) {
        char buffer[512];
        const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, count - data.size()));
        DWORD got = 0;
        if (!ReadFile(port.get(), buffer, want, &got, nullptr) || got == 0) break;
        data.append(buffer, got);
    }
    return data;
}

std::string AllByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

TEST(Sandbox, EnvironmentSaysSandboxed) {
    EXPECT_EQ(Env("QUOLM_SANDBOX"), "1");
    EXPECT_FALSE(Env("WINEPREFIX").empty());
    for (int n = 1; n <= 3; ++n) {
        const auto [a, b] = Pair(n);
        EXPECT_FALSE(a.empty() || b.empty()) << "QUOLM_PAIR" << n << " is not set";
        EXPECT_FALSE(Env(("QUOLM_PAIR" + std::to_string(n) + "_A").c_str()).empty());
        EXPECT_FALSE(Env(("QUOLM_PAIR" + std::to_string(n) + "_B").c_str()).empty());
    }
}

TEST(Sandbox, HostSerialDeviceIsNotVisible) {
    // Wine shows the unix root as Z:. Device files have no attributes there,
    // so list the directory instead of asking for single names.
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(L"Z:\\dev\\*", &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE) << "cannot list Z:\\dev, error " << GetLastError();
    do {
        names.emplace_back(entry.cFileName);
    } while (FindNextFileW(find, &entry));
    FindClose(find);

    auto listed = [&](const std::wstring& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    ASSERT_TRUE(listed(L"null")) << "the listing of Z:\\dev proves nothing";
    for (const auto& name : names) {
        const bool serial = name.rfind(L"ttyS", 0) == 0 || name.rfind(L"ttyUSB", 0) == 0 ||
                            name.rfind(L"ttyACM", 0) == 0;
        EXPECT_FALSE(serial) << "host serial device visible: /dev/" << Narrow(name);
    }
}

TEST(Sandbox, UnmappedPortsDoNotOpen) {
    DWORD error = 0;
    EXPECT_FALSE(OpenPort(L"COM40", &error).valid());
    EXPECT_NE(error, static_cast<DWORD>(ERROR_SUCCESS));
    // Nothing but our pairs (and the demo's device port, when asked for) is
    // mapped, so none of the low numbers a host port would take exists.
    const std::wstring device = Widen(Env("QUOLM_DEVICE_PORT"));
    for (int n = 1; n <= 9; ++n) {
        const std::wstring name = L"COM" + std::to_wstring(n);
        if (name == device) continue;
        EXPECT_FALSE(OpenPort(name).valid()) << "COM" << n << " is mapped";
    }
}

class NullModemPair : public ::testing::TestWithParam<int> {};

TEST_P(NullModemPair, CarriesEveryByteValueBothWays) {
    const auto [nameA, nameB] = Pair(GetParam());
    ASSERT_FALSE(nameA.empty() || nameB.empty());
    DWORD error = 0;
    PortHandle a = OpenPort(nameA, &error);
    ASSERT_TRUE(a.valid()) << "cannot open the first port, error " << error;
    PortHandle b = OpenPort(nameB, &error);
    ASSERT_TRUE(b.valid()) << "cannot open the second port, error " << error;
    ASSERT_NO_FATAL_FAILURE(Configure(a));
    ASSERT_NO_FATAL_FAILURE(Configure(b));

    const std::string sent = AllByteValues();
    ASSERT_NO_FATAL_FAILURE(WriteAll(a, sent));
    EXPECT_EQ(ReadUpTo(b, sent.size()), sent);

    // CR, LF, NUL, XON, XOFF and 0xFF: what a cooked tty would eat or change.
    const std::string reply("OK\r\n\x00\x11\x13\xff", 8);
    ASSERT_NO_FATAL_FAILURE(WriteAll(b, reply));
    EXPECT_EQ(ReadUpTo(a, reply.size()), reply);
}

TEST_P(NullModemPair, SurvivesClosingAndReopeningBothEnds) {
    const auto [nameA, nameB] = Pair(GetParam());
    ASSERT_FALSE(nameA.empty() || nameB.empty());
    for (int round = 0; round < 2; ++round) {
        PortHandle a = OpenPort(nameA);
        PortHandle b = OpenPort(nameB);
        ASSERT_TRUE(a.valid() && b.valid()) << "round " << round;
        ASSERT_NO_FATAL_FAILURE(Configure(a));
        ASSERT_NO_FATAL_FAILURE(Configure(b));
        const std::string sent = "round " + std::to_string(round) + "\r";
        ASSERT_NO_FATAL_FAILURE(WriteAll(a, sent));
        EXPECT_EQ(ReadUpTo(b, sent.size()), sent) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Harness, NullModemPair, ::testing::Values(1, 2, 3));

}  // namespace
