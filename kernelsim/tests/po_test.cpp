#include "pnp_fixture.h"
#include "broken_filter.h"

#include <chrono>

using namespace ksimtest;

namespace {

TEST_F(PnpTest, PowerRequestsReachTheBottomAndEachDriverStartsTheNextOne) {
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Hub());
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"));
    std::vector<PDEVICE_OBJECT> stack = KsimStackOf(keyboard);
    KIRQL seen = 0xFF;
    KsimSetIrpHook(keyboard, [&seen](PDEVICE_OBJECT, PIRP, NTSTATUS*) {
        seen = KeGetCurrentIrql();
        return false;
    });
    EXPECT_EQ(STATUS_SUCCESS, KsimPoSetDevicePower(keyboard, PowerDeviceD2));
    EXPECT_EQ(PASSIVE_LEVEL, seen) << "the stack is pageable";
    for (PDEVICE_OBJECT device : stack) EXPECT_EQ(1u, KsimPoStartNextPowerIrpCalls(device));

    KsimPoSetPdoAnswer(keyboard, STATUS_DEVICE_NOT_READY, 1);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, KsimPoSetDevicePower(keyboard, PowerDeviceD0));
    EXPECT_EQ(STATUS_SUCCESS, KsimPoSetSystemPower(keyboard, PowerSystemSleeping3));

    // A stack whose top is not pageable gets its power requests at DISPATCH_LEVEL.
    stack.back()->Flags &= ~DO_POWER_PAGABLE;
    EXPECT_EQ(STATUS_SUCCESS, KsimPoQueryDevicePower(keyboard, PowerDeviceD3));
    EXPECT_EQ(DISPATCH_LEVEL, seen);
}

TEST_F(WdmRuleTest, AFilterThatFailsASystemSetPowerStops) {
    breakage = Breakage::FailSystemPower;
    KsimPoSetSystemPower(hub, PowerSystemSleeping3);
    EXPECT_EQ(std::vector<ULONG_PTR>{0x21A}, TakeIoManagerCodes());
    // A device set-power may fail.
    KsimPoSetDevicePower(hub, PowerDeviceD3);
    EXPECT_TRUE(KsimTakeStops().empty());
}

TEST_F(PnpTest, APowerRequestThePdoPendsIsCompletedLaterFromAnotherThread) {
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Hub());
    KsimPoPendAtPdo(hub, 50);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(STATUS_SUCCESS, KsimPoSetDevicePower(hub, PowerDeviceD2));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    KsimPoPendAtPdo(hub, 10, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, KsimPoSetDevicePower(hub, PowerDeviceD0));
}

}  // namespace
