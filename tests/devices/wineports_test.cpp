// The Linux device behind a COM port, read from Wine's port mapping: the
// harness maps its pairs there, so what it mapped must come back (in the
// 32-bit build too, whose registry view differs).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "WinePorts.h"

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD n = ::GetEnvironmentVariableW(name, buffer, 4096);
    return n > 0 && n < 4096 ? std::wstring(buffer, n) : std::wstring();
}

}  // namespace

TEST(WinePorts, TheHarnessMappingIsReadBack) {
    const std::wstring pair = Env(L"QUOLM_PAIR1");  // "COM10:COM11"
    const std::wstring path = Env(L"QUOLM_PAIR1_A");
    ASSERT_FALSE(pair.empty()) << "run inside tests/harness/sandbox.sh";
    const std::wstring port = pair.substr(0, pair.find(L':'));
    EXPECT_EQ(path, WinePortDevice(port));
    EXPECT_EQ(port + L" = " + path, PortMappingText(port, WinePortDevice(port)));
    // Value names are not case-sensitive, as Windows treats port names.
    EXPECT_EQ(path, WinePortDevice(L"com" + port.substr(3)));
}

TEST(WinePorts, AnUnmappedPortShowsItsNameAlone) {
    EXPECT_EQ(L"", WinePortDevice(L"COM99"));
    EXPECT_EQ(L"COM99", PortMappingText(L"COM99", WinePortDevice(L"COM99")));
}
