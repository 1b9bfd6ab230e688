#include "test_drivers.h"

using namespace ksimtest;

namespace {

KsimUsbDevice Hub() {
    KsimUsbDevice device;
    device.busDriver = L"\\Driver\\USBXHCI";
    device.hardwareIds = {L"USB\\ROOT_HUB30"};
    device.classGuid = KSIM_CLASS_USB;
    device.functionDriver = L"\\Driver\\USBHUB3";
    return device;
}

KsimUsbDevice Device(const wchar_t* location) {
    KsimUsbDevice device;
    device.busDriver = L"\\Driver\\USBHUB3";
    device.hardwareIds = {L"USB\\VID_046D&PID_C31C"};
    device.location = location;
    device.functionDriver = L"\\Driver\\HidUsb";
    return device;
}

class PnpTest : public KsimTest {
protected:
    void SetUp() override {
        KsimTest::SetUp();
        filterDriver = KsimLoadDriver(FilterEntry, L"\\Driver\\TestFilter");
        KsimPnpRegisterUpperFilter(filterDriver);
    }
    PDRIVER_OBJECT filterDriver = nullptr;
};

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
    EXPECT_EQ((std::vector<std::string>{"IoDeleteDevice \\Device\\USBPDO-1", "IoDeleteDevice <unnamed> \\Driver\\HidUsb",
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

}  // namespace
