#include "test_drivers.h"

#include <thread>

using namespace ksimtest;

namespace {

constexpr ULONG IOCTL_TEST_BUFFERED = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

// The originator's completion routine: takes the request back from the stack and notes how it
// came back (1: pending was returned below, 2: not).
constexpr int kBackPending = 1;
constexpr int kBackAtOnce = 2;
NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<int*>(context) = irp->PendingReturned ? kBackPending : kBackAtOnce;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IoTest : public KsimTest {
protected:
    void SetUp() override {
        KsimTest::SetUp();
        lowerDriver = KsimLoadDriver(LowerEntry, L"\\Driver\\Lower");
        upperDriver = KsimLoadDriver(UpperEntry, L"\\Driver\\Upper");
        lower = MakeDevice<LowerExt>(lowerDriver);
        upper = MakeDevice<UpperExt>(upperDriver);
        Upper()->lower = IoAttachDeviceToDeviceStack(upper, lower);
        KeInitializeEvent(&Upper()->completed, NotificationEvent, FALSE);
        Lower()->status = STATUS_SUCCESS;
    }
    void TearDown() override {
        IoDetachDevice(lower);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
        KsimTest::TearDown();
    }
    LowerExt* Lower() { return static_cast<LowerExt*>(lower->DeviceExtension); }
    UpperExt* Upper() { return static_cast<UpperExt*>(upper->DeviceExtension); }

    // A request the test allocates, with its own routine on the top location.
    PIRP Allocate(int* back) {
        PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, TakeBack, back, TRUE, TRUE, TRUE);
        return irp;
    }

    PDRIVER_OBJECT lowerDriver = nullptr;
    PDRIVER_OBJECT upperDriver = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
};

TEST_F(IoTest, CompletionRoutineRunsForTheDriverThatSetItAndMoreProcessingHandsTheRequestBack) {
    Upper()->routineResult = STATUS_MORE_PROCESSING_REQUIRED;
    int back = 0;
    PIRP irp = Allocate(&back);
    IofCallDriver(upper, irp);

    EXPECT_EQ(1, Upper()->completions);
    EXPECT_EQ(upper, Upper()->routineDevice);
    EXPECT_EQ(0, back) << "completion stopped at the upper driver";
    EXPECT_EQ(upper, IoGetCurrentIrpStackLocation(irp)->DeviceObject);

    // The upper driver owns it again and completes it: now the originator's routine runs.
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(kBackAtOnce, back);
    IoFreeIrp(irp);
}

TEST_F(IoTest, PendingReturnedPropagatesUpFromALowerDriverThatCompletesLaterOnAnotherThread) {
    Lower()->pend = true;
    Upper()->routineResult = STATUS_SUCCESS;
    int back = 0;
    PIRP irp = Allocate(&back);
    EXPECT_EQ(STATUS_PENDING, IofCallDriver(upper, irp));
    ASSERT_EQ(irp, Lower()->held);

    std::thread dpc([irp] {
        KsimIrqlScope raised(DISPATCH_LEVEL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    dpc.join();
    EXPECT_TRUE(Upper()->pendingReturned);
    EXPECT_EQ(DISPATCH_LEVEL, Upper()->routineIrql);
    EXPECT_EQ(kBackPending, back) << "the upper routine marked it pending, so the originator sees PendingReturned";
    IoFreeIrp(irp);
}

TEST_F(IoTest, BuiltDeviceControlRequestCopiesItsOutputSignalsItsEventAndFreesItself) {
    Lower()->information = 3;
    Lower()->reply = "xyz";
    Lower()->replyBytes = 3;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    char in[4] = {'a', 'b', 'c', 'd'};
    char out[8] = {};
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_TEST_BUFFERED, upper, in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, IoGetNextIrpStackLocation(irp)->MajorFunction);
    EXPECT_EQ(0, std::memcmp(irp->AssociatedIrp.SystemBuffer, in, sizeof in));

    EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(upper, irp));
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(3u, iosb.Information);
    EXPECT_EQ(std::string("xyz"), std::string(out));
    // The end check finds neither the request nor its system buffer.
}

TEST_F(IoTest, BuiltRequestPendedBelowIsWaitedForThroughItsEvent) {
    Lower()->pend = true;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, upper, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &iosb);
    ASSERT_EQ(STATUS_PENDING, IofCallDriver(upper, irp));
    EXPECT_EQ(0, KeReadStateEvent(&event));
    PIRP held = Lower()->held;
    std::thread later([held] {
        held->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
        IofCompleteRequest(held, IO_NO_INCREMENT);
    });
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    later.join();
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, iosb.Status);
}

TEST_F(IoTest, DevicePropertyIncludesItsTerminatorAndATooSmallBufferGetsTheNeededLength) {
    KsimUsbDevice device;
    device.location = L"Port_#0003.Hub_#0002";
    device.hardwareIds = {L"USB\\VID_05AC&PID_12A8", L"USB\\VID_05AC"};
    PDEVICE_OBJECT pdo = KsimCreateUsbPdo(device);
    const ULONG needed = (20 + 1) * sizeof(WCHAR);

    WCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              IoGetDeviceProperty(pdo, DevicePropertyLocationInformation, needed - 2, buffer, &length));
    EXPECT_EQ(needed, length);
    std::memset(buffer, 0xFF, sizeof buffer);
    EXPECT_EQ(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyLocationInformation, needed, buffer, &length));
    EXPECT_EQ(std::wstring(L"Port_#0003.Hub_#0002"), buffer);

    EXPECT_EQ(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof buffer, buffer, &length));
    EXPECT_EQ((21u + 1u + 12u + 1u + 1u) * sizeof(WCHAR), length) << "two strings and the list's closing NUL";
    EXPECT_EQ(std::wstring(L"USB\\VID_05AC"), buffer + 22);

    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              IoGetDeviceProperty(pdo, DevicePropertyClassGuid, sizeof buffer, buffer, &length));
    KsimFailProperty(pdo, DevicePropertyClassGuid, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IoGetDeviceProperty(pdo, DevicePropertyClassGuid, sizeof buffer, buffer, &length));
    // A bus driver may return a value without terminator; it comes back byte for byte.
    KsimSetProperty(pdo, DevicePropertyLocationInformation, L"ABCD", 8);
    EXPECT_EQ(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyLocationInformation, 8, buffer, &length));
    EXPECT_EQ(8u, length);
}

TEST_F(IoTest, NamesAndLinksResolveAndADanglingLinkIsReportedAtTheEnd) {
    PDEVICE_OBJECT named = MakeDevice<LowerExt>(lowerDriver, L"\\Device\\TestNamed0");
    ASSERT_NE(nullptr, named);
    EXPECT_EQ(named, KsimNamedDevice(L"\\Device\\TestNamed0"));
    PDEVICE_OBJECT twin = nullptr;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\TestNamed0");
    RtlInitUnicodeString(&link, L"\\DosDevices\\TestLink0");
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
              IoCreateDevice(lowerDriver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &twin));
    EXPECT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &name));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoCreateSymbolicLink(&link, &name));
    EXPECT_EQ(std::wstring(L"\\Device\\TestNamed0"), KsimLinkTarget(L"\\??\\TestLink0"));

    IoDeleteDevice(named);
    std::vector<std::string> problems = KsimCheckEnd();
    ASSERT_EQ(1u, problems.size());
    EXPECT_NE(std::string::npos, problems[0].find("dangling symbolic link: \\DosDevices\\TestLink0"));
    EXPECT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&link));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoDeleteSymbolicLink(&link));
}

TEST_F(IoTest, AnIrpNeverFreedIsReportedAtTheEnd) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    std::vector<std::string> problems = KsimCheckEnd();
    ASSERT_EQ(1u, problems.size());
    EXPECT_NE(std::string::npos, problems[0].find("IRP leak"));
    IoFreeIrp(irp);
}

TEST_F(IoTest, FaultInjectionFailsTheChosenCallOnly) {
    const unsigned before = KsimFaultCalls(KsimFault::IoCreateDevice);  // the fixture's own devices
    KsimInjectFault(KsimFault::IoCreateDevice, 2, 1, STATUS_INSUFFICIENT_RESOURCES);
    PDEVICE_OBJECT first = nullptr, second = nullptr, third = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &first));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second));
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &third));
    EXPECT_EQ(before + 3, KsimFaultCalls(KsimFault::IoCreateDevice));
    KsimInjectFault(KsimFault::IoAttachDeviceToDeviceStack);
    EXPECT_EQ(nullptr, IoAttachDeviceToDeviceStack(first, third));
    IoDeleteDevice(first);
    IoDeleteDevice(third);
}

VOID NTAPI SetEventItem(PDEVICE_OBJECT, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

TEST_F(IoTest, AHeldWorkItemWaitsForItsReleaseAndTheThreadWaitingForItIsCountedAsBlocked) {
    KEVENT ran;
    KeInitializeEvent(&ran, NotificationEvent, FALSE);
    KsimHoldWorkItems(true);
    PIO_WORKITEM item = IoAllocateWorkItem(upper);
    IoQueueWorkItem(item, SetEventItem, DelayedWorkQueue, &ran);
    std::thread waiter([&ran] { KeWaitForSingleObject(&ran, Executive, KernelMode, FALSE, nullptr); });
    while (KsimBlockedWaits() == 0) std::this_thread::yield();
    LARGE_INTEGER twentyMs;
    twentyMs.QuadPart = -20 * 10000;
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&ran, Executive, KernelMode, FALSE, &twentyMs));
    EXPECT_EQ(1u, KsimBlockedWaits());
    KsimHoldWorkItems(false);
    waiter.join();
    EXPECT_EQ(0u, KsimBlockedWaits());
    KsimDrainWorkItems();
    IoFreeWorkItem(item);
}

class IoMisuseTest : public MisuseTest {
protected:
    void SetUp() override {
        MisuseTest::SetUp();
        lowerDriver = KsimLoadDriver(LowerEntry, L"\\Driver\\Lower");
        lower = MakeDevice<LowerExt>(lowerDriver);
    }
    PDRIVER_OBJECT lowerDriver = nullptr;
    PDEVICE_OBJECT lower = nullptr;
};

TEST_F(IoMisuseTest, ARequestCompletedTwiceStopsWithMultipleIrpCompleteRequests) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_TEST_BUFFERED, lower, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    IofCallDriver(lower, irp);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_MULTIPLE_IRP_COMPLETE_REQUESTS, stops[0].code);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(irp), stops[0].p[0]);
}

TEST_F(IoMisuseTest, CompletingARequestBackWithItsAllocatorStopsToo) {
    int back = 0;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, TakeBack, &back, TRUE, TRUE, TRUE);
    IofCallDriver(lower, irp);
    EXPECT_EQ(kBackAtOnce, back);
    IofCompleteRequest(irp, IO_NO_INCREMENT);  // the lower driver again, after it let go
    EXPECT_EQ(std::vector<ULONG>{KSIM_STOP_MULTIPLE_IRP_COMPLETE_REQUESTS}, TakeStopCodes());
    IoFreeIrp(irp);
}

TEST_F(IoMisuseTest, ForwardingPastTheLastStackLocationStopsWithNoMoreIrpStackLocations) {
    int back = 0;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, TakeBack, &back, TRUE, TRUE, TRUE);
    IofCallDriver(lower, irp);  // uses the only location; completes
    IoReuseIrp(irp, STATUS_SUCCESS);
    irp->CurrentLocation = 1;  // as if a driver had forwarded it once more than it could
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IofCallDriver(lower, irp));
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_NO_MORE_IRP_STACK_LOCATIONS, stops[0].code);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(irp), stops[0].p[0]);
    IoFreeIrp(irp);
}

TEST_F(IoMisuseTest, AnOverrunOfADeviceExtensionIsCaughtWhenTheDeviceIsDeleted) {
    reinterpret_cast<unsigned char*>(lower->DeviceExtension)[sizeof(LowerExt)] = 0;
    IoDeleteDevice(lower);
    EXPECT_EQ(std::vector<ULONG>{KSIM_STOP_SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION}, TakeStopCodes());
}

TEST_F(IoMisuseTest, DevicePropertyOfADeviceThatIsNotAPdoStops) {
    WCHAR buffer[8];
    ULONG length = 0;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              IoGetDeviceProperty(lower, DevicePropertyLocationInformation, sizeof buffer, buffer, &length));
    EXPECT_EQ(std::vector<ULONG>{0xCAu}, TakeStopCodes());
}

TEST_F(IoMisuseTest, ARequestSentToADeletedDeviceStops) {
    IoDeleteDevice(lower);
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, IofCallDriver(lower, irp));
    EXPECT_EQ(std::vector<ULONG>{KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION}, TakeStopCodes());
    IoFreeIrp(irp);
}

}  // namespace

namespace {

NTSTATUS NTAPI ForgetsToMarkPending(PDEVICE_OBJECT device, PIRP irp) {
    static_cast<LowerExt*>(device->DeviceExtension)->held = irp;
    return STATUS_PENDING;
}

TEST_F(IoMisuseTest, ReturningPendingWithoutMarkingTheRequestPendingStopsWhenItCompletes) {
    lowerDriver->MajorFunction[IRP_MJ_READ] = ForgetsToMarkPending;
    int back = 0;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, TakeBack, &back, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_PENDING, IofCallDriver(lower, irp));
    EXPECT_TRUE(KsimTakeStops().empty()) << "a completion routine may still mark it";
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(std::vector<ULONG>{KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION}, TakeStopCodes());
    IoFreeIrp(irp);
}

}  // namespace

namespace {

// Tears its device down and then writes to its record: the memory is gone on Windows.
void WritesAfterDeleting(PDEVICE_OBJECT device) {
    auto* ext = static_cast<LowerExt*>(device->DeviceExtension);
    IoDeleteDevice(device);
    ext->calls = 1;
}

TEST_F(IoMisuseTest, AWriteToTheExtensionOfADeviceDeletedWithoutReferencesStops) {
    WritesAfterDeleting(lower);
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, stops[0].code);
    EXPECT_EQ(0x225u, stops[0].p[0]);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(&static_cast<LowerExt*>(lower->DeviceExtension)->calls), stops[0].p[1]);
}

// An upper device that goes away while its request is still below.
TEST_F(IoMisuseTest, ACompletionRoutineRunForADeletedDeviceStops) {
    PDRIVER_OBJECT upperDriver = KsimLoadDriver(UpperEntry, L"\\Driver\\Upper");
    PDEVICE_OBJECT upper = MakeDevice<UpperExt>(upperDriver);
    auto* upperExt = static_cast<UpperExt*>(upper->DeviceExtension);
    upperExt->lower = lower;
    upperExt->routineResult = STATUS_SUCCESS;
    KeInitializeEvent(&upperExt->completed, NotificationEvent, FALSE);
    static_cast<LowerExt*>(lower->DeviceExtension)->pend = true;
    int back = 0;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, TakeBack, &back, TRUE, TRUE, TRUE);
    IofCallDriver(upper, irp);
    // Referenced, so that the routine's context is still there when it runs.
    ObReferenceObject(upper);
    IoDeleteDevice(upper);
    PIRP held = static_cast<LowerExt*>(lower->DeviceExtension)->held;
    held->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_EQ(kBackPending, back);
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(0x226u, stops[0].p[0]);
    IoFreeIrp(irp);
    ObDereferenceObject(upper);
}

TEST_F(MisuseTest, ABuiltRequestSentInAGuardedRegionStops) {
    PDRIVER_OBJECT lowerDriver = KsimLoadDriver(LowerEntry, L"\\Driver\\Lower");
    PDEVICE_OBJECT lower = MakeDevice<LowerExt>(lowerDriver);
    static_cast<LowerExt*>(lower->DeviceExtension)->status = STATUS_SUCCESS;
    for (bool guarded : {false, true}) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        if (guarded) KeEnterGuardedRegion();
        IofCallDriver(lower, irp);
        if (guarded) KeLeaveGuardedRegion();
        std::vector<KsimStop> stops = KsimTakeStops();
        if (!guarded) {
            EXPECT_TRUE(stops.empty());
            continue;
        }
        ASSERT_EQ(1u, stops.size());
        EXPECT_EQ(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, stops[0].code);
        EXPECT_EQ(0x21Du, stops[0].p[0]);
    }
}

TEST_F(MisuseTest, ADeviceDeletedUnderAnotherOutsideRemovalStopsAndStaysUntilTheOneAboveDetaches) {
    PDRIVER_OBJECT lowerDriver = KsimLoadDriver(LowerEntry, L"\\Driver\\Lower");
    PDEVICE_OBJECT lower = MakeDevice<LowerExt>(lowerDriver);
    PDEVICE_OBJECT upper = MakeDevice<LowerExt>(lowerDriver);
    ASSERT_EQ(lower, IoAttachDeviceToDeviceStack(upper, lower));
    IoDeleteDevice(lower);  // outside a removal: the device above would keep sending to it
    EXPECT_EQ(std::vector<ULONG>{KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION}, TakeStopCodes());
    EXPECT_TRUE(KsimIsDeleted(lower));
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IofCallDriver(lower, irp);  // still there: the lower driver completes it
    EXPECT_TRUE(KsimTakeStops().empty());
    IoDetachDevice(lower);
    irp = IoAllocateIrp(1, FALSE);
    IofCallDriver(lower, irp);
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(2u, stops.size());
    EXPECT_EQ(0x21Fu, stops[0].p[0]) << "detached from a device deleted outside a removal";
    EXPECT_EQ(0x205u, stops[1].p[0]) << "sent to a device freed at the detach";
    IoFreeIrp(irp);
    IoDeleteDevice(upper);
}

}  // namespace
