#include "test_drivers.h"
#include "pnp_fixture.h"
#include "broken_filter.h"

#include <thread>

using namespace ksimtest;

namespace {

TEST_F(PnpTest, PluggingBuildsTheStackInOrderAndStartsItThroughEveryDevice) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Hub(), &status);
    EXPECT_EQ(STATUS_SUCCESS, status);
    std::vector<PDEVICE_OBJECT> stack = KsimStackOf(hub);
    ASSERT_EQ(3u, stack.size());
    EXPECT_EQ(L"\\Driver\\USBXHCI", KsimDriverName(stack[0]));
    EXPECT_EQ(L"\\Driver\\USBHUB3", KsimDriverName(stack[1]));
    EXPECT_EQ(L"\\Driver\\TestFilter", KsimDriverName(stack[2]));

    int starts = 0;
    KsimSetIrpHook(hub, [&starts](PDEVICE_OBJECT, PIRP irp, NTSTATUS*) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        starts += s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_START_DEVICE;
        return false;
    });
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"), &status);
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(3u, KsimStackOf(keyboard).size());
    std::vector<PDEVICE_OBJECT> reported;
    EXPECT_EQ(STATUS_SUCCESS, KsimPnpQueryBusRelations(hub, &reported));
    EXPECT_EQ(std::vector<PDEVICE_OBJECT>{keyboard}, reported);
    EXPECT_EQ(0, starts) << "the hub is not started again";
    EXPECT_TRUE(KsimLivePool().empty()) << "PnP frees the relations list";

    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(STATUS_SUCCESS, KsimPnpQueryCapabilities(keyboard, &caps));
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
}

TEST_F(PnpTest, UnpluggingRemovesTheWholeStackAndThePdo) {
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Hub());
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"));
    std::vector<PDEVICE_OBJECT> stack = KsimStackOf(keyboard);
    KsimClearIoLog();
    KsimPnpUnplug(keyboard);
    for (PDEVICE_OBJECT device : stack) EXPECT_TRUE(KsimIsDeleted(device));
    EXPECT_TRUE(KsimChildren(hub).empty());
    // Removal runs down the stack: the bus driver deletes the PDO of a device that is gone as it
    // completes the request; each driver above leaves once the request came back to it.
    std::vector<std::string> deletions;
    for (const std::string& line : KsimIoLog())
        if (line.rfind("IoDeleteDevice ", 0) == 0) deletions.push_back(line);
    EXPECT_EQ(
        (std::vector<std::string>{"IoDeleteDevice \\Device\\USBPDO-1", "IoDeleteDevice <unnamed> \\Driver\\HidUsb",
                                  "IoDeleteDevice <unnamed> \\Driver\\TestFilter"}),
        deletions);
    EXPECT_EQ(1u, KsimDevicesOf(filterDriver).size()) << "only the hub's filter remains";
}

TEST_F(PnpTest, RemovingAHubTakesItsChildrenFirst) {
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Hub());
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"));
    KsimClearIoLog();
    EXPECT_EQ(STATUS_SUCCESS, KsimPnpRemove(hub));
    EXPECT_TRUE(KsimIsDeleted(keyboard));
    EXPECT_TRUE(KsimIsDeleted(hub)) << "a root device without parent is gone with its removal";
    EXPECT_TRUE(KsimDevicesOf(filterDriver).empty());
}

TEST_F(PnpTest, APdoAnswerFailsTheStartAndUpperDriversSeeIt) {
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Hub());
    PDEVICE_OBJECT keyboard = KsimCreateUsbPdo(Device(L"Port_#0001.Hub_#0001"), hub);
    EXPECT_EQ(STATUS_SUCCESS, KsimPnpBuildStack(keyboard));
    KsimPnpSetPdoAnswer(keyboard, IRP_MN_START_DEVICE, STATUS_DEVICE_CONFIGURATION_ERROR, 1);
    EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, KsimPnpStart(keyboard));
    EXPECT_EQ(STATUS_SUCCESS, KsimPnpStart(keyboard));
}

TEST_F(PnpTest, AClassUpperFilterJoinsOnlyTheStacksOfItsClass) {
    PDRIVER_OBJECT usbOnly = KsimLoadDriver(FilterEntry, L"\\Driver\\UsbOnly");
    KsimPnpRegisterUpperFilter(usbOnly, L"{36FC9E60-C465-11CF-8056-444553540000}");
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Hub());
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"));
    EXPECT_EQ(1u, KsimDevicesOf(usbOnly).size()) << "the hub is of the USB class, the keyboard of none";
    EXPECT_EQ(4u, KsimStackOf(hub).size());
    EXPECT_EQ(3u, KsimStackOf(keyboard).size());
}

// Power requests reach a non-pageable device at DISPATCH_LEVEL and go down at that level.
TEST_F(WdmRuleTest, APowerPageableFilterUnderADeviceThatIsNotStops) {
    KsimAttachPassThrough(hub)->Flags &= ~DO_POWER_PAGABLE;
    for (PDEVICE_OBJECT device : KsimStackOf(hub)) device->Flags &= ~DO_POWER_PAGABLE;
    breakage = Breakage::PageableAlways;
    KsimPnpDeviceUsage(hub, DeviceUsageTypePaging, true);
    EXPECT_EQ(std::vector<ULONG_PTR>{0x227}, TakeIoManagerCodes());
    breakage = Breakage::FailStop;
}

// A PDO that holds a PnP request shows a completion routine that does not mark the request
// pending for its driver.
TEST_F(WdmRuleTest, ACompletionThatDropsThePendingMarkOfAHeldPnpRequestStops) {
    breakage = Breakage::CompletionKeepsNoPending;
    KsimPnpDeviceUsage(hub, DeviceUsageTypePaging, true);
    EXPECT_TRUE(TakeIoManagerCodes().empty()) << "answered at once, nothing shows";
    KsimPnpPendAtPdo(hub, IRP_MN_DEVICE_USAGE_NOTIFICATION, 20);
    EXPECT_EQ(STATUS_SUCCESS, KsimPnpDeviceUsage(hub, DeviceUsageTypePaging, true));
    EXPECT_EQ(std::vector<ULONG_PTR>{0x211}, TakeIoManagerCodes());
    breakage = Breakage::FailStop;
}

TEST_F(WdmRuleTest, AFilterThatFailsTheStopStopsAndSoDoesNotPassingItDown) {
    breakage = Breakage::FailStop;
    KsimPnpStop(hub);
    EXPECT_EQ((std::vector<ULONG_PTR>{0x219, 0x21C}), TakeIoManagerCodes());
}

TEST_F(WdmRuleTest, AFilterThatFailsACleanupStops) {
    breakage = Breakage::FailCleanup;
    KsimHandle handle = KsimUserOpen(KsimDeviceName(hub).c_str());
    ASSERT_NE(nullptr, handle);
    KsimUserClose(handle);
    EXPECT_EQ(std::vector<ULONG_PTR>{0x21B}, TakeIoManagerCodes());
}

TEST_F(WdmRuleTest, AFilterThatCompletesASurpriseRemovalWithoutPassingItDownStops) {
    breakage = Breakage::KeepSurpriseRemoval;
    KsimPnpSurpriseRemove(hub);
    EXPECT_EQ(std::vector<ULONG_PTR>{0x21C}, TakeIoManagerCodes());
    breakage = Breakage::FailStop;
    KsimPnpRemove(hub);
}

// A device whose function driver sits above the filter, as a child filter attached at bus
// relations sits below it; the hub keeps URBs after surprise removal until they are aborted.
PDEVICE_OBJECT PlugWithFilterBelowTheFunctionDriver(PDEVICE_OBJECT hub) {
    KsimUsbDevice device = Device(L"Port_#0004.Hub_#0001");
    device.functionDriver.clear();
    device.keepsUrbsAfterSurpriseRemoval = true;
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, device);
    KsimAttachFunctionDriver(keyboard, L"\\Driver\\HidUsb");
    return keyboard;
}

TEST_F(WdmRuleTest, AFilterThatFailsTheFunctionDriversAbortAfterSurpriseRemovalStopsAndLeavesItsUrbForTheRemove) {
    for (Breakage how : {Breakage::None, Breakage::FailWhatItDoesNotHandleAfterSurpriseRemoval}) {
        breakage = how;
        surpriseRemoved = false;
        PDEVICE_OBJECT keyboard = PlugWithFilterBelowTheFunctionDriver(hub);
        KsimUrbScript hold;
        hold.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        hold.answer = KsimUrbAnswer::Pend;
        KsimUsbScript(keyboard, hold);
        NTSTATUS transfer = STATUS_PENDING;
        std::thread reader([&] { transfer = KsimUsbSendBulk(keyboard); });
        ASSERT_TRUE(KsimUsbWaitPended(keyboard, 1));

        KsimPnpSurpriseRemove(keyboard);
        if (how == Breakage::None) {
            EXPECT_EQ(0u, KsimUsbPendedCount(keyboard)) << "the abort reached the hub";
            EXPECT_TRUE(TakeIoManagerCodes().empty());
        } else {
            EXPECT_EQ(1u, KsimUsbPendedCount(keyboard)) << "the hub does not purge by itself";
            EXPECT_EQ(std::vector<ULONG_PTR>{0x229}, TakeIoManagerCodes());
        }
        KsimPnpRemove(keyboard);
        reader.join();
        EXPECT_EQ(STATUS_CANCELLED, transfer);
        EXPECT_EQ(how == Breakage::None ? std::vector<ULONG_PTR>{} : std::vector<ULONG_PTR>{0x222},
                  TakeIoManagerCodes());
    }
    breakage = Breakage::FailStop;
}

TEST_F(WdmRuleTest, AFilterThatWaitsForTheWaitWakeBeforePassingTheRemoveDownHangsUntilTheWaitLimit) {
    breakage = Breakage::WaitForPowerBelowBeforeRemove;
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"));
    KsimPoRequestWaitWake(keyboard);
    EXPECT_TRUE(KsimPoWaitWakeHeld(keyboard));
    EXPECT_EQ(1, powerBelow);

    std::vector<KsimStop> stops;
    KsimSetStopHandler([&stops](const KsimStop& stop) {
        stops.push_back(stop);
        // Lets the filter on, so that the test can end.
        if (stop.p[0] == 0x224) KeSetEvent(&powerBelowDone, IO_NO_INCREMENT, FALSE);
    });
    KsimSetWaitLimit(300);
    KsimPnpRemove(keyboard);
    KsimSetStopHandler(nullptr);
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, stops[0].code);
    EXPECT_EQ(0x224u, stops[0].p[0]);
    EXPECT_FALSE(KsimPoWaitWakeHeld(keyboard)) << "the hub ended it as it handled the remove";
    EXPECT_EQ(0, powerBelow);
    KsimTakeStops();
    breakage = Breakage::FailStop;
}

TEST_F(WdmRuleTest, AnOwnPnpRequestSentWithoutStatusNotSupportedStops) {
    breakage = Breakage::OwnPnpRequestWithItsStatusUntouched;
    KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"));
    EXPECT_EQ(std::vector<ULONG_PTR>{0x228}, TakeIoManagerCodes());
    breakage = Breakage::FailStop;
}

TEST_F(PnpTest, UnpluggedWithAHandleOpenOnItsStackTheDeviceGetsOnlySurpriseRemovalUntilTheLastClose) {
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Hub());
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"));
    KsimHandle app = KsimUserOpen(KsimDeviceName(keyboard).c_str());
    ASSERT_NE(nullptr, app);
    std::vector<UCHAR> minors;
    KsimSetIrpHook(keyboard, [&minors](PDEVICE_OBJECT, PIRP irp, NTSTATUS*) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (s->MajorFunction == IRP_MJ_PNP) minors.push_back(s->MinorFunction);
        return false;
    });

    KsimPnpUnplug(keyboard);
    EXPECT_EQ(std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL}, minors);
    EXPECT_FALSE(KsimIsDeleted(keyboard));
    KsimUserClose(app);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), minors);
    EXPECT_TRUE(KsimIsDeleted(keyboard));
    KsimPnpUnplug(hub);
}

TEST_F(PnpTest, AStackRebuiltInPlaceKeepsItsPdoAndAReenumerationAsksTheParentFirst) {
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Hub());
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"));
    std::vector<PDEVICE_OBJECT> before = KsimStackOf(keyboard);
    ASSERT_EQ(3u, before.size());
    int relations = 0;
    KsimSetIrpHook(hub, [&relations](PDEVICE_OBJECT, PIRP irp, NTSTATUS*) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        relations += s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS;
        return false;
    });

    EXPECT_EQ(STATUS_SUCCESS, KsimPnpRebuild(keyboard, false));
    std::vector<PDEVICE_OBJECT> after = KsimStackOf(keyboard);
    ASSERT_EQ(3u, after.size());
    EXPECT_EQ(keyboard, after[0]);
    EXPECT_FALSE(KsimIsDeleted(keyboard));
    EXPECT_TRUE(KsimIsDeleted(before[1]));
    EXPECT_TRUE(KsimIsDeleted(before[2]));
    EXPECT_EQ(0, relations);

    EXPECT_EQ(STATUS_SUCCESS, KsimPnpRebuild(keyboard, true));
    EXPECT_EQ(1, relations);
    EXPECT_EQ(3u, KsimStackOf(keyboard).size());
    KsimSetIrpHook(hub, nullptr);
    KsimPnpUnplug(keyboard);
}

}  // namespace
