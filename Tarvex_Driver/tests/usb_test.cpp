// The driver's own USB requests on the simulated bus: the descriptor fetch and the charging
// request, what reaches the PDO, and the pool they use.
#include "scenario.h"

#include <algorithm>
#include <thread>

namespace {

class UsbRequestTest : public TarvexTest {
protected:
    // An Apple device with the filter from AddDevice, not started yet.
    void SetUp() override {
        TarvexTest::SetUp();
        pdo = KsimCreateUsbPdo(ApplePhone());
        ASSERT_STATUS(STATUS_SUCCESS, KsimPnpBuildStack(pdo));
        ext = FilterExt(pdo);
        ASSERT_NE(nullptr, ext);
        KsimClearDbgPrints();
    }

    std::vector<KsimUsbRequest> Requests() const { return KsimUsbRequests(pdo); }

    PDEVICE_OBJECT pdo = nullptr;
    DEVICE_EXTENSION* ext = nullptr;
};

TEST_F(UsbRequestTest, StartOfAnAppleDeviceFetchesItsDescriptorStraightFromThePdo) {
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpStart(pdo));

    std::vector<KsimUsbRequest> requests = Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, requests[0].function);
    EXPECT_EQ(KsimHex(DESCRIPTOR_FETCH), KsimHex(requests[0].setup));
    EXPECT_EQ(18u, requests[0].transferLength);
    EXPECT_EQ(std::vector<PDEVICE_OBJECT>{pdo}, requests[0].path);
    EXPECT_TRUE(ext->bIsAppleDevice);
    EXPECT_EQ(0, ext->usbDevClass);
}

TEST_F(UsbRequestTest, ChargingOnAndOffGoStraightToThePdoWithoutDataStage) {
    EXPECT_STATUS(STATUS_SUCCESS, SetVendorCommand(ext, TRUE));
    EXPECT_STATUS(STATUS_SUCCESS, SetVendorCommand(ext, FALSE));

    std::vector<KsimUsbRequest> requests = Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(KsimHex(CHARGING_ON), KsimHex(requests[0].setup));
    EXPECT_EQ(KsimHex(CHARGING_OFF), KsimHex(requests[1].setup));
    for (const KsimUsbRequest& request : requests) {
        EXPECT_EQ(URB_FUNCTION_VENDOR_DEVICE, request.function);
        EXPECT_EQ(0u, request.transferLength);
        EXPECT_EQ(std::vector<PDEVICE_OBJECT>{pdo}, request.path);
    }
    EXPECT_EQ(std::vector<std::string>(2, "OrvantaDriver> SetVendorCommand\n"), KsimDbgPrints());
}

TEST_F(UsbRequestTest, DescriptorRecordsTheClassAndMarksOnlyVendor05AC) {
    KsimSetUsbDescriptor(pdo, KsimUsbDescriptor(0x12D1, 0x1001, 0xEF));
    EXPECT_STATUS(STATUS_SUCCESS, GetDeviceDescriptor(ext));
    EXPECT_FALSE(ext->bIsAppleDevice);
    EXPECT_EQ(0xEF, ext->usbDevClass);

    KsimSetUsbDescriptor(pdo, KsimUsbDescriptor(0x05AC, 0x12A8, 0));
    EXPECT_STATUS(STATUS_SUCCESS, GetDeviceDescriptor(ext));
    EXPECT_TRUE(ext->bIsAppleDevice);
    EXPECT_EQ(0, ext->usbDevClass);
}

TEST_F(UsbRequestTest, FailedFetchChangesNeitherClassNorMark) {
    ext->usbDevClass = 7;
    KsimUrbScript fail;
    fail.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    fail.status = STATUS_DEVICE_NOT_CONNECTED;
    KsimUsbScript(pdo, fail);

    EXPECT_STATUS(STATUS_DEVICE_NOT_CONNECTED, GetDeviceDescriptor(ext));
    EXPECT_EQ(7, ext->usbDevClass);
    EXPECT_FALSE(ext->bIsAppleDevice);
}

TEST_F(UsbRequestTest, AllocationFailureSendsNothingAndFreesWhatWasAllocated) {
    // The first allocation (the URB) or the second (the buffer) failing.
    for (unsigned nth : {1u, 2u}) {
        KsimClearDbgPrints();
        KsimInjectFault(KsimFault::PoolAllocation, nth);
        EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, GetDeviceDescriptor(ext)) << "allocation " << nth;
        EXPECT_EQ(std::vector<std::string>{"Failed to allocate a URB and device descriptor!\n"}, KsimDbgPrints());
        EXPECT_TRUE(Requests().empty());
        KsimClearFaults();
    }
    EXPECT_TRUE(KsimLivePool().empty());
}

TEST_F(UsbRequestTest, ChargingRequestThatCannotBeBuiltSendsNothing) {
    KsimInjectFault(KsimFault::PoolAllocation);
    EXPECT_FALSE(NT_SUCCESS(SetVendorCommand(ext, TRUE)));
    KsimInjectFault(KsimFault::IoAllocateIrp);
    EXPECT_FALSE(NT_SUCCESS(SetVendorCommand(ext, TRUE)));
    EXPECT_TRUE(Requests().empty());
}

TEST_F(UsbRequestTest, PdoThatPendsAndCompletesLaterFromAnotherThreadGivesTheFinalStatus) {
    KsimUrbScript later;
    later.function = URB_FUNCTION_VENDOR_DEVICE;
    later.answer = KsimUrbAnswer::Pend;
    later.status = STATUS_DEVICE_NOT_CONNECTED;
    later.completeAfterMs = 50;
    KsimUsbScript(pdo, later);
    EXPECT_STATUS(STATUS_DEVICE_NOT_CONNECTED, SetVendorCommand(ext, TRUE));

    later.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    later.status = STATUS_SUCCESS;
    KsimUsbScript(pdo, later);
    EXPECT_STATUS(STATUS_SUCCESS, GetDeviceDescriptor(ext));
    EXPECT_TRUE(ext->bIsAppleDevice);
}

TEST_F(UsbRequestTest, UrbAndBufferLiveInNoExecuteNonPagedPoolTaggedFiltUntilTheRequestCompletes) {
    KsimUrbScript hold;
    hold.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    hold.answer = KsimUrbAnswer::Pend;
    KsimUsbScript(pdo, hold);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::thread fetch([&] { status = GetDeviceDescriptor(ext); });
    ASSERT_TRUE(KsimUsbWaitPended(pdo, 1));

    std::vector<SIZE_T> sizes;
    for (const KsimPoolBlock& block : KsimLivePool()) {
        if (block.tagText == "Filt") {
            EXPECT_EQ(NonPagedPoolNx, block.type);
            sizes.push_back(block.bytes);
        }
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ((std::vector<SIZE_T>{18, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)}), sizes);

    EXPECT_TRUE(KsimUsbCompletePended(pdo));
    fetch.join();
    EXPECT_STATUS(STATUS_SUCCESS, status);
    EXPECT_TRUE(KsimLivePool().empty());
}

}  // namespace
