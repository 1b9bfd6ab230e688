// Random requests to a control device, and hundreds of plug-to-pull cycles with traffic from
// several threads. The simulator turns any double completion, overrun, leak or use of a deleted
// device object into a failure of its own.
#include "scenario.h"

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <random>
#include <thread>

namespace {

const std::wstring PHONE_LOCATION = L"Port_#0003.Hub_#0002";

class RobustnessTest : public TarvexTest {};

// What the driver must answer, worked out independently of it.
bool Addresses(const std::vector<UCHAR>& input, const std::wstring& location)
{
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

TEST_F(RobustnessTest, ControlDeviceAnswersTwentyThousandRandomRequestsAsTheProtocolSays)
{
    PDEVICE_OBJECT hubPdo = PlugHubTree();
    PDEVICE_OBJECT phone = Plug(hubPdo, ApplePhone(PHONE_LOCATION));
    KsimHandle handle = KsimUserOpen(L"\\\\.\\TVXIPC0");
    ASSERT_NE(nullptr, handle);

    const ULONG known[] = {IOCTL_TVXIPC_CHARGING_ON, IOCTL_TVXIPC_CHARGING_OFF, IOCTL_TVXIPC_URB_WATCH_START,
                           IOCTL_TVXIPC_URB_WATCH_QUERY};
    std::mt19937 random(20261208);
    unsigned successes = 0, refusals = 0, unknown = 0;
    for (int i = 0; i < 20000; ++i) {
        unsigned pick = random() % 10;
        ULONG code = pick < 6   ? known[random() % 4]
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
        ULONG outLen = random() % 9;
        std::vector<UCHAR> output(outLen, 0xA5);
        ULONG_PTR information = 0xDEAD;

        NTSTATUS status = KsimUserIoctl(handle, code, input.empty() ? nullptr : input.data(), ULONG(input.size()),
                                        output.empty() ? nullptr : output.data(), outLen, &information);
        SCOPED_TRACE("request " + std::to_string(i) + ", code " + Hex(NTSTATUS(code)) + ", in " +
                     std::to_string(input.size()) + ", out " + std::to_string(outLen));
        if (!isKnown) {
            ASSERT_STATUS(STATUS_INVALID_DEVICE_REQUEST, status);
            ++unknown;
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
    EXPECT_GT(successes, 1000u);
    EXPECT_GT(refusals, 1000u);
    EXPECT_GT(unknown, 1000u);
    EXPECT_STATUS(STATUS_SUCCESS, KsimUserClose(handle));
    KsimPnpUnplug(phone);
}

TEST_F(RobustnessTest, TwoHundredPlugOrderStreamSleepAndPullCyclesLeaveNothingBehind)
{
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

}  // namespace
