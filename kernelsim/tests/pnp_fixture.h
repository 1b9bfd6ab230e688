// The devices PnP builds the simulator's test stacks for, a USB root hub and a keyboard on it,
// and the fixture whose test filter joins every stack as its upper filter.
#pragma once

#include "test_drivers.h"

namespace ksimtest {

inline KsimUsbDevice Hub() {
    KsimUsbDevice device;
    device.busDriver = L"\\Driver\\USBXHCI";
    device.hardwareIds = {L"USB\\ROOT_HUB30"};
    device.classGuid = KSIM_CLASS_USB;
    device.functionDriver = L"\\Driver\\USBHUB3";
    return device;
}

inline KsimUsbDevice Device(const wchar_t* location) {
    KsimUsbDevice device;
    device.busDriver = L"\\Driver\\USBHUB3";
    device.hardwareIds = {L"USB\\VID_046D&PID_C31C"};
    device.location = location;
    device.functionDriver = L"\\Driver\\HidUsb";
    return device;
}

class PnpTest : public KsimTest {
protected:
    void SetUp() override {
        KsimTest::SetUp();
        filterDriver = KsimLoadDriver(FilterEntry, L"\\Driver\\TestFilter");
        KsimPnpRegisterUpperFilter(filterDriver);
    }
    PDRIVER_OBJECT filterDriver = nullptr;
};

}  // namespace ksimtest
