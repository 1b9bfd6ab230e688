#include "test_drivers.h"

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

}  // namespace
