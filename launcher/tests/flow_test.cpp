#include <objbase.h>

#include <string>
#include <vector>

#include "capture.h"
#include "child_environment.h"
#include "harness.h"
#include "launcher.h"

namespace {

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST(DelayFilePath, IsTheProgramsDirectoryWithDelayTxt) {
    wchar_t path[PATH_BUFFER];
    ASSERT_TRUE(DelayFilePathFor(L"C:\\Program Files\\Orvanta\\StartupOrvanta.exe", path));
    EXPECT_STREQ(L"C:\\Program Files\\Orvanta\\delay.txt", path);
    ASSERT_TRUE(DelayFilePathFor(L"StartupOrvanta.exe", path));  // no backslash: used unchanged
    EXPECT_STREQ(L"StartupOrvanta.exe\\delay.txt", path);
}

// Decided: a directory too long for the path buffer counts as no delay file, not as a cut path.
TEST(DelayFilePath, DirectoryTooLongForTheBufferIsRefused) {
    wchar_t path[PATH_BUFFER];
    const std::wstring fits = L"C:\\" + std::wstring(1010, L'd');  // 1013 + "\delay.txt" = 1023
    // The program path itself comes from a 1024-unit buffer, hence the short program names.
    ASSERT_TRUE(DelayFilePathFor((fits + L"\\a.exe").c_str(), path));
    EXPECT_EQ(fits + L"\\delay.txt", path);
    EXPECT_FALSE(DelayFilePathFor((fits + L"d\\a.exe").c_str(), path));
    EXPECT_FALSE(DelayFilePathFor((std::wstring(2000, L'x') + L"\\a.exe").c_str(), path));
}

TEST(DelayFile, MissingFileIsReportedAndLeavesTheDelayAlone) {
    unsigned delay = 77;
    EXPECT_FALSE(ReadDelayFile(Wide(TempFolder("missing") + "no_delay.txt").c_str(), delay));
    EXPECT_EQ(77u, delay);
}

TEST(DelayFile, OnlyALeadingNumberOfTheFirstLineCounts) {
    struct Case {
        const char* content;
        unsigned expected;
    };
    const Case cases[] = {
        {"0", 0},
        {"5\n17\nmore lines\n", 5},
        {"  12 seconds\n", 12},
        {"x12\n", 0},
        {"", 0},
        {"\n12\n", 0},
        {"30", 30},
        {"7\r\n", 7},
        {"4294967295\n", 4294967295u},
        // A sign or more than 32 bits is no number: "%u" would make each of these a wait of years.
        {"-1\n", 0},
        {"+5\n", 0},
        {"4294967296\n", 0},
        {"99999999999\n", 0},
    };
    const std::string path = TempFolder("parse") + "delay.txt";
    for (const Case& c : cases) {
        WriteText(path, c.content);
        unsigned delay = 0;
        EXPECT_TRUE(ReadDelayFile(Wide(path).c_str(), delay)) << "\"" << c.content << "\"";
        EXPECT_EQ(c.expected, delay) << "\"" << c.content << "\"";
    }
    // Only 1023 characters of the first line are read: a number beyond them is not seen.
    WriteText(path, std::string(1023, ' ') + "9\n");
    unsigned delay = 0;
    EXPECT_TRUE(ReadDelayFile(Wide(path).c_str(), delay));
    EXPECT_EQ(0u, delay);
}

std::vector<std::string> PollMessages(const std::vector<int>& values) {
    std::vector<std::string> out;
    for (int v : values) out.push_back(TAG + "Current Time Different: " + std::to_string(v) + "\n");
    return out;
}

TEST(Wait, DelayZeroSleepsOnceAndLogsOnce) {
    for (int64_t offset : {0, 500}) {
        ResetClock(offset);
        Capture capture;
        WaitForDelay(0, FakePlatform());
        EXPECT_EQ(std::vector<DWORD>{900}, g_clock.sleeps);
        // 0, or 1 when the 900 ms crossed a second boundary.
        EXPECT_EQ(PollMessages({offset == 0 ? 0 : 1}), capture.debug()) << "starting " << offset << " ms into a second";
    }
}

TEST(Wait, EndsAtTheFirstPollWithTheWholeDelayPassed) {
    ResetClock(0);  // polls at 0.9, 1.8, ... 5.4 s: the sixth shows 5
    {
        Capture capture;
        WaitForDelay(5, FakePlatform());
        EXPECT_EQ(std::vector<DWORD>(6, 900), g_clock.sleeps);
        EXPECT_EQ(PollMessages({0, 1, 2, 3, 4, 5}), capture.debug());
    }
    ResetClock(500);  // polls at 1.4, 2.3, ... 5.0 s: the fifth shows 5
    {
        Capture capture;
        WaitForDelay(5, FakePlatform());
        EXPECT_EQ(std::vector<DWORD>(5, 900), g_clock.sleeps);
        EXPECT_EQ(PollMessages({1, 2, 3, 4, 5}), capture.debug());
    }
}

TEST(Wait, ClockSetBackKeepsWaitingUntilStartPlusDelay) {
    ResetClock(0);
    g_clock.jumpAfterSleep = 2;
    g_clock.jumpSeconds = -10;
    Capture capture;
    WaitForDelay(3, FakePlatform());
    // After the jump the clock reads 10 s less: 3 seconds past the start come at 13.5 s, poll 15.
    EXPECT_EQ(15u, g_clock.sleeps.size());
    const auto texts = capture.debug();
    ASSERT_EQ(15u, texts.size());
    EXPECT_EQ(PollMessages({0, -9, -8}), std::vector<std::string>(texts.begin(), texts.begin() + 3));
    EXPECT_EQ(PollMessages({3}).front(), texts.back());
}

TEST(Wait, ClockSetForwardEndsAtTheNextPoll) {
    ResetClock(0);
    g_clock.jumpAfterSleep = 2;
    g_clock.jumpSeconds = 3600;
    Capture capture;
    WaitForDelay(30, FakePlatform());
    EXPECT_EQ(PollMessages({0, 3601}), capture.debug());
}

// Only a SID string reaches the elevated PowerShell; anything else, quotes above all, gives an
// empty literal that matches no user.
TEST(InstalledCheckCommand, TheUserIsGivenByItsSidStringAndNothingElseGetsIn) {
    const std::wstring prefix =
        L"\"C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe\" -NoProfile -NonInteractive "
        L"Get-AppxPackage -Name 5F0A17C3.Orvanta -User ";
    EXPECT_EQ(prefix + L"'S-1-5-21-3623811015-3361044348-30300820-1013'",
              InstalledCheckCommand(L"C:\\windows\\system32", L"S-1-5-21-3623811015-3361044348-30300820-1013"));
    for (const wchar_t* notASid : {L"", L"S-", L"Anna", L"S-1-5-21-1' ; calc ; '", L"S-1-5\u2019"})
        EXPECT_EQ(prefix + L"''", InstalledCheckCommand(L"C:\\windows\\system32", notASid)) << notASid;
}

TEST(IsAppInstalled, VerdictIsAnExactCaseSensitiveSearchForTheFamilyName) {
    struct Case {
        const char* listing;
        bool installed;
    };
    const Case cases[] = {
        {"PackageFamilyName : 5F0A17C3.Orvanta_x4t9wq2brk8nd\r\n", true},
        {"PackageFamilyName : 5f0a17c3.orvanta_X4T9WQ2BRK8ND\r\n", false},
        {"InstallLocation : C:\\Program Files\\WindowsApps\\5F0A17C3.Orvanta_x4t9wq2brk8ndExtra\\x", true},
        {"Name : 5F0A17C3.Orvanta\r\nPublisherId : x4t9wq2brk8nd\r\n", false},
        {"Get-AppxPackage : The term 'Get-AppxPackage' is not recognized\r\n", false},
        {"", false},
    };
    for (const Case& c : cases) {
        g_listing = c.listing;
        Capture capture;
        EXPECT_EQ(c.installed, IsAppInstalled(FakePlatform())) << c.listing;
    }
}

TEST(IsAppInstalled, ListingLongerThanTheLogLimitIsStillSearchedWhole) {
    g_listing = std::string(5000, '.') + "5F0A17C3.Orvanta_x4t9wq2brk8nd";
    Capture capture;
    EXPECT_TRUE(IsAppInstalled(FakePlatform()));
    const auto texts = capture.debug();
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ(TAG + "Output: " + std::string(1015, '.'), texts[1]);
}

std::string Utf8Of(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 1 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

// The block holds PSModulePath once, where its name sorts; without userenv.dll in the given system
// folder no block is made at all, so PowerShell is never started with the user's environment instead.
TEST(PowerShellEnvironment, HoldsOneModulePathInOrderAndIsNotMadeWithoutUserenv) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    std::vector<wchar_t> block;
    ASSERT_EQ(0u, BuildPowerShellEnvironment(system, block));
    ASSERT_GE(block.size(), 2u);
    EXPECT_EQ(L'\0', block[block.size() - 1]);
    EXPECT_EQ(L'\0', block[block.size() - 2]);
    std::vector<std::wstring> names;
    for (const wchar_t* at = block.data(); *at; at += wcslen(at) + 1) {
        const std::wstring entry = at;
        names.push_back(entry.substr(0, entry.find(L'=', 1)));
    }
    int modulePaths = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        if (CompareStringOrdinal(names[i].c_str(), -1, L"PSModulePath", -1, TRUE) == CSTR_EQUAL) ++modulePaths;
        if (i > 0) {
            EXPECT_NE(CSTR_GREATER_THAN, CompareStringOrdinal(names[i - 1].c_str(), -1, names[i].c_str(), -1, TRUE))
                << "out of order: " << Utf8Of(names[i - 1]) << " before " << Utf8Of(names[i]);
        }
    }
    EXPECT_EQ(1, modulePaths);

    block.assign(3, L'x');
    const std::string empty = TempFolder("no_userenv");
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND),
              BuildPowerShellEnvironment(std::wstring(empty.begin(), empty.end() - 1), block));
    EXPECT_TRUE(block.empty());
}

class Activation : public ::testing::Test {
protected:
    void SetUp() override {
        record_ = TempFolder("activation") + "record.txt";
        DeleteFileA(record_.c_str());
        SetEnvironmentVariableA("ORVANTA_ACTIVATION_RECORD", record_.c_str());
        ResetClock(0);
    }
    void TearDown() override {
        EXPECT_EQ(S_OK, CallActivationFake("DllUnregisterServer"));
        SetEnvironmentVariableA("ORVANTA_ACTIVATION_RECORD", nullptr);
        SetEnvironmentVariableA("ORVANTA_ACTIVATION_RESULT", nullptr);
    }
    void Register() { ASSERT_EQ(S_OK, CallActivationFake("DllRegisterServer")); }
    std::string Record() const { return ReadText(record_); }

    // ActivateApp inside a COM initialisation of the test's own, which must be left as it was:
    // one CoUninitialize on every way out.
    bool ActivateWithBalancedCom() {
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        const bool result = ActivateApp(FakePlatform());
        EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED)) << "CoUninitialize called once too often";
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED)) << "CoUninitialize missing";
        CoUninitialize();
        return result;
    }

    std::string record_;
};

const char ACTIVATED[] = "create\nactivate 5F0A17C3.Orvanta_x4t9wq2brk8nd!Orvanta|HIDE_UI|2\nrelease\n";

TEST_F(Activation, ActivatesTheAppInTheBackgroundWithHideUi) {
    Register();
    Capture capture;
    EXPECT_TRUE(ActivateWithBalancedCom());
    EXPECT_EQ(ACTIVATED, Record());
    EXPECT_TRUE(capture.events().empty());
}

TEST_F(Activation, RefusalIsLoggedThenPrintedWithItsCode) {
    Register();
    SetEnvironmentVariableA("ORVANTA_ACTIVATION_RESULT", "80070005");
    Capture capture;
    EXPECT_FALSE(ActivateWithBalancedCom());
    EXPECT_EQ((std::vector<Event>{{'D', TAG + "ActivateApplication Fail: 0x80070005"},
                                  {'O', "ActivateApplication Fail: 0x80070005"}}),
              capture.events());
    EXPECT_EQ(ACTIVATED, Record());
}

TEST_F(Activation, WithoutAnActivationManagerCreationFailsAndIsReported) {
    Capture capture;
    EXPECT_FALSE(ActivateWithBalancedCom());
    EXPECT_EQ((std::vector<Event>{{'D', TAG + "CoCreateInstance Fail"}, {'O', "CoCreateInstance Fail"}}),
              capture.events());
    EXPECT_EQ("", Record());
}

// The verdict is printed before it is logged; an activation failure is logged before it is printed.
TEST_F(Activation, WholeRunOrdersStandardOutputAndTheDebugLog) {
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(BinPath("delay.txt").c_str())) << "stray delay.txt";
    Register();
    SetEnvironmentVariableA("ORVANTA_ACTIVATION_RESULT", "0x80070005");
    g_listing = "PackageFamilyName : 5F0A17C3.Orvanta_x4t9wq2brk8nd\r\n";
    Capture capture;
    RunLauncher(FakePlatform());
    EXPECT_TRUE(g_clock.sleeps.empty());
    ASSERT_EQ(1u, g_directories.size());
    EXPECT_EQ(SystemDirectory(), g_directories[0]);
    EXPECT_EQ((std::vector<Event>{{'D', TAG + "CMD: " + QUERY + "'" + CurrentUserSidText() + "'\n"},
                                  {'D', TAG + "Output: " + g_listing + "\n"},
                                  {'O', "Orvanta AP Install\n"},
                                  {'D', TAG + "Orvanta AP Install\n"},
                                  {'D', TAG + "ActivateApplication Fail: 0x80070005"},
                                  {'O', "ActivateApplication Fail: 0x80070005"}}),
              capture.events());
}

}  // namespace
