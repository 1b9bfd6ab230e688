// The real logontask.exe under Wine, reaching the fake Task Scheduler through the real COM runtime:
// the fake is registered for CLSID_TaskScheduler in the prefix for this program's run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "expected_task.h"
#include "fake_client.h"

using fake_taskschd::FakeScheduler;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

std::wstring BinDir() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    return s.substr(0, s.find_last_of(L'\\'));
}

// Registers the fake in the 32-bit registry view (this program is 32-bit, like the tool) and
// gives the class back to Wine's own Task Scheduler afterwards.
class FakeRegistration : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(S_OK, fake_taskschd::CallDllRegistration(BinDir() + L"\\taskschd_fake.dll", "DllRegisterServer"));
    }
    void TearDown() override {
        EXPECT_EQ(S_OK, fake_taskschd::CallDllRegistration(L"taskschd.dll", "DllRegisterServer"));
    }
};

[[maybe_unused]] const auto* const registration = ::testing::AddGlobalTestEnvironment(new FakeRegistration);

// Runs the tool with exactly this command line and returns its exit code.
DWORD RunTool(const std::wstring& exe, const std::wstring& commandLine) {
    std::wstring line = commandLine;
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start the tool: " << GetLastError();
        return 0xFFFFFFFF;
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

class LogonTaskProgram : public ::testing::Test {
protected:
    DWORD Run(const std::wstring& commandLine) { return RunTool(tool, commandLine); }

    FakeScheduler fake;
    std::wstring tool = BinDir() + L"\\logontask.exe";
    std::string launcher = Utf8(BinDir() + L"\\StartupOrvanta.exe");
};

TEST_F(LogonTaskProgram, CreateTaskRegistersTheListedTaskForTheLauncherBesideTheTool) {
    EXPECT_EQ(0u, Run(L"logontask.exe CREATE_TASK"));

    EXPECT_EQ(ExpectedTask(launcher), fake.Task(L"OrvantaUWP"));
    EXPECT_THAT(CallsOf(fake), ElementsAreArray(ExpectedCreateCalls(launcher)));
    EXPECT_THAT(fake.Unbalanced(), IsEmpty());
}

TEST_F(LogonTaskProgram, CreateReplacesAnOldTaskAndDeleteRemovesItEvenTwice) {
    fake.PutTask(L"OrvantaUWP", {{"Actions.Count", "1"}, {"RegistrationInfo.Author", "\"someone\""}});
    EXPECT_EQ(0u, Run(L"logontask.exe CREATE_TASK"));
    EXPECT_EQ(ExpectedTask(launcher), fake.Task(L"OrvantaUWP"));

    fake.ClearJournal();
    EXPECT_EQ(0u, Run(L"logontask.exe DELETE_TASK"));
    EXPECT_FALSE(fake.HasTask(L"OrvantaUWP"));
    EXPECT_EQ("ITaskFolder.DeleteTask(\"OrvantaUWP\", 0) = 0x00000000", CallsOf(fake).back());

    fake.ClearJournal();
    EXPECT_EQ(0u, Run(L"logontask.exe DELETE_TASK"));
    EXPECT_EQ("ITaskFolder.DeleteTask(\"OrvantaUWP\", 0) = 0x80070002", CallsOf(fake).back());
    EXPECT_THAT(fake.Unbalanced(), IsEmpty());
}

TEST_F(LogonTaskProgram, OnlyTheExactVerbAfterTheProgramNameAndBlanksDoesAnything) {
    const struct {
        const wchar_t* commandLine;
        bool creates;
    } cases[] = {
        {L"", false},
        {L"logontask.exe", false},
        {L"logontask.exe create_task", false},
        {L"logontask.exe CREATE_TASK ", false},
        {L"logontask.exe CREATE_TASK now", false},
        {L"logontask.exe    CREATE_TASK", true},
        {L"logontask.exe\tCREATE_TASK", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(std::wstring(L"command line [") + c.commandLine + L"]"));
        fake.ClearJournal();
        EXPECT_EQ(0u, Run(c.commandLine));
        EXPECT_EQ(c.creates, fake.HasTask(L"OrvantaUWP"));
        EXPECT_EQ(c.creates, fake.Created("TaskService"));
        DeleteFileW((fake.Dir() + L"\\tasks\\OrvantaUWP.task").c_str());
    }
}

// Copies the tool elsewhere in the prefix for the span of a test.
class CopiedTool {
public:
    CopiedTool(const std::wstring& folder, const std::wstring& source)
        : folder_(folder), path_(folder + L"\\logontask.exe") {
        CreateDirectoryW(folder.c_str(), nullptr);
        copied_ = CopyFileW(source.c_str(), path_.c_str(), FALSE);
    }
    ~CopiedTool() {
        DeleteFileW(path_.c_str());
        if (folder_.size() > 3) RemoveDirectoryW(folder_.c_str());
    }
    bool Copied() const { return copied_; }
    const std::wstring& Path() const { return path_; }

private:
    std::wstring folder_;
    std::wstring path_;
    bool copied_;
};

TEST_F(LogonTaskProgram, AQuotedProgramPathWithBlanksIsSkippedWhole) {
    CopiedTool copy(L"C:\\Orvanta Tools", tool);
    ASSERT_TRUE(copy.Copied());

    EXPECT_EQ(0u, RunTool(copy.Path(), L"\"C:\\Orvanta Tools\\logontask.exe\" CREATE_TASK"));
    EXPECT_EQ("\"C:\\Orvanta Tools\\StartupOrvanta.exe\"", fake.Task(L"OrvantaUWP")["Actions[0].Path"]);
    EXPECT_EQ(0u, RunTool(copy.Path(), L"\"C:\\Orvanta Tools\\logontask.exe\" DELETE_TASK"));
    EXPECT_FALSE(fake.HasTask(L"OrvantaUWP"));
}

TEST_F(LogonTaskProgram, AToolInADrivesRootFolderRegistersTheLauncherThere) {
    CopiedTool copy(L"C:", tool);
    ASSERT_TRUE(copy.Copied());

    EXPECT_EQ(0u, RunTool(copy.Path(), L"C:\\logontask.exe CREATE_TASK"));
    EXPECT_EQ(ExpectedTask("C:\\StartupOrvanta.exe"), fake.Task(L"OrvantaUWP"));
}

TEST_F(LogonTaskProgram, AnyFailingStepStillExitsZeroRegistersNothingAndReleasesEverything) {
    const char* const calls[] = {
        "IClassFactory.CreateInstance",  "ITaskService.Connect",
        "ITaskService.GetFolder",        "ITaskService.NewTask",
        "ITaskDefinition.get_Triggers",  "ITriggerCollection.Create",
        "ITaskDefinition.get_Principal", "IPrincipal.put_RunLevel",
        "ITaskDefinition.get_Settings",  "ITaskSettings.get_IdleSettings",
        "ITaskDefinition.get_Actions",   "IActionCollection.Create",
        "QueryInterface(IExecAction)",   "IExecAction.put_Path",
        "IExecAction.put_Arguments",     "ITaskFolder.RegisterTaskDefinition",
    };
    for (const char* call : calls) {
        SCOPED_TRACE(call);
        fake.ClearJournal();
        fake.ClearFailures();
        fake.Fail(call, E_ACCESSDENIED);
        EXPECT_EQ(0u, Run(L"logontask.exe CREATE_TASK"));
        EXPECT_FALSE(fake.HasTask(L"OrvantaUWP"));
        EXPECT_THAT(fake.Unbalanced(), IsEmpty());
        std::vector<std::string> made = fake.Calls();
        ASSERT_FALSE(made.empty());
        EXPECT_EQ(0u, made.back().rfind(call, 0)) << "went on after the failure to " << made.back();
    }
}

TEST_F(LogonTaskProgram, DeleteTaskThatCannotConnectExitsZeroAndLeavesTheTask) {
    fake.PutTask(L"OrvantaUWP", {{"Actions.Count", "1"}});
    fake.Fail("ITaskService.Connect", HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(0u, Run(L"logontask.exe DELETE_TASK"));
    EXPECT_TRUE(fake.HasTask(L"OrvantaUWP"));
    EXPECT_THAT(fake.Unbalanced(), IsEmpty());
}

}  // namespace
