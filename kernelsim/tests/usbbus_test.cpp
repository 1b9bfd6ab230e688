#include "test_drivers.h"
#include "pnp_fixture.h"
#include "broken_filter.h"

#include <chrono>
#include <thread>

using namespace ksimtest;

namespace {

KsimUsbDevice Phone() {
    KsimUsbDevice device;
    device.hardwareIds = {L"USB\\VID_05AC&PID_12A8&REV_1201", L"USB\\VID_05AC&PID_12A8"};
    device.location = L"Port_#0003.Hub_#0002";
    device.descriptor = KsimUsbDescriptor(0x05AC, 0x12A8, 0);
    return device;
}

class UsbBusTest : public KsimTest {
protected:
    void SetUp() override {
        KsimTest::SetUp();
        pdo = KsimCreateUsbPdo(Phone());
    }
    void TearDown() override {
        if (fdo) {
            IoDetachDevice(pdo);
            IoDeleteDevice(fdo);
        }
        KsimTest::TearDown();
    }

    // Sends the URB straight to the PDO as a driver does with IoBuildDeviceIoControlRequest.
    NTSTATUS SendToPdo(PURB urb) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        NTSTATUS status = IofCallDriver(pdo, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    }

    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
};

TEST_F(UsbBusTest, DescriptorFetchIsAnsweredAndRecordedAsItsSetupPacket) {
    URB urb{};
    USB_DEVICE_DESCRIPTOR descriptor{};
    auto& r = urb.UrbControlDescriptorRequest;
    r.Hdr.Length = sizeof r;
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.TransferBufferLength = sizeof descriptor;
    r.TransferBuffer = &descriptor;
    r.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    EXPECT_EQ(STATUS_SUCCESS, SendToPdo(&urb));
    EXPECT_EQ(0x05AC, descriptor.idVendor);
    EXPECT_EQ(0, urb.UrbHeader.Status);

    std::vector<KsimUsbRequest> requests = KsimUsbRequests(pdo);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("80 06 00 01 00 00 12 00", KsimHex(requests[0].setup));
    EXPECT_EQ(std::vector<PDEVICE_OBJECT>{pdo}, requests[0].path) << "sent straight to the PDO";
    EXPECT_EQ(PASSIVE_LEVEL, requests[0].irql);
}

TEST_F(UsbBusTest, VendorRequestBecomesItsSetupPacket) {
    URB urb{};
    auto& r = urb.UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof r;
    r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    r.Request = 0x40;
    r.Value = 0x6400;
    r.Index = 0x6400;
    EXPECT_EQ(STATUS_SUCCESS, SendToPdo(&urb));
    std::vector<std::array<UCHAR, 8>> setups = KsimUsbSetupPackets(pdo);
    ASSERT_EQ(1u, setups.size());
    EXPECT_EQ("40 40 00 64 00 64 00 00", KsimHex(setups[0]));
}

TEST_F(UsbBusTest, AScriptedFailureIsReturnedAndTheRequestStillRecorded) {
    KsimUrbScript script;
    script.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    script.status = STATUS_UNSUCCESSFUL;
    KsimUsbScript(pdo, script);
    URB urb{};
    UCHAR buffer[18] = {};
    auto& r = urb.UrbControlDescriptorRequest;
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.TransferBufferLength = sizeof buffer;
    r.TransferBuffer = buffer;
    r.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SendToPdo(&urb));
    EXPECT_EQ(USBD_STATUS_STALL_PID, urb.UrbHeader.Status);
    EXPECT_EQ(0, buffer[0]) << "a failed fetch delivers nothing";
    EXPECT_EQ(1u, KsimUsbRequests(pdo).size());
    EXPECT_EQ(STATUS_SUCCESS, SendToPdo(&urb)) << "the script answered once";
}

TEST_F(UsbBusTest, APendedUrbIsCompletedLaterFromAnotherThreadAtDispatchLevel) {
    PDRIVER_OBJECT upperDriver = KsimLoadDriver(UpperEntry, L"\\Driver\\Upper");
    fdo = MakeDevice<UpperExt>(upperDriver);
    auto* upper = static_cast<UpperExt*>(fdo->DeviceExtension);
    upper->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    upper->routineResult = STATUS_SUCCESS;
    KeInitializeEvent(&upper->completed, NotificationEvent, FALSE);

    KsimUrbScript script;
    script.answer = KsimUrbAnswer::Pend;
    script.status = STATUS_SUCCESS;
    script.completeAfterMs = 20;
    KsimUsbScript(pdo, script);
    EXPECT_EQ(STATUS_SUCCESS, KsimUsbSendBulk(pdo, 64));
    EXPECT_EQ(1, upper->completions);
    EXPECT_TRUE(upper->pendingReturned);
    EXPECT_EQ(DISPATCH_LEVEL, upper->routineIrql);
    std::vector<KsimUsbRequest> requests = KsimUsbRequests(pdo);
    ASSERT_EQ(1u, requests.size());
    EXPECT_FALSE(requests[0].control);
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{fdo, pdo}), requests[0].path);
}

TEST_F(UsbBusTest, ATestCompletesAPendedUrbWhileTheSenderWaits) {
    KsimUrbScript script;
    script.answer = KsimUrbAnswer::Pend;
    KsimUsbScript(pdo, script);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::thread sender([this, &status] { status = KsimUsbSendVendor(pdo, URB_FUNCTION_VENDOR_DEVICE, 0x40, 0, 0); });
    ASSERT_TRUE(KsimUsbWaitPended(pdo, 1));
    EXPECT_TRUE(KsimUsbCompletePended(pdo, STATUS_IO_TIMEOUT));
    sender.join();
    EXPECT_EQ(STATUS_IO_TIMEOUT, status);
    EXPECT_EQ(0u, KsimUsbPendedCount(pdo));
}

TEST_F(UsbBusTest, AFunctionDriverSubmitsAtDispatchLevelWhenAsked) {
    fdo = KsimAttachFunctionDriver(pdo, L"\\Driver\\WinUSB");
    EXPECT_EQ(fdo, KsimFunctionDevice(pdo));
    EXPECT_EQ(STATUS_SUCCESS, KsimUsbSendIsoch(pdo, 4, DISPATCH_LEVEL));
    EXPECT_EQ(STATUS_SUCCESS, KsimUsbSendChainedMdl(pdo, 256));
    std::vector<KsimUsbRequest> requests = KsimUsbRequests(pdo);
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(URB_FUNCTION_ISOCH_TRANSFER, requests[0].function);
    EXPECT_EQ(DISPATCH_LEVEL, requests[0].irql);
    EXPECT_EQ(0x0037, requests[1].function);
    EXPECT_EQ(PASSIVE_LEVEL, requests[1].irql);
    EXPECT_EQ(PASSIVE_LEVEL, KsimIrql());
}

NTSTATUS NTAPI SignalBack(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A driver's own URB that the device does not answer within 20 ms is cancelled; the careless
// sender frees it at once instead of waiting for it to come back.
void CancelAfterTimeout(PDEVICE_OBJECT pdo, bool waitsForTheCancelledRequest) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
    KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, SignalBack, &back, TRUE, TRUE, TRUE);
    IofCallDriver(pdo, irp);
    LARGE_INTEGER twentyMs;
    twentyMs.QuadPart = -20 * 10000;
    if (KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, &twentyMs) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        if (waitsForTheCancelledRequest) KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
    }
    IoFreeIrp(irp);
}

TEST_F(UsbBusTest, ACancelledUrbComingBackLaterFromAnotherThreadStopsASenderThatFreedItBefore) {
    KsimUrbScript script;
    script.answer = KsimUrbAnswer::Pend;
    script.cancelCompletesAfterMs = 100;
    script.times = 0;
    KsimUsbScript(pdo, script);
    std::vector<KsimStop> stops;
    KsimSetStopHandler([&stops](const KsimStop& stop) { stops.push_back(stop); });

    auto start = std::chrono::steady_clock::now();
    CancelAfterTimeout(pdo, true);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100))
        << "the cancelled request came back only after the host controller let go of it";
    EXPECT_TRUE(stops.empty());

    CancelAfterTimeout(pdo, false);
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, stops[0].code);
    EXPECT_EQ(0x203u, stops[0].p[0]);
    KsimSetStopHandler(nullptr);
    KsimTakeStops();
    KsimUsbClearScripts(pdo);
}

// The bus driver deletes what it holds for a removed device: a driver above must have ended its
// own requests before it passes the remove down, and send nothing after.
TEST_F(WdmRuleTest, AUrbLeftInThePdoAtTheRemoveAndAUrbSentAfterItStop) {
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"));
    brokenPdo = keyboard;
    KsimUrbScript hold;
    hold.answer = KsimUrbAnswer::Pend;
    KsimUsbScript(keyboard, hold);
    breakage = Breakage::UrbLeftInThePdoAtRemove;
    KsimPnpRemove(keyboard);
    EXPECT_EQ(std::vector<ULONG_PTR>{0x222}, TakeIoManagerCodes());
    EXPECT_EQ(0u, KsimUsbPendedCount(keyboard)) << "cancelled as the hub does";

    // The stack built again on the same PDO.
    KsimPnpBuildStack(keyboard);
    KsimPnpStart(keyboard);
    EXPECT_FALSE(KsimPdoRemoveHandled(keyboard));
    breakage = Breakage::UrbAfterRemove;
    KsimPnpRemove(keyboard);
    EXPECT_TRUE(KsimPdoRemoveHandled(keyboard));
    EXPECT_EQ(std::vector<ULONG_PTR>{0x223}, TakeIoManagerCodes());
}

TEST_F(PnpTest, APdoThatLeftTheBusCancelsTheUrbsItHoldsAndFailsNewOnes) {
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Hub());
    PDEVICE_OBJECT keyboard = KsimPnpPlug(hub, Device(L"Port_#0004.Hub_#0001"));
    KsimUrbScript hold;
    hold.answer = KsimUrbAnswer::Pend;
    KsimUsbScript(keyboard, hold);
    NTSTATUS held = STATUS_SUCCESS;
    std::thread sender([&] { held = KsimUsbSendBulk(keyboard); });
    ASSERT_TRUE(KsimUsbWaitPended(keyboard, 1));
    KsimRemoveChild(hub, keyboard);
    KsimPnpQueryBusRelations(hub);
    EXPECT_EQ(STATUS_SUCCESS, KsimPnpSurpriseRemove(keyboard));
    sender.join();
    EXPECT_EQ(STATUS_CANCELLED, held);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, KsimUsbSendBulk(keyboard));
    EXPECT_EQ(0u, KsimUsbPendedCount(keyboard));
    KsimPnpRemove(keyboard);
}

}  // namespace
