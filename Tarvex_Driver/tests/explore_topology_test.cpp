// Every way a filter can come to a device, every place an Apple device can sit and every state of
// its location text: one case per combination, named by it. Each ends with exactly one control
// device per reachable Apple device, carrying the device's own location; an order with that
// location reaches that device's PDO and no other; unplugging frees the number.
#include "explore.h"

namespace {

using namespace explore;

// How the filter came to the Apple device's parent.
enum class Way {
    Boot,     // installed before the root hub started: the root hub's filter from AddDevice, child filters below
    Running,  // installed while running: the root hub has none, stacks built later get AddDevice's
    Rebuilt,  // the parent's stack rebuilt in place after install: its filter from AddDevice under a filtered parent
};

enum class Place {
    RootPort,           // a port of the root hub
    ExternalHub,        // a port of a hub on the root hub
    HubBehindHub,       // a port of a hub on that hub
    Composite,          // an Apple composite device, its interfaces below it
    PortableInterface,  // a portable-devices interface of another maker's composite device
    UsbClass,           // on the external hub, of the USB class
    PortableClass,      // on the external hub, of the portable-devices class
};

enum class Location { Present, Empty, Failing };

struct Row {
    Way way;
    Place place;
    Location location;
};

const char* WayName(Way way) {
    switch (way) {
    case Way::Boot: return "InstalledBeforeBoot";
    case Way::Running: return "InstalledWhileRunning";
    default: return "ParentRebuilt";
    }
}

const char* PlaceName(Place place) {
    switch (place) {
    case Place::RootPort: return "RootPort";
    case Place::ExternalHub: return "ExternalHub";
    case Place::HubBehindHub: return "HubBehindHub";
    case Place::Composite: return "CompositeDevice";
    case Place::PortableInterface: return "PortableInterfaceOfComposite";
    case Place::UsbClass: return "UsbClassDevice";
    default: return "PortableClassDevice";
    }
}

const char* LocationName(Location location) {
    switch (location) {
    case Location::Present: return "LocationPresent";
    case Location::Empty: return "LocationEmpty";
    default: return "LocationFailing";
    }
}

std::vector<Row> Rows() {
    std::vector<Row> rows;
    for (Way way : {Way::Boot, Way::Running, Way::Rebuilt}) {
        for (Place place : {Place::RootPort, Place::ExternalHub, Place::HubBehindHub, Place::Composite,
                            Place::PortableInterface, Place::UsbClass, Place::PortableClass}) {
            // A root hub has no parent to be rebuilt under: its AddDevice filter is the boot row's.
            if (way == Way::Rebuilt && place == Place::RootPort) {
                continue;
            }
            for (Location location : {Location::Present, Location::Empty, Location::Failing}) {
                rows.push_back({way, place, location});
            }
        }
    }
    return rows;
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    return std::string(WayName(info.param.way)) + "_" + PlaceName(info.param.place) + "_" +
           LocationName(info.param.location);
}

const std::wstring DECOY_LOCATION = L"Port_#0002.Hub_#0002";

class TopologyMatrix : public ::testing::TestWithParam<Row> {
protected:
    void TearDown() override { KsimReset(); }

    // Plugs a device as PnP does, with its location text in the row's state.
    PDEVICE_OBJECT PlugWith(PDEVICE_OBJECT parent, KsimUsbDevice device, Location location) {
        std::wstring text = device.location;
        if (location != Location::Present) {
            device.location.clear();
        }
        PDEVICE_OBJECT pdo = parent ? KsimCreateUsbPdo(device, parent) : KsimCreateUsbPdo(device);
        if (location == Location::Empty) {
            KsimSetPropertyString(pdo, DevicePropertyLocationInformation, L"");
        } else if (location == Location::Failing) {
            KsimFailProperty(pdo, DevicePropertyLocationInformation, STATUS_INVALID_DEVICE_REQUEST);
        }
        if (parent) {
            KsimPnpQueryBusRelations(parent);
        }
        NTSTATUS status = KsimPnpBuildStack(pdo);
        if (NT_SUCCESS(status)) {
            status = KsimPnpStart(pdo);
        }
        EXPECT_STATUS(STATUS_SUCCESS, status) << "start of " << Narrow(text);
        return pdo;
    }

    PDEVICE_OBJECT PlugHub(PDEVICE_OBJECT parent, const std::wstring& location, bool rebuild) {
        PDEVICE_OBJECT pdo = PlugWith(parent, Usb3Hub(location), Location::Present);
        if (rebuild) {
            EXPECT_STATUS(STATUS_SUCCESS, KsimPnpRebuild(pdo, false));
        }
        return pdo;
    }
};

TEST_P(TopologyMatrix, EachReachableAppleDeviceHasOneControlDeviceWithItsOwnLocationThatOrdersReachItAlone) {
    const Row row = GetParam();
    Kernel run;
    const bool rebuilt = row.way == Way::Rebuilt;
    if (row.way != Way::Running) {
        run.Install();
    }
    PDEVICE_OBJECT root = PlugWith(nullptr, RootHub(), Location::Present);
    if (row.way == Way::Running) {
        run.Install();
    }
    PDEVICE_OBJECT hub = PlugHub(root, L"Port_#0001.Hub_#0001", rebuilt && row.place != Place::HubBehindHub);
    PDEVICE_OBJECT decoy = PlugWith(hub, ApplePhone(DECOY_LOCATION), Location::Present);

    // The device under test, the PDO its control device serves, and what it should carry.
    std::wstring own = L"Port_#0003.Hub_#0002";
    PDEVICE_OBJECT parent = hub;
    KsimUsbDevice plugged;
    PDEVICE_OBJECT target = nullptr;
    PDEVICE_OBJECT served = nullptr;
    bool apple = true;
    // Only the USB class has the filter: a phone of another class straight on an unfiltered root
    // hub is out of its reach until the next restart.
    bool reachable = !(row.way == Way::Running && row.place == Place::RootPort);
    switch (row.place) {
    case Place::RootPort:
        own = L"Port_#0002.Hub_#0001";
        parent = root;
        plugged = ApplePhone(own);
        target = served = PlugWith(root, plugged, row.location);
        break;
    case Place::ExternalHub:
        plugged = ApplePhone(own);
        target = served = PlugWith(hub, plugged, row.location);
        break;
    case Place::HubBehindHub: {
        parent = PlugHub(hub, L"Port_#0004.Hub_#0002", rebuilt);
        own = L"Port_#0001.Hub_#0003";
        plugged = ApplePhone(own);
        target = served = PlugWith(parent, plugged, row.location);
        break;
    }
    case Place::Composite: {
        KsimUsbDevice composite = CompositeParent(0x05AC, 0x12A8, own);
        target = served = PlugWith(hub, composite, row.location);
        PlugWith(target, Interface(0x05AC, 0x12A8, 0), Location::Present);
        PlugWith(target, Interface(0x05AC, 0x12A8, 1), Location::Present);
        break;
    }
    case Place::PortableInterface: {
        target = PlugWith(hub, CompositeParent(0x04E8, 0x6860, own), row.location);
        KsimUsbDevice portable = Interface(0x04E8, 0x6860, 1);
        portable.classGuid = KSIM_CLASS_WPD;
        PlugWith(target, Interface(0x04E8, 0x6860, 0), Location::Present);
        served = PlugWith(target, portable, Location::Present);
        apple = false;
        break;
    }
    case Place::UsbClass:
    case Place::PortableClass: {
        plugged = ApplePhone(own);
        plugged.classGuid = row.place == Place::UsbClass ? KSIM_CLASS_USB : KSIM_CLASS_WPD;
        target = served = PlugWith(hub, plugged, row.location);
        break;
    }
    }
    const std::wstring expected = row.location == Location::Present ? own : L"";

    // One control device each for the decoy and a reachable device, none for anything else.
    std::vector<ControlView> decoyControls = ControlDevicesFor(run.driver, decoy);
    ASSERT_EQ(1u, decoyControls.size());
    EXPECT_EQ(Narrow(DECOY_LOCATION), Narrow(decoyControls[0].location));
    std::vector<ControlView> controls = ControlDevicesFor(run.driver, served);
    ASSERT_EQ(reachable ? 1u : 0u, controls.size());
    EXPECT_EQ(reachable ? 2u : 1u, ControlDevices(run.driver).size()) << "a hub or an interface got one";
    CheckNumbers(run);
    ASSERT_TRUE(run.Clean()) << run.Problems().front();
    if (!reachable) {
        EXPECT_TRUE(FiltersOnPdo(run, target).empty());
        KsimPnpUnplug(root);
        run.End();
        EXPECT_TRUE(run.Clean()) << run.Problems().front();
        return;
    }
    const LONG number = controls[0].number;
    EXPECT_EQ(Narrow(expected), Narrow(controls[0].location));

    // The order with the device's location reaches its PDO and no other.
    KsimHandle handle = OpenControl(number, true);
    ASSERT_NE(nullptr, handle);
    std::vector<PDEVICE_OBJECT> everyone = {root, hub, decoy, target, served};
    for (PDEVICE_OBJECT pdo : everyone) {
        KsimClearUsbRequests(pdo);
    }
    if (expected.empty()) {
        EXPECT_STATUS(STATUS_INVALID_ADDRESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, expected));
        EXPECT_STATUS(STATUS_INVALID_ADDRESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, DECOY_LOCATION));
    } else {
        EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, expected));
    }
    for (PDEVICE_OBJECT pdo : everyone) {
        bool reached = pdo == served && apple && !expected.empty();
        EXPECT_EQ(reached ? "1" : "", ChargingHistory(pdo)) << "at " << Narrow(KsimDeviceName(pdo));
    }
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));

    // Unplugged, the number is free and the decoy keeps its own; plugged again, it has it back.
    KsimPnpUnplug(target);
    EXPECT_TRUE(ControlDevicesFor(run.driver, served).empty());
    EXPECT_EQ(0, ipcSlotTable[number]);
    EXPECT_EQ(1u, ControlDevices(run.driver).size());
    CheckNumbers(run);
    if (target == served && row.place != Place::Composite) {
        PDEVICE_OBJECT again = PlugWith(parent, plugged, row.location);
        std::vector<ControlView> back = ControlDevicesFor(run.driver, again);
        ASSERT_EQ(1u, back.size());
        EXPECT_EQ(number, back[0].number);
    }

    KsimPnpUnplug(root);
    EXPECT_TRUE(ControlDevices(run.driver).empty());
    run.End();
    EXPECT_TRUE(run.Clean()) << run.Problems().front();
}

INSTANTIATE_TEST_SUITE_P(Explore, TopologyMatrix, ::testing::ValuesIn(Rows()), RowName);

}  // namespace
