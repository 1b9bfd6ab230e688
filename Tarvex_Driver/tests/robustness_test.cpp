// Random requests to a control device, and hundreds of plug-to-pull cycles with traffic from
// several threads. The simulator turns any double completion, overrun, leak or use of a deleted
// device object into a failure of its own.
#include "scenario.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <random>
#include <thread>

namespace {

const std::wstring PHONE_LOCATION = L"Port_#0003.Hub_#0002";

class RobustnessTest : public TarvexTest {};

// What the driver must answer, worked out independently of it.
bool Addresses(const std::vector<UCHAR>& input, const std::wstring& location) {
    if (input.size() / sizeof(wchar_t) < location.size()) {
        return false;
    }
    for (size_t i = 0; i < location.size(); ++i) {
        wchar_t unit = static_cast<wchar_t>(input[2 * i] | (input[2 * i + 1] << 8));
        if (std::towlower(unit) != std::towlower(location[i])) {
            return false;
        }
    }
    return true;
}

// The seed comes from --fuzz_seed=N on the command line, so a failing run can be replayed;
// otherwise from the clock. Either way it is printed.
unsigned FuzzSeed() {
    for (const std::string& arg : ::testing::internal::GetArgvs()) {
        if (arg.compare(0, 12, "--fuzz_seed=") == 0) {
            return static_cast<unsigned>(std::stoul(arg.substr(12)));
        }
    }
    return static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
}

TEST_F(RobustnessTest, ControlDeviceAnswersAHundredThousandRandomRequestsAsTheProtocolSaysThroughPullsAndReplugs) {
    const unsigned seed = FuzzSeed();
    std::printf("fuzz seed %u (replay: --fuzz_seed=%u)\n", seed, seed);
    RecordProperty("fuzz_seed", std::to_string(seed));
    SCOPED_TRACE("fuzz seed " + std::to_string(seed));

    PDEVICE_OBJECT hubPdo = PlugHubTree();
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone(PHONE_LOCATION));
    KsimHandle handle = KsimUserOpen(L"\\\\.\\TVXIPC0");
    ASSERT_NE(nullptr, handle);
    bool pulled = false;

    const ULONG known[] = {IOCTL_TVXIPC_CHARGING_ON, IOCTL_TVXIPC_CHARGING_OFF, IOCTL_TVXIPC_URB_WATCH_START,
                           IOCTL_TVXIPC_URB_WATCH_QUERY, IOCTL_TVXIPC_QUERY_LOCATION};
    const ULONG locationBytes = ULONG((PHONE_LOCATION.size() + 1) * sizeof(wchar_t));
    std::mt19937 random(seed);
    unsigned successes = 0, refusals = 0, unknown = 0, gone = 0, pulls = 0, locations = 0, locationAnswers = 0;
    for (int i = 0; i < 100000; ++i) {
        // Now and then the phone is pulled, and later plugged in again.
        if (random() % 2000 == 0) {
            if (!pulled) {
                KsimRemoveChild(hubPdo, phone);
                ASSERT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
                ASSERT_STATUS(STATUS_SUCCESS, KsimPnpSurpriseRemove(phone));
                pulled = true;
                ++pulls;
            } else {
                ASSERT_STATUS(STATUS_SUCCESS, KsimPnpRemove(phone));
                ASSERT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
                phone = Plug(hubPdo, ApplePhone(PHONE_LOCATION));
                handle = KsimUserOpen(L"\\\\.\\TVXIPC0");
                ASSERT_NE(nullptr, handle);
                pulled = false;
            }
        }
        unsigned pick = random() % 10;
        ULONG code = pick < 6   ? known[random() % std::size(known)]
                     : pick < 8 ? CTL_CODE(FILE_DEVICE_UNKNOWN, 0x7FC + random() % 12, random() % 4, random() % 4)
                                : static_cast<ULONG>(random());
        bool isKnown = std::find(std::begin(known), std::end(known), code) != std::end(known);

        std::vector<UCHAR> input(random() % 601);
        for (UCHAR& byte : input) {
            byte = static_cast<UCHAR>(random());
        }
        if (random() % 2) {
            // Most of these carry the location, in random letter case, possibly cut short.
            for (size_t u = 0; u < PHONE_LOCATION.size() && 2 * u + 1 < input.size(); ++u) {
                wchar_t unit = random() % 2 ? std::towupper(PHONE_LOCATION[u]) : std::towlower(PHONE_LOCATION[u]);
                input[2 * u] = static_cast<UCHAR>(unit & 0xFF);
                input[2 * u + 1] = static_cast<UCHAR>(unit >> 8);
            }
        }
        // Mostly a byte or a few; now and then room for the location text.
        ULONG outLen = random() % 4 ? random() % 9 : random() % 65;
        std::vector<UCHAR> output(outLen, 0xA5);
        ULONG_PTR information = 0xDEAD;

        NTSTATUS status = KsimUserIoctl(handle, code, input.empty() ? nullptr : input.data(), ULONG(input.size()),
                                        output.empty() ? nullptr : output.data(), outLen, &information);
        SCOPED_TRACE("request " + std::to_string(i) + ", code " + Hex(NTSTATUS(code)) + ", in " +
                     std::to_string(input.size()) + ", out " + std::to_string(outLen));
        if (pulled) {
            ASSERT_STATUS(STATUS_DELETE_PENDING, status);
            ASSERT_EQ(0u, information);
            ++gone;
        } else if (!isKnown) {
            ASSERT_STATUS(STATUS_INVALID_DEVICE_REQUEST, status);
            ++unknown;
        } else if (code == IOCTL_TVXIPC_QUERY_LOCATION) {
            // Whatever the input, the location and its zero, or nothing when they do not fit.
            if (outLen >= locationBytes) {
                ASSERT_STATUS(STATUS_SUCCESS, status);
                ASSERT_EQ(locationBytes, information);
                ASSERT_EQ(0, memcmp(output.data(), PHONE_LOCATION.c_str(), locationBytes));
                ++locationAnswers;
            } else {
                ASSERT_STATUS(STATUS_BUFFER_TOO_SMALL, status);
                ASSERT_EQ(0u, information);
            }
            ++locations;
        } else if (Addresses(input, PHONE_LOCATION)) {
            ASSERT_STATUS(STATUS_SUCCESS, status);
            ASSERT_EQ(outLen ? 1u : 0u, information);
            if (code == IOCTL_TVXIPC_URB_WATCH_QUERY && outLen) {
                ASSERT_TRUE(output[0] == 0 || output[0] == 1);
            }
            ++successes;
        } else {
            ASSERT_STATUS(STATUS_INVALID_ADDRESS, status);
            ASSERT_EQ(0u, information);
            ++refusals;
        }
    }
    EXPECT_GT(successes, 5000u);
    EXPECT_GT(refusals, 5000u);
    EXPECT_GT(unknown, 5000u);
    // About 6,000 and 540 are expected; the phone is away for about half the run.
    EXPECT_GT(locations, 1000u);
    EXPECT_GT(locationAnswers, 100u);
    EXPECT_GT(pulls, 5u);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
    KsimPnpUnplug(phone);
    EXPECT_TRUE(KsimAsserts().empty());
}

TEST_F(RobustnessTest, TwoHundredPlugOrderStreamSleepAndPullCyclesLeaveNothingBehind) {
    PDEVICE_OBJECT hubPdo = PlugHubTree();
    const std::array<UCHAR, 8> foreign = {0x40, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone(PHONE_LOCATION));
        KsimHandle handle = KsimUserOpen(L"\\\\.\\TVXIPC0");
        ASSERT_NE(nullptr, handle);

        std::atomic<bool> stop{false};
        auto stream = [&](KIRQL irql) {
            for (unsigned i = 0; !stop; ++i) {
                switch (i % 4) {
                case 0: KsimUsbSendBulk(phone, 512, irql); break;
                case 1: KsimUsbSendControl(phone, foreign, irql); break;
                case 2: KsimUsbSendIsoch(phone, 4, irql); break;
                default: KsimUsbSendInterrupt(phone, 8, irql); break;
                }
            }
        };
        std::thread passive(stream, PASSIVE_LEVEL);
        std::thread dispatch(stream, DISPATCH_LEVEL);

        EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
        EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_URB_WATCH_START, PHONE_LOCATION).status);
        EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(phone, PowerDeviceD2));
        EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(phone, PowerDeviceD0));
        EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_URB_WATCH_QUERY, PHONE_LOCATION).status);
        if (round % 2) {
            EXPECT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_OFF, PHONE_LOCATION).status);
        }

        // Pulled while the function driver is still sending.
        KsimRemoveChild(hubPdo, phone);
        EXPECT_STATUS(STATUS_SUCCESS, KsimPnpQueryBusRelations(hubPdo));
        EXPECT_STATUS(STATUS_SUCCESS, KsimPnpSurpriseRemove(phone));
        EXPECT_STATUS(STATUS_DELETE_PENDING, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
        stop = true;
        passive.join();
        dispatch.join();
        EXPECT_STATUS(STATUS_SUCCESS, KsimPnpRemove(phone));
        EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
        KsimDrainWorkItems();

        ASSERT_TRUE(ControlDevices().empty());
        ASSERT_EQ(0, ipcSlotTable[0]);
        ASSERT_EQ(2u, KsimDevicesOf(driver).size());
        ASSERT_TRUE(KsimLinks().empty());
        KsimClearUsbRequests(hubPdo);
        KsimClearDbgPrints();
    }
    EXPECT_TRUE(KsimAsserts().empty());
}

// Charging orders from two clients while the phone is pulled: every order comes back exactly
// once (the simulator stops on a second completion and would wait for a lost one), nothing
// leaks and no invariant report is made, whichever way the race goes. The phone takes a
// millisecond or two over each charging request, so the pull often finds one waiting in it.
TEST_F(RobustnessTest, FiveHundredRoundsOfChargingOrdersRacingThePullEndCleanly) {
    PDEVICE_OBJECT hubPdo = PlugHubTree();
    std::mt19937 random(20261208);
    for (int round = 0; round < 500; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone(PHONE_LOCATION));
        KsimHandle handle = KsimUserOpen(L"\\\\.\\TVXIPC0");
        ASSERT_NE(nullptr, handle);
        KsimUrbScript slow;
        slow.function = URB_FUNCTION_VENDOR_DEVICE;
        slow.answer = KsimUrbAnswer::Pend;
        slow.completeAfterMs = 1 + random() % 2;
        slow.times = 0;
        KsimUsbScript(phone, slow);

        std::atomic<bool> stop{false};
        std::atomic<unsigned> unexpected{0};
        auto client = [&](ULONG first, ULONG second) {
            for (unsigned i = 0; !stop; ++i) {
                NTSTATUS status = Order(handle, i % 2 ? second : first, PHONE_LOCATION).status;
                if (status != STATUS_SUCCESS && status != STATUS_DELETE_PENDING && status != STATUS_CANCELLED &&
                    status != STATUS_NO_SUCH_DEVICE) {
                    ++unexpected;
                }
            }
        };
        std::thread on(client, IOCTL_TVXIPC_CHARGING_ON, IOCTL_TVXIPC_CHARGING_OFF);
        std::thread watch(client, IOCTL_TVXIPC_URB_WATCH_START, IOCTL_TVXIPC_CHARGING_ON);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));

        KsimPnpUnplug(phone);
        stop = true;
        on.join();
        watch.join();
        EXPECT_EQ(0u, unexpected);
        EXPECT_STATUS(STATUS_DELETE_PENDING, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);
        EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
        ASSERT_TRUE(ControlDevices().empty());
        ASSERT_EQ(0, ipcSlotTable[0]);
        ASSERT_TRUE(KsimLinks().empty());
        ASSERT_TRUE(KsimAsserts().empty()) << KsimAsserts().front().expression;
        KsimClearUsbRequests(hubPdo);
        KsimClearDbgPrints();
    }
}

TEST_F(RobustnessTest, TwoStacksStartingAtOnceOnTwoProcessorsTakeDistinctNumbersEveryTime) {
    PDEVICE_OBJECT firstHub = PlugHubTree();
    PDEVICE_OBJECT secondHub = Plug(rootPdo, Usb3Hub(L"Port_#0002.Hub_#0001"));
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        PDEVICE_OBJECT phones[2] = {};
        std::thread a([&] { phones[0] = KsimPnpPlug(firstHub, ApplePhone(L"Port_#0001.Hub_#0002")); });
        std::thread b([&] { phones[1] = KsimPnpPlug(secondHub, ApplePhone(L"Port_#0001.Hub_#0003")); });
        a.join();
        b.join();
        LONG numbers[2] = {-1, -1};
        for (int i = 0; i < 2; ++i) {
            DEVICE_EXTENSION* ext = FilterExt(phones[i]);
            ASSERT_NE(nullptr, ext);
            ASSERT_NE(nullptr, ext->controlDevObj);
            numbers[i] = Ext(ext->controlDevObj)->ipcSlot;
        }
        ASSERT_NE(numbers[0], numbers[1]);
        ASSERT_EQ(2u, ControlDevices().size());
        KsimPnpUnplug(phones[0]);
        KsimPnpUnplug(phones[1]);
        ASSERT_TRUE(ControlDevices().empty());
    }
}

TEST_F(RobustnessTest, HubPulledWithFilteredChildrenAndAnOpenHandleTakesThemAllAway) {
    PDEVICE_OBJECT hubPdo = PlugHubTree();
    Plug(hubPdo, ApplePhone(PHONE_LOCATION));
    Plug(hubPdo, Keyboard());
    KsimHandle handle = KsimUserOpen(L"\\\\.\\TVXIPC0");
    ASSERT_NE(nullptr, handle);
    ASSERT_STATUS(STATUS_SUCCESS, Order(handle, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION).status);

    KsimPnpUnplug(hubPdo);
    EXPECT_STATUS(STATUS_DELETE_PENDING, Order(handle, IOCTL_TVXIPC_URB_WATCH_START, PHONE_LOCATION).status);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
    // Only the root hub's filter is left.
    EXPECT_EQ(std::vector<PDEVICE_OBJECT>{FilterOn(rootPdo)}, KsimDevicesOf(driver));
    EXPECT_TRUE(KsimLinks().empty());
    EXPECT_EQ(0, ipcSlotTable[0]);
    EXPECT_TRUE(KsimAsserts().empty());
}

TEST_F(RobustnessTest, PowerRequestsPendedBelowAndCompletedLaterKeepTheStateAndLetRemovalEnd) {
    PDEVICE_OBJECT hubPdo = PlugHubTree();
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone(PHONE_LOCATION));
    DEVICE_EXTENSION* ext = FilterExt(phone);
    KsimPoPendAtPdo(phone, 30);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(phone, PowerDeviceD2));
    EXPECT_EQ(STATE_SUSPENDED, ext->state);
    KsimPoPendAtPdo(phone, 30);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(phone, PowerDeviceD0));
    EXPECT_EQ(STATE_STARTED, ext->state);
    EXPECT_EQ(0, ext->pendingActionCount);

    // Pulled while a power request is still in the bus driver: removal waits for it.
    KsimPoPendAtPdo(phone, 300);
    NTSTATUS power = STATUS_UNSUCCESSFUL;
    std::thread sleeper([&] { power = KsimPoSetDevicePower(phone, PowerDeviceD2); });
    while (ext->pendingActionCount == 0) {
        std::this_thread::yield();
    }
    PDEVICE_OBJECT filter = FilterOn(phone);
    KsimPnpUnplug(phone);
    sleeper.join();
    EXPECT_STATUS(STATUS_SUCCESS, power);
    EXPECT_TRUE(KsimIsDeleted(filter));
    EXPECT_TRUE(KsimAsserts().empty());
}

}  // namespace
