// Shared scenario pieces for the driver tests: the devices of a typical USB tree, a fixture that
// loads the driver as the USB class upper filter, and helpers that read the driver's records.
#pragma once

#include "kernelsim_gtest.h"

#include "devext.h"

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

inline std::string Hex(NTSTATUS status)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}
// Statuses are compared as hex texts so that a failure prints both sides readably.
#define EXPECT_STATUS(expected, actual) EXPECT_EQ(Hex(expected), Hex(actual))
#define ASSERT_STATUS(expected, actual) ASSERT_EQ(Hex(expected), Hex(actual))

// A pointer as a "%X" of DbgPrint shows it on x64: its low 32 bits.
inline std::string Low32(const void* pointer)
{
    char text[16];
    snprintf(text, sizeof text, "%X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
}

// How the I/O log names a device object of the driver without a name of its own.
inline const std::string FILTER_LABEL = "<unnamed> \\Driver\\Tarvex";

inline const std::array<UCHAR, 8> DESCRIPTOR_FETCH = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
inline const std::array<UCHAR, 8> CHARGING_ON = {0x40, 0x40, 0x00, 0x64, 0x00, 0x64, 0x00, 0x00};
inline const std::array<UCHAR, 8> CHARGING_OFF = {0x40, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// Devices of the scenarios. Locations follow the platform's "Port_#000p.Hub_#000h" form.
inline KsimUsbDevice RootHub()
{
    KsimUsbDevice d;
    d.busDriver = L"\\Driver\\USBXHCI";
    d.hardwareIds = {L"USB\\ROOT_HUB30&VID8086&PID9D2F&REV0021", L"USB\\ROOT_HUB30"};
    d.classGuid = KSIM_CLASS_USB;
    d.descriptor = KsimUsbDescriptor(0x8086, 0x9D2F, 9);
    d.functionDriver = L"\\Driver\\USBHUB3";
    return d;
}

inline KsimUsbDevice Usb3Hub(const std::wstring& location = L"Port_#0001.Hub_#0001")
{
    KsimUsbDevice d;
    d.busDriver = L"\\Driver\\USBHUB3";
    d.hardwareIds = {L"USB\\VID_2109&PID_0817&REV_0473", L"USB\\VID_2109&PID_0817"};
    d.location = location;
    d.classGuid = KSIM_CLASS_USB;
    d.descriptor = KsimUsbDescriptor(0x2109, 0x0817, 9);
    d.functionDriver = L"\\Driver\\USBHUB3";
    return d;
}

inline KsimUsbDevice ApplePhone(const std::wstring& location = L"Port_#0003.Hub_#0002")
{
    KsimUsbDevice d;
    d.busDriver = L"\\Driver\\USBHUB3";
    d.hardwareIds = {L"USB\\VID_05AC&PID_12A8&REV_1201", L"USB\\VID_05AC&PID_12A8"};
    d.location = location;
    d.classGuid = KSIM_CLASS_USBDEVICE;
    d.descriptor = KsimUsbDescriptor(0x05AC, 0x12A8, 0);
    d.functionDriver = L"\\Driver\\WinUSB";
    return d;
}

// A portable device of another maker (media transfer protocol).
inline KsimUsbDevice OtherPhone(const std::wstring& location = L"Port_#0002.Hub_#0002")
{
    KsimUsbDevice d;
    d.busDriver = L"\\Driver\\USBHUB3";
    d.hardwareIds = {L"USB\\VID_04E8&PID_6860&REV_0400", L"USB\\VID_04E8&PID_6860"};
    d.location = location;
    d.classGuid = KSIM_CLASS_WPD;
    d.descriptor = KsimUsbDescriptor(0x04E8, 0x6860, 0);
    d.functionDriver = L"\\Driver\\WUDFRd";
    return d;
}

inline KsimUsbDevice Keyboard(const std::wstring& location = L"Port_#0004.Hub_#0002")
{
    KsimUsbDevice d;
    d.busDriver = L"\\Driver\\USBHUB3";
    d.hardwareIds = {L"USB\\VID_046D&PID_C31C&REV_6400", L"USB\\VID_046D&PID_C31C"};
    d.location = location;
    d.classGuid = KSIM_CLASS_HIDCLASS;
    d.descriptor = KsimUsbDescriptor(0x046D, 0xC31C, 0);
    d.functionDriver = L"\\Driver\\HidUsb";
    return d;
}

// A composite device whose interfaces appear as children owned by the composite driver.
inline KsimUsbDevice CompositeParent(USHORT vendor, USHORT product, const std::wstring& location)
{
    wchar_t id[64];
    swprintf(id, 64, L"USB\\VID_%04X&PID_%04X&REV_0102", vendor, product);
    KsimUsbDevice d;
    d.busDriver = L"\\Driver\\USBHUB3";
    d.hardwareIds = {id};
    d.location = location;
    d.classGuid = KSIM_CLASS_USB;
    d.descriptor = KsimUsbDescriptor(vendor, product, 0);
    d.functionDriver = L"\\Driver\\usbccgp";
    return d;
}

// Interface n of a composite device; it reports no location of its own.
inline KsimUsbDevice Interface(USHORT vendor, USHORT product, int number)
{
    wchar_t id[64];
    swprintf(id, 64, L"USB\\VID_%04X&PID_%04X&MI_%02d", vendor, product, number);
    KsimUsbDevice d;
    d.busDriver = L"\\Driver\\usbccgp";
    d.hardwareIds = {id};
    d.classGuid = KSIM_CLASS_USBDEVICE;
    d.descriptor = KsimUsbDescriptor(vendor, product, 0);
    d.functionDriver = L"\\Driver\\WinUSB";
    return d;
}

class TarvexTest : public KsimTest {
protected:
    void SetUp() override
    {
        KsimTest::SetUp();
        driver = KsimLoadDriver(DriverEntry);
        ASSERT_NE(nullptr, driver);
        KsimPnpRegisterUpperFilter(driver);
    }

    static DEVICE_EXTENSION* Ext(PDEVICE_OBJECT device)
    {
        return device ? static_cast<DEVICE_EXTENSION*>(device->DeviceExtension) : nullptr;
    }

    // The driver's device objects in the PDO's stack, lowest first.
    static std::vector<PDEVICE_OBJECT> FiltersOn(PDEVICE_OBJECT pdo)
    {
        std::vector<PDEVICE_OBJECT> filters;
        for (PDEVICE_OBJECT device : KsimStackOf(pdo)) {
            if (KsimDriverName(device) == L"\\Driver\\Tarvex") {
                filters.push_back(device);
            }
        }
        return filters;
    }
    static PDEVICE_OBJECT FilterOn(PDEVICE_OBJECT pdo)
    {
        std::vector<PDEVICE_OBJECT> filters = FiltersOn(pdo);
        return filters.empty() ? nullptr : filters.front();
    }
    static DEVICE_EXTENSION* FilterExt(PDEVICE_OBJECT pdo) { return Ext(FilterOn(pdo)); }
    // The filter a parent attached for the child, as opposed to one AddDevice made for the stack.
    static PDEVICE_OBJECT ChildFilterOn(PDEVICE_OBJECT pdo)
    {
        for (PDEVICE_OBJECT filter : FiltersOn(pdo)) {
            if (Ext(filter)->ipcSlot == IPC_SLOT_CHILD_FILTER) {
                return filter;
            }
        }
        return nullptr;
    }

    static PDEVICE_OBJECT ControlDevice(int n)
    {
        return KsimNamedDevice((L"\\Device\\TVXIPC" + std::to_wstring(n)).c_str());
    }
    std::vector<PDEVICE_OBJECT> ControlDevices() const
    {
        std::vector<PDEVICE_OBJECT> controls;
        for (PDEVICE_OBJECT device : KsimDevicesOf(driver)) {
            if (Ext(device)->ipcSlot >= 0) {
                controls.push_back(device);
            }
        }
        return controls;
    }

    // A root hub with a USB 3 hub on its first port; returns the USB 3 hub's PDO.
    PDEVICE_OBJECT PlugHubTree()
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        rootPdo = KsimPnpPlugRoot(RootHub(), &status);
        EXPECT_STATUS(STATUS_SUCCESS, status);
        PDEVICE_OBJECT hubPdo = KsimPnpPlug(rootPdo, Usb3Hub(), &status);
        EXPECT_STATUS(STATUS_SUCCESS, status);
        return hubPdo;
    }

    PDEVICE_OBJECT Plug(PDEVICE_OBJECT parentPdo, const KsimUsbDevice& device)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDEVICE_OBJECT pdo = KsimPnpPlug(parentPdo, device, &status);
        EXPECT_STATUS(STATUS_SUCCESS, status);
        return pdo;
    }

    // What a client gets back from one control code.
    struct Reply {
        NTSTATUS status;
        ULONG_PTR information;
        UCHAR byte;
    };
    static Reply Order(KsimHandle handle, ULONG code, const std::wstring& location, ULONG outLen = 1)
    {
        Reply reply{STATUS_UNSUCCESSFUL, 0xDEAD, 0xCC};
        reply.status = KsimUserIoctl(handle, code, location.data(), static_cast<ULONG>(location.size() * sizeof(wchar_t)),
                                     &reply.byte, outLen, &reply.information);
        return reply;
    }

    // The I/O log with the autogenerated names of filters (\Device\ and eight hex digits)
    // shown as the log shows devices without a name of their own.
    static std::vector<std::string> IoLog()
    {
        static const std::regex generated(R"(\\Device\\[0-9A-Fa-f]{8}(?![0-9A-Za-z]))");
        std::vector<std::string> lines;
        for (const std::string& line : KsimIoLog()) {
            lines.push_back(std::regex_replace(line, generated, FILTER_LABEL));
        }
        return lines;
    }

    // The deletions of the I/O log that concern control devices or filters, in order.
    static std::vector<std::string> Deletions()
    {
        std::vector<std::string> lines;
        for (const std::string& line : IoLog()) {
            if (line.find("Delete") != std::string::npos &&
                (line.find("TVXIPC") != std::string::npos || line.find(FILTER_LABEL) != std::string::npos)) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    // Lines of the I/O log that name the given text, in order.
    static std::vector<std::string> IoLogWith(const std::string& text)
    {
        std::vector<std::string> lines;
        for (const std::string& line : IoLog()) {
            if (line.find(text) != std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT rootPdo = nullptr;
};
