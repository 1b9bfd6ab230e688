// The fake Task Scheduler keeps to the documented behaviour the tool under test relies on, and
// records what a test needs to judge a client by.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <taskschd.h>

#include "fake_client.h"
#include "fake_taskschd.h"

using fake_taskschd::FakeScheduler;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
};

struct Text {
    explicit Text(const wchar_t* s) : b(SysAllocString(s)) {}
    ~Text() { SysFreeString(b); }
    BSTR b;
};

// "Principal#20 ends with count 1" -> "Principal ends with count 1"
std::vector<std::string> Unnumbered(std::vector<std::string> lines) {
    for (std::string& line : lines) {
        size_t hash = line.find('#');
        line.erase(hash, line.find(' ', hash) - hash);
    }
    return lines;
}

class FakeTaskSchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, fake_taskschd::CreateTaskService(IID_ITaskService, reinterpret_cast<void**>(&service.p)));
        VARIANT empty;
        VariantInit(&empty);
        ASSERT_EQ(S_OK, service->Connect(empty, empty, empty, empty));
        Text root(L"\\");
        ASSERT_EQ(S_OK, service->GetFolder(root.b, &folder.p));
    }

    // A definition with one exec action, as the service requires.
    void NewRunnableTask(Ref<ITaskDefinition>& task) {
        ASSERT_EQ(S_OK, service->NewTask(0, &task.p));
        Ref<IActionCollection> actions;
        ASSERT_EQ(S_OK, task->get_Actions(&actions.p));
        Ref<IAction> action;
        ASSERT_EQ(S_OK, actions->Create(TASK_ACTION_EXEC, &action.p));
        Ref<IExecAction> exec;
        ASSERT_EQ(S_OK, action->QueryInterface(IID_IExecAction, reinterpret_cast<void**>(&exec.p)));
        Text path(L"C:\\x.exe");
        ASSERT_EQ(S_OK, exec->put_Path(path.b));
    }

    HRESULT Register(ITaskDefinition* task, LONG flags, const wchar_t* user = L"Administrators") {
        Text name(L"Job");
        VARIANT userId, none;
        VariantInit(&none);
        userId.vt = VT_BSTR;
        userId.bstrVal = SysAllocString(user);
        Ref<IRegisteredTask> registered;
        HRESULT hr =
            folder->RegisterTaskDefinition(name.b, task, flags, userId, none, TASK_LOGON_GROUP, none, &registered.p);
        VariantClear(&userId);
        return hr;
    }

    FakeScheduler fake;
    Ref<ITaskService> service;
    Ref<ITaskFolder> folder;
};

TEST_F(FakeTaskSchedulerTest, RefusesAsTheServiceIsDocumentedTo) {
    Ref<ITaskDefinition> task;
    NewRunnableTask(task);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Register(task.p, TASK_UPDATE));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NONE_MAPPED), Register(task.p, TASK_CREATE, L""));
    EXPECT_EQ(S_OK, Register(task.p, TASK_CREATE));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), Register(task.p, TASK_CREATE));
    EXPECT_EQ(S_OK, Register(task.p, TASK_CREATE_OR_UPDATE));

    Text job(L"Job");
    EXPECT_EQ(S_OK, folder->DeleteTask(job.b, 0));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), folder->DeleteTask(job.b, 0));

    Ref<ITaskDefinition> empty;
    ASSERT_EQ(S_OK, service->NewTask(0, &empty.p));
    EXPECT_EQ(static_cast<HRESULT>(0x80041319), Register(empty.p, TASK_CREATE)) << "a task needs an action";

    Ref<ITaskService> unconnected;
    ASSERT_EQ(S_OK, fake_taskschd::CreateTaskService(IID_ITaskService, reinterpret_cast<void**>(&unconnected.p)));
    Ref<ITaskFolder> none;
    Text root(L"\\"), other(L"\\Other");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED), unconnected->GetFolder(root.b, &none.p));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), service->GetFolder(other.b, &none.p));
    EXPECT_EQ(nullptr, none.p);
}

TEST_F(FakeTaskSchedulerTest, ANewTaskReadsTheDocumentedDefaultsAndKeepsWhatIsPut) {
    Ref<ITaskDefinition> task;
    ASSERT_EQ(S_OK, service->NewTask(0, &task.p));
    Ref<ITaskSettings> settings;
    ASSERT_EQ(S_OK, task->get_Settings(&settings.p));
    VARIANT_BOOL flag = VARIANT_FALSE;
    EXPECT_EQ(S_OK, settings->get_AllowHardTerminate(&flag));
    EXPECT_EQ(VARIANT_TRUE, flag);
    EXPECT_EQ(S_OK, settings->get_DisallowStartIfOnBatteries(&flag));
    EXPECT_EQ(VARIANT_TRUE, flag);
    TASK_INSTANCES_POLICY policy = TASK_INSTANCES_PARALLEL;
    EXPECT_EQ(S_OK, settings->get_MultipleInstances(&policy));
    EXPECT_EQ(TASK_INSTANCES_IGNORE_NEW, policy);
    BSTR limit = nullptr;
    EXPECT_EQ(S_OK, settings->get_ExecutionTimeLimit(&limit));
    EXPECT_STREQ(L"PT72H", limit);
    SysFreeString(limit);
    Text noLimit(L"PT0S");
    EXPECT_EQ(S_OK, settings->put_ExecutionTimeLimit(noLimit.b));
    EXPECT_EQ(S_OK, settings->get_ExecutionTimeLimit(&limit));
    EXPECT_STREQ(L"PT0S", limit);
    SysFreeString(limit);

    Ref<IIdleSettings> idle;
    ASSERT_EQ(S_OK, settings->get_IdleSettings(&idle.p));
    EXPECT_EQ(S_OK, idle->get_StopOnIdleEnd(&flag));
    EXPECT_EQ(VARIANT_TRUE, flag);

    Ref<ITriggerCollection> triggers;
    ASSERT_EQ(S_OK, task->get_Triggers(&triggers.p));
    Ref<ITrigger> trigger;
    ASSERT_EQ(S_OK, triggers->Create(TASK_TRIGGER_LOGON, &trigger.p));
    Ref<fake_taskschd::ILogonTrigger> logon;
    EXPECT_EQ(S_OK, trigger->QueryInterface(fake_taskschd::IID_ILogonTrigger, reinterpret_cast<void**>(&logon.p)));
    TASK_TRIGGER_TYPE2 type = TASK_TRIGGER_EVENT;
    EXPECT_EQ(S_OK, trigger->get_Type(&type));
    EXPECT_EQ(TASK_TRIGGER_LOGON, type);
    LONG count = 0;
    EXPECT_EQ(S_OK, triggers->get_Count(&count));
    EXPECT_EQ(1, count);
}

TEST_F(FakeTaskSchedulerTest, JournalShowsCountsLeaksAndUseAfterRelease) {
    Ref<ITaskDefinition> task;
    ASSERT_EQ(S_OK, service->NewTask(0, &task.p));
    IPrincipal* principal = nullptr;
    ASSERT_EQ(S_OK, task->get_Principal(&principal));
    principal->AddRef();
    principal->Release();
    EXPECT_THAT(Unnumbered(fake.Unbalanced()),
                ElementsAre("TaskService ends with count 1", "TaskFolder ends with count 1",
                            "TaskDefinition ends with count 1", "Principal ends with count 1"));
    principal->Release();
    principal->put_RunLevel(TASK_RUNLEVEL_HIGHEST);
    EXPECT_THAT(fake.Unbalanced(), ::testing::Contains(::testing::HasSubstr("used after its last release")));
}

TEST_F(FakeTaskSchedulerTest, AChosenResultReplacesTheCallAndAChosenSuccessHandsOutNothing) {
    fake.Fail("ITaskDefinition.get_Principal", E_ACCESSDENIED);
    fake.Fail("ITaskDefinition.get_Settings", S_OK);
    Ref<ITaskService> steered;
    ASSERT_EQ(S_OK, fake_taskschd::CreateTaskService(IID_ITaskService, reinterpret_cast<void**>(&steered.p)));
    Ref<ITaskDefinition> task;
    ASSERT_EQ(S_OK, steered->NewTask(0, &task.p));
    Ref<IPrincipal> principal;
    EXPECT_EQ(E_ACCESSDENIED, task->get_Principal(&principal.p));
    EXPECT_EQ(nullptr, principal.p);
    Ref<ITaskSettings> settings;
    EXPECT_EQ(S_OK, task->get_Settings(&settings.p));
    EXPECT_EQ(nullptr, settings.p);
    EXPECT_THAT(fake.Calls(), ::testing::Contains("ITaskDefinition.get_Principal() = 0x80070005"));
}

}  // namespace
