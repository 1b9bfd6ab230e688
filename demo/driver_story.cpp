// The driver's half of the road of one typical event, told as it happens: the shipped driver
// library over the kernel simulator, with a hub, an Apple phone and a keyboard plugged in, a
// client ordering charging and watching traffic through \\.\TVXIPC0, and the phone unplugged.
// Every "ok" line is a check against what the simulator recorded.
#include "kernelsim.h"

#include "devext.h"
#include "ksim_devices.h"
#include "story.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Packet = std::array<UCHAR, 8>;

const Packet DESCRIPTOR_FETCH = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
const Packet CHARGING_ON = {0x40, 0x40, 0x00, 0x64, 0x00, 0x64, 0x00, 0x00};
// What the phone's own driver sends: the same request kind with a value of its own.
const Packet FOREIGN_REQUEST = {0x40, 0x40, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

const std::wstring PHONE_LOCATION = L"Port_#0003.Hub_#0002";
const std::wstring KEYBOARD_LOCATION = L"Port_#0004.Hub_#0002";
const std::wstring SECOND_PHONE_LOCATION = L"Port_#0001.Hub_#0002";

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Status(NTSTATUS status) { return Format("0x%08lX", static_cast<unsigned long>(status)); }

std::string Packets(const std::vector<Packet>& packets) {
    std::string text;
    for (const Packet& p : packets) {
        text += (text.empty() ? "" : " | ") + KsimHex(p);
    }
    return text.empty() ? "(none)" : text;
}

std::string Joined(const std::vector<std::wstring>& texts) {
    std::string text;
    for (const std::wstring& t : texts) {
        text += (text.empty() ? "" : ", ") + Narrow(t);
    }
    return text.empty() ? "(none)" : text;
}

DEVICE_EXTENSION* Ext(PDEVICE_OBJECT device) {
    return device ? static_cast<DEVICE_EXTENSION*>(device->DeviceExtension) : nullptr;
}

// The driver's device objects in a PDO's stack, lowest first.
std::vector<PDEVICE_OBJECT> FiltersOn(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> filters;
    for (PDEVICE_OBJECT device : KsimStackOf(pdo)) {
        if (KsimDriverName(device) == L"\\Driver\\Tarvex") {
            filters.push_back(device);
        }
    }
    return filters;
}

// The device directly above the PDO, if it is the driver's child filter.
PDEVICE_OBJECT ChildFilterAbove(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> stack = KsimStackOf(pdo);
    if (stack.size() < 2 || KsimDriverName(stack[1]) != L"\\Driver\\Tarvex") {
        return nullptr;
    }
    return Ext(stack[1])->ipcSlot == IPC_SLOT_CHILD_FILTER ? stack[1] : nullptr;
}

std::string StackText(PDEVICE_OBJECT pdo) {
    std::string text;
    for (PDEVICE_OBJECT device : KsimStackOf(pdo)) {
        text += (text.empty() ? "" : " < ") + Narrow(KsimDriverName(device));
    }
    return "stack " + text;
}

PDEVICE_OBJECT ControlDevice(int n) { return KsimNamedDevice((L"\\Device\\TVXIPC" + std::to_wstring(n)).c_str()); }

std::vector<std::wstring> ControlLinks() {
    std::vector<std::wstring> links;
    for (const std::wstring& link : KsimLinks()) {
        if (link.find(L"TVXIPC") != std::wstring::npos) {
            links.push_back(link);
        }
    }
    return links;
}

struct Reply {
    NTSTATUS status;
    ULONG_PTR information;
    UCHAR byte;
};

// One control code as a user-mode client sends it: the location text in, one byte out.
Reply Order(KsimHandle handle, ULONG code, const std::wstring& location) {
    Reply reply{STATUS_UNSUCCESSFUL, 0xDEAD, 0xCC};
    reply.status = KsimUserIoctl(handle, code, location.data(), static_cast<ULONG>(location.size() * sizeof(wchar_t)),
                                 &reply.byte, 1, &reply.information);
    return reply;
}

// The byte means something only as the answer to a watch query.
std::string ReplyText(const Reply& reply, bool withByte = false) {
    std::string text = Format("status %s, %lu byte(s) back", Status(reply.status).c_str(),
                              static_cast<unsigned long>(reply.information));
    return withByte ? text + Format(", the byte is %u", reply.byte) : text;
}

// Every stop code the simulator raises belongs to the step in which it happened.
std::vector<KsimStop> g_stops;

class DriverStory {
public:
    int Tell() {
        KsimReset();
        KsimSetStopHandler([](const KsimStop& stop) { g_stops.push_back(stop); });

        // Each step says whether what the next ones need exists; a step that merely saw something
        // wrong lets the story go on.
        if (LoadDriver() && PlugHub() && PlugPhone() && PlugKeyboard() && ChargingOn() && ForeignRequest() && Watch() &&
            Unplug() && NumberZeroAgain()) {
            CleanEnd();
        } else {
            story_.Say("the story stops here: the next steps need what this one should have made");
        }
        KsimSetStopHandler(nullptr);
        return story_.End();
    }

private:
    void Step(const std::string& what) {
        story_.Step(what);
        KsimClearDbgPrints();
        g_stops.clear();
    }

    // The step is also judged by the absence of stop codes raised while it ran. Returns whether
    // the story can go on.
    bool Done(bool canGoOn = true) {
        for (const KsimStop& stop : g_stops) {
            story_.Proof(false, "the simulated kernel raised no stop code", stop.what);
        }
        g_stops.clear();
        return canGoOn;
    }

    // A DbgPrint line of the driver during this step, shown as proof.
    bool DriverPrinted(const std::string& line) {
        std::vector<std::string> prints = KsimDbgPrints();
        bool found = std::find(prints.begin(), prints.end(), line + "\n") != prints.end();
        return story_.Proof(found, "DbgPrint: " + line,
                            found ? "" : Format("%zu other line(s), none of them this one", prints.size()));
    }

    bool LoadDriver() {
        Step("The driver is loaded and registered as the upper filter of the USB setup class");
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = KsimLoadDriver(DriverEntry, L"\\Driver\\Tarvex", &status);
        story_.Proof(driver_ != nullptr && status == STATUS_SUCCESS, "DriverEntry returned " + Status(status));
        if (!driver_) {
            return Done(false);
        }
        story_.Proof(driver_->DriverExtension->AddDevice != nullptr, "it installed its AddDevice routine");
        KsimPnpRegisterUpperFilter(driver_);
        story_.Proof(KsimDevicesOf(driver_).empty(), "it made no device object yet: everything happens per device");
        return Done();
    }

    bool PlugHub() {
        Step("A USB 3 hub is plugged into the first port of the root hub");
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        rootPdo_ = KsimPnpPlugRoot(RootHub(), &status);
        story_.Proof(rootPdo_ != nullptr && status == STATUS_SUCCESS,
                     "the root hub's stack started: " + Status(status));
        if (!rootPdo_) {
            return Done(false);
        }
        hubPdo_ = KsimPnpPlug(rootPdo_, Usb3Hub(), &status);
        story_.Proof(hubPdo_ != nullptr && status == STATUS_SUCCESS, "the hub's stack started: " + Status(status));
        if (!hubPdo_) {
            return Done(false);
        }
        story_.Proof(!FiltersOn(rootPdo_).empty(), "the root hub's stack has the driver's filter", StackText(rootPdo_));
        story_.Proof(!FiltersOn(hubPdo_).empty(), "the hub's stack has the driver's filter: " + StackText(hubPdo_),
                     StackText(hubPdo_));
        DriverPrinted("OrvantaDriver> VA_AddDevice");
        story_.Proof(ControlLinks().empty(), "hubs get no control device", Joined(ControlLinks()));
        return Done();
    }

    bool PlugPhone() {
        Step("An Apple phone is plugged into port 3 of the hub (location " + Narrow(PHONE_LOCATION) + ")");
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        phone_ = KsimPnpPlug(hubPdo_, ApplePhone(PHONE_LOCATION), &status);
        story_.Proof(phone_ != nullptr && status == STATUS_SUCCESS, "the phone's stack started: " + Status(status));
        if (!phone_) {
            return Done(false);
        }
        phoneFilter_ = ChildFilterAbove(phone_);
        story_.Proof(phoneFilter_ != nullptr,
                     "the hub's filter saw the new PDO " + Narrow(KsimDeviceName(phone_)) +
                         " and put a child filter right above it: " + StackText(phone_),
                     StackText(phone_));
        DriverPrinted("OrvantaDriver> IRP_MN_QUERY_DEVICE_RELATIONS: create");
        std::vector<Packet> packets = KsimUsbSetupPackets(phone_);
        story_.Proof(packets == std::vector<Packet>{DESCRIPTOR_FETCH},
                     "the filter fetched the device descriptor from the PDO: " + KsimHex(DESCRIPTOR_FETCH),
                     Packets(packets));
        story_.Proof(phoneFilter_ && Ext(phoneFilter_)->bIsAppleDevice, "it found vendor ID 05AC: an Apple device");
        PDEVICE_OBJECT control = ControlDevice(0);
        story_.Proof(control != nullptr && Ext(control)->ipcSlot == 0, "control device \\Device\\TVXIPC0 exists");
        std::wstring target = KsimLinkTarget(L"\\DosDevices\\TVXIPC0");
        story_.Proof(target == L"\\Device\\TVXIPC0", "link \\DosDevices\\TVXIPC0 -> \\Device\\TVXIPC0",
                     target.empty() ? "no such link" : Narrow(target));
        story_.Proof(control && Ext(control)->location == PHONE_LOCATION,
                     "the control device carries the phone's location text " + Narrow(PHONE_LOCATION),
                     control ? Narrow(Ext(control)->location) : "");
        DriverPrinted("OrvantaDriver> Trying to create device \\Device\\TVXIPC0");
        return Done(phoneFilter_ != nullptr && control != nullptr);
    }

    bool PlugKeyboard() {
        Step("A keyboard is plugged into port 4 of the hub");
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        keyboard_ = KsimPnpPlug(hubPdo_, Keyboard(KEYBOARD_LOCATION), &status);
        story_.Proof(keyboard_ != nullptr && status == STATUS_SUCCESS,
                     "the keyboard's stack started: " + Status(status));
        if (!keyboard_) {
            return Done();
        }
        PDEVICE_OBJECT filter = ChildFilterAbove(keyboard_);
        story_.Proof(filter != nullptr, "it got a child filter too: " + StackText(keyboard_), StackText(keyboard_));
        story_.Proof(filter && !Ext(filter)->bIsAppleDevice, "its descriptor says vendor 046D: not an Apple device");
        story_.Proof(
            ControlDevice(1) == nullptr && ControlLinks() == std::vector<std::wstring>{L"\\DosDevices\\TVXIPC0"},
            "no control device for it: the only link is still \\DosDevices\\TVXIPC0", Joined(ControlLinks()));
        return Done();
    }

    bool ChargingOn() {
        Step("A client opens \\\\.\\TVXIPC0 and orders charging on with the phone's location");
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        client_ = KsimUserOpen(L"\\\\.\\TVXIPC0", &status);
        story_.Proof(client_ != nullptr, "\\\\.\\TVXIPC0 opened: " + Status(status));
        if (!client_) {
            return Done(false);
        }
        KsimClearUsbRequests(phone_);
        Reply on = Order(client_, IOCTL_TVXIPC_CHARGING_ON, PHONE_LOCATION);
        story_.Proof(on.status == STATUS_SUCCESS && on.information == 1,
                     Format("control code 0x%08lX answered: ", static_cast<unsigned long>(IOCTL_TVXIPC_CHARGING_ON)) +
                         ReplyText(on));
        std::vector<KsimUsbRequest> requests = KsimUsbRequests(phone_);
        std::vector<Packet> packets = KsimUsbSetupPackets(phone_);
        story_.Proof(packets == std::vector<Packet>{CHARGING_ON},
                     "the setup packet on the bus at the phone's PDO " + Narrow(KsimDeviceName(phone_)) + ": " +
                         KsimHex(CHARGING_ON),
                     Packets(packets));
        story_.Proof(requests.size() == 1 && requests[0].path == std::vector<PDEVICE_OBJECT>{phone_},
                     "it was sent straight to the PDO, below every other driver of the stack");
        DriverPrinted(
            Format("OrvantaDriver> IRP_MJ_DEVICE_CONTROL: %X", static_cast<unsigned>(IOCTL_TVXIPC_CHARGING_ON)));
        DriverPrinted("OrvantaDriver> IRP_MJ_DEVICE_CONTROL: LOCATION => " + Narrow(PHONE_LOCATION));
        DriverPrinted("OrvantaDriver> SetVendorCommand");
        return Done();
    }

    bool ForeignRequest() {
        Step("The phone's own driver sends a vendor request of the same kind (" + KsimHex(FOREIGN_REQUEST) + ")");
        KsimClearUsbRequests(phone_);
        NTSTATUS status = KsimUsbSendControl(phone_, FOREIGN_REQUEST);
        story_.Proof(status == STATUS_SUCCESS, "the request completed: " + Status(status));
        std::vector<KsimUsbRequest> requests = KsimUsbRequests(phone_);
        std::vector<Packet> packets = KsimUsbSetupPackets(phone_);
        story_.Proof(packets == std::vector<Packet>{FOREIGN_REQUEST, CHARGING_ON},
                     "on the bus: the phone driver's request, then the driver's own on form " + KsimHex(CHARGING_ON),
                     Packets(packets));
        bool passedFilter = !requests.empty() && std::find(requests[0].path.begin(), requests[0].path.end(),
                                                           phoneFilter_) != requests[0].path.end();
        story_.Proof(passedFilter, "the phone driver's request went through the child filter, which let it pass");
        DriverPrinted("devExt->bIsResendChargingCmdNeeded = TRUE;");
        DriverPrinted("Resend Charging Cmd");
        return Done();
    }

    bool Watch() {
        Step("The client starts a watch, the phone carries a bulk transfer, the client asks what the watch saw");
        Reply start = Order(client_, IOCTL_TVXIPC_URB_WATCH_START, PHONE_LOCATION);
        story_.Proof(start.status == STATUS_SUCCESS, "watch start answered: " + ReplyText(start));
        DriverPrinted("OrvantaDriver> Loaction: " + Narrow(PHONE_LOCATION));
        NTSTATUS status = KsimUsbSendBulk(phone_, 512);
        story_.Proof(status == STATUS_SUCCESS,
                     "the phone's driver sent 512 bytes in a bulk transfer: " + Status(status));
        DriverPrinted(Format("+++ URB Function: %d", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER));
        Reply query = Order(client_, IOCTL_TVXIPC_URB_WATCH_QUERY, PHONE_LOCATION);
        story_.Proof(query.status == STATUS_SUCCESS && query.information == 1 && query.byte == 1,
                     "watch query answered 1 (data seen): " + ReplyText(query, true), ReplyText(query, true));
        DriverPrinted("OrvantaDriver> URB Count: 1");
        return Done();
    }

    bool Unplug() {
        Step("The client closes its handle and the phone is unplugged");
        NTSTATUS status = KsimUserClose(client_);
        client_ = nullptr;
        story_.Proof(status == STATUS_SUCCESS, "the handle closed: " + Status(status));
        KsimClearIoLog();
        KsimPnpUnplug(phone_);
        std::vector<std::string> log = KsimIoLog();
        auto at = [&](const std::string& line) {
            return static_cast<size_t>(std::find(log.begin(), log.end(), line) - log.begin());
        };
        const std::string linkLine = "IoDeleteSymbolicLink \\DosDevices\\TVXIPC0";
        const std::string deviceLine = "IoDeleteDevice \\Device\\TVXIPC0";
        const std::string filterLine = "IoDeleteDevice <unnamed> \\Driver\\Tarvex";
        for (const std::string& line : log) {
            bool ours = line.find("Tarvex") != std::string::npos || line.find("TVXIPC") != std::string::npos;
            if (ours && line.find("Delete") != std::string::npos) {
                story_.Show("I/O", line);
            }
        }
        size_t link = at(linkLine), device = at(deviceLine), filter = at(filterLine);
        story_.Proof(link < device && device < filter && filter < log.size(),
                     "the link went first, then the control device, then the child filter",
                     Format("positions %zu, %zu, %zu in a log of %zu lines", link, device, filter, log.size()));
        story_.Proof(KsimIsDeleted(phoneFilter_), "the phone's child filter is deleted");
        story_.Proof(ControlDevice(0) == nullptr && ControlLinks().empty(), "no TVXIPC device or link is left",
                     Joined(ControlLinks()));
        story_.Proof(ipcSlotTable[0] == 0, "number 0 is marked free in the driver's table");
        DriverPrinted("OrvantaDriver> IRP_MN_REMOVE_DEVICE");
        return Done();
    }

    bool NumberZeroAgain() {
        Step("Another Apple phone is plugged into port 1 of the hub and gets number 0 again");
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDEVICE_OBJECT phone = KsimPnpPlug(hubPdo_, ApplePhone(SECOND_PHONE_LOCATION), &status);
        story_.Proof(phone != nullptr && status == STATUS_SUCCESS, "its stack started: " + Status(status));
        PDEVICE_OBJECT control = ControlDevice(0);
        story_.Proof(control != nullptr && Ext(control)->location == SECOND_PHONE_LOCATION,
                     "\\Device\\TVXIPC0 exists again, now with the location " + Narrow(SECOND_PHONE_LOCATION),
                     control ? Narrow(Ext(control)->location) : "no \\Device\\TVXIPC0");
        DriverPrinted("OrvantaDriver> Trying to create device \\Device\\TVXIPC0");
        return Done();
    }

    void CleanEnd() {
        Step("The simulated kernel's verdict at the end");
        std::vector<std::string> problems = KsimCheckEnd();
        std::string first = problems.empty() ? "" : problems.front();
        story_.Proof(problems.empty(), "no pool left over, no request left outstanding, no stop code",
                     Format("%zu problem(s), the first: ", problems.size()) + first);
        std::vector<KsimAssert> asserts = KsimAsserts();
        story_.Proof(asserts.empty(), "no invariant of the driver reported broken",
                     asserts.empty() ? "" : asserts.front().module + ": " + asserts.front().expression);
        Done();
    }

    story::Story story_{"The driver over the kernel simulator"};
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT rootPdo_ = nullptr;
    PDEVICE_OBJECT hubPdo_ = nullptr;
    PDEVICE_OBJECT phone_ = nullptr;
    PDEVICE_OBJECT phoneFilter_ = nullptr;
    PDEVICE_OBJECT keyboard_ = nullptr;
    KsimHandle client_ = nullptr;
};

}  // namespace

int main() {
    DriverStory story;
    return story.Tell();
}
