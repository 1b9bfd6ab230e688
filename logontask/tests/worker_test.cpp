// The workers, run through the module operations with the fake Task Scheduler linked in.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "expected_task.h"
#include "fake_client.h"
#include "logontask.h"
#include "seams.h"

using fake_taskschd::FakeScheduler;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

const wchar_t kLauncher[] = L"C:\\Program Files\\Orvanta\\StartupOrvanta.exe";
const char kLauncherUtf8[] = "C:\\Program Files\\Orvanta\\StartupOrvanta.exe";

std::string Hex(LONG value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

class CreateTaskWorkerTest : public SeamsTest {
protected:
    LONG CreateAsTheToolDoes() { return EnableLogonStartup(L"OrvantaUWP", nullptr, nullptr, kLauncher, 1); }
    LONG CreateWithEverything() {
        return EnableLogonStartup(L"OrvantaUWP", L"Orvanta setup", L"Starts the launcher", kLauncher, 1);
    }
    FakeScheduler fake;
};

TEST_F(CreateTaskWorkerTest, RegistersExactlyTheListedDefinitionAndReleasesEverything) {
    EXPECT_EQ(0, CreateAsTheToolDoes());

    EXPECT_THAT(CallsOf(fake), ElementsAreArray(ExpectedCreateCalls(kLauncherUtf8)));
    EXPECT_EQ(ExpectedTask(kLauncherUtf8), fake.Task(L"OrvantaUWP"));
    EXPECT_THAT(fake.Unbalanced(), IsEmpty());
    EXPECT_THAT(seams.messages, IsEmpty());
    EXPECT_TRUE(seams.comArgumentsAsListed);
    EXPECT_EQ(1, seams.coUninitializeCalls);
    // Each interface goes as soon as its step is done; the service goes right after NewTask, and
    // the exec action is held to the end and released first, then the folder, then the definition.
    EXPECT_THAT(fake.Lifetimes(),
                ElementsAre("+TaskService", "+TaskFolder", "+TaskDefinition", "-TaskService", "+TriggerCollection",
                            "+LogonTrigger", "-TriggerCollection", "-LogonTrigger", "+Principal", "-Principal",
                            "+TaskSettings", "+IdleSettings", "-IdleSettings", "-TaskSettings", "+ActionCollection",
                            "+ExecAction", "-ActionCollection", "+RegisteredTask", "-RegisteredTask", "-ExecAction",
                            "-TaskFolder", "-TaskDefinition"));
}

TEST_F(CreateTaskWorkerTest, AuthorDescriptionAndParallelRunsAreSetOnlyWhenGiven) {
    EXPECT_EQ(0, CreateWithEverything());

    auto expected = ExpectedTask(kLauncherUtf8);
    expected["RegistrationInfo.Author"] = "\"Orvanta setup\"";
    expected["RegistrationInfo.Description"] = "\"Starts the launcher\"";
    EXPECT_EQ(expected, fake.Task(L"OrvantaUWP"));
    EXPECT_THAT(fake.Unbalanced(), IsEmpty());

    // Without runInParallel the scheduler's default (ignore a new instance) stays.
    EXPECT_EQ(0, EnableLogonStartup(L"OrvantaUWP", nullptr, nullptr, kLauncher, 0));
    expected = ExpectedTask(kLauncherUtf8);
    expected.erase("Settings.MultipleInstances");
    EXPECT_EQ(expected, fake.Task(L"OrvantaUWP"));
}

TEST_F(CreateTaskWorkerTest, AnOldTaskOfTheNameIsReplacedWithNothingOfItLeft) {
    fake.PutTask(L"OrvantaUWP", {{"Actions.Count", "1"},
                                 {"Actions[0].Path", "\"C:\\old\\StartupOrvanta.exe\""},
                                 {"RegistrationInfo.Author", "\"someone\""},
                                 {"Settings.MultipleInstances", "3"}});
    EXPECT_EQ(0, CreateAsTheToolDoes());

    EXPECT_EQ("ITaskFolder.DeleteTask(\"OrvantaUWP\", 0) = 0x00000000", CallsOf(fake)[3]);
    EXPECT_EQ(ExpectedTask(kLauncherUtf8), fake.Task(L"OrvantaUWP"));
}

TEST_F(CreateTaskWorkerTest, AnOldTaskThatCannotBeRemovedMakesTheRegistrationFailAsNameTaken) {
    std::map<std::string, std::string> old = {{"Actions.Count", "1"}, {"RegistrationInfo.Author", "\"someone\""}};
    fake.PutTask(L"OrvantaUWP", old);
    fake.Fail("ITaskFolder.DeleteTask", E_ACCESSDENIED);

    const HRESULT nameTaken = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    EXPECT_EQ(nameTaken, CreateAsTheToolDoes());
    EXPECT_THAT(seams.messages,
                ElementsAre(Format(L"<LogonStart> EnableLogonStartup - Error saving the Task : %x", nameTaken)));
    EXPECT_EQ(old, fake.Task(L"OrvantaUWP"));
    EXPECT_THAT(fake.Unbalanced(), IsEmpty());
}

// One failing call per row: the worker's result and message, the interfaces it releases after the
// failure (in order), and whether it goes on to register. A chosen success without an object
// (injected 0) stands for a server that hands back nothing.
struct FailureRow {
    const char* call;
    HRESULT injected;
    HRESULT result;
    const wchar_t* message;
    std::vector<std::string> released;
    bool goesOn;
};

const std::vector<std::string> kFolderAndDefinition = {"TaskFolder", "TaskDefinition"};

std::vector<std::string> Then(const char* first, const std::vector<std::string>& rest = kFolderAndDefinition) {
    std::vector<std::string> all = {first};
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

const FailureRow kCreateFailures[] = {
    {"IClassFactory.CreateInstance",
     REGDB_E_CLASSNOTREG,
     REGDB_E_CLASSNOTREG,
     L"<LogonStart> EnableLogonStartup - Failed to CoCreate an instance of the TaskService class: %x",
     {},
     false},
    {"ITaskService.Connect",
     E_ACCESSDENIED,
     E_ACCESSDENIED,
     L"<LogonStart> EnableLogonStartup - ITaskService::Connect failed: %x",
     {"TaskService"},
     false},
    {"ITaskService.GetFolder",
     HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
     HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
     L"<LogonStart> EnableLogonStartup - Cannot get Root Folder pointer: %x",
     {"TaskService"},
     false},
    {"ITaskService.GetFolder",
     S_OK,
     E_POINTER,
     L"<LogonStart> EnableLogonStartup - Cannot get Root Folder pointer: %x",
     {"TaskService"},
     false},
    {"ITaskService.NewTask",
     E_OUTOFMEMORY,
     E_OUTOFMEMORY,
     L"<LogonStart> EnableLogonStartup - Failed to CoCreate an instance of the TaskService class: %x",
     {"TaskService", "TaskFolder"},
     false},
    {"ITaskService.NewTask",
     S_OK,
     E_POINTER,
     L"<LogonStart> EnableLogonStartup - Failed to CoCreate an instance of the TaskService class: %x",
     {"TaskService", "TaskFolder"},
     false},
    {"ITaskDefinition.get_RegistrationInfo", E_FAIL, E_FAIL,
     L"<LogonStart> EnableLogonStartup - Cannot get identification pointer: %x", kFolderAndDefinition, false},
    {"IRegistrationInfo.put_Author", E_INVALIDARG, E_INVALIDARG,
     L"<LogonStart> EnableLogonStartup - Cannot put identification info: %x", Then("RegistrationInfo"), false},
    {"IRegistrationInfo.put_Description", E_INVALIDARG, E_INVALIDARG,
     L"<LogonStart> EnableLogonStartup - Cannot put task description: %x", Then("RegistrationInfo"), false},
    {"ITaskDefinition.get_Triggers", E_FAIL, E_FAIL,
     L"<LogonStart> EnableLogonStartup - Cannot get trigger collection: %x", kFolderAndDefinition, false},
    {"ITriggerCollection.Create", E_NOTIMPL, E_NOTIMPL,
     L"<LogonStart> EnableLogonStartup - Cannot add logon trigger to the Task %x", Then("TriggerCollection"), false},
    {"ITriggerCollection.Create", S_OK, E_POINTER,
     L"<LogonStart> EnableLogonStartup - Cannot add logon trigger to the Task %x", Then("TriggerCollection"), false},
    {"ITaskDefinition.get_Principal", E_FAIL, E_FAIL,
     L"<LogonStart> EnableLogonStartup - Cannot get principal pointer: %x", kFolderAndDefinition, false},
    {"IPrincipal.put_Id",
     E_INVALIDARG,
     0,
     L"<LogonStart> EnableLogonStartup - Cannot put the principal ID: %x",
     {},
     true},
    {"IPrincipal.put_LogonType",
     E_NOTIMPL,
     0,
     L"<LogonStart> EnableLogonStartup - Cannot put principal logon type: %x",
     {},
     true},
    {"IPrincipal.put_RunLevel", E_NOTIMPL, E_NOTIMPL,
     L"<LogonStart> EnableLogonStartup - Cannot put principal run level: %x", Then("Principal"), false},
    {"ITaskDefinition.get_Settings", E_FAIL, E_FAIL,
     L"<LogonStart> EnableLogonStartup - Cannot get settings pointer: %x", kFolderAndDefinition, false},
    {"ITaskSettings.put_AllowHardTerminate", E_FAIL, 0, nullptr, {}, true},
    {"ITaskSettings.put_ExecutionTimeLimit", E_INVALIDARG, 0, nullptr, {}, true},
    {"ITaskSettings.put_MultipleInstances", E_INVALIDARG, 0, nullptr, {}, true},
    {"ITaskSettings.get_IdleSettings", E_NOTIMPL, E_NOTIMPL,
     L"<LogonStart> EnableLogonStartup - Cannot put setting info: %x", Then("TaskSettings"), false},
    {"IIdleSettings.put_StopOnIdleEnd", E_FAIL, 0, nullptr, {}, true},
    {"ITaskDefinition.get_Actions", E_FAIL, E_FAIL,
     L"<LogonStart> EnableLogonStartup - Cannot get Task collection pointer: %x", kFolderAndDefinition, false},
    {"IActionCollection.Create", E_NOTIMPL, E_NOTIMPL,
     L"<LogonStart> EnableLogonStartup - Cannot create ActionCollection: %x", Then("ActionCollection"), false},
    {"QueryInterface(IExecAction)", E_NOINTERFACE, E_NOINTERFACE,
     L"<LogonStart> EnableLogonStartup - Cannot get IID_IExecAction Interface: %x", Then("ExecAction"), false},
    {"IExecAction.put_Path", E_INVALIDARG, E_INVALIDARG,
     L"<LogonStart> EnableLogonStartup - Cannot set path of executable: %x", Then("ExecAction"), false},
    {"IExecAction.put_Arguments", E_INVALIDARG, E_INVALIDARG,
     L"<LogonStart> EnableLogonStartup - Cannot set arguments of executable: %x", Then("ExecAction"), false},
    {"ITaskFolder.RegisterTaskDefinition", E_ACCESSDENIED, E_ACCESSDENIED,
     L"<LogonStart> EnableLogonStartup - Error saving the Task : %x", Then("ExecAction"), false},
};

TEST_F(CreateTaskWorkerTest, EachFailingCallGivesItsMessageResultReleasesAndStopsOrGoesOn) {
    for (const FailureRow& row : kCreateFailures) {
        SCOPED_TRACE(std::string(row.call) + " failing with " + Hex(row.injected));
        FakeScheduler rowFake;
        SetUp();
        rowFake.Fail(row.call, row.injected);

        EXPECT_EQ(Hex(row.result), Hex(CreateWithEverything()));

        std::vector<std::wstring> messages;
        if (row.message) messages.push_back(Format(row.message, FAILED(row.injected) ? row.injected : E_POINTER));
        EXPECT_EQ(messages, seams.messages);
        EXPECT_THAT(rowFake.Unbalanced(), IsEmpty());
        EXPECT_EQ(1, seams.coUninitializeCalls);
        EXPECT_EQ(row.goesOn, rowFake.HasTask(L"OrvantaUWP"));
        if (!row.goesOn) {
            std::vector<std::string> calls = rowFake.Calls();
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ(0u, calls.back().rfind(row.call, 0))
                << "the worker went on after the failure; last call: " << calls.back();
            EXPECT_EQ(row.released, rowFake.ReleasedAfter(row.call));
        }
    }
}

// A worker that ends passes its message first and then releases what it holds; only the steps that
// release an interface "whatever the result" have done so before their message.
TEST_F(SeamsTest, AnEndingWorkerReleasesOnlyAfterItsMessage) {
    const struct {
        bool create;
        const char* call;
        std::vector<std::string> releasedBeforeMessage;
    } rows[] = {
        {true, "ITaskService.Connect", {}},
        {true, "ITaskService.GetFolder", {}},
        {true, "IRegistrationInfo.put_Author", {}},
        {true, "IRegistrationInfo.put_Description", {}},
        {true, "ITriggerCollection.Create", {"TriggerCollection"}},
        {true, "IPrincipal.put_RunLevel", {"Principal"}},
        {true, "ITaskSettings.get_IdleSettings", {"TaskSettings"}},
        {true, "IActionCollection.Create", {"ActionCollection"}},
        {false, "ITaskService.Connect", {}},
        {false, "ITaskService.GetFolder", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.create ? "create: " : "delete: ") + row.call);
        FakeScheduler rowFake;
        SetUp();
        rowFake.Fail(row.call, E_ACCESSDENIED);
        std::vector<std::vector<std::string>> releasedAtMessage;
        seams.onMessage = [&](const std::wstring&) { releasedAtMessage.push_back(rowFake.ReleasedAfter(row.call)); };

        LONG result = row.create
                          ? EnableLogonStartup(L"OrvantaUWP", L"Orvanta setup", L"Starts the launcher", kLauncher, 0)
                          : DisableLogonStartup(L"OrvantaUWP");
        EXPECT_EQ(Hex(E_ACCESSDENIED), Hex(result));
        ASSERT_EQ(1u, releasedAtMessage.size());
        EXPECT_EQ(row.releasedBeforeMessage, releasedAtMessage[0]);
    }
}

// A Windows whose language for non-Unicode programs differs from its own, here a Greek one run
// with a Western code page: the group's name is registered as the look-up gave it, in UTF-16.
TEST_F(CreateTaskWorkerTest, AGroupNameBeyondTheAnsiCodePageIsRegisteredAsLookedUp) {
    const std::wstring greek = L"\u0394\u03b9\u03b1\u03c7\u03b5\u03b9\u03c1\u03b9\u03c3\u03c4\u03ad\u03c2";
    char narrow[64] = {};
    BOOL lost = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, greek.c_str(), -1, narrow, sizeof narrow, nullptr, &lost);
    ASSERT_TRUE(lost) << "the name fits this prefix's ANSI code page " << GetACP() << "; the case shows nothing";
    seams.administratorsName = greek;
    fake.NameGroup(L"S-1-5-32-544", greek);

    EXPECT_EQ(0, CreateAsTheToolDoes());

    auto expected = ExpectedTask(kLauncherUtf8);
    expected["Registration.User"] = "VT_BSTR \"" + Utf8(greek) + "\"";
    EXPECT_EQ(expected, fake.Task(L"OrvantaUWP"));
    EXPECT_THAT(seams.messages, IsEmpty());
}

TEST_F(CreateTaskWorkerTest, AFailedAccountLookUpLeavesTheUserEmptyAndTheRegistrationDecides) {
    seams.failSidAllocation = true;
    const HRESULT noMapping = HRESULT_FROM_WIN32(ERROR_NONE_MAPPED);
    EXPECT_EQ(noMapping, CreateAsTheToolDoes());

    EXPECT_EQ(
        "ITaskFolder.RegisterTaskDefinition(\"OrvantaUWP\", TaskDefinition, 2, VT_BSTR \"\", VT_EMPTY, 4, "
        "VT_BSTR \"\") = 0x80070534",
        CallsOf(fake).back());
    EXPECT_THAT(seams.messages,
                ElementsAre(Format(L"<LogonStart> EnableLogonStartup - Error saving the Task : %x", noMapping)));
}

// Decided: a string that cannot be made is never passed as null; the call is skipped and the worker
// ends with E_OUTOFMEMORY after its usual releases.
TEST_F(CreateTaskWorkerTest, AStringThatCannotBeMadeEndsTheWorkerBeforeTheCallThatNeedsIt) {
    ASSERT_EQ(0, CreateWithEverything());
    const int strings = seams.bstrAllocations;
    ASSERT_GE(strings, 9);

    for (int failing = 1; failing <= strings; ++failing) {
        SCOPED_TRACE("string " + std::to_string(failing) + " of " + std::to_string(strings));
        FakeScheduler rowFake;
        SetUp();
        seams.failBstrAllocation = failing;

        EXPECT_EQ(Hex(E_OUTOFMEMORY), Hex(CreateWithEverything()));
        EXPECT_FALSE(rowFake.HasTask(L"OrvantaUWP"));
        EXPECT_THAT(rowFake.Unbalanced(), IsEmpty());
        EXPECT_EQ(1, seams.coUninitializeCalls);
        for (const std::string& call : rowFake.Calls()) EXPECT_EQ(std::string::npos, call.find("null")) << call;
    }
}

class DeleteTaskWorkerTest : public SeamsTest {
protected:
    FakeScheduler fake;
};

TEST_F(DeleteTaskWorkerTest, DeletesTheTaskAndReleasesTheServiceThenTheFolder) {
    fake.PutTask(L"OrvantaUWP", {{"Actions.Count", "1"}});
    EXPECT_EQ(0, DisableLogonStartup(L"OrvantaUWP"));

    EXPECT_FALSE(fake.HasTask(L"OrvantaUWP"));
    EXPECT_THAT(CallsOf(fake), ElementsAre("IClassFactory.CreateInstance(ITaskService) = 0x00000000",
                                           "ITaskService.Connect(VT_EMPTY, VT_EMPTY, VT_EMPTY, VT_EMPTY) = 0x00000000",
                                           "ITaskService.GetFolder(\"\\\") = 0x00000000",
                                           "ITaskFolder.DeleteTask(\"OrvantaUWP\", 0) = 0x00000000"));
    EXPECT_THAT(fake.ReleasedAfter("ITaskFolder.DeleteTask"), ElementsAre("TaskService", "TaskFolder"));
    EXPECT_THAT(fake.Unbalanced(), IsEmpty());
    EXPECT_EQ(1, seams.coUninitializeCalls);
    EXPECT_THAT(seams.messages, IsEmpty());
}

TEST_F(DeleteTaskWorkerTest, DeletingAMissingOrUndeletableTaskStillYieldsZero) {
    EXPECT_EQ(0, DisableLogonStartup(L"OrvantaUWP"));
    EXPECT_EQ("ITaskFolder.DeleteTask(\"OrvantaUWP\", 0) = 0x80070002", CallsOf(fake).back());

    fake.PutTask(L"OrvantaUWP", {{"Actions.Count", "1"}});
    fake.Fail("ITaskFolder.DeleteTask", E_ACCESSDENIED);
    EXPECT_EQ(0, DisableLogonStartup(L"OrvantaUWP"));
    EXPECT_TRUE(fake.HasTask(L"OrvantaUWP"));
    EXPECT_THAT(fake.Unbalanced(), IsEmpty());
    EXPECT_THAT(seams.messages, IsEmpty());
}

TEST_F(DeleteTaskWorkerTest, EachFailingSetUpCallGivesItsMessageAndResult) {
    const FailureRow rows[] = {
        {"IClassFactory.CreateInstance",
         REGDB_E_CLASSNOTREG,
         REGDB_E_CLASSNOTREG,
         L"<LogonStart> DisableLogonStartup - Failed to CoCreate an instance of the TaskService class: %x",
         {},
         false},
        {"ITaskService.Connect",
         E_ACCESSDENIED,
         E_ACCESSDENIED,
         L"<LogonStart> DisableLogonStartup - ITaskService::Connect failed: %x",
         {"TaskService"},
         false},
        {"ITaskService.GetFolder",
         E_ACCESSDENIED,
         E_ACCESSDENIED,
         L"<LogonStart> DisableLogonStartup - Cannot get Root Folder pointer: %x",
         {"TaskService"},
         false},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.call);
        FakeScheduler rowFake;
        SetUp();
        rowFake.PutTask(L"OrvantaUWP", {{"Actions.Count", "1"}});
        rowFake.Fail(row.call, row.injected);

        EXPECT_EQ(Hex(row.result), Hex(DisableLogonStartup(L"OrvantaUWP")));
        EXPECT_THAT(seams.messages, ElementsAre(Format(row.message, row.injected)));
        EXPECT_EQ(row.released, rowFake.ReleasedAfter(row.call));
        EXPECT_TRUE(rowFake.HasTask(L"OrvantaUWP"));
        EXPECT_THAT(rowFake.Unbalanced(), IsEmpty());
        EXPECT_EQ(1, seams.coUninitializeCalls);
    }
}

TEST_F(SeamsTest, ComSetUpFailuresEndBothWorkersAndLeaveCOMOnlyIfJoined) {
    FakeScheduler fake;
    seams.coInitializeExFailure = RPC_E_CHANGED_MODE;
    EXPECT_EQ(RPC_E_CHANGED_MODE, EnableLogonStartup(L"OrvantaUWP", nullptr, nullptr, kLauncher, 0));
    EXPECT_EQ(RPC_E_CHANGED_MODE, DisableLogonStartup(L"OrvantaUWP"));
    EXPECT_THAT(
        seams.messages,
        ElementsAre(Format(L"<LogonStart> EnableLogonStartup - CoInitializeEx failed: %x", RPC_E_CHANGED_MODE),
                    Format(L"<LogonStart> DisableLogonStartup - CoInitializeEx failed: %x", RPC_E_CHANGED_MODE)));
    EXPECT_EQ(0, seams.coUninitializeCalls);

    SetUp();
    seams.coInitializeSecurityFailure = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, EnableLogonStartup(L"OrvantaUWP", nullptr, nullptr, kLauncher, 0));
    EXPECT_EQ(E_ACCESSDENIED, DisableLogonStartup(L"OrvantaUWP"));
    EXPECT_THAT(
        seams.messages,
        ElementsAre(Format(L"<LogonStart> EnableLogonStartup - CoInitializeSecurity failed: %x", E_ACCESSDENIED),
                    Format(L"<LogonStart> DisableLogonStartup - CoInitializeSecurity failed: %x", E_ACCESSDENIED)));
    EXPECT_EQ(2, seams.coUninitializeCalls);
    EXPECT_FALSE(fake.Created("TaskService"));
}

TEST_F(SeamsTest, ALaterOperationInTheSameProcessFindsSecuritySetAndGoesOn) {
    FakeScheduler fake;
    EXPECT_EQ(0, EnableLogonStartup(L"OrvantaUWP", nullptr, nullptr, kLauncher, 0));
    EXPECT_EQ(0, DisableLogonStartup(L"OrvantaUWP"));
    ASSERT_EQ(2u, seams.securityResults.size());
    EXPECT_EQ(Hex(RPC_E_TOO_LATE), Hex(seams.securityResults[1]));
    EXPECT_FALSE(fake.HasTask(L"OrvantaUWP"));
    EXPECT_THAT(seams.messages, IsEmpty());
    EXPECT_EQ(2, seams.coUninitializeCalls);
}

}  // namespace
