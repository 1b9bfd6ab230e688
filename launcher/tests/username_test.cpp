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
    EXPECT_EQ(QUERY + "'o''brien'\nC:\\Windows\\System32\n", Get("powershell.record"));
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

}  // namespace
