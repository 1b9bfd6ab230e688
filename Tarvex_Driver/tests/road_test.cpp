// One typical event from plug to unplug, every step checked where it happens.
#include "scenario.h"

#include <algorithm>

namespace {

class RoadTest : public TarvexTest {};

TEST_F(RoadTest, ApplePhoneOnPort3OfAUsb3HubChargesOnOrderAndAfterItsOwnDriverAndComesApartCleanly) {
    const std::wstring location = L"Port_#0003.Hub_#0002";
    PDEVICE_OBJECT hubPdo = PlugHubTree();

    // 1. The hub's filter sees the new PDO in the bus relations and attaches a child filter to it.
    PDEVICE_OBJECT phone = KsimCreateUsbPdo(ApplePhone(location), hubPdo);
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
    PDEVICE_OBJECT filter = FilterOn(phone);
    ASSERT_NE(nullptr, filter);
    EXPECT_EQ(IPC_SLOT_CHILD_FILTER, Ext(filter)->ipcSlot);
    EXPECT_EQ(phone, Ext(filter)->topDevObj);

    // 2. Plug and Play builds and starts the stack; the filter recognises the device by its descriptor.
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpBuildStack(phone));
    EXPECT_EQ(1u, FiltersOn(phone).size()) << "AddDevice must not add a second filter";
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpStart(phone));
    EXPECT_EQ(STATE_STARTED, Ext(filter)->state);
    EXPECT_TRUE(Ext(filter)->bIsAppleDevice);
    ASSERT_EQ(1u, KsimUsbSetupPackets(phone).size());
    EXPECT_EQ(KsimHex(DESCRIPTOR_FETCH), KsimHex(KsimUsbSetupPackets(phone)[0]));

    // 3. Control device 0 with its link and the device's location.
    EXPECT_EQ(L"\\Device\\TVXIPC0", KsimLinkTarget(L"\\DosDevices\\TVXIPC0"));
    PDEVICE_OBJECT control = ControlDevice(0);
    ASSERT_NE(nullptr, control);
    EXPECT_EQ(location, Ext(control)->location);

    // 4. A client orders charging on: exactly one on form reaches the PDO; the answer is one byte.
    KsimHandle client = KsimUserOpen(L"\\\\.\\TVXIPC0");
    ASSERT_NE(nullptr, client);
    KsimClearUsbRequests(phone);
    Reply on = Order(client, IOCTL_TVXIPC_CHARGING_ON, location);
    EXPECT_STATUS(STATUS_SUCCESS, on.status);
    EXPECT_EQ(1u, on.information);
    EXPECT_EQ((std::vector<std::array<UCHAR, 8>>{CHARGING_ON}), KsimUsbSetupPackets(phone));

    // 5. The device's own driver sends 40 40 ...: exactly one on form follows it.
    KsimClearUsbRequests(phone);
    const std::array<UCHAR, 8> foreign = {0x40, 0x40, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, foreign));
    EXPECT_EQ((std::vector<std::array<UCHAR, 8>>{foreign, CHARGING_ON}), KsimUsbSetupPackets(phone));

    // 6. Unplugged: the link goes before the control device, then the filter; number 0 is free.
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(client));
    KsimClearIoLog();
    KsimPnpUnplug(phone);
    std::vector<std::string> log = IoLog();
    auto at = [&](const std::string& line) { return std::find(log.begin(), log.end(), line) - log.begin(); };
    ptrdiff_t link = at("IoDeleteSymbolicLink \\DosDevices\\TVXIPC0");
    ptrdiff_t device = at("IoDeleteDevice \\Device\\TVXIPC0");
    ptrdiff_t self = at("IoDeleteDevice " + FILTER_LABEL);
    ASSERT_LT(self, ptrdiff_t(log.size()));
    EXPECT_LT(link, device);
    EXPECT_LT(device, self);
    EXPECT_TRUE(KsimIsDeleted(filter));
    EXPECT_TRUE(KsimLinks().empty());
    EXPECT_EQ(0, ipcSlotTable[0]);

    PDEVICE_OBJECT next = Plug(hubPdo, ApplePhone(L"Port_#0001.Hub_#0002"));
    ASSERT_NE(nullptr, FilterExt(next)->controlDevObj);
    EXPECT_EQ(0, Ext(FilterExt(next)->controlDevObj)->ipcSlot);
}

}  // namespace
