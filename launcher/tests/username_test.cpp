// The launcher run under user names that need care. Each test needs the Unix USER that Wine takes
// the Windows user name from, so ctest runs each one with its own environment.
#include <string>
#include <vector>

#include "harness.h"

namespace {

// The query names the user by SID: the name never reaches PowerShell, so none of its characters
// can end the quoted literal, and a long name cannot push the query past the runner's limit.
void ExpectQueriedBySidOnly(const std::string& record, const std::vector<std::string>& debug) {
    const std::string query = QUERY + "'" + CurrentUserSidText() + "'";
    EXPECT_EQ(0u, record.rfind(query + "\n" + SystemDirectory() + "\n", 0)) << record;
    ASSERT_FALSE(debug.empty());
    EXPECT_EQ(TAG + "CMD: " + query + "\n", debug[0]);
}

TEST_F(LauncherRun, ApostropheInTheUserNameNeverReachesTheQuery) {
    ASSERT_EQ("o'brien", CurrentUserName());
    const auto result = Run();
    ExpectQueriedBySidOnly(Get("powershell.record"), result.debug);
}

TEST_F(LauncherRun, OverlongUserNameIsQueriedBySidAndFound) {
    const std::string user = CurrentUserName();
    ASSERT_EQ(200u, user.size());
    Put("powershell.listing", LISTING_INSTALLED);
    const auto result = Run();
    ExpectQueriedBySidOnly(Get("powershell.record"), result.debug);
    EXPECT_EQ(0u, result.out.rfind("Orvanta AP Install\r\n", 0)) << result.out;
}

// Typographic quotes (which PowerShell also takes for quotes) and a letter outside the ANSI code page.
TEST_F(LauncherRun, TypographicQuotesInTheUserNameNeverReachTheQuery) {
    const auto result = Run();
    const std::string record = Get("powershell.record");
    EXPECT_EQ(std::string::npos, record.find("ukasz")) << record;
    ExpectQueriedBySidOnly(record, result.debug);
}

}  // namespace
