// Runs the built tvxctl.exe the way a person would, in a prefix where no driver serves any device.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "debugout.h"

namespace {

std::string ToolPath() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1) + "tvxctl.exe";
}

debugout::Result Tvxctl(const std::string& args) { return debugout::Run("\"" + ToolPath() + "\" " + args, 60000); }

TEST(Tvxctl, OrdersWithoutAControlDeviceFailWithOneLineNamingTheCause) {
    for (const char* args : {"on Port_#0001.Hub_#0001", "off Port_#0001.Hub_#0001", "watch start Port_#0001.Hub_#0001",
                             "watch query Port_#0001.Hub_#0001"}) {
        SCOPED_TRACE(args);
        auto r = Tvxctl(args);
        ASSERT_TRUE(r.started);
        EXPECT_EQ(1u, r.exitCode);
        EXPECT_EQ("", r.out);
        EXPECT_NE(std::string::npos, r.err.find("tvxctl: Port_#0001.Hub_#0001: no control device")) << r.err;
    }
}

TEST(Tvxctl, BadCommandLinesShowUsageWithExitCode2) {
    for (const char* args : {"", "charge Port_#0001", "on", "watch stop Port_#0001", "list extra"}) {
        SCOPED_TRACE(args);
        auto r = Tvxctl(args);
        EXPECT_EQ(2u, r.exitCode);
        EXPECT_EQ(0u, r.err.find("usage: tvxctl list")) << r.err;
    }
}

// As a Windows command-line tool: help in every usual spelling, verbs in any letter case.
TEST(Tvxctl, HelpInEveryUsualFormGoesToStandardOutputAndVerbsIgnoreLetterCase) {
    for (const char* args : {"/?", "-h", "--help", "help", "HELP"}) {
        SCOPED_TRACE(args);
        auto r = Tvxctl(args);
        EXPECT_EQ(0u, r.exitCode);
        EXPECT_EQ(0u, r.out.find("usage: tvxctl list")) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("Exit codes: 0 done; 1 the order failed")) << r.out;
        EXPECT_EQ("", r.err);
    }
    EXPECT_EQ(2u, Tvxctl("help list").exitCode);
    auto version = Tvxctl("--version");
    EXPECT_EQ(0u, version.exitCode);
    EXPECT_EQ(0u, version.out.find("tvxctl 1.")) << version.out;

    EXPECT_EQ("no Apple USB device present\r\n", Tvxctl("LIST").out);
    for (const char* args : {"ON Port_#0001.Hub_#0001", "Watch QUERY Port_#0001.Hub_#0001"}) {
        SCOPED_TRACE(args);
        auto r = Tvxctl(args);
        EXPECT_EQ(1u, r.exitCode) << "an order, not a bad command line";
        EXPECT_NE(std::string::npos, r.err.find("no control device")) << r.err;
    }
}

// Through the ANSI code page "Ω" would print as a look-alike "O" and "к" as "?".
TEST(Tvxctl, ALocationOutsideTheAnsiCodePageIsWrittenToAPipeAsUtf8) {
    std::string path = ToolPath();
    auto r = debugout::Run(L"\"" + std::wstring(path.begin(), path.end()) + L"\" on Port_\u03A9\u043A", 60000);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_EQ(
        "tvxctl: Port_\xCE\xA9\xD0\xBA: no control device: the driver serves no device here (is it installed?)\r\n",
        r.err);
}

TEST(Tvxctl, ListSaysWhenNoAppleDeviceIsPresent) {
    auto r = Tvxctl("list");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("no Apple USB device present\r\n", r.out);
}

}  // namespace
