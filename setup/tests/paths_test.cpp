// The path and multi-string forms the installer compares, checked without running it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../paths.h"
#include "setup_harness.h"

namespace {

using namespace setup_harness;

// The forms in which the service manager hands back a driver's path all name the one file.
TEST(TvxSetupPaths, EveryStoredFormOfTheDriversPathNamesTheSameFile) {
    const std::wstring windows = L"C:\\Windows";
    const std::wstring expected = L"c:\\windows\\system32\\drivers\\tarvex.sys";
    for (const wchar_t* stored :
         {L"\\??\\C:\\Windows\\system32\\drivers\\Tarvex.sys", L"\\SystemRoot\\System32\\drivers\\Tarvex.sys",
          L"System32\\drivers\\Tarvex.sys", L"%SystemRoot%\\System32\\drivers\\Tarvex.sys",
          L"C:\\WINDOWS\\System32\\Drivers\\TARVEX.SYS"})
        EXPECT_EQ(expected, tvxsetup::NormalImagePath(stored, windows)) << Narrow(stored);
    EXPECT_EQ(expected, tvxsetup::NormalImagePath(L"\\SystemRoot\\System32\\drivers\\Tarvex.sys", L"C:\\Windows\\"));
    EXPECT_NE(expected, tvxsetup::NormalImagePath(L"\\??\\D:\\Windows\\system32\\drivers\\Tarvex.sys", windows));
    EXPECT_NE(expected, tvxsetup::NormalImagePath(L"\\??\\C:\\Windows\\system32\\drivers\\Tarvex.sys.new", windows));
    // A program's quoted command line names its program.
    EXPECT_EQ(L"c:\\program files\\orvanta\\orvantaservice.exe",
              tvxsetup::NormalImagePath(L"\"C:\\Program Files\\Orvanta\\OrvantaService.exe\" -s", windows));
}

TEST(TvxSetupPaths, AMultiStringKeepsItsEmptyStringsAndPendingRenamesNameTheirSources) {
    const wchar_t value[] = L"Other\0\0Third\0";  // with the literal's own NUL: the list's terminator
    auto items = tvxsetup::SplitMultiString(value, sizeof value / sizeof(wchar_t));
    EXPECT_EQ((std::vector<std::wstring>{L"Other", L"", L"Third"}), items);
    EXPECT_EQ(std::wstring(value, sizeof value / sizeof(wchar_t)), tvxsetup::JoinMultiString(items));
    // Cut short of its terminators, it still reads as the strings it holds.
    EXPECT_EQ((std::vector<std::wstring>{L"Other", L"Thi"}), tvxsetup::SplitMultiString(L"Other\0Thi", 9));
    EXPECT_TRUE(tvxsetup::SplitMultiString(L"", 1).empty());
    // Pairs of source and target; an empty target deletes the source.
    auto gone = tvxsetup::PendingRenameSources(
        {L"\\??\\C:\\windows\\system32\\drivers\\Tarvex.sys", L"", L"\\??\\C:\\a.new", L"!\\??\\C:\\a"},
        L"C:\\windows");
    EXPECT_EQ((std::vector<std::wstring>{L"c:\\windows\\system32\\drivers\\tarvex.sys", L"c:\\a.new"}), gone);
}

}  // namespace
