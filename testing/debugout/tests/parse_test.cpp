// Wine 8 trace lines, as Wine printed them for real programs, turned back into the texts.
#include <gtest/gtest.h>

#include "debugout.h"

namespace {

TEST(DebugoutParse, UnescapesEveryKindOfCharacterWinePrints) {
    std::string trace =
        "0024:warn:debugstr:OutputDebugStringA \"plain\"\n"
        "0024:warn:debugstr:OutputDebugStringA \"with \\\"quotes\\\" and \\\\ back\\nnewline\\ttab "
        "\\x01\\x7f\\xe9 100%\"\n"
        "0024:warn:debugstr:OutputDebugStringA \"\"\n"
        "0024:warn:debugstr:OutputDebugStringA \"cr\\r\"\r\n";
    std::vector<std::string> expected = {"plain", "with \"quotes\" and \\ back\nnewline\ttab \x01\x7f\xe9 100%", "",
                                         "cr\r"};
    EXPECT_EQ(expected, debugout::ParseTrace(trace));
}

TEST(DebugoutParse, KeepsOrderAmidOtherOutputAndPrefixForms) {
    std::string trace =
        "0048:err:winediag:nodrv_CreateWindow Application tried to create a window\n"
        "program text\n"
        "0020:0024:warn:debugstr:OutputDebugStringA \"first\"\n"
        "0024:trace:debugstr:something \"not a debug string\"\n"
        "partial line without end0024:warn:debugstr:OutputDebugStringA \"second\"\n"
        "12345.678:0020:0024:warn:debugstr:OutputDebugStringA \"third\"\n"
        "0024:warn:debugstr:OutputDebugStringA \"cut off by the end of the capt";
    std::vector<std::string> expected = {"first", "second", "third"};
    EXPECT_EQ(expected, debugout::ParseTrace(trace));
}

TEST(DebugoutParse, MarksTextsWineCut) {
    std::string trace =
        "0024:warn:debugstr:OutputDebugStringA \"abcdef\"...\n"
        "0024:warn:debugstr:OutputDebugStringA \"whole\"\n";
    auto entries = debugout::ParseTraceEntries(trace);
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("abcdef", entries[0].text);
    EXPECT_TRUE(entries[0].truncated);
    EXPECT_EQ("whole", entries[1].text);
    EXPECT_FALSE(entries[1].truncated);
}

}  // namespace
