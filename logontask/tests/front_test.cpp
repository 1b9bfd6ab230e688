// The module operations around the workers: their checks, the busy refusal and the worker thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_client.h"
#include "logontask.h"
#include "seams.h"

using fake_taskschd::FakeScheduler;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const wchar_t kLauncher[] = L"C:\\Orvanta\\StartupOrvanta.exe";

class OperationsTest : public SeamsTest {
protected:
    FakeScheduler fake;
};

TEST_F(OperationsTest, MissingNameOrPathIsRefusedWithoutAThread) {
    EXPECT_EQ(-1, EnableLogonStartup(nullptr, nullptr, nullptr, kLauncher, 0));
    EXPECT_EQ(-1, EnableLogonStartup(L"OrvantaUWP", L"author", L"description", nullptr, 0));
    EXPECT_EQ(-1, DisableLogonStartup(nullptr));

    EXPECT_THAT(seams.messages, ElementsAre(L"<LogonStart> EnableLogonStartup - Parameter is invalided",
                                            L"<LogonStart> EnableLogonStartup - Parameter is invalided",
                                            L"<LogonStart> DisableLogonStartup - Parameter is invalided"));
    EXPECT_EQ(0, seams.createThreadCalls);
    EXPECT_FALSE(fake.Created("TaskService"));
}

TEST_F(OperationsTest, OnlyMajorVersionSixAndLaterIsSupported) {
    seams.version = 0x0A280105;  // 5.1, build 2600
    EXPECT_FALSE(IsSupportedOs());
    EXPECT_EQ(-1, EnableLogonStartup(L"OrvantaUWP", nullptr, nullptr, kLauncher, 0));
    EXPECT_EQ(-1, DisableLogonStartup(L"OrvantaUWP"));
    EXPECT_THAT(seams.messages,
                ElementsAre(L"<LogonStart> EnableLogonStartup - The function is unsupported for this OS",
                            L"<LogonStart> DisableLogonStartup - The function is unsupported for this OS"));
    EXPECT_EQ(0, seams.createThreadCalls);
    EXPECT_FALSE(fake.Created("TaskService"));

    seams.version = 0x17700006;  // 6.0, build 6000: only the lowest byte counts
    EXPECT_TRUE(IsSupportedOs());
    seams.version = 0x4A61000A;  // 10.0
    EXPECT_TRUE(IsSupportedOs());
}

TEST_F(OperationsTest, ACallWhileAWorkerRunsIsRefusedAsBusy) {
    LONG enableWhileBusy = 0;
    LONG disableWhileBusy = 0;
    bool asked = false;
    // The failing put_Id produces a message on the worker thread mid-work without stopping it.
    seams.onMessage = [&](const std::wstring&) {
        if (asked) return;
        asked = true;
        for (int i = 0; i < 10000 && !LogonTaskBusy(); ++i) Sleep(1);
        enableWhileBusy = EnableLogonStartup(L"Other", nullptr, nullptr, kLauncher, 0);
        disableWhileBusy = DisableLogonStartup(L"Other");
    };
    fake.Fail("IPrincipal.put_Id", E_INVALIDARG);

    EXPECT_EQ(0, EnableLogonStartup(L"OrvantaUWP", nullptr, nullptr, kLauncher, 0));
    EXPECT_EQ(-1, enableWhileBusy);
    EXPECT_EQ(-1, disableWhileBusy);
    EXPECT_THAT(seams.messages,
                ElementsAre(Format(L"<LogonStart> EnableLogonStartup - Cannot put the principal ID: %x", E_INVALIDARG),
                            L"<LogonStart> EnableLogonStartup - The module is busy in handling other request",
                            L"<LogonStart> DisableLogonStartup - The module is busy in handling other request"));
    EXPECT_EQ(1, seams.createThreadCalls);
    EXPECT_FALSE(LogonTaskBusy());
    EXPECT_TRUE(fake.HasTask(L"OrvantaUWP"));
    EXPECT_FALSE(fake.HasTask(L"Other"));
}

TEST_F(OperationsTest, TheWorkerRunsOnItsOwnThreadWhoseHandleIsClosedAfterward) {
    EXPECT_EQ(0, DisableLogonStartup(L"OrvantaUWP"));
    EXPECT_EQ(1, seams.createThreadCalls);
    EXPECT_TRUE(seams.createThreadArgumentsAsListed);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(seams.lastThread, &flags)) << "the worker's thread handle is still open";
    EXPECT_FALSE(LogonTaskBusy());
}

// Decided: without a worker the operation reports the thread's error at once, not a preset success.
TEST_F(OperationsTest, AWorkerThatCannotBeStartedIsReportedAndLeavesTheModuleIdle) {
    seams.createThreadError = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY),
              EnableLogonStartup(L"OrvantaUWP", nullptr, nullptr, kLauncher, 0));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), DisableLogonStartup(L"OrvantaUWP"));
    EXPECT_FALSE(LogonTaskBusy());
    EXPECT_FALSE(fake.Created("TaskService"));

    seams.createThreadError = 0;
    EXPECT_EQ(0, EnableLogonStartup(L"OrvantaUWP", nullptr, nullptr, kLauncher, 0));
    EXPECT_TRUE(fake.HasTask(L"OrvantaUWP"));
}

}  // namespace
