#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture.h"
#include "console_runner.h"
#include "harness.h"

namespace {

std::wstring Widen(const char* text) {
    int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(size > 0 ? size - 1 : 0, L'\0');
    if (size > 1) MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], size);
    return out;
}

bool RunNarrow(const char* command, const char* directory, std::string& output, DWORD timeoutMs = 60000) {
    return RunConsoleCommand(Widen(command), Widen(directory), timeoutMs, output);
}

std::string Child(const std::string& arguments) {
    std::string command = "\"" + BinPath("launcher-support\\runchild.exe") + "\" " + arguments;
    EXPECT_LE(command.size(), MAX_CONSOLE_COMMAND) << "build folder too deep for the runner's command limit";
    return command;
}

// What "runchild print N" writes.
std::string NumberedLines(size_t size) {
    std::string text;
    char line[16];
    for (unsigned long i = 0; text.size() < size; ++i) {
        snprintf(line, sizeof line, "%09lu\n", i);
        text += line;
    }
    text.resize(size);
    return text;
}

// Handles this process holds, as the system's handle table lists them.
int OwnHandleCount() {
    struct Entry {
        ULONG pid;
        UCHAR type, flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    using Query = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(4 << 20);
    ULONG needed = 0;
    if (!query || query(16 /* SystemHandleInformation */, buffer.data(), buffer.size(), &needed) != 0) return -1;
    ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
    auto* entries = reinterpret_cast<Entry*>(buffer.data() + sizeof(ULONG_PTR));
    int own = 0;
    for (ULONG i = 0; i < count; ++i)
        if (entries[i].pid == GetCurrentProcessId()) ++own;
    return own;
}

TEST(RunConsoleCommand, OutputLongerThanOneReadComesBackWholeAndInOrder) {
    for (size_t size : {size_t(4096), size_t(1) << 20}) {
        std::string output = "stale";
        EXPECT_TRUE(RunNarrow(Child("print " + std::to_string(size)).c_str(), "C:\\", output));
        ASSERT_EQ(size, output.size());
        EXPECT_TRUE(output == NumberedLines(size)) << "output of " << size << " bytes differs";
    }
}

TEST(RunConsoleCommand, CommandPrintingNothingGivesTrueAndEmptyOutput) {
    std::string output = "stale";
    EXPECT_TRUE(RunNarrow(Child("silent").c_str(), "C:\\", output));
    EXPECT_EQ("", output);
}

TEST(RunConsoleCommand, FailedStartGivesFalseEmptyOutputAndLeavesNoHandleOpen) {
    const int before = OwnHandleCount();
    ASSERT_GT(before, 0) << "cannot list this process's handles";
    std::string output = "stale";
    EXPECT_FALSE(RunNarrow("no_such_program_4711.exe /x", "C:\\", output));
    EXPECT_EQ("", output);
    EXPECT_EQ(before, OwnHandleCount());

    output = "stale";
    EXPECT_FALSE(RunNarrow(Child("silent").c_str(), "C:\\no\\such\\folder", output)) << "missing directory";
    EXPECT_EQ("", output);
    EXPECT_EQ(before, OwnHandleCount());
}

TEST(RunConsoleCommand, SuccessfulRunLeavesNoHandleOpen) {
    std::string output;
    ASSERT_TRUE(RunNarrow(Child("silent").c_str(), "C:\\", output));  // settles one-time handles
    const int before = OwnHandleCount();
    EXPECT_TRUE(RunNarrow(Child("print 10").c_str(), "C:\\", output));
    EXPECT_EQ(before, OwnHandleCount());
}

TEST(RunConsoleCommand, GrandchildHoldingTheWriteEndKeepsTheCallUntilItEnds) {
    std::string output;
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(RunNarrow(Child("spawn 1500").c_str(), "C:\\", output));
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_EQ("child done\ngrandchild done\n", output);
    EXPECT_GE(took, 1400u) << "returned before the grandchild ended";
}

TEST(RunConsoleCommand, ChunkWithZeroByteKeepsTheBytesBeforeItAndLaterChunksAppend) {
    std::string output;
    EXPECT_TRUE(RunNarrow(Child("zero").c_str(), "C:\\", output));
    EXPECT_EQ("beforeafter", output);
}

TEST(RunConsoleCommand, OnlyStandardOutputIsCaptured) {
    std::string output;
    EXPECT_TRUE(RunNarrow(Child("stderr").c_str(), "C:\\", output));
    EXPECT_EQ("to stdout", output);
}

TEST(RunConsoleCommand, ChildRunsHiddenInTheGivenDirectoryWithItsOutputRedirected) {
    std::string output;
    EXPECT_TRUE(RunNarrow(Child("cwd").c_str(), "C:\\windows", output));
    EXPECT_STRCASEEQ("C:\\windows", output.c_str());
    EXPECT_TRUE(RunNarrow(Child("startup").c_str(), "C:\\", output));
    EXPECT_EQ("flags=101 show=0", output);  // STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW, SW_HIDE
}

// Decided: a command line over 255 characters is refused rather than cut or overrun.
TEST(RunConsoleCommand, CommandLineOver255CharactersIsRefusedAnd255IsRun) {
    std::string command = Child("print 3");
    command.resize(MAX_CONSOLE_COMMAND, ' ');
    std::string output;
    EXPECT_TRUE(RunNarrow(command.c_str(), "C:\\", output));
    EXPECT_EQ("000", output);

    command += ' ';
    output = "stale";
    EXPECT_FALSE(RunNarrow(command.c_str(), "C:\\", output));
    EXPECT_EQ("", output);
}

// A command whose output does not end in time is terminated and counts as failed.
TEST(RunConsoleCommand, CommandNotEndedWithinTheTimeLimitIsTerminatedAndFails) {
    Capture capture;
    std::string output = "stale";
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(RunNarrow(Child("linger 8000").c_str(), "C:\\", output, 1000));
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_EQ("", output);
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 5000u) << "waited for the command";
    EXPECT_EQ(std::vector<std::string>{TAG + "Command did not end within 1000 ms; terminated\n"}, capture.debug());
}

// The starts the runner makes, seen through its seam; the real start still happens.
std::vector<DWORD> g_startFlags;

BOOL WINAPI RecordingCreateProcess(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                                   LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                                   LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) {
    g_startFlags.push_back(flags);
    return CreateProcessW(application, commandLine, processSecurity, threadSecurity, inherit, flags, environment,
                          directory, startup, process);
}

// Started from a GUI program, a console program gets a console window, and where a terminal program
// is the default terminal that window ignores SW_HIDE: only CREATE_NO_WINDOW leaves the child without
// one (its redirected handles work as before). Wine opens no console window either way, so the
// flags are checked where the child is started. The child's environment is the block given, whole.
TEST(RunConsoleCommand, ChildHasNoConsoleWindowAndExactlyTheGivenEnvironment) {
    struct Restore {
        ~Restore() { consoleRunnerCreateProcess = &::CreateProcessW; }
    } restore;
    g_startFlags.clear();
    consoleRunnerCreateProcess = RecordingCreateProcess;
    std::wstring block = L"ORVANTA_PLAIN=1";
    block.push_back(L'\0');
    block += L"ORVANTA_\u00c9T\u00c9=\u0394\u03b9";
    block.push_back(L'\0');
    block.push_back(L'\0');
    std::string output;
    EXPECT_TRUE(RunConsoleCommand(Widen(Child("environment").c_str()), L"C:\\", 60000, output, block.c_str()));
    ASSERT_EQ(1u, g_startFlags.size());
    EXPECT_EQ(static_cast<DWORD>(CREATE_NO_WINDOW), g_startFlags[0] & CREATE_NO_WINDOW)
        << "creation flags 0x" << std::hex << g_startFlags[0];
    // Wine adds its own WINE... variables and SystemRoot to every environment; only ours count here.
    std::string ours;
    for (size_t start = 0, end; start < output.size(); start = end + 1) {
        end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        if (output.compare(start, 8, "ORVANTA_") == 0) ours += output.substr(start, end - start) + "\n";
    }
    EXPECT_EQ("ORVANTA_PLAIN=1\nORVANTA_\xC3\x89T\xC3\x89=\xCE\x94\xCE\xB9\n", ours);
}

}  // namespace
