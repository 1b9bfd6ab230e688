// Plug and Play over a simulated USB tree: recognition at start, child filters, control-device
// numbers, stop, and the order of removal.
#include "scenario.h"

#include <algorithm>
#include <functional>
#include <thread>

namespace {

class PnpTest : public TarvexTest {
protected:
    void SetUp() override {
        TarvexTest::SetUp();
        hubPdo = PlugHubTree();
    }

    // Plugs a device into the hub with something arranged on its PDO before Plug and Play
    // builds and starts its stack.
    PDEVICE_OBJECT PlugArranged(const KsimUsbDevice& device, const std::function<void(PDEVICE_OBJECT)>& arrange,
                                NTSTATUS* startStatus = nullptr) {
        PDEVICE_OBJECT pdo = KsimCreateUsbPdo(device, hubPdo);
        arrange(pdo);
        EXPECT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
        EXPECT_STATUS(STATUS_SUCCESS, KsimPnpBuildStack(pdo));
        NTSTATUS status = KsimPnpStart(pdo);
        if (startStatus) {
            *startStatus = status;
        } else {
            EXPECT_STATUS(STATUS_SUCCESS, status);
        }
        return pdo;
    }

    static bool FetchedDescriptor(PDEVICE_OBJECT pdo) {
        for (const KsimUsbRequest& request : KsimUsbRequests(pdo)) {
            if (request.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
                return true;
            }
        }
        return false;
    }

    PDEVICE_OBJECT hubPdo = nullptr;
};

TEST_F(PnpTest, ApplePhoneOnAHubPortGetsControlDeviceZeroAndNoChildFilters) {
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone(L"Port_#0003.Hub_#0002"));
    PDEVICE_OBJECT filter = FilterOn(phone);
    ASSERT_NE(nullptr, filter);
    EXPECT_EQ(filter, KsimStackOf(phone).at(1)) << "the child filter sits right above the PDO";
    DEVICE_EXTENSION* ext = Ext(filter);
    EXPECT_EQ(IPC_SLOT_CHILD_FILTER, ext->ipcSlot);
    EXPECT_EQ(STATE_STARTED, ext->state);
    EXPECT_TRUE(ext->bIsAppleDevice);
    EXPECT_FALSE(ext->bAttachToChildren);

    PDEVICE_OBJECT control = ControlDevice(0);
    ASSERT_NE(nullptr, control);
    EXPECT_EQ(L"\\Device\\TVXIPC0", KsimLinkTarget(L"\\DosDevices\\TVXIPC0"));
    EXPECT_EQ(control, ext->controlDevObj);
    DEVICE_EXTENSION* controlExt = Ext(control);
    EXPECT_EQ(DEVICE_EXTENSION_SIGNATURE, controlExt->signature);
    EXPECT_EQ(0, controlExt->ipcSlot);
    EXPECT_EQ(phone, controlExt->physicalDevObj);
    EXPECT_EQ(filter, controlExt->filterDevObj);
    EXPECT_EQ(control, controlExt->controlDevObj);
    EXPECT_EQ(nullptr, controlExt->topDevObj);
    EXPECT_TRUE(controlExt->bIsAppleDevice);
    EXPECT_EQ(STATE_STARTED, controlExt->state);
    EXPECT_EQ(std::wstring(L"Port_#0003.Hub_#0002"), controlExt->location);
    EXPECT_EQ(ULONG(DO_BUFFERED_IO), control->Flags & (DO_BUFFERED_IO | DO_DEVICE_INITIALIZING));
    EXPECT_EQ(1, ipcSlotTable[0]);
    std::vector<std::string> prints = KsimDbgPrints();
    EXPECT_NE(prints.end(),
              std::find(prints.begin(), prints.end(), "OrvantaDriver> Trying to create device \\Device\\TVXIPC0\n"));
    EXPECT_NE(prints.end(), std::find(prints.begin(), prints.end(),
                                      "OrvantaDriver> IRP_MN_START_DEVICE: LOCATION => Port_#0003.Hub_#0002\n"));

    // Even a child the phone reports from its own composite driver gets no filter.
    PDEVICE_OBJECT child = Plug(phone, Interface(0x05AC, 0x12A8, 0));
    EXPECT_EQ(nullptr, ChildFilterOn(child));
}

TEST_F(PnpTest, NonAppleHubGetsChildFiltersAndNoControlDevice) {
    DEVICE_EXTENSION* hubExt = FilterExt(hubPdo);
    ASSERT_NE(nullptr, hubExt);
    EXPECT_EQ(9, hubExt->usbDevClass);
    EXPECT_TRUE(hubExt->bAttachToChildren);
    EXPECT_EQ(nullptr, hubExt->controlDevObj);

    PDEVICE_OBJECT keyboard = Plug(hubPdo, Keyboard());
    ASSERT_NE(nullptr, FilterExt(keyboard));
    EXPECT_EQ(IPC_SLOT_CHILD_FILTER, FilterExt(keyboard)->ipcSlot);
    EXPECT_TRUE(ControlDevices().empty());
    EXPECT_TRUE(KsimLinks().empty());
}

TEST_F(PnpTest, PortableDeviceOfAnotherMakerGetsControlDeviceButNoChildFilters) {
    PDEVICE_OBJECT phone = Plug(hubPdo, OtherPhone());
    DEVICE_EXTENSION* ext = FilterExt(phone);
    ASSERT_NE(nullptr, ext);
    EXPECT_FALSE(ext->bIsAppleDevice);
    EXPECT_FALSE(ext->bAttachToChildren);
    ASSERT_NE(nullptr, ext->controlDevObj);
    EXPECT_FALSE(Ext(ext->controlDevObj)->bIsAppleDevice);

    // Without a readable hardware ID it gets none.
    KsimUsbDevice anonymous = OtherPhone(L"Port_#0005.Hub_#0002");
    anonymous.hardwareIds.clear();
    PDEVICE_OBJECT other = Plug(hubPdo, anonymous);
    ASSERT_NE(nullptr, FilterExt(other));
    EXPECT_EQ(nullptr, FilterExt(other)->controlDevObj);
    EXPECT_FALSE(FilterExt(other)->bAttachToChildren);
    EXPECT_EQ(1u, ControlDevices().size());
}

TEST_F(PnpTest, AddDeviceFilterOfANonAppleIdNeverFetchesTheDescriptorAndKeepsAttachingToChildren) {
    // The descriptor would say Apple; the hardware ID decides first.
    KsimUsbDevice device = Keyboard(L"Port_#0001.Hub_#0004");
    device.descriptor = KsimUsbDescriptor(0x05AC, 0x12A8, 0);
    device.classGuid = KSIM_CLASS_USBDEVICE;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT pdo = KsimPnpPlugRoot(device, &status);
    ASSERT_STATUS(STATUS_SUCCESS, status);
    DEVICE_EXTENSION* ext = FilterExt(pdo);
    ASSERT_NE(nullptr, ext);
    EXPECT_EQ(IPC_SLOT_ADDDEVICE_FILTER, ext->ipcSlot);
    EXPECT_FALSE(FetchedDescriptor(pdo));
    EXPECT_FALSE(ext->bIsAppleDevice);
    EXPECT_TRUE(ext->bAttachToChildren);
    EXPECT_EQ(nullptr, ext->controlDevObj);
}

TEST_F(PnpTest, FailedDescriptorFetchOrClassQueryGivesNoControlDevice) {
    PDEVICE_OBJECT silent = PlugArranged(ApplePhone(L"Port_#0001.Hub_#0002"), [](PDEVICE_OBJECT pdo) {
        KsimUrbScript fail;
        fail.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        fail.status = STATUS_UNSUCCESSFUL;
        KsimUsbScript(pdo, fail);
    });
    PDEVICE_OBJECT classless = PlugArranged(ApplePhone(L"Port_#0002.Hub_#0002"), [](PDEVICE_OBJECT pdo) {
        KsimFailProperty(pdo, DevicePropertyClassGuid, STATUS_OBJECT_NAME_NOT_FOUND);
    });
    for (PDEVICE_OBJECT pdo : {silent, classless}) {
        DEVICE_EXTENSION* ext = FilterExt(pdo);
        ASSERT_NE(nullptr, ext);
        EXPECT_EQ(STATE_STARTED, ext->state);
        EXPECT_EQ(nullptr, ext->controlDevObj);
        EXPECT_FALSE(ext->bAttachToChildren) << "a child filter keeps its FALSE";
    }
    EXPECT_TRUE(ControlDevices().empty());

    // A filter from AddDevice keeps its TRUE.
    KsimUsbDevice rootPhone = ApplePhone(L"Port_#0009.Hub_#0009");
    rootPhone.classGuid.clear();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT root = KsimPnpPlugRoot(rootPhone, &status);
    ASSERT_STATUS(STATUS_SUCCESS, status);
    EXPECT_TRUE(FilterExt(root)->bIsAppleDevice);
    EXPECT_TRUE(FilterExt(root)->bAttachToChildren);
    EXPECT_TRUE(ControlDevices().empty());
}

TEST_F(PnpTest, CompositeInterfacesGetFiltersAndInheritTheLocationExceptForVid12D1Pid15BB) {
    PDEVICE_OBJECT headset = Plug(hubPdo, CompositeParent(0x046D, 0x0A44, L"Port_#0002.Hub_#0002"));
    PDEVICE_OBJECT audio = Plug(headset, Interface(0x046D, 0x0A44, 0));
    PDEVICE_OBJECT hid = Plug(headset, Interface(0x046D, 0x0A44, 3));
    for (PDEVICE_OBJECT pdo : {audio, hid}) {
        DEVICE_EXTENSION* ext = FilterExt(pdo);
        ASSERT_NE(nullptr, ext);
        EXPECT_EQ(std::wstring(L"Port_#0002.Hub_#0002"), ext->location);
    }

    PDEVICE_OBJECT modem = Plug(hubPdo, CompositeParent(0x12D1, 0x15BB, L"Port_#0003.Hub_#0002"));
    ASSERT_NE(nullptr, FilterExt(modem));
    EXPECT_TRUE(FilterExt(modem)->bAttachToChildren);
    PDEVICE_OBJECT modemInterface = Plug(modem, Interface(0x12D1, 0x15BB, 0));
    EXPECT_EQ(nullptr, ChildFilterOn(modemInterface));
    // Only the pair together: the same maker's other composite devices are filtered.
    PDEVICE_OBJECT other = Plug(hubPdo, CompositeParent(0x12D1, 0x1506, L"Port_#0004.Hub_#0002"));
    EXPECT_NE(nullptr, ChildFilterOn(Plug(other, Interface(0x12D1, 0x1506, 0))));
}

TEST_F(PnpTest, OnlyChildrenOfTheFourHubAndCompositeDriversGetFilters) {
    struct Case {
        const wchar_t* busDriver;
        bool filtered;
    };
    const Case cases[] = {
        {L"\\Driver\\USBHUB", true},  {L"\\Driver\\USBHUB3", true},   {L"\\Driver\\iusb3hub", true},
        {L"\\Driver\\usbccgp", true}, {L"\\Driver\\UsbHub3", true},   {L"\\Driver\\USBSTOR", false},
        {L"\\Driver\\HidUsb", false}, {L"\\Driver\\USBHUB30", false},
    };
    int port = 1;
    for (const Case& c : cases) {
        KsimUsbDevice device = Keyboard(L"Port_#000" + std::to_wstring(port++) + L".Hub_#0002");
        device.busDriver = c.busDriver;
        PDEVICE_OBJECT pdo = Plug(hubPdo, device);
        EXPECT_EQ(c.filtered, ChildFilterOn(pdo) != nullptr) << "case " << port - 1;
    }
}

TEST_F(PnpTest, ChildOfAHubTracesItsRelationsStartAndRemovalExactly) {
    PDEVICE_OBJECT hubFilter = FilterOn(hubPdo);
    PDEVICE_OBJECT keyboard = KsimCreateUsbPdo(Keyboard(L"Port_#0004.Hub_#0002"), hubPdo);
    KsimClearDbgPrints();
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
    const std::string relations =
        "OrvantaDriver> IRP_MN_QUERY_DEVICE_RELATIONS => devExt->filterDevObj => " + Low32(hubFilter) + "\n";
    EXPECT_EQ((std::vector<std::string>{
                  relations,
                  "OrvantaDriver> IRP_MN_QUERY_DEVICE_RELATIONS: create\n",
                  "OrvantaDriver> IRP_MN_QUERY_DEVICE_RELATIONS: usbDevClass => 9\n",
                  "OrvantaDriver> IRP_MN_QUERY_DEVICE_RELATIONS: LOCATION => Port_#0001.Hub_#0001\n",
              }),
              KsimDbgPrints());

    KsimClearDbgPrints();
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpBuildStack(keyboard));
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpStart(keyboard));
    EXPECT_EQ((std::vector<std::string>{
                  "OrvantaDriver> VA_AddDevice\n",
                  "OrvantaDriver> IRP_MN_START_DEVICE\n",
                  "OrvantaDriver> IRP_MN_START_DEVICE: LOCATION => Port_#0004.Hub_#0002\n",
              }),
              KsimDbgPrints());

    KsimClearDbgPrints();
    KsimPnpUnplug(keyboard);
    EXPECT_EQ((std::vector<std::string>{relations, "OrvantaDriver> IRP_MN_REMOVE_DEVICE\n"}), KsimDbgPrints());
}

TEST_F(PnpTest, RepeatedBusRelationsCreateNoSecondFilter) {
    PDEVICE_OBJECT keyboard = Plug(hubPdo, Keyboard());
    size_t devices = KsimDevicesOf(driver).size();
    for (int i = 0; i < 3; ++i) {
        EXPECT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
        EXPECT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(rootPdo));
    }
    EXPECT_EQ(1u, FiltersOn(keyboard).size());
    EXPECT_EQ(1u, FiltersOn(hubPdo).size());
    EXPECT_EQ(devices, KsimDevicesOf(driver).size());
}

TEST_F(PnpTest, ChildrenOfAHubStartWithAnEmptyLocationAndReadTheirOwn) {
    PDEVICE_OBJECT phone = KsimCreateUsbPdo(ApplePhone(L"Port_#0004.Hub_#0002"), hubPdo);
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
    DEVICE_EXTENSION* ext = FilterExt(phone);
    ASSERT_NE(nullptr, ext);
    EXPECT_EQ(L'\0', ext->location[0]);

    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpBuildStack(phone));
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpStart(phone));
    EXPECT_EQ(std::wstring(L"Port_#0004.Hub_#0002"), ext->location);
    EXPECT_EQ(std::wstring(L"USB\\VID_05AC&PID_12A8&REV_1201"), ext->hardwareId);
}

TEST_F(PnpTest, ControlDeviceNumbersAreTheLowestFreeAndComeBackAtRemoval) {
    PDEVICE_OBJECT a = Plug(hubPdo, ApplePhone(L"Port_#0001.Hub_#0002"));
    PDEVICE_OBJECT b = Plug(hubPdo, OtherPhone(L"Port_#0002.Hub_#0002"));
    PDEVICE_OBJECT c = Plug(hubPdo, ApplePhone(L"Port_#0003.Hub_#0002"));
    EXPECT_EQ(0, Ext(FilterExt(a)->controlDevObj)->ipcSlot);
    EXPECT_EQ(1, Ext(FilterExt(b)->controlDevObj)->ipcSlot);
    EXPECT_EQ(2, Ext(FilterExt(c)->controlDevObj)->ipcSlot);

    KsimPnpUnplug(b);
    EXPECT_EQ(0, ipcSlotTable[1]);
    EXPECT_EQ(nullptr, ControlDevice(1));
    PDEVICE_OBJECT d = Plug(hubPdo, ApplePhone(L"Port_#0004.Hub_#0002"));
    EXPECT_EQ(1, Ext(FilterExt(d)->controlDevObj)->ipcSlot);

    for (PDEVICE_OBJECT pdo : {a, c, d}) {
        KsimPnpUnplug(pdo);
    }
    for (LONG n = 0; n < TVXIPC_MAX_DEVICES; ++n) {
        EXPECT_EQ(0, ipcSlotTable[n]) << "number " << n;
    }
    EXPECT_TRUE(ControlDevices().empty());
    EXPECT_TRUE(KsimLinks().empty());
}

TEST_F(PnpTest, TwoHundredFiftySevenDevicesTakeNumbers0To255AndTheLastWorksWithoutOne) {
    std::vector<PDEVICE_OBJECT> phones;
    for (int i = 0; i <= TVXIPC_MAX_DEVICES; ++i) {
        phones.push_back(Plug(hubPdo, ApplePhone(L"Port_#" + std::to_wstring(i) + L".Hub_#0002")));
    }
    for (int i = 0; i < TVXIPC_MAX_DEVICES; ++i) {
        ASSERT_NE(nullptr, FilterExt(phones[i])->controlDevObj) << "device " << i;
        EXPECT_EQ(i, Ext(FilterExt(phones[i])->controlDevObj)->ipcSlot);
    }
    DEVICE_EXTENSION* last = FilterExt(phones.back());
    EXPECT_EQ(nullptr, last->controlDevObj);
    EXPECT_EQ(STATE_STARTED, last->state);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendBulk(phones.back()));

    for (PDEVICE_OBJECT phone : phones) {
        KsimPnpUnplug(phone);
    }
    EXPECT_TRUE(ControlDevices().empty());
    EXPECT_EQ(2u, KsimDevicesOf(driver).size()) << "the root hub's and the hub's filters remain";
}

TEST_F(PnpTest, NumberTakenForAControlDeviceThatCouldNotBeCreatedIsReturned) {
    // Once the child filter exists, the next device object created is the control device.
    PDEVICE_OBJECT phone = KsimCreateUsbPdo(ApplePhone(L"Port_#0002.Hub_#0002"), hubPdo);
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpBuildStack(phone));
    KsimInjectFault(KsimFault::IoCreateDevice, 1, 1, STATUS_OBJECT_NAME_COLLISION);
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpStart(phone));
    EXPECT_EQ(nullptr, FilterExt(phone)->controlDevObj);
    EXPECT_EQ(0, ipcSlotTable[0]);

    PDEVICE_OBJECT next = Plug(hubPdo, ApplePhone(L"Port_#0003.Hub_#0002"));
    EXPECT_EQ(0, Ext(FilterExt(next)->controlDevObj)->ipcSlot);
}

TEST_F(PnpTest, ControlDeviceWhoseLinkCannotBeMadeIsDeletedAndItsNumberReturned) {
    KsimInjectFault(KsimFault::IoCreateSymbolicLink);
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone(L"Port_#0002.Hub_#0002"));
    EXPECT_EQ(nullptr, FilterExt(phone)->controlDevObj);
    EXPECT_EQ(nullptr, ControlDevice(0)) << "no nameless control device stays behind";
    EXPECT_EQ(std::vector<std::string>{"OrvantaDriver> No link for \\Device\\TVXIPC0\n"}, [] {
        std::vector<std::string> lines;
        for (const std::string& line : KsimDbgPrints()) {
            if (line.find("No link") != std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }());

    Plug(hubPdo, ApplePhone(L"Port_#0003.Hub_#0002"));
    EXPECT_EQ(L"\\Device\\TVXIPC0", KsimLinkTarget(L"\\DosDevices\\TVXIPC0"));
}

TEST_F(PnpTest, ControlDeviceIsNamedOnlyOnceProtectedAndItsNumberFreedOnlyOnceTheNameIsGone) {
    std::vector<std::string> seen;
    KsimSetIoLogHook([&seen](const std::string& line) {
        if (line.rfind("IoCreateSymbolicLink \\DosDevices\\TVXIPC0", 0) == 0) {
            bool hasDacl = false;
            KsimDeviceDacl(ControlDevice(0), &hasDacl);
            seen.push_back(std::string("link made, DACL ") + (hasDacl ? "set" : "missing"));
        }
        if (line == "IoDeleteSymbolicLink \\DosDevices\\TVXIPC0" || line == "IoDeleteDevice \\Device\\TVXIPC0") {
            seen.push_back(line.substr(0, line.find(' ')) + ", number " + (ipcSlotTable[0] ? "taken" : "free"));
        }
    });
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone());
    KsimPnpUnplug(phone);
    KsimSetIoLogHook(nullptr);
    EXPECT_EQ((std::vector<std::string>{"link made, DACL set", "IoDeleteSymbolicLink, number taken",
                                        "IoDeleteDevice, number taken"}),
              seen);
    EXPECT_EQ(0, ipcSlotTable[0]);
}

TEST_F(PnpTest, PhoneUnderAHubFilteredFromAddDeviceServesItsOwnLocation) {
    // A hub plugged in after installation: its parent had no filter, so its own comes from
    // AddDevice, which fetches no descriptor for a device that is not Apple's.
    PDEVICE_OBJECT hub = KsimPnpPlugRoot(Usb3Hub(L"Port_#0001.Hub_#0001"));
    ASSERT_EQ(IPC_SLOT_ADDDEVICE_FILTER, FilterExt(hub)->ipcSlot);
    PDEVICE_OBJECT phone = Plug(hub, ApplePhone(L"Port_#0003.Hub_#0002"));
    EXPECT_EQ(L"Port_#0003.Hub_#0002", std::wstring(FilterExt(phone)->location));

    KsimHandle handle = KsimUserOpen(L"\\\\.\\TVXIPC0");
    ASSERT_NE(nullptr, handle);
    EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, L"Port_#0003.Hub_#0002").status);
    EXPECT_EQ(KsimHex(CHARGING_ON), KsimHex(KsimUsbSetupPackets(phone).back()));
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
    KsimPnpUnplug(hub);
}

TEST_F(PnpTest, PulledPhoneWhoseStackAProgramStillHoldsGivesUpItsControlDeviceNameAndNumberAtOnce) {
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone());
    KsimHandle program = KsimUserOpen(KsimDeviceName(phone).c_str());
    ASSERT_NE(nullptr, program);
    KsimHandle client = KsimUserOpen(L"\\\\.\\TVXIPC0");
    ASSERT_NE(nullptr, client);

    KsimPnpUnplug(phone);
    EXPECT_FALSE(KsimPdoRemoveHandled(phone)) << "the remove waits for the program's handle";
    EXPECT_EQ(L"", KsimLinkTarget(L"\\DosDevices\\TVXIPC0"));
    EXPECT_STATUS(STATUS_DELETE_PENDING, Order(client, IOCTL_TVXIPC_CHARGING_ON, L"Port_#0003.Hub_#0002").status);

    // The same phone plugged in again gets number 0 back and is served through it.
    PDEVICE_OBJECT again = Plug(hubPdo, ApplePhone());
    KsimHandle fresh = KsimUserOpen(L"\\\\.\\TVXIPC0");
    ASSERT_NE(nullptr, fresh);
    EXPECT_STATUS(STATUS_SUCCESS, Order(fresh, IOCTL_TVXIPC_CHARGING_ON, L"Port_#0003.Hub_#0002").status);
    EXPECT_EQ(KsimHex(CHARGING_ON), KsimHex(KsimUsbSetupPackets(again).back()));

    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(client));
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(program));
    EXPECT_TRUE(KsimIsDeleted(phone)) << "the last close let the remove come";
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(fresh));
    KsimPnpUnplug(again);
}

TEST_F(PnpTest, StartAfterStopKeepsTheControlDeviceAndItsNumber) {
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone());
    DEVICE_EXTENSION* ext = FilterExt(phone);
    PDEVICE_OBJECT control = ext->controlDevObj;
    ASSERT_NE(nullptr, control);

    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpQueryStop(phone));
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpStop(phone));
    EXPECT_EQ(STATE_STOPPED, ext->state);
    EXPECT_EQ(STATE_STOPPED, Ext(control)->state);

    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpStart(phone));
    EXPECT_EQ(STATE_STARTED, ext->state);
    EXPECT_EQ(control, ext->controlDevObj);
    EXPECT_EQ(STATE_STARTED, Ext(control)->state);
    EXPECT_EQ(std::vector<PDEVICE_OBJECT>{control}, ControlDevices());
    EXPECT_EQ(0, ipcSlotTable[1]);
}

TEST_F(PnpTest, SuspendedDeviceVetoesTheQueryStopAndAStopThatComesAnywayGoesDown) {
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone());
    unsigned queriesBelow = 0, stopsBelow = 0;
    KsimSetIrpHook(phone, [&](PDEVICE_OBJECT, PIRP irp, NTSTATUS*) {
        PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(irp);
        queriesBelow += irpSp->MajorFunction == IRP_MJ_PNP && irpSp->MinorFunction == IRP_MN_QUERY_STOP_DEVICE;
        stopsBelow += irpSp->MajorFunction == IRP_MJ_PNP && irpSp->MinorFunction == IRP_MN_STOP_DEVICE;
        return false;
    });
    ASSERT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(phone, PowerDeviceD2));
    ASSERT_EQ(STATE_SUSPENDED, FilterExt(phone)->state);

    EXPECT_STATUS(STATUS_DEVICE_POWERED_OFF, KsimPnpQueryStop(phone));
    EXPECT_EQ(0u, queriesBelow);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpCancelStop(phone));
    EXPECT_EQ(STATE_SUSPENDED, FilterExt(phone)->state);

    // A stop must not fail: the function driver above has already stopped.
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpStop(phone));
    EXPECT_EQ(1u, stopsBelow);
    EXPECT_EQ(STATE_STOPPED, FilterExt(phone)->state);
    KsimSetIrpHook(phone, nullptr);
}

TEST_F(PnpTest, FailedCapabilitiesQueryLeavesStartFailedYetTheStartSucceedsAndRecognitionRuns) {
    PDEVICE_OBJECT phone = PlugArranged(ApplePhone(), [](PDEVICE_OBJECT pdo) {
        KsimPnpSetPdoAnswer(pdo, IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL, 1);
    });
    DEVICE_EXTENSION* ext = FilterExt(phone);
    EXPECT_EQ(STATE_START_FAILED, ext->state);
    EXPECT_NE(nullptr, ext->controlDevObj);
    EXPECT_TRUE(KsimAsserts().empty());
}

TEST_F(PnpTest, CapabilitiesRequestThatCannotBeAllocatedLeavesStartFailed) {
    PDEVICE_OBJECT phone =
        PlugArranged(ApplePhone(), [](PDEVICE_OBJECT) { KsimInjectFault(KsimFault::IoAllocateIrp); });
    EXPECT_EQ(STATE_START_FAILED, FilterExt(phone)->state);
    EXPECT_TRUE(KsimAsserts().empty()) << "low resources are no broken invariant";
    std::vector<std::string> prints = KsimDbgPrints();
    EXPECT_NE(prints.end(),
              std::find(prints.begin(), prints.end(), "OrvantaDriver> IRP_MN_QUERY_CAPABILITIES failed: 0xC000009A\n"));
}

TEST_F(PnpTest, ChildWhoseFilterCannotBeMadeStaysUnfilteredAndTheOthersAreStillHandled) {
    for (KsimFault fault : {KsimFault::IoCreateDevice, KsimFault::IoAttachDeviceToDeviceStack}) {
        PDEVICE_OBJECT first = KsimCreateUsbPdo(Keyboard(L"Port_#0005.Hub_#0002"), hubPdo);
        PDEVICE_OBJECT second = KsimCreateUsbPdo(OtherPhone(L"Port_#0006.Hub_#0002"), hubPdo);
        size_t devices = KsimDevicesOf(driver).size();
        KsimInjectFault(fault);
        ASSERT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
        EXPECT_EQ(nullptr, FilterOn(first));
        EXPECT_NE(nullptr, ChildFilterOn(second));
        EXPECT_EQ(devices + 1, KsimDevicesOf(driver).size()) << "nothing is left of the failed filter";
        KsimRemoveChild(hubPdo, first);
        KsimRemoveChild(hubPdo, second);
        ASSERT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
        ASSERT_STATUS(STATUS_SUCCESS, KsimPnpRemove(first));
        ASSERT_STATUS(STATUS_SUCCESS, KsimPnpRemove(second));
    }
}

TEST_F(PnpTest, StartFailingBelowGoesUpAndRecognisesNothing) {
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT phone = PlugArranged(
        ApplePhone(),
        [](PDEVICE_OBJECT pdo) { KsimPnpSetPdoAnswer(pdo, IRP_MN_START_DEVICE, STATUS_DEVICE_CONFIGURATION_ERROR, 1); },
        &status);
    EXPECT_STATUS(STATUS_DEVICE_CONFIGURATION_ERROR, status);
    EXPECT_EQ(STATE_START_FAILED, FilterExt(phone)->state);
    EXPECT_FALSE(FetchedDescriptor(phone));
    EXPECT_TRUE(ControlDevices().empty());
}

TEST_F(PnpTest, RemovalDeletesTheLinkBeforeTheControlDeviceAndThenTheFilter) {
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone());
    PDEVICE_OBJECT filter = FilterOn(phone);
    KsimClearIoLog();
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpSurpriseRemove(phone));
    EXPECT_EQ(STATE_REMOVING, FilterExt(phone)->state);
    EXPECT_EQ(nullptr, ControlDevice(0)) << "the control device goes at the surprise removal";
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpRemove(phone));
    const std::vector<std::string> expected = {
        "IoDeleteSymbolicLink \\DosDevices\\TVXIPC0",
        "IoDeleteDevice \\Device\\TVXIPC0",
        "IoDeleteDevice " + FILTER_LABEL,
    };
    EXPECT_EQ(expected, Deletions());

    EXPECT_TRUE(KsimIsDeleted(filter));
    EXPECT_EQ(2u, KsimDevicesOf(driver).size());
    EXPECT_EQ(0, ipcSlotTable[0]);
}

// A hub ends the device's wait-wake request only as it handles the remove itself: the filter
// passes the remove down before it waits for what it has pended below.
TEST_F(PnpTest, RemovalWithAWaitWakeTheHubHoldsPassesTheRemoveDownBeforeWaitingForIt) {
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone());
    KsimPoRequestWaitWake(phone);
    ASSERT_TRUE(KsimPoWaitWakeHeld(phone));
    EXPECT_EQ(1, FilterExt(phone)->pendingActionCount);

    KsimSetWaitLimit(2000);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpRemove(phone));
    EXPECT_FALSE(KsimPoWaitWakeHeld(phone));
    EXPECT_TRUE(FiltersOn(phone).empty());
}

// A request can reach a child filter the moment it is in the stack: it is a filter by then and
// passes the request down, never taken for control device TVXIPC0.
TEST_F(PnpTest, RequestReachingAChildFilterAsItIsAttachedPassesDownToThePdo) {
    NTSTATUS early = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT earlyPdo = nullptr;
    KsimSetAttachHook([&](PDEVICE_OBJECT attached, PDEVICE_OBJECT below) {
        if (KsimDriverName(attached) == L"\\Driver\\Tarvex" && KsimDriverName(below) == L"\\Driver\\USBHUB3") {
            earlyPdo = below;
            early = KsimUsbSendBulk(below, 64);
        }
    });
    PDEVICE_OBJECT keyboard = Plug(hubPdo, Keyboard());
    KsimSetAttachHook(nullptr);
    ASSERT_EQ(keyboard, earlyPdo);
    EXPECT_STATUS(STATUS_SUCCESS, early);
    std::vector<KsimUsbRequest> requests = KsimUsbRequests(keyboard);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, requests[0].function);
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{ChildFilterOn(keyboard), keyboard}), requests[0].path);
}

// Filters have no name, so that nobody opens a stack at a filter, below its function driver; to
// the I/O manager they look like the device below them.
TEST_F(PnpTest, FiltersHaveNoNameAndTheTypeAndCharacteristicsOfTheDeviceBelow) {
    PDEVICE_OBJECT phone = PlugArranged(ApplePhone(), [](PDEVICE_OBJECT pdo) {
        pdo->DeviceType = FILE_DEVICE_BUS_EXTENDER;
        pdo->Characteristics |= FILE_DEVICE_SECURE_OPEN | FILE_REMOVABLE_MEDIA;
    });
    std::vector<PDEVICE_OBJECT> filters = FiltersOn(phone);
    ASSERT_EQ(1u, filters.size());
    filters.push_back(FilterOn(hubPdo));
    filters.push_back(FilterOn(rootPdo));
    for (PDEVICE_OBJECT filter : filters) {
        PDEVICE_OBJECT below = Ext(filter)->topDevObj;
        EXPECT_EQ(L"", KsimDeviceName(filter));
        EXPECT_FALSE(filter->Flags & DO_DEVICE_HAS_NAME);
        EXPECT_EQ(below->DeviceType, filter->DeviceType);
        EXPECT_EQ(below->Characteristics, filter->Characteristics);
    }
    EXPECT_EQ(ULONG(FILE_DEVICE_BUS_EXTENDER), filters[0]->DeviceType);
}

TEST_F(PnpTest, PagingPathFlagFollowsTheDevicesAboveAndBelow) {
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone());
    PDEVICE_OBJECT filter = FilterOn(phone);
    PDEVICE_OBJECT above = filter->AttachedDevice;
    ASSERT_NE(nullptr, above);

    // Pageable above and below: the filter becomes pageable too.
    above->Flags |= DO_POWER_PAGABLE;
    phone->Flags |= DO_POWER_PAGABLE;
    filter->Flags &= ~DO_POWER_PAGABLE;
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpDeviceUsage(phone, DeviceUsageTypePaging, true));
    EXPECT_TRUE(filter->Flags & DO_POWER_PAGABLE);

    // Below not pageable: the completion takes the flag back.
    phone->Flags &= ~DO_POWER_PAGABLE;
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpDeviceUsage(phone, DeviceUsageTypePaging, false));
    EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
    EXPECT_EQ(0, Ext(filter)->pendingActionCount);

    // Above not pageable: the filter stays as it is, whatever the device below, also when the
    // device below holds the request a while (the completion must mark it pending).
    above->Flags &= ~DO_POWER_PAGABLE;
    phone->Flags |= DO_POWER_PAGABLE;
    KsimPnpPendAtPdo(phone, IRP_MN_DEVICE_USAGE_NOTIFICATION, 20);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpDeviceUsage(phone, DeviceUsageTypePaging, true));
    EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
    EXPECT_EQ(0, Ext(filter)->pendingActionCount);
}

// Registered for the USB class only, as the INF installs it: a phone's stack (USB device class)
// gets its filter only from the hub's bus relations.
class UsbClassFilterTest : public TarvexTest {
protected:
    const wchar_t* FilterClass() const override { return KSIM_CLASS_USB; }
};

TEST_F(UsbClassFilterTest, StackRebuiltInPlaceGetsNoFilterOnTopOfItsRunningFunctionDriver) {
    PDEVICE_OBJECT hubPdo = PlugHubTree();
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone());
    ASSERT_NE(nullptr, ChildFilterOn(phone));

    // A driver update: the stack is rebuilt on the same PDO without the hub being asked again.
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpRebuild(phone, false));
    ASSERT_TRUE(FiltersOn(phone).empty());
    PDEVICE_OBJECT keyboard = Plug(hubPdo, Keyboard());

    // On top of the running function driver a filter would never start nor see a URB.
    EXPECT_TRUE(FiltersOn(phone).empty());
    EXPECT_NE(nullptr, ChildFilterOn(keyboard));
    EXPECT_TRUE(ControlDevices().empty());
}

TEST_F(UsbClassFilterTest, StackRebuiltAfterTheHubIsAskedAgainHasOneStartedFilterWhereChargingAndTheWatchWork) {
    const std::wstring location = L"Port_#0003.Hub_#0002";
    PDEVICE_OBJECT hubPdo = PlugHubTree();
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone(location));
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpRebuild(phone, true));
    Plug(hubPdo, Keyboard());

    std::vector<PDEVICE_OBJECT> filters = FiltersOn(phone);
    ASSERT_EQ(1u, filters.size());
    EXPECT_EQ(filters[0], KsimStackOf(phone)[1]) << "directly above the PDO, below the function driver";
    EXPECT_EQ(STATE_STARTED, Ext(filters[0])->state);
    ASSERT_NE(nullptr, Ext(filters[0])->controlDevObj);
    EXPECT_EQ(ControlDevice(0), Ext(filters[0])->controlDevObj);

    KsimHandle handle = KsimUserOpen(L"\\\\.\\TVXIPC0");
    ASSERT_NE(nullptr, handle);
    KsimClearUsbRequests(phone);
    EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, location).status);
    EXPECT_EQ((std::vector<std::array<UCHAR, 8>>{CHARGING_ON}), KsimUsbSetupPackets(phone));
    EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_URB_WATCH_START, location).status);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendBulk(phone));
    Reply query = Order(handle, IOCTL_TVXIPC_URB_WATCH_QUERY, location);
    EXPECT_STATUS(STATUS_SUCCESS, query.status);
    EXPECT_EQ(1, query.byte);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
    KsimPnpUnplug(phone);
}

// A phone's stack (the hub's or the driver's sessions) sees its last requests after it left
// the bus: a system power request and the cleanup and close of a handle still open on it.
TEST_F(PnpTest, AfterSurpriseRemovalPowerCleanupAndCloseStillReachTheDriversBelow) {
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone());
    KsimHandle session = KsimUserOpen(KsimDeviceName(phone).c_str());
    ASSERT_NE(nullptr, session);
    std::vector<UCHAR> below;
    KsimSetIrpHook(phone, [&](PDEVICE_OBJECT, PIRP irp, NTSTATUS*) {
        below.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        return false;
    });
    KsimRemoveChild(hubPdo, phone);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpSurpriseRemove(phone));
    below.clear();

    EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetSystemPower(phone, PowerSystemSleeping3));
    // A URB is the hub's to refuse: the device has left the bus.
    EXPECT_STATUS(STATUS_NO_SUCH_DEVICE, KsimUsbSendBulk(phone));
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(session));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_POWER, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), below);
    KsimSetIrpHook(phone, nullptr);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpRemove(phone));
}

TEST_F(PnpTest, PulledPhoneUnderAHubThatDoesNotPurgeGetsItsDriversTransferAbortedThroughTheFilterAndComesApart) {
    KsimUsbDevice device = ApplePhone();
    device.keepsUrbsAfterSurpriseRemoval = true;
    PDEVICE_OBJECT phone = Plug(hubPdo, device);
    ASSERT_NE(nullptr, ChildFilterOn(phone)) << "the filter sits between the function driver and the hub";
    KsimUrbScript hold;
    hold.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    hold.answer = KsimUrbAnswer::Pend;
    KsimUsbScript(phone, hold);
    NTSTATUS transfer = STATUS_PENDING;
    std::thread reader([&] { transfer = KsimUsbSendBulk(phone); });
    ASSERT_TRUE(KsimUsbWaitPended(phone, 1));

    KsimPnpUnplug(phone);
    reader.join();
    EXPECT_STATUS(STATUS_CANCELLED, transfer);
    EXPECT_TRUE(KsimIsDeleted(phone));
}

}  // namespace
