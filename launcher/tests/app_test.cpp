// The built launcher, run as the logon task would run it, with PowerShell's query answered by the
// fake beside it and the activation manager (where a test wants one) by the registered fake.
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

// Standard output is the C runtime's text-mode stream, so each "\n" reaches the pipe as CR LF.
using Texts = std::vector<std::string>;

std::string QueryForThisUser() {
    const std::string sid = CurrentUserSidText();
    EXPECT_EQ(0u, sid.rfind("S-1-", 0)) << sid;
    return QUERY + "'" + sid + "'";
}

TEST_F(LauncherRun, WithoutDelayFileItAsksPowerShellAtOnceAndReportsNotInstalled) {
    const auto result = Run();
    const std::string query = QueryForThisUser();
    EXPECT_EQ((Texts{TAG + "CMD: " + query + "\n", TAG + "Output: \n", TAG + "Orvanta AP Not Install\n"}),
              result.debug);
    EXPECT_EQ("Orvanta AP Not Install\r\n", result.out);
    // The PowerShell of the system folder ran, not the one planted beside the launcher, with the
    // command line as built and the system folder as its directory.
    const std::string record = Get("powershell.record");
    const std::string head = query + "\n" + SystemDirectory() + "\n";
    ASSERT_EQ(head, record.substr(0, head.size()));
    const std::string ran = record.substr(head.size());
    EXPECT_NE(0u, ran.rfind(dir_, 0)) << "ran the planted " << ran;
    EXPECT_NE(std::string::npos, ran.find("\\WindowsPowerShell\\v1.0\\powershell.exe\n")) << ran;
    EXPECT_FALSE(Has("activation.record"));
}

TEST_F(LauncherRun, InstalledAppIsActivatedInTheBackground) {
    ASSERT_EQ(S_OK, CallActivationFake("DllRegisterServer"));
    Put("powershell.listing", LISTING_INSTALLED);
    const auto result = Run();
    EXPECT_EQ((Texts{TAG + "CMD: " + QueryForThisUser() + "\n", TAG + "Output: " + LISTING_INSTALLED + "\n",
                     TAG + "Orvanta AP Install\n"}),
              result.debug);
    EXPECT_EQ("Orvanta AP Install\r\n", result.out);
    EXPECT_EQ("create\nactivate 5F0A17C3.Orvanta_x4t9wq2brk8nd!Orvanta|HIDE_UI|2\nrelease\n", Get("activation.record"));
}

TEST_F(LauncherRun, RefusedActivationIsReportedAfterTheVerdictWithItsCode) {
    ASSERT_EQ(S_OK, CallActivationFake("DllRegisterServer"));
    SetEnvironmentVariableA("ORVANTA_ACTIVATION_RESULT", "80070005");
    Put("powershell.listing", LISTING_INSTALLED);
    const auto result = Run();
    ASSERT_EQ(4u, result.debug.size());
    EXPECT_EQ(TAG + "Orvanta AP Install\n", result.debug[2]);
    EXPECT_EQ(TAG + "ActivateApplication Fail: 0x80070005", result.debug[3]);
    EXPECT_EQ("Orvanta AP Install\r\nActivateApplication Fail: 0x80070005", result.out);
    EXPECT_EQ("create\nactivate 5F0A17C3.Orvanta_x4t9wq2brk8nd!Orvanta|HIDE_UI|2\nrelease\n", Get("activation.record"));
}

TEST_F(LauncherRun, WithoutActivationManagerTheFailedCreationIsReported) {
    Put("powershell.listing", LISTING_INSTALLED);
    const auto result = Run();
    ASSERT_EQ(4u, result.debug.size());
    EXPECT_EQ(TAG + "CoCreateInstance Fail", result.debug[3]);
    EXPECT_EQ("Orvanta AP Install\r\nCoCreateInstance Fail", result.out);
}

TEST_F(LauncherRun, FamilyNameOnPowerShellsErrorStreamOnlyIsNotInstalled) {
    Put("powershell.errors", "5F0A17C3.Orvanta_x4t9wq2brk8nd\r\n");
    const auto result = Run();
    ASSERT_EQ(3u, result.debug.size());
    EXPECT_EQ(TAG + "Output: \n", result.debug[1]);
    EXPECT_EQ("Orvanta AP Not Install\r\n", result.out);
    EXPECT_NE(std::string::npos, result.err.find("5F0A17C3.Orvanta_x4t9wq2brk8nd")) << "went to the launcher's stderr";
}

// The one wait on the real clock: "1" waits one or two 900 ms polls.
TEST_F(LauncherRun, DelayFileBesideTheProgramIsWaitedForOnTheWallClock) {
    Put("delay.txt", "1\n25\n");
    const ULONGLONG start = GetTickCount64();
    const auto result = Run("", "C:\\");
    const ULONGLONG took = GetTickCount64() - start;
    ASSERT_GE(result.debug.size(), 5u);
    EXPECT_EQ(TAG + "Delay Time: 1\n", result.debug[0]);
    const size_t polls = result.debug.size() - 4;
    ASSERT_TRUE(polls == 1 || polls == 2) << polls << " polls";
    // The wait ends at the first poll showing 1; a second poll is needed only when the first showed 0.
    EXPECT_EQ(TAG + "Current Time Different: 1\n", result.debug[polls]);
    if (polls == 2) {
        EXPECT_EQ(TAG + "Current Time Different: 0\n", result.debug[1]);
    }
    EXPECT_EQ(0u, result.debug[polls + 1].rfind(TAG + "CMD: ", 0));
    EXPECT_GE(took, 900u * polls);
}

// Beside a launcher in a folder whose name the ANSI code page (1252 here) cannot hold, delay.txt
// is still found: through that code page the path would hold '?'s and name no file.
TEST_F(LauncherRun, DelayFileIsFoundInAFolderOutsideTheAnsiCodePage) {
    const std::wstring dir = std::wstring(dir_.begin(), dir_.end()) + L"\u03A9\u043A\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring launcher = dir + L"StartupOrvanta.exe";
    ASSERT_TRUE(CopyFileW(std::wstring(dir_.begin(), dir_.end()).append(L"StartupOrvanta.exe").c_str(),
                          launcher.c_str(), FALSE));
    HANDLE delay = CreateFileW((dir + L"delay.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, delay);
    DWORD written = 0;
    WriteFile(delay, "0\n", 2, &written, nullptr);
    CloseHandle(delay);

    const auto result = debugout::Run(L"\"" + launcher + L"\"", 60000);
    ASSERT_TRUE(result.started);
    ASSERT_EQ(5u, result.debug.size());
    EXPECT_EQ(TAG + "Delay Time: 0\n", result.debug[0]);
    EXPECT_EQ(0u, result.debug[1].rfind(TAG + "Current Time Different: ", 0)) << result.debug[1];
}

TEST_F(LauncherRun, DelayFileStartingWithALetterMeansOnePoll) {
    Put("delay.txt", "soon\n");
    const auto result = Run();
    ASSERT_EQ(5u, result.debug.size());
    EXPECT_EQ(TAG + "Delay Time: 0\n", result.debug[0]);
    EXPECT_TRUE(result.debug[1] == TAG + "Current Time Different: 0\n" ||
                result.debug[1] == TAG + "Current Time Different: 1\n")
        << result.debug[1];
}

TEST_F(LauncherRun, CommandLineArgumentsChangeNothing) {
    Put("powershell.listing", LISTING_INSTALLED);
    const auto plain = Run();
    const std::string plainQuery = Get("powershell.record");
    const auto withArguments = Run("CREATE_TASK -d delay.txt 99");
    EXPECT_EQ(plain.debug, withArguments.debug);
    EXPECT_EQ(plain.out, withArguments.out);
    EXPECT_EQ("Orvanta AP Install\r\nCoCreateInstance Fail", withArguments.out);
    EXPECT_EQ(plainQuery, Get("powershell.record"));
}

// What the stand-in PowerShell went by: its facts ("PSModulePath", "Get-AppxPackage from") and its
// whole environment.
struct Seen {
    std::map<std::string, std::string> facts;
    std::vector<std::string> environment;
};

Seen SeenBy(const std::string& text) {
    Seen seen;
    size_t start = 0;
    for (int line = 0; start < text.size(); ++line) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(start, end - start);
        const size_t equals = entry.find('=', 1);
        if (line < 2 && equals != std::string::npos) {
            seen.facts[entry.substr(0, equals)] = entry.substr(equals + 1);
        } else if (line >= 2) {
            seen.environment.push_back(entry);
        }
        start = end + 1;
    }
    return seen;
}

// Variables in the user's own registry environment (HKCU\Environment), which a user sets without
// elevation and which Windows puts into every environment built for that user; removed afterwards.
class UserRegistryEnvironment {
public:
    explicit UserRegistryEnvironment(const std::vector<std::pair<std::string, std::string>>& values) {
        if (RegCreateKeyExA(HKEY_CURRENT_USER, "Environment", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr))
            key_ = nullptr;
        for (const auto& value : values) {
            if (!key_) break;
            EXPECT_EQ(ERROR_FILE_NOT_FOUND,
                      RegQueryValueExA(key_, value.first.c_str(), nullptr, nullptr, nullptr, nullptr))
                << value.first << " is set already";
            RegSetValueExA(key_, value.first.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.second.c_str()),
                           static_cast<DWORD>(value.second.size() + 1));
            names_.push_back(value.first);
        }
    }
    ~UserRegistryEnvironment() {
        for (const std::string& name : names_) RegDeleteValueA(key_, name.c_str());
        if (key_) RegCloseKey(key_);
    }
    bool ok() const { return key_ != nullptr; }

private:
    HKEY key_ = nullptr;
    std::vector<std::string> names_;
};

// A module folder of the user's (under %TEMP%, writable without elevation) holds a module that
// exports Get-AppxPackage, and both the environment the launcher was started with and the user's
// registry environment name it, with a runtime profiler beside it. The elevated PowerShell module
// path holds the system's module folders only, and no variable of the user's reaches it.
TEST_F(LauncherRun, PowerShellGetsTheSystemsModuleFoldersAndNoneOfTheUsersVariables) {
    const std::string planted = dir_ + "UserModules";
    CreateDirectoryA(planted.c_str(), nullptr);
    CreateDirectoryA((planted + "\\Appx").c_str(), nullptr);
    Put("UserModules\\Appx\\Appx.psm1",
        "function Get-AppxPackage { 'PackageFamilyName : 5F0A17C3.Orvanta_x4t9wq2brk8nd' }\r\n");
    const std::vector<std::pair<std::string, std::string>> userVariables = {
        {"PSModulePath", planted},
        {"COR_ENABLE_PROFILING", "1"},
        {"COR_PROFILER", "{0F0F0F0F-0000-4000-8000-000000000001}"},
        {"COR_PROFILER_PATH", dir_ + "profiler.dll"},
    };
    UserRegistryEnvironment registry(userVariables);
    ASSERT_TRUE(registry.ok());
    const std::string systemModules = SystemDirectory() + "\\WindowsPowerShell\\v1.0\\Modules";
    SetEnvironmentVariableA("PSModulePath", (planted + ";" + systemModules).c_str());
    for (const auto& variable : userVariables)
        if (variable.first != "PSModulePath") SetEnvironmentVariableA(variable.first.c_str(), variable.second.c_str());
    Run();
    for (const auto& variable : userVariables) SetEnvironmentVariableA(variable.first.c_str(), nullptr);

    Seen seen = SeenBy(Get("powershell.seen"));
    char programFiles[MAX_PATH] = {};
    ASSERT_NE(0u, GetEnvironmentVariableA("ProgramFiles", programFiles, MAX_PATH));
    EXPECT_EQ(systemModules + ";" + programFiles + "\\WindowsPowerShell\\Modules", seen.facts["PSModulePath"]);
    EXPECT_EQ("(none)", seen.facts["Get-AppxPackage from"]);
    ASSERT_FALSE(seen.environment.empty());
    for (const std::string& variable : seen.environment) {
        EXPECT_EQ(std::string::npos, variable.find(dir_)) << variable;
        EXPECT_NE(0u, variable.rfind("COR_", 0)) << variable;
    }
}

// The launcher ends right after activating the app; the app asks for its activation arguments
// later, and gets them from the activation manager's host process, which outlives the launcher.
TEST_F(LauncherRun, TheAppGetsHideUiAfterTheLauncherHasEnded) {
    ASSERT_EQ(S_OK, CallActivationFake("DllRegisterServer"));
    Put("powershell.listing", LISTING_INSTALLED);
    HANDLE appAsks = CreateEventW(nullptr, FALSE, FALSE, L"OrvantaActivationFake.AppAsks");
    ASSERT_NE(nullptr, appAsks);
    const auto result = Run();  // returns once the launcher has ended
    ASSERT_EQ("Orvanta AP Install\r\n", result.out);
    const std::string activated = "create\nactivate 5F0A17C3.Orvanta_x4t9wq2brk8nd!Orvanta|HIDE_UI|2\nrelease\n";
    EXPECT_EQ(activated, Get("activation.record"));

    SetEvent(appAsks);
    const std::string answered = activated + "asked 5F0A17C3.Orvanta_x4t9wq2brk8nd!Orvanta|HIDE_UI\n";
    const ULONGLONG until = GetTickCount64() + 10000;
    while (Get("activation.record") != answered && GetTickCount64() < until) Sleep(50);
    EXPECT_EQ(answered, Get("activation.record"));
    CloseHandle(appAsks);
}

}  // namespace
