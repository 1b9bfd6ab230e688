// The control-device protocol as a user-mode client sees it, the URB watch, the re-send of the
// charging request, and removal while requests are in flight.
#include "scenario.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

const std::wstring PHONE_LOCATION = L"Port_#0003.Hub_#0002";

class ControlDeviceTest : public TarvexTest {
protected:
    // An Apple phone on port 3 of a USB 3 hub, its control device opened by a client.
    void SetUp() override {
        TarvexTest::SetUp();
        hubPdo = PlugHubTree();
        phone = Plug(hubPdo, ApplePhone(PHONE_LOCATION));
        filterExt = FilterExt(phone);
        ASSERT_NE(nullptr, filterExt);
        ASSERT_NE(nullptr, ControlDevice(0));
        handle = Open(0);
        ASSERT_NE(nullptr, handle);
        KsimClearUsbRequests(phone);
        KsimClearDbgPrints();
    }
    void TearDown() override {
        if (handle) {
            EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
        }
        TarvexTest::TearDown();
    }

    static KsimHandle Open(int n, NTSTATUS* status = nullptr) {
        return KsimUserOpen((L"\\\\.\\TVXIPC" + std::to_wstring(n)).c_str(), status);
    }
    std::vector<std::string> SetupPackets() const {
        std::vector<std::string> packets;
        for (const auto& setup : KsimUsbSetupPackets(phone)) {
            packets.push_back(KsimHex(setup));
        }
        return packets;
    }
    std::vector<std::string> PrintsStartingWith(const std::string& prefix) const {
        std::vector<std::string> lines;
        for (const std::string& line : KsimDbgPrints()) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }
    // A control transfer another driver of the device sends.
    static std::array<UCHAR, 8> Foreign(UCHAR request, USHORT value) {
        return {0x40, request, UCHAR(value & 0xFF), UCHAR(value >> 8), 0, 0, 0, 0};
    }

    PDEVICE_OBJECT hubPdo = nullptr;
    PDEVICE_OBJECT phone = nullptr;
    DEVICE_EXTENSION* filterExt = nullptr;
    KsimHandle handle = nullptr;
};

TEST_F(ControlDeviceTest, ChargingOnSendsOneOnFormToThePdoAndAnswersOneByte) {
    Reply on = Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION);
    EXPECT_STATUS(STATUS_SUCCESS, on.status);
    EXPECT_EQ(1u, on.information);
    EXPECT_EQ(std::vector<std::string>{KsimHex(CHARGING_ON)}, SetupPackets());
    EXPECT_EQ(std::vector<PDEVICE_OBJECT>{phone}, KsimUsbRequests(phone).at(0).path);
    EXPECT_TRUE(filterExt->bIsChargingCmdOn);

    Reply off = Order(handle, IOCTL_TVXIPC_CHARGING_OFF, PHONE_LOCATION);
    EXPECT_STATUS(STATUS_SUCCESS, off.status);
    EXPECT_EQ(1u, off.information);
    EXPECT_EQ((std::vector<std::string>{KsimHex(CHARGING_ON), KsimHex(CHARGING_OFF)}), SetupPackets());
    EXPECT_FALSE(filterExt->bIsChargingCmdOn);

    const std::vector<std::string> expected = {
        "OrvantaDriver> IRP_MJ_DEVICE_CONTROL: 222000\n",
        "OrvantaDriver> IRP_MJ_DEVICE_CONTROL Type: 22\n",
        "OrvantaDriver> IRP_MJ_DEVICE_CONTROL: LOCATION => Port_#0003.Hub_#0002\n",
        "OrvantaDriver> SetVendorCommand\n",
    };
    std::vector<std::string> prints = KsimDbgPrints();
    prints.resize(std::min(prints.size(), expected.size()));
    EXPECT_EQ(expected, prints);
}

TEST_F(ControlDeviceTest, LocationMatchesIgnoringCaseAndWhateverFollowsIt) {
    EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, L"PORT_#0003.HUB_#0002").status);
    EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION + L"; and more").status);
    EXPECT_STATUS(STATUS_SUCCESS,
                  Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION + std::wstring(1, L'\0')).status);
    EXPECT_EQ(3u, SetupPackets().size());
}

TEST_F(ControlDeviceTest, ShortWrongOrMissingLocationFailsInvalidAddressAndDoesNothing) {
    const std::wstring shorter = PHONE_LOCATION.substr(0, PHONE_LOCATION.size() - 1);
    for (const std::wstring& text : {shorter, std::wstring(L"Port_#0004.Hub_#0002"), std::wstring()}) {
        Reply reply = Order(handle, IOCTL_TVXIPC_CHARGING_ON, text);
        EXPECT_STATUS(STATUS_INVALID_ADDRESS, reply.status);
        EXPECT_EQ(0u, reply.information);
        EXPECT_EQ(0xCC, reply.byte) << "no data comes back";
    }
    // The whole text but one byte short: an odd length.
    Reply odd{};
    odd.status = KsimUserIoctl(handle, IOCTL_TVXIPC_URB_WATCH_QUERY, PHONE_LOCATION.data(),
                               ULONG(PHONE_LOCATION.size() * sizeof(wchar_t) - 1), &odd.byte, 1, &odd.information);
    EXPECT_STATUS(STATUS_INVALID_ADDRESS, odd.status);
    // No input buffer at all, and no buffers of any kind.
    UCHAR byte = 0;
    EXPECT_STATUS(STATUS_INVALID_ADDRESS, KsimUserIoctl(handle, IOCTL_TVXIPC_CHARGING_ON, nullptr, 0, &byte, 1));
    EXPECT_STATUS(STATUS_INVALID_ADDRESS, KsimUserIoctl(handle, IOCTL_TVXIPC_CHARGING_ON, nullptr, 0, nullptr, 0));

    EXPECT_TRUE(SetupPackets().empty());
    EXPECT_FALSE(filterExt->bIsChargingCmdOn);
}

TEST_F(ControlDeviceTest, QueryLocationNamesTheServedDeviceExactlyAndChangesNothing) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_URB_WATCH_START, PHONE_LOCATION).status);
    const ULONG needed = ULONG((PHONE_LOCATION.size() + 1) * sizeof(wchar_t));
    std::vector<wchar_t> out(64, L'#');
    ULONG_PTR returned = 0;
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserIoctl(handle, IOCTL_TVXIPC_QUERY_LOCATION, nullptr, 0, out.data(),
                                                ULONG(out.size() * sizeof(wchar_t)), &returned));
    EXPECT_EQ(needed, returned);
    EXPECT_EQ(PHONE_LOCATION, std::wstring(out.data()));

    // One unit short of the terminating zero: nothing comes back.
    std::fill(out.begin(), out.end(), L'#');
    returned = 99;
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, KsimUserIoctl(handle, IOCTL_TVXIPC_QUERY_LOCATION, nullptr, 0, out.data(),
                                                         needed - sizeof(wchar_t), &returned));
    EXPECT_EQ(0u, returned);
    EXPECT_EQ(L'#', out[0]);
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, KsimUserIoctl(handle, IOCTL_TVXIPC_QUERY_LOCATION, nullptr, 0, nullptr, 0));

    EXPECT_TRUE(SetupPackets().empty());
    EXPECT_TRUE(filterExt->bIsUrbWatchOn) << "asking stopped the watch";
    EXPECT_FALSE(filterExt->bIsChargingCmdOn);
}

TEST_F(ControlDeviceTest, DeviceWithoutLocationRefusesEveryOrder) {
    KsimUsbDevice nowhere = ApplePhone(L"");
    PDEVICE_OBJECT other = Plug(hubPdo, nowhere);
    ASSERT_NE(nullptr, FilterExt(other)->controlDevObj);
    KsimClearUsbRequests(other);
    KsimHandle second = Open(1);
    ASSERT_NE(nullptr, second);
    EXPECT_STATUS(STATUS_INVALID_ADDRESS, Order(second, IOCTL_TVXIPC_CHARGING_ON, L"").status);
    EXPECT_STATUS(STATUS_INVALID_ADDRESS, Order(second, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    EXPECT_TRUE(KsimUsbRequests(other).empty());
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(second));
}

TEST_F(ControlDeviceTest, ChargingOrderForAPortableDeviceOfAnotherMakerSucceedsAndSendsNothing) {
    PDEVICE_OBJECT other = Plug(hubPdo, OtherPhone(L"Port_#0002.Hub_#0002"));
    KsimClearUsbRequests(other);
    KsimHandle second = Open(1);
    ASSERT_NE(nullptr, second);
    Reply reply = Order(second, IOCTL_TVXIPC_CHARGING_ON, L"Port_#0002.Hub_#0002");
    EXPECT_STATUS(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(1u, reply.information);
    EXPECT_TRUE(KsimUsbRequests(other).empty());
    EXPECT_FALSE(FilterExt(other)->bIsChargingCmdOn);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(second));
}

// The answer is one byte; a caller that gave no room for it gets none.
TEST_F(ControlDeviceTest, CallerWithoutOutputBufferGetsInformationZero) {
    Reply reply = Order(handle, IOCTL_TVXIPC_URB_WATCH_QUERY, PHONE_LOCATION, 0);
    EXPECT_STATUS(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(0u, reply.information);
    EXPECT_EQ(0xCC, reply.byte);
    reply = Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION, 8);
    EXPECT_EQ(1u, reply.information);
}

TEST_F(ControlDeviceTest, WatchAnswersWhetherDataMovedSinceItsStart) {
    Reply query = Order(handle, IOCTL_TVXIPC_URB_WATCH_QUERY, PHONE_LOCATION);
    EXPECT_STATUS(STATUS_SUCCESS, query.status);
    EXPECT_EQ(0, query.byte) << "no watch was started";
    EXPECT_EQ(std::vector<std::string>{"OrvantaDriver> URB Count: 0\n"},
              PrintsStartingWith("OrvantaDriver> URB Count:"));

    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_URB_WATCH_START, PHONE_LOCATION).status);
    EXPECT_TRUE(filterExt->bIsUrbWatchOn);
    ASSERT_STATUS(STATUS_SUCCESS, KsimUsbSendBulk(phone));
    EXPECT_EQ(1, Order(handle, IOCTL_TVXIPC_URB_WATCH_QUERY, PHONE_LOCATION).byte);
    EXPECT_FALSE(filterExt->bIsUrbWatchOn);
    EXPECT_EQ(1, Order(handle, IOCTL_TVXIPC_URB_WATCH_QUERY, PHONE_LOCATION).byte) << "the result is kept";

    // Control traffic alone is not data; isochronous and chained-MDL transfers are.
    struct Case {
        const char* name;
        std::function<NTSTATUS()> send;
        UCHAR expected;
    };
    const Case cases[] = {
        {"control", [&] { return KsimUsbSendControl(phone, Foreign(0x41, 0)); }, 0},
        {"interrupt", [&] { return KsimUsbSendInterrupt(phone); }, 1},
        {"isochronous", [&] { return KsimUsbSendIsoch(phone); }, 1},
        {"chained MDL", [&] { return KsimUsbSendChainedMdl(phone); }, 1},
    };
    for (const Case& c : cases) {
        ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_URB_WATCH_START, PHONE_LOCATION).status);
        EXPECT_STATUS(STATUS_SUCCESS, c.send());
        EXPECT_EQ(c.expected, Order(handle, IOCTL_TVXIPC_URB_WATCH_QUERY, PHONE_LOCATION).byte) << c.name;
    }
}

TEST_F(ControlDeviceTest, WatchTracesEveryUrbUpToAndIncludingTheFirstDataTransfer) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_URB_WATCH_START, PHONE_LOCATION).status);
    EXPECT_EQ(std::vector<std::string>{"OrvantaDriver> Loaction: Port_#0003.Hub_#0002\n"},
              PrintsStartingWith("OrvantaDriver> Loaction"));
    USB_DEVICE_DESCRIPTOR descriptor{};
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbGetDeviceDescriptor(phone, &descriptor));
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendVendor(phone, URB_FUNCTION_VENDOR_INTERFACE, 0x01, 0, 0));
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendBulk(phone));
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendBulk(phone));
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x41, 0)));

    const std::string hwid = "+++ Hwid USB\\VID_05AC&PID_12A8&REV_1201\n";
    const std::vector<std::string> expected = {
        "+++ URB Function: 11\n", hwid, "+++ URB Function: 24\n", hwid, "+++ URB Function: 9\n", hwid,
    };
    EXPECT_EQ(expected, PrintsStartingWith("+++"));
}

// Function drivers submit URBs at up to DISPATCH_LEVEL, where DbgPrint must not convert Unicode.
TEST_F(ControlDeviceTest, WatchTracesTheHardwareIdOfAUrbAtDispatchLevelAsNarrowText) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_URB_WATCH_START, PHONE_LOCATION).status);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendBulk(phone, 64, DISPATCH_LEVEL));
    EXPECT_EQ((std::vector<std::string>{"+++ URB Function: 9\n", "+++ Hwid USB\\VID_05AC&PID_12A8&REV_1201\n"}),
              PrintsStartingWith("+++"));
    EXPECT_TRUE(KsimStops().empty());
}

TEST_F(ControlDeviceTest, SurpriseRemovedDeviceHasNoControlDeviceToOpenButLetsHandlesClose) {
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpSurpriseRemove(phone));
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(nullptr, Open(0, &status));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, status);
    EXPECT_STATUS(STATUS_DELETE_PENDING, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
    handle = nullptr;
    EXPECT_TRUE(SetupPackets().empty());
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpRemove(phone));
}

// A client may keep its handle past the device; what it sends then is refused without touching
// the removed filter, and its close still succeeds.
TEST_F(ControlDeviceTest, HandleKeptPastRemovalIsRefusedAndClosesCleanly) {
    KsimPnpUnplug(phone);
    EXPECT_STATUS(STATUS_DELETE_PENDING, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
    handle = nullptr;
    EXPECT_TRUE(KsimAsserts().empty());
}

TEST_F(ControlDeviceTest, ControlCodesSentToAFilterGoDownUnchanged) {
    std::vector<ULONG> codesBelow;
    KsimSetIrpHook(phone, [&](PDEVICE_OBJECT, PIRP irp, NTSTATUS* result) {
        PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(irp);
        if (irpSp->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            return false;
        }
        codesBelow.push_back(irpSp->Parameters.DeviceIoControl.IoControlCode);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        *result = STATUS_NOT_SUPPORTED;
        return true;
    });
    KsimHandle stack = KsimUserOpen(KsimDeviceName(phone).c_str());
    ASSERT_NE(nullptr, stack);
    const ULONG codes[] = {IOCTL_TVXIPC_CHARGING_ON, IOCTL_TVXIPC_CHARGING_OFF, IOCTL_TVXIPC_URB_WATCH_START,
                           IOCTL_TVXIPC_URB_WATCH_QUERY};
    for (ULONG code : codes) {
        EXPECT_STATUS(STATUS_NOT_SUPPORTED, Order(stack, code, PHONE_LOCATION).status);
    }
    EXPECT_EQ(std::vector<ULONG>(std::begin(codes), std::end(codes)), codesBelow);
    EXPECT_EQ(STATE_STARTED, filterExt->state);
    EXPECT_FALSE(filterExt->bIsChargingCmdOn);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(stack));
    KsimSetIrpHook(phone, nullptr);
}

TEST_F(ControlDeviceTest, UnknownCodeOnTheControlDeviceIsAnInvalidRequest) {
    EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, Order(handle, IOCTL_TVXIPC_QUERY_LOCATION + 4, PHONE_LOCATION).status);
    EXPECT_STATUS(
        STATUS_INVALID_DEVICE_REQUEST,
        Order(handle, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS), PHONE_LOCATION).status);
    EXPECT_TRUE(SetupPackets().empty());
}

TEST_F(ControlDeviceTest, ForeignChargingRequestIsFollowedByExactlyOneOnForm) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    KsimClearUsbRequests(phone);
    KsimClearDbgPrints();

    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0)));
    EXPECT_EQ((std::vector<std::string>{KsimHex(Foreign(0x40, 0)), KsimHex(CHARGING_ON)}), SetupPackets());
    std::vector<KsimUsbRequest> requests = KsimUsbRequests(phone);
    EXPECT_EQ(2u, requests.at(0).path.size()) << "the foreign request came through the filter";
    EXPECT_EQ(std::vector<PDEVICE_OBJECT>{phone}, requests.at(1).path);
    const std::vector<std::string> expected = {
        "devExt->bIsResendChargingCmdNeeded = TRUE;\n",
        "OrvantaDriver> SetVendorCommand\n",
        "Resend Charging Cmd\n",
    };
    EXPECT_EQ(expected, KsimDbgPrints());
    EXPECT_FALSE(filterExt->bIsResendChargingCmdNeeded);
}

// The on form belongs to the request that triggered it: a URB passing down meanwhile on another
// processor must neither send it early (before the foreign request is through) nor take it away.
TEST_F(ControlDeviceTest, OnFormFollowsItsOwnForeignRequestWhileOtherUrbsPassMeanwhile) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    KsimClearUsbRequests(phone);
    long onFormsMeanwhile = -1;
    bool inside = false;
    KsimSetIrpHook(phone, [&](PDEVICE_OBJECT, PIRP irp, NTSTATUS*) {
        PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(irp);
        if (inside || irpSp->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
            static_cast<PURB>(irpSp->Parameters.Others.Argument1)->UrbHeader.Function !=
                URB_FUNCTION_CONTROL_TRANSFER) {
            return false;
        }
        inside = true;
        std::thread other([&] { EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendBulk(phone)); });
        other.join();
        std::vector<std::string> packets = SetupPackets();
        onFormsMeanwhile = std::count(packets.begin(), packets.end(), KsimHex(CHARGING_ON));
        return false;
    });
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0)));
    KsimSetIrpHook(phone, nullptr);

    EXPECT_EQ(0, onFormsMeanwhile);
    std::vector<std::string> packets = SetupPackets();
    EXPECT_EQ(1, std::count(packets.begin(), packets.end(), KsimHex(CHARGING_ON)));
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(KsimHex(CHARGING_ON), packets.back());
}

TEST_F(ControlDeviceTest, ChargingOrderTheDeviceRefusesFailsWithItsStatusAndLeavesTheFlag) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    KsimUrbScript refuse;
    refuse.function = URB_FUNCTION_VENDOR_DEVICE;
    refuse.status = STATUS_UNSUCCESSFUL;
    refuse.usbdStatus = USBD_STATUS_STALL_PID;
    KsimUsbScript(phone, refuse);
    Reply off = Order(handle, IOCTL_TVXIPC_CHARGING_OFF, PHONE_LOCATION);
    EXPECT_STATUS(STATUS_UNSUCCESSFUL, off.status);
    EXPECT_EQ(0u, off.information);
    EXPECT_TRUE(filterExt->bIsChargingCmdOn);

    // Still on, so the device's own 40 40 request is still followed by the on form.
    KsimClearUsbRequests(phone);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0)));
    EXPECT_EQ((std::vector<std::string>{KsimHex(Foreign(0x40, 0)), KsimHex(CHARGING_ON)}), SetupPackets());
}

TEST_F(ControlDeviceTest, ForeignRequestSentInAGuardedRegionGetsItsReSendFromAWorkItem) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    KsimClearUsbRequests(phone);
    // All APCs off, as under a guarded mutex: a request built here could never finish.
    KeEnterGuardedRegion();
    NTSTATUS status = KsimUsbSendControl(phone, Foreign(0x40, 0));
    KeLeaveGuardedRegion();
    EXPECT_STATUS(STATUS_SUCCESS, status);
    KsimDrainWorkItems();
    EXPECT_EQ((std::vector<std::string>{KsimHex(Foreign(0x40, 0)), KsimHex(CHARGING_ON)}), SetupPackets());
    EXPECT_EQ(0, filterExt->pendingActionCount);

    // The sender, which commonly holds a lock others wait for, is not held up by a device slow
    // to take the on form.
    KsimUrbScript slow;
    slow.function = URB_FUNCTION_VENDOR_DEVICE;
    slow.answer = KsimUrbAnswer::Pend;
    slow.completeAfterMs = 500;
    KsimUsbScript(phone, slow);
    auto start = std::chrono::steady_clock::now();
    KeEnterGuardedRegion();
    status = KsimUsbSendControl(phone, Foreign(0x40, 0));
    KeLeaveGuardedRegion();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_STATUS(STATUS_SUCCESS, status);
    KsimDrainWorkItems();
    EXPECT_EQ(KsimHex(CHARGING_ON), SetupPackets().back());
}

TEST_F(ControlDeviceTest, ControlDeviceAdmitsSystemAdministratorsAndTheInteractiveUserOnly) {
    PDEVICE_OBJECT control = ControlDevice(0);
    bool hasDacl = false;
    const std::vector<std::pair<std::string, ACCESS_MASK>> expected = {
        {KSIM_SID_SYSTEM, GENERIC_ALL},
        {KSIM_SID_ADMINISTRATORS, GENERIC_ALL},
        {KSIM_SID_INTERACTIVE, GENERIC_READ | GENERIC_WRITE},
    };
    EXPECT_EQ(expected, KsimDeviceDacl(control, &hasDacl));
    EXPECT_TRUE(hasDacl);

    struct Caller {
        const char* who;
        std::vector<std::string> sids;
        bool admitted;
    };
    const Caller callers[] = {
        {"the logged-on user",
         {KSIM_SID_USERS, KSIM_SID_INTERACTIVE, KSIM_SID_AUTHENTICATED_USERS, KSIM_SID_EVERYONE},
         true},
        {"a service", {KSIM_SID_SYSTEM, KSIM_SID_ADMINISTRATORS, KSIM_SID_EVERYONE}, true},
        {"a service logon", {KSIM_SID_USERS, KSIM_SID_SERVICE, KSIM_SID_AUTHENTICATED_USERS, KSIM_SID_EVERYONE}, false},
        {"a network logon", {KSIM_SID_USERS, KSIM_SID_NETWORK, KSIM_SID_AUTHENTICATED_USERS, KSIM_SID_EVERYONE}, false},
    };
    for (const Caller& caller : callers) {
        SCOPED_TRACE(caller.who);
        KsimSetCaller(caller.sids);
        // A name below the device is held to the same rule.
        for (const wchar_t* path : {L"\\\\.\\TVXIPC0", L"\\\\.\\TVXIPC0\\below"}) {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            KsimHandle other = KsimUserOpen(path, &status);
            EXPECT_STATUS(caller.admitted ? STATUS_SUCCESS : STATUS_ACCESS_DENIED, status);
            EXPECT_EQ(caller.admitted, other != nullptr);
            if (other) {
                EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(other));
            }
        }
    }
    EXPECT_TRUE(KsimUsbSetupPackets(phone).empty());
}

TEST_F(ControlDeviceTest, ReSendAtDispatchLevelWithoutAWorkItemIsDroppedCleanly) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    KsimClearUsbRequests(phone);
    KsimInjectFault(KsimFault::IoAllocateWorkItem);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0), DISPATCH_LEVEL));
    KsimDrainWorkItems();
    EXPECT_EQ(std::vector<std::string>{KsimHex(Foreign(0x40, 0))}, SetupPackets());
    EXPECT_FALSE(filterExt->bIsResendChargingCmdNeeded);
    EXPECT_EQ(0, filterExt->pendingActionCount);
}

TEST_F(ControlDeviceTest, RequestsOtherThanAForeign4040AfterOnTriggerNothing) {
    // Before any order, and after an off order.
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0x6400)));
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x41, 0)));
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendVendor(phone, URB_FUNCTION_VENDOR_DEVICE, 0x40, 0, 0));
    // Request 0x40 in another type: a vendor read, a class request, a standard one.
    for (UCHAR type : {UCHAR(0xC0), UCHAR(0x21), UCHAR(0x00)}) {
        EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, {type, 0x40, 0, 0, 0, 0, 0, 0}));
    }
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_OFF, PHONE_LOCATION).status);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0)));

    // Nine requests reached the device, and the only on form among them is the ordered one.
    std::vector<std::string> packets = SetupPackets();
    EXPECT_EQ(9u, packets.size());
    EXPECT_EQ(1, std::count(packets.begin(), packets.end(), KsimHex(CHARGING_ON)));
    EXPECT_EQ(KsimHex(Foreign(0x40, 0)), packets.back());
    EXPECT_TRUE(PrintsStartingWith("Resend").empty());
    EXPECT_TRUE(PrintsStartingWith("devExt->").empty());
}

// URBs may come down at DISPATCH_LEVEL, where the re-send may not wait for the device.
TEST_F(ControlDeviceTest, ForeignChargingRequestAtDispatchLevelGetsItsOnFormFromAWorkItem) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    KsimClearUsbRequests(phone);

    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0), DISPATCH_LEVEL));
    KsimDrainWorkItems();

    std::vector<KsimUsbRequest> requests = KsimUsbRequests(phone);
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(KsimHex(Foreign(0x40, 0)), KsimHex(requests[0].setup));
    EXPECT_EQ(DISPATCH_LEVEL, requests[0].irql);
    EXPECT_EQ(KsimHex(CHARGING_ON), KsimHex(requests[1].setup));
    EXPECT_EQ(PASSIVE_LEVEL, requests[1].irql);
    EXPECT_FALSE(filterExt->bIsResendChargingCmdNeeded);
    EXPECT_EQ(0, filterExt->pendingActionCount);
}

// The work item's re-send holds the filter: removal waits for it.
TEST_F(ControlDeviceTest, ReSendStillInTheDeviceIsCancelledByTheHubWhenThePhoneIsPulled) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    KsimUrbScript hold;
    hold.function = URB_FUNCTION_VENDOR_DEVICE;
    hold.answer = KsimUrbAnswer::Pend;
    KsimUsbScript(phone, hold);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0), DISPATCH_LEVEL));
    ASSERT_TRUE(KsimUsbWaitPended(phone, 1));
    EXPECT_EQ(1, filterExt->ownRequestCount);
    EXPECT_EQ(0, filterExt->pendingActionCount);

    PDEVICE_OBJECT filter = FilterOn(phone);
    KsimPnpUnplug(phone);
    EXPECT_TRUE(KsimIsDeleted(filter));
    EXPECT_FALSE(KsimUsbCompletePended(phone));
}

// The heart of coming apart cleanly: a charging order waiting in the device and a function
// driver still sending URBs, while the device is pulled.
TEST_F(ControlDeviceTest, PullWithAnOrderWaitingInThePdoAndUrbsFlowingCancelsTheOrderAndEndsCleanly) {
    KsimUrbScript hold;
    hold.function = URB_FUNCTION_VENDOR_DEVICE;
    hold.answer = KsimUrbAnswer::Pend;
    KsimUsbScript(phone, hold);

    Reply order{};
    std::thread client([&] { order = Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION); });
    ASSERT_TRUE(KsimUsbWaitPended(phone, 1));

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread stream([&] {
        while (!stop) {
            KsimUsbSendBulk(phone, 64, sent % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL);
            ++sent;
        }
    });
    while (sent < 20) {
        std::this_thread::yield();
    }

    PDEVICE_OBJECT filter = FilterOn(phone);
    KsimClearIoLog();
    KsimRemoveChild(hubPdo, phone);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
    // The hub cancels what it holds for a device that left the bus; the client sees it.
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpSurpriseRemove(phone));
    client.join();
    EXPECT_STATUS(STATUS_CANCELLED, order.status);
    EXPECT_EQ(0u, order.information);
    EXPECT_FALSE(filterExt->bIsChargingCmdOn);
    stop = true;
    stream.join();

    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpRemove(phone));
    EXPECT_TRUE(KsimIsDeleted(filter));
    const std::vector<std::string> expected = {
        "IoDeleteSymbolicLink \\DosDevices\\TVXIPC0",
        "IoDeleteDevice \\Device\\TVXIPC0",
        "IoDeleteDevice " + FILTER_LABEL,
    };
    EXPECT_EQ(expected, Deletions());
    EXPECT_EQ(0, ipcSlotTable[0]);
    EXPECT_TRUE(KsimAsserts().empty());
}

// The driver's own requests end before the remove goes down: an orderly removal while an order
// waits in the device lets the device answer it, and the PDO handles the remove holding nothing.
TEST_F(ControlDeviceTest, OrderlyRemovalWithAnOrderWaitingInThePdoLetsTheOrderEndBeforeTheRemoveGoesDown) {
    KsimUrbScript hold;
    hold.function = URB_FUNCTION_VENDOR_DEVICE;
    hold.answer = KsimUrbAnswer::Pend;
    KsimUsbScript(phone, hold);
    Reply order{};
    std::thread client([&] { order = Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION); });
    ASSERT_TRUE(KsimUsbWaitPended(phone, 1));

    PDEVICE_OBJECT filter = FilterOn(phone);
    KsimUsbCompletePendedLater(phone, STATUS_SUCCESS, 100);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpQueryRemove(phone));
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpRemove(phone));
    client.join();
    EXPECT_STATUS(STATUS_SUCCESS, order.status);
    EXPECT_EQ(1u, order.information);
    EXPECT_TRUE(KsimPdoRemoveHandled(phone));
    EXPECT_TRUE(KsimIsDeleted(filter));
    EXPECT_EQ(0, ipcSlotTable[0]);
}

// A foreign charging request that passed the filter just before removal began gets no re-send
// once removal has begun: the on form would reach a PDO that has handled the remove.
TEST_F(ControlDeviceTest, ForeignRequestOvertakenByRemovalGetsNoReSendIntoTheRemovedPdo) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    KsimClearUsbRequests(phone);
    // The PDO answers the foreign request only once removal has begun, and once it has handled
    // the remove if that comes within 200 ms: as when the sender's processor stalls between the
    // request's completion and the re-send.
    std::atomic<int> held{0};
    KsimSetIrpHook(phone, [&](PDEVICE_OBJECT, PIRP irp, NTSTATUS* result) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL || held++ > 0) {
            return false;
        }
        while (filterExt->state != STATE_REMOVED) {
            std::this_thread::yield();
        }
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (!KsimPdoRemoveHandled(phone) && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        *result = STATUS_SUCCESS;
        return true;
    });
    NTSTATUS foreign = STATUS_UNSUCCESSFUL;
    std::thread sender([&] { foreign = KsimUsbSendControl(phone, Foreign(0x40, 0)); });
    while (held == 0) {
        std::this_thread::yield();
    }

    PDEVICE_OBJECT filter = FilterOn(phone);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpRemove(phone));
    sender.join();
    KsimSetIrpHook(phone, nullptr);
    EXPECT_STATUS(STATUS_SUCCESS, foreign);
    EXPECT_TRUE(SetupPackets().empty());
    EXPECT_TRUE(KsimIsDeleted(filter));
}

// A device that never answers holds the client only so long: the order is cancelled after 5 s and
// fails with STATUS_IO_TIMEOUT, the flag as it was, and the device takes the next order.
TEST_F(ControlDeviceTest, ChargingOrderTheDeviceNeverAnswersIsCancelledAfterFiveSecondsWithIoTimeout) {
    // A wait without end would stop the test here, past this limit.
    KsimSetWaitLimit(8000);
    KsimUrbScript hold;
    hold.function = URB_FUNCTION_VENDOR_DEVICE;
    hold.answer = KsimUrbAnswer::Pend;
    // The host controller gives the cancelled request back only later, from its own thread.
    hold.cancelCompletesAfterMs = 200;
    KsimUsbScript(phone, hold);

    auto start = std::chrono::steady_clock::now();
    Reply order = Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_STATUS(STATUS_IO_TIMEOUT, order.status);
    EXPECT_EQ(0u, order.information);
    EXPECT_GE(waited, std::chrono::milliseconds(5200));
    EXPECT_EQ(0u, KsimUsbPendedCount(phone));
    EXPECT_FALSE(filterExt->bIsChargingCmdOn);

    EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    EXPECT_TRUE(filterExt->bIsChargingCmdOn);
}

// What a client gets from a handle opened only for reading, as a Low-integrity process of the
// user gets (the no-write-up policy of the device's default label), and from a full one.
TEST_F(ControlDeviceTest, ReadOnlyHandleMayAskButNotOrder) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(nullptr, KsimUserOpen(L"\\\\.\\TVXIPC0", &status, GENERIC_READ | GENERIC_WRITE, KsimIntegrity::Low));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, status);
    KsimHandle reader = KsimUserOpen(L"\\\\.\\TVXIPC0", &status, GENERIC_READ, KsimIntegrity::Low);
    ASSERT_NE(nullptr, reader);

    for (ULONG code : {IOCTL_TVXIPC_CHARGING_ON, IOCTL_TVXIPC_CHARGING_OFF, IOCTL_TVXIPC_URB_WATCH_START}) {
        SCOPED_TRACE(Hex(NTSTATUS(code)));
        Reply reply = Order(reader, code, PHONE_LOCATION);
        EXPECT_STATUS(STATUS_ACCESS_DENIED, reply.status);
        EXPECT_EQ(0u, reply.information);
    }
    EXPECT_TRUE(SetupPackets().empty());
    EXPECT_FALSE(filterExt->bIsUrbWatchOn);
    EXPECT_STATUS(STATUS_SUCCESS, Order(reader, IOCTL_TVXIPC_URB_WATCH_QUERY, PHONE_LOCATION).status);
    WCHAR location[64] = {};
    EXPECT_STATUS(STATUS_SUCCESS,
                  KsimUserIoctl(reader, IOCTL_TVXIPC_QUERY_LOCATION, nullptr, 0, location, sizeof location));
    EXPECT_EQ(PHONE_LOCATION, std::wstring(location));
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(reader));

    EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    EXPECT_EQ(std::vector<std::string>{KsimHex(CHARGING_ON)}, SetupPackets());
}

// The numbers the companion program was built against.
TEST_F(ControlDeviceTest, ControlCodesKeepTheirWireValues) {
    EXPECT_EQ(0x00222000u, ULONG(IOCTL_TVXIPC_CHARGING_ON));
    EXPECT_EQ(0x00222004u, ULONG(IOCTL_TVXIPC_CHARGING_OFF));
    EXPECT_EQ(0x00222008u, ULONG(IOCTL_TVXIPC_URB_WATCH_START));
    EXPECT_EQ(0x0022200Cu, ULONG(IOCTL_TVXIPC_URB_WATCH_QUERY));
    EXPECT_EQ(0x00222010u, ULONG(IOCTL_TVXIPC_QUERY_LOCATION));
}

TEST_F(ControlDeviceTest, StoppedOrSuspendedDeviceGetsNoOrderAndNoReSend) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    KsimClearUsbRequests(phone);

    ASSERT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(phone, PowerDeviceD2));
    EXPECT_STATUS(STATUS_DEVICE_POWERED_OFF, Order(handle, IOCTL_TVXIPC_CHARGING_OFF, PHONE_LOCATION).status);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0)));
    EXPECT_EQ(std::vector<std::string>{"Resend skipped: device not started\n"}, PrintsStartingWith("Resend"));
    ASSERT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(phone, PowerDeviceD0));

    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpQueryStop(phone));
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpStop(phone));
    EXPECT_STATUS(STATUS_DEVICE_NOT_READY, Order(handle, IOCTL_TVXIPC_CHARGING_OFF, PHONE_LOCATION).status);
    EXPECT_EQ(std::vector<std::string>{KsimHex(Foreign(0x40, 0))}, SetupPackets()) << "only the foreign request";
    EXPECT_TRUE(filterExt->bIsChargingCmdOn) << "refused orders change nothing";

    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpStart(phone));
    EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_OFF, PHONE_LOCATION).status);
}

// The device's last charging request and the flag agree, however orders and re-sends interleave.
TEST_F(ControlDeviceTest, OffOrderedWhileAReSendIsQueuedEndsWithTheDeviceOffAndTheFlagOff) {
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
    KsimClearUsbRequests(phone);
    // The off takes the device a while; meanwhile the function driver's own request at
    // DISPATCH_LEVEL queues a re-send.
    KsimUrbScript slow;
    slow.function = URB_FUNCTION_VENDOR_DEVICE;
    slow.answer = KsimUrbAnswer::Pend;
    slow.completeAfterMs = 200;
    KsimUsbScript(phone, slow);
    Reply off{};
    std::thread client([&] { off = Order(handle, IOCTL_TVXIPC_CHARGING_OFF, PHONE_LOCATION); });
    ASSERT_TRUE(KsimUsbWaitPended(phone, 1));
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0), DISPATCH_LEVEL));
    client.join();
    KsimDrainWorkItems();

    EXPECT_STATUS(STATUS_SUCCESS, off.status);
    EXPECT_EQ((std::vector<std::string>{KsimHex(CHARGING_OFF), KsimHex(Foreign(0x40, 0))}), SetupPackets());
    EXPECT_FALSE(filterExt->bIsChargingCmdOn);
}

TEST_F(ControlDeviceTest, OnAndOffFromTwoHandlesAtOnceLeaveTheFlagAsTheDeviceWasLastTold) {
    KsimHandle second = Open(0);
    ASSERT_NE(nullptr, second);
    KsimUrbScript slow;
    slow.function = URB_FUNCTION_VENDOR_DEVICE;
    slow.answer = KsimUrbAnswer::Pend;
    slow.completeAfterMs = 200;
    KsimUsbScript(phone, slow);
    std::thread on(
        [&] { EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status); });
    ASSERT_TRUE(KsimUsbWaitPended(phone, 1));
    std::thread off(
        [&] { EXPECT_STATUS(STATUS_SUCCESS, Order(second, IOCTL_TVXIPC_CHARGING_OFF, PHONE_LOCATION).status); });
    on.join();
    off.join();

    EXPECT_EQ((std::vector<std::string>{KsimHex(CHARGING_ON), KsimHex(CHARGING_OFF)}), SetupPackets());
    EXPECT_FALSE(filterExt->bIsChargingCmdOn);
    // So a foreign request now brings no on form.
    KsimClearUsbRequests(phone);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUsbSendControl(phone, Foreign(0x40, 0)));
    EXPECT_EQ(std::vector<std::string>{KsimHex(Foreign(0x40, 0))}, SetupPackets());
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(second));
}

}  // namespace
