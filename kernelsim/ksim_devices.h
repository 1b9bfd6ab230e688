// Sample USB devices as the bus reports them, for scenarios over the simulator: what tests and
// the demo plug in. Locations follow the platform's "Port_#000p.Hub_#000h" form.
#pragma once

#include <cwchar>
#include <string>

#include "kernelsim.h"

inline KsimUsbDevice RootHub() {
    KsimUsbDevice d;
    d.busDriver = L"\\Driver\\USBXHCI";
    d.hardwareIds = {L"USB\\ROOT_HUB30&VID8086&PID9D2F&REV0021", L"USB\\ROOT_HUB30"};
    d.classGuid = KSIM_CLASS_USB;
    d.descriptor = KsimUsbDescriptor(0x8086, 0x9D2F, 9);
    d.functionDriver = L"\\Driver\\USBHUB3";
    return d;
}

inline KsimUsbDevice Usb3Hub(const std::wstring& location = L"Port_#0001.Hub_#0001") {
    KsimUsbDevice d;
    d.busDriver = L"\\Driver\\USBHUB3";
    d.hardwareIds = {L"USB\\VID_2109&PID_0817&REV_0473", L"USB\\VID_2109&PID_0817"};
    d.location = location;
    d.classGuid = KSIM_CLASS_USB;
    d.descriptor = KsimUsbDescriptor(0x2109, 0x0817, 9);
    d.functionDriver = L"\\Driver\\USBHUB3";
    return d;
}

inline KsimUsbDevice ApplePhone(const std::wstring& location = L"Port_#0003.Hub_#0002") {
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
inline KsimUsbDevice OtherPhone(const std::wstring& location = L"Port_#0002.Hub_#0002") {
    KsimUsbDevice d;
    d.busDriver = L"\\Driver\\USBHUB3";
    d.hardwareIds = {L"USB\\VID_04E8&PID_6860&REV_0400", L"USB\\VID_04E8&PID_6860"};
    d.location = location;
    d.classGuid = KSIM_CLASS_WPD;
    d.descriptor = KsimUsbDescriptor(0x04E8, 0x6860, 0);
    d.functionDriver = L"\\Driver\\WUDFRd";
    return d;
}

inline KsimUsbDevice Keyboard(const std::wstring& location = L"Port_#0004.Hub_#0002") {
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
inline KsimUsbDevice CompositeParent(USHORT vendor, USHORT product, const std::wstring& location) {
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
inline KsimUsbDevice Interface(USHORT vendor, USHORT product, int number) {
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
