// Reading the verb from the full command line, and the launcher's path beside the tool.
#include <gtest/gtest.h>

#include <string>

#include "logontask.h"

namespace {

TEST(SkipProgramName, LeavesExactlyTheTextAfterTheProgramNameAndItsBlanks) {
    const struct {
        const char* commandLine;
        const char* verbText;
    } cases[] = {
        {"", ""},
        {"logontask.exe", ""},
        {"logontask.exe CREATE_TASK", "CREATE_TASK"},
        {"logontask.exe    CREATE_TASK", "CREATE_TASK"},
        {"logontask.exe\tCREATE_TASK", "CREATE_TASK"},
        {"logontask.exe \t \x01"
         "DELETE_TASK",
         "DELETE_TASK"},
        {"logontask.exe CREATE_TASK ", "CREATE_TASK "},
        {"logontask.exe CREATE_TASK now", "CREATE_TASK now"},
        {"\"C:\\Program Files\\Orvanta Tools\\logontask.exe\" DELETE_TASK", "DELETE_TASK"},
        {"C:\\Program\" \"Files\\logontask.exe CREATE_TASK", "CREATE_TASK"},
        // Text right after the closing quote still belongs to the name; an open quote takes the rest.
        {"\"C:\\Tools\\logontask.exe\"DELETE_TASK", ""},
        {"\"C:\\Program Files\\logontask.exe DELETE_TASK", ""},
    };
    for (const auto& c : cases) EXPECT_STREQ(c.verbText, SkipProgramName(c.commandLine, 1252)) << c.commandLine;
}

TEST(SkipProgramName, ADoubleByteCharacterTakesItsTrailByteButNeverTheTerminator) {
    // 0x81 leads a double-byte character in code page 932: the blank after it is its trail byte.
    EXPECT_STREQ("", SkipProgramName("logontask\x81 CREATE_TASK", 932));
    EXPECT_STREQ("CREATE_TASK", SkipProgramName("logontask\x81 CREATE_TASK", 1252));

    const char cutShort[] = "logontask\x81\0 CREATE_TASK";
    EXPECT_EQ(cutShort + 10, SkipProgramName(cutShort, 932)) << "read past the end of the command line";
}

TEST(BuildLauncherPath, PutsTheLauncherInTheToolsFolder) {
    wchar_t path[1024];
    ASSERT_TRUE(BuildLauncherPath(L"C:\\Program Files\\Orvanta\\logontask.exe", path));
    EXPECT_STREQ(L"C:\\Program Files\\Orvanta\\StartupOrvanta.exe", path);
    ASSERT_TRUE(BuildLauncherPath(L"C:\\logontask.exe", path));
    EXPECT_STREQ(L"C:\\StartupOrvanta.exe", path);
    // Without any backslash the whole name stands in for the folder.
    ASSERT_TRUE(BuildLauncherPath(L"logontask.exe", path));
    EXPECT_STREQ(L"logontask.exe\\StartupOrvanta.exe", path);
}

// Decided: a path that does not fit is refused rather than registered cut short.
TEST(BuildLauncherPath, RefusesAFolderTooLongForTheBuffer) {
    wchar_t path[1024];
    std::wstring fits = L"C:\\" + std::wstring(1001, L'd');  // 1004 + 19 + terminator = 1024
    ASSERT_TRUE(BuildLauncherPath((fits + L"\\logontask.exe").c_str(), path));
    EXPECT_EQ(fits + L"\\StartupOrvanta.exe", std::wstring(path));

    std::wstring tooLong = fits + L"d";
    EXPECT_FALSE(BuildLauncherPath((tooLong + L"\\logontask.exe").c_str(), path));
    EXPECT_FALSE(BuildLauncherPath(std::wstring(1100, L'x').c_str(), path));
}

}  // namespace
