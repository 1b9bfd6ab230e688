// The built launcher, run as the logon task would run it, with PowerShell's query answered by the
// fake beside it and the activation manager (where a test wants one) by the registered fake.
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// Standard output is the C runtime's text-mode stream, so each "\n" reaches the pipe as CR LF.
using Texts = std::vector<std::string>;

std::string QueryForThisUser() {
    const std::string user = CurrentUserName();
    EXPECT_EQ(std::string::npos, user.find('\'')) << "this test expects a plain user name";
    return QUERY + "'" + user + "'";
}

TEST_F(LauncherRun, WithoutDelayFileItAsksPowerShellAtOnceAndReportsNotInstalled) {
    const auto result = Run();
    const std::string query = QueryForThisUser();
    EXPECT_EQ((Texts{TAG + "CMD: " + query + "\n", TAG + "Output: \n", TAG + "Orvanta AP Not Install\n"}), result.debug);
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

TEST_F(LauncherRun, DelayFileStartingWithALetterMeansOnePoll) {
    Put("delay.txt", "soon\n");
    const auto result = Run();
    ASSERT_EQ(5u, result.debug.size());
    EXPECT_EQ(TAG + "Delay Time: 0\n", result.debug[0]);
    EXPECT_TRUE(result.debug[1] == TAG + "Current Time Different: 0\n" || result.debug[1] == TAG + "Current Time Different: 1\n")
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

}  // namespace
