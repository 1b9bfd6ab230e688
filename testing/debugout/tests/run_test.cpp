// Runs the probe program for real under Wine and checks what the capture saw.
#include <gtest/gtest.h>

#include "debugout.h"

#include <string>

namespace {

std::string BinDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

std::string Probe(const std::string& args) { return "\"" + BinDir() + "debugout_probe.exe\" " + args; }

TEST(DebugoutRun, SeparatesStdoutStderrAndDebugOutputOfAChild) {
    auto r = debugout::Run(
        Probe("out:one ods:first err:two \"ods:second \\\"quoted\\\" 50%\" odsw:wide out:three exit:7"), 30000);
    ASSERT_TRUE(r.started) << r.startError;
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(7u, r.exitCode);
    EXPECT_EQ("onethree", r.out);
    EXPECT_EQ("two", r.err);
    std::vector<std::string> expected = {"first", "second \"quoted\" 50%", "wide"};
    EXPECT_EQ(expected, r.debug);
}

TEST(DebugoutRun, GivesTheChildTheTraceChannelInItsEnvironment) {
    // This test itself runs with Wine's debug channels off.
    char own[64] = "";
    GetEnvironmentVariableA("WINEDEBUG", own, sizeof own);
    EXPECT_EQ(std::string::npos, std::string(own).find("debugstr")) << own;
    auto r = debugout::Run(Probe("env:WINEDEBUG"), 30000);
    EXPECT_EQ("-all,+debugstr", r.out);
}

TEST(DebugoutRun, DebugOutputArrivesUncut) {
    auto r = debugout::Run(Probe("odslong:1100 ods:after"), 30000);
    ASSERT_EQ(2u, r.debug.size());
    ASSERT_EQ(1100u, r.debug[0].size());
    EXPECT_EQ('h', r.debug[0][1099]);  // 1099 % 26 = 7
    EXPECT_EQ("after", r.debug[1]);
}

TEST(DebugoutRun, StartsInTheGivenDirectory) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string dir = std::string(temp) + "debugout dir";
    CreateDirectoryA(dir.c_str(), nullptr);
    auto r = debugout::Run(Probe("cwd"), 30000, dir);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(dir, r.out);
    RemoveDirectoryA(dir.c_str());
}

TEST(DebugoutRun, EndsAProgramThatOverrunsItsTime) {
    ULONGLONG before = GetTickCount64();
    auto r = debugout::Run(Probe("ods:before sleep:60000"), 1500);
    ASSERT_TRUE(r.started);
    EXPECT_TRUE(r.timedOut);
    EXPECT_LT(GetTickCount64() - before, 20000u);
    std::vector<std::string> expected = {"before"};
    EXPECT_EQ(expected, r.debug);
}

TEST(DebugoutRun, ReportsAProgramThatCannotStart) {
    auto r = debugout::Run("\"" + BinDir() + "no such program.exe\"", 5000);
    EXPECT_FALSE(r.started);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), r.startError);
}

TEST(DebugoutMonitor, HearsEveryProcessUncutWithItsProcessId) {
    debugout::Monitor monitor;
    ASSERT_TRUE(monitor.ok()) << monitor.error();
    // A debuggee's texts go to its debugger, so the writer here is a plain child process.
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string cmd = Probe("ods:one odslong:1100 ods:three");
    ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    struct Debugee {
        DWORD pid;
    } r{pi.dwProcessId};
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    ASSERT_TRUE(monitor.WaitForText("three", 10000, r.pid));
    auto texts = monitor.Texts(r.pid);
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ("one", texts[0]);
    ASSERT_EQ(1100u, texts[1].size());
    EXPECT_EQ('h', texts[1][1099]);
    EXPECT_EQ("three", texts[2]);

    debugout::Monitor second;
    EXPECT_FALSE(second.ok());
    EXPECT_FALSE(second.error().empty());
}

TEST(DebugoutMonitor, RecoversFromAWriterThatTookTheBufferAndEnded) {
    debugout::Monitor monitor;
    ASSERT_TRUE(monitor.ok()) << monitor.error();
    // Take the buffer as a writer does, then never signal data, as a writer killed midway.
    HANDLE ready = OpenEventA(SYNCHRONIZE, FALSE, "DBWIN_BUFFER_READY");
    ASSERT_NE(nullptr, ready);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 5000));
    CloseHandle(ready);

    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string cmd = Probe("ods:after");
    ULONGLONG before = GetTickCount64();
    ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_TRUE(monitor.WaitForText("after", 9000, pi.dwProcessId)) << "the writer waited out its 10 s";
    EXPECT_LT(GetTickCount64() - before, 9000u);
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

}  // namespace
