// The launcher run under user names that need care. Each test needs the Unix USER that Wine takes
// the Windows user name from, so ctest runs each one with its own environment.
#include <string>
#include <vector>

#include "harness.h"

namespace {

// Decided: the apostrophe is doubled inside the single-quoted literal.
TEST_F(LauncherRun, ApostropheInTheUserNameIsDoubledInTheQuery) {
    ASSERT_EQ("o'brien", CurrentUserName());
    const auto result = Run();
    EXPECT_EQ(0u, Get("powershell.record").rfind(QUERY + "'o''brien'\n" + SystemDirectory() + "\n", 0));
    ASSERT_FALSE(result.debug.empty());
    EXPECT_EQ(TAG + "CMD: " + QUERY + "'o''brien'\n", result.debug[0]);
}

// Decided: a query too long for the runner is not run and counts as not installed.
TEST_F(LauncherRun, OverlongUserNameIsNotQueriedAndCountsAsNotInstalled) {
    const std::string user = CurrentUserName();
    ASSERT_EQ(200u, user.size());
    Put("powershell.listing", LISTING_INSTALLED);
    const auto result = Run();
    EXPECT_FALSE(Has("powershell.record"));
    EXPECT_EQ((std::vector<std::string>{TAG + "CMD: " + QUERY + "'" + user + "'\n", TAG + "Output: \n",
                                        TAG + "Orvanta AP Not Install\n"}),
              result.debug);
    EXPECT_EQ("Orvanta AP Not Install\r\n", result.out);
}

// A name with typographic quotes (which PowerShell also takes for quotes, and which the ANSI code
// page would keep as quotes) and a letter outside that code page reaches PowerShell unchanged, each
// quote doubled; the log shows the command converted to the ANSI code page.
TEST_F(LauncherRun, TypographicQuotesAndLettersBeyondTheAnsiCodePageAreKeptAndQuoted) {
    // The user is Łukasz’ $(calc) ’; the record is UTF-8.
    const std::string quoted = "'\xC5\x81ukasz\xE2\x80\x99\xE2\x80\x99 $(calc) \xE2\x80\x99\xE2\x80\x99'";
    const auto result = Run();
    const std::string record = Get("powershell.record");
    EXPECT_EQ(0u, record.rfind(QUERY + quoted + "\n", 0)) << record;
    ASSERT_FALSE(result.debug.empty());
    EXPECT_EQ(TAG + "CMD: " + QUERY + "'?ukasz\x92\x92 $(calc) \x92\x92'\n", result.debug[0]);
}

}  // namespace
