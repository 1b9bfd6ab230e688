// tvxsetup's command line: help, malformed lines and the refusals made before any step runs.
#include <gtest/gtest.h>
#include <windows.h>

#include "setup_fixture.h"

namespace {

using namespace setup_fixture;

TEST(TvxSetupCommandLine, HelpGoesToStandardOutputBadCommandLinesExitWith2AndPreflightRefusals1) {
    WindowsVersionForSetup(L"win10");
    for (const wchar_t* asked : {L"/?", L"-h", L"--help", L"HELP"}) {
        Outcome help = RunSetup(asked);
        EXPECT_EQ(0u, help.exitCode) << Narrow(asked);
        EXPECT_TRUE(Has(help.out, "usage: tvxsetup install")) << Narrow(asked);
        EXPECT_TRUE(Has(help.out, "3010 done, restart Windows to finish")) << help.out;
    }
    for (const wchar_t* bad : {L"", L"instal", L"status extra", L"install a b"})
        EXPECT_EQ(2u, RunSetup(bad).exitCode) << Narrow(bad);
    for (const wchar_t* folder : {L"\"C:\\Orvanta & Co\"", L"relative\\folder", L"C:\\windows\\Orvanta"}) {
        Outcome refused = RunSetup(std::wstring(L"install ") + folder);
        EXPECT_EQ(1u, refused.exitCode) << refused.out;
        EXPECT_TRUE(Has(refused.LastLine(), "Not installed: nothing was changed. The log is in ")) << refused.out;
    }
    if (IsWine()) {
        WindowsVersionForSetup(L"win7");
        Outcome old = RunSetup(L"install \"" + std::wstring(FOLDER) + L"\"");
        WindowsVersionForSetup(L"win10");
        EXPECT_EQ(1u, old.exitCode) << old.out;
        EXPECT_TRUE(Has(old.out, "this needs Windows 10 or later")) << old.out;
        EXPECT_FALSE(Exists(FOLDER));
    }
}

}  // namespace
