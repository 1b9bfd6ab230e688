// Every failure the simulator can inject, at each of its first occurrences in one full story of a
// phone's life, with invariant reports stopping as they would with a kernel debugger attached: no
// stop, no leak, every request completed exactly once, and afterwards a phone plugged in again
// charges.
#include "explore.h"

#include <chrono>
#include <cstdio>

namespace {

using namespace explore;

const std::wstring PHONE_LOCATION = L"Port_#0003.Hub_#0002";
const std::array<UCHAR, 8> FOREIGN = {0x40, 0x40, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

struct FaultKind {
    KsimFault fault;
    const char* name;
};

const FaultKind KINDS[] = {
    {KsimFault::PoolAllocation, "PoolAllocation"},
    {KsimFault::IoCreateDevice, "IoCreateDevice"},
    {KsimFault::IoAttachDeviceToDeviceStack, "IoAttachDeviceToDeviceStack"},
    {KsimFault::IoCreateSymbolicLink, "IoCreateSymbolicLink"},
    {KsimFault::IoAllocateIrp, "IoAllocateIrp"},
    {KsimFault::IoBuildDeviceIoControlRequest, "IoBuildDeviceIoControlRequest"},
    {KsimFault::IoAllocateWorkItem, "IoAllocateWorkItem"},
};

// At most this many occurrences of each kind are failed in turn.
constexpr unsigned FIRST_OCCURRENCES = 24;

std::string Story(Kernel& run, PDEVICE_OBJECT root) {
    KsimUsbDevice device = ApplePhone(PHONE_LOCATION);
    device.keepsUrbsAfterSurpriseRemoval = true;
    PDEVICE_OBJECT hub = KsimPnpPlug(root, Usb3Hub());
    PDEVICE_OBJECT phone = KsimPnpPlug(hub, device);
    KsimPoRequestWaitWake(phone);

    std::vector<ControlView> controls = ControlDevicesFor(run.driver, phone);
    KsimHandle client = controls.size() == 1 ? OpenControl(controls[0].number, true) : nullptr;
    if (client) {
        Order(client, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION);
    }
    KsimUsbSendControl(phone, FOREIGN, PASSIVE_LEVEL);
    KsimUsbSendControl(phone, FOREIGN, DISPATCH_LEVEL);
    KsimDrainWorkItems();
    if (client) {
        Order(client, IOCTL_TVXIPC_URB_WATCH_START, PHONE_LOCATION);
        KsimUsbSendBulk(phone);
        Order(client, IOCTL_TVXIPC_URB_WATCH_QUERY, PHONE_LOCATION);
    }
    KsimPoSetDevicePower(phone, PowerDeviceD2);
    KsimPoSetDevicePower(phone, PowerDeviceD0);

    // Pulled while a program holds the stack open: the remove waits for its close.
    KsimHandle holder = KsimUserOpen(KsimDeviceName(phone).c_str());
    KsimPnpUnplug(phone);
    if (!ControlDevicesFor(run.driver, phone).empty()) {
        run.Note("the pulled phone keeps its control device while its stack is held open");
    }
    if (client) {
        NTSTATUS status = Order(client, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION);
        if (status == STATUS_SUCCESS) {
            run.Note("an order to the pulled phone succeeded");
        }
        KsimUserClose(client);
    }
    if (holder) {
        KsimUserClose(holder);
    }
    KsimPnpUnplug(hub);
    return client ? "" : "no control device";
}

// With nothing failing any more, a phone plugged in again gets number 0 and charges on order.
void Replug(Kernel& run, PDEVICE_OBJECT root) {
    PDEVICE_OBJECT hub = KsimPnpPlug(root, Usb3Hub());
    PDEVICE_OBJECT phone = KsimPnpPlug(hub, ApplePhone(PHONE_LOCATION));
    std::vector<ControlView> controls = ControlDevicesFor(run.driver, phone);
    if (controls.size() != 1 || controls[0].number != 0 || controls[0].location != PHONE_LOCATION) {
        run.Note("the phone plugged in again has " + std::to_string(controls.size()) + " control devices" +
                 (controls.empty() ? std::string()
                                   : ", the first numbered " + std::to_string(controls[0].number) + " for " +
                                         Narrow(controls[0].location)));
    } else {
        KsimHandle client = OpenControl(0, true);
        NTSTATUS status = client ? Order(client, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION) : STATUS_UNSUCCESSFUL;
        if (status != STATUS_SUCCESS || ChargingHistory(phone) != "1") {
            run.Note("the phone plugged in again did not charge: " + Hex(status) + ", history " +
                     ChargingHistory(phone));
        }
        if (client) {
            KsimUserClose(client);
        }
    }
    CheckNumbers(run);
}

struct Result {
    unsigned calls;  // occurrences of the fault's kind in the story
    std::vector<std::string> problems;
};

Result RunStory(KsimFault fault, unsigned nth) {
    Kernel run;
    if (nth) {
        KsimInjectFault(fault, nth);
    }
    run.Install();
    PDEVICE_OBJECT root = KsimPnpPlugRoot(RootHub());
    Story(run, root);
    Result result{KsimFaultCalls(fault), {}};
    KsimClearFaults();
    Replug(run, root);
    KsimPnpUnplug(root);
    run.End();
    result.problems = run.Problems();
    KsimReset();
    return result;
}

TEST(ExploreFaults, EachInjectableFailureAtEachOfItsFirstOccurrencesLeavesNoStopNoLeakAndAPhoneThatCharges) {
    auto started = std::chrono::steady_clock::now();
    unsigned stories = 0;
    for (const FaultKind& kind : KINDS) {
        Result clean = RunStory(kind.fault, 0);
        EXPECT_TRUE(clean.problems.empty()) << "without a fault: " << clean.problems.front();
        unsigned last = std::min(clean.calls, FIRST_OCCURRENCES);
        for (unsigned nth = 1; nth <= last; ++nth) {
            Result result = RunStory(kind.fault, nth);
            ++stories;
            if (!result.problems.empty()) {
                std::string text;
                for (const std::string& problem : result.problems) {
                    text += "\n  " + problem;
                }
                ADD_FAILURE() << kind.name << " failing at its occurrence " << nth << " of " << clean.calls << ":"
                              << text;
            }
        }
        std::printf("%s: %u occurrences in the story, %u failed in turn\n", kind.name, clean.calls, last);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%u stories, %.2f s\n", stories, seconds);
}

}  // namespace
