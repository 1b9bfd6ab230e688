#include "test_drivers.h"

#include <chrono>
#include <string>
#include <thread>

using namespace ksimtest;

namespace {

using KeTest = KsimTest;
using KeMisuseTest = MisuseTest;

TEST_F(KeTest, TheDdkInlineIrqlCallsSeeTheSimulatedIrqlOfTheirOwnThread) {
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    KIRQL old = 0xFF;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(PASSIVE_LEVEL, old);
    EXPECT_EQ(DISPATCH_LEVEL, KsimIrql());
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    KIRQL elsewhere = 0xFF;
    std::thread([&elsewhere] { elsewhere = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(PASSIVE_LEVEL, elsewhere);
    KeLowerIrql(old);
    EXPECT_EQ(PASSIVE_LEVEL, KsimIrql());
    KsimSetIrql(APC_LEVEL);
    EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
    KsimSetIrql(PASSIVE_LEVEL);
}

TEST_F(KeTest, ASynchronizationEventReleasesOneWaitAndANotificationEventStaysSignalled) {
    KEVENT sync, notification;
    KeInitializeEvent(&sync, SynchronizationEvent, TRUE);
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    LARGE_INTEGER none;
    none.QuadPart = 0;
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &none));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &none));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &none));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &none));
    EXPECT_EQ(1, KeResetEvent(&notification));
    EXPECT_EQ(0, KeReadStateEvent(&notification));
}

TEST_F(KeTest, AWaitEndsWhenAnotherThreadSetsTheEventOrWhenItsTimeoutPasses) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER tenMs;
    tenMs.QuadPart = -10 * 10000;
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &tenMs));
    std::thread setter([&event] {
        KsimIrqlScope raised(DISPATCH_LEVEL);  // setting an event is allowed at DISPATCH_LEVEL
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    setter.join();
}

TEST_F(KeMisuseTest, AWaitWithoutTimeoutAboveApcLevelStopsEvenWhenTheEventIsSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    {
        KsimIrqlScope raised(DISPATCH_LEVEL);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_IRQL_NOT_LESS_OR_EQUAL, stops[0].code);
    EXPECT_EQ(DISPATCH_LEVEL, stops[0].p[1]);

    // A zero timeout only polls, which DISPATCH_LEVEL allows.
    LARGE_INTEGER none;
    none.QuadPart = 0;
    KeClearEvent(&event);
    KsimIrqlScope raised(DISPATCH_LEVEL);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none));
    EXPECT_TRUE(KsimTakeStops().empty());
}

TEST_F(KsimTest, GuardedRegionsDisableAllApcsAndCriticalRegionsOnlyNormalOnes) {
    EXPECT_FALSE(KeAreAllApcsDisabled());
    KeEnterCriticalRegion();
    EXPECT_TRUE(KeAreApcsDisabled());
    EXPECT_FALSE(KeAreAllApcsDisabled());
    KeLeaveCriticalRegion();
    KeEnterGuardedRegion();
    EXPECT_TRUE(KeAreAllApcsDisabled());
    KeLeaveGuardedRegion();
    EXPECT_FALSE(KeAreAllApcsDisabled());
    KsimIrqlScope apc(APC_LEVEL);
    EXPECT_TRUE(KeAreAllApcsDisabled());
}

}  // namespace

namespace {

// Waits for an event nobody sets.
NTSTATUS WaitsForever(PKEVENT event) { return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); }

// Past the test's limit the wait stops with the waiter's stack; a handler that ends the wait
// lets the test go on, any other would see the program end instead of hang.
TEST_F(KeMisuseTest, AWaitPastTheTestsLimitStopsWithTheWaitersStack) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<KsimStop> stops;
    KsimSetStopHandler([&](const KsimStop& stop) {
        stops.push_back(stop);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    KsimSetWaitLimit(200);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(STATUS_SUCCESS, WaitsForever(&event));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    KsimSetStopHandler(nullptr);
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, stops[0].code);
    EXPECT_EQ(0x224u, stops[0].p[0]);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(&event), stops[0].p[1]);
    EXPECT_NE(std::string::npos, stops[0].what.find("the waiter's stack: ")) << stops[0].what;
    EXPECT_NE(std::string::npos, stops[0].what.find("(exe+0x")) << stops[0].what;
    KsimTakeStops();

    // A timed wait within the limit is no concern of it.
    KeClearEvent(&event);
    LARGE_INTEGER fiftyMs;
    fiftyMs.QuadPart = -50 * 10000;
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &fiftyMs));
    EXPECT_TRUE(KsimTakeStops().empty());
}

// Code and data of PAGE sections may be paged out while a processor runs at DISPATCH_LEVEL.
// Not a tail call: the pageable routine is still on the stack when the kernel is called.
volatile int eventsSet = 0;
__attribute__((noinline, section("PAGE"))) void SetsAnEventFromPageableCode(PKEVENT event) {
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    eventsSet = eventsSet + 1;
}

const volatile UCHAR PAGEABLE_TABLE[4] __attribute__((section("PAGEDATA"))) = {1, 2, 3, 4};

__attribute__((noinline)) UCHAR ReadsThePageableTable(int i) { return PAGEABLE_TABLE[i]; }

TEST_F(KeMisuseTest, PageableCodeAndDataUsedAtDispatchLevelStopAndAreFineBelowIt) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    SetsAnEventFromPageableCode(&event);
    EXPECT_EQ(2, ReadsThePageableTable(1));
    EXPECT_TRUE(KsimTakeStops().empty());
    {
        KsimIrqlScope raised(DISPATCH_LEVEL);
        SetsAnEventFromPageableCode(&event);
        EXPECT_EQ(3, ReadsThePageableTable(2));
    }
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(2u, stops.size());
    EXPECT_EQ(KSIM_STOP_DRIVER_IRQL_NOT_LESS_OR_EQUAL, stops[0].code);
    EXPECT_EQ(8u, stops[0].p[2]) << "execution";
    EXPECT_EQ(KSIM_STOP_DRIVER_IRQL_NOT_LESS_OR_EQUAL, stops[1].code);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(&PAGEABLE_TABLE[2]), stops[1].p[0]);
    EXPECT_EQ(0u, stops[1].p[2]) << "a read";
    // Paged in again below DISPATCH_LEVEL.
    EXPECT_EQ(4, ReadsThePageableTable(3));
    EXPECT_TRUE(KsimTakeStops().empty());
}

}  // namespace
