// Client of the Tarvex control devices for user-mode programs: finds the Apple USB devices present
// and sends a device one of the four orders, addressed by its location text.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace tvx {

enum class Order { ChargingOn, ChargingOff, WatchStart, WatchQuery };

enum class Result {
    Ok,
    BadLocation,      // empty location: no control device could match it
    NoControlDevice,  // no control device exists (driver not loaded, or no device it serves)
    NoSuchDevice,     // control devices exist, none serves this location
    AccessDenied,     // a control device could not be opened for lack of rights, none matched
    DeviceFailed,     // the control device serving the location failed the order; error says why
};

// One line naming the cause, for people.
const char* Describe(Result result);

struct Reply {
    Result result = Result::NoControlDevice;
    int controlDevice = -1;  // the n of \\.\TVXIPC<n> that answered
    BYTE answer = 0;         // the one byte back: for WatchQuery, 1 when data was carried
    DWORD error = 0;         // DeviceFailed: the Win32 error of the order
};

// The cause of a reply that is not Ok, for people: Describe's line, or for DeviceFailed the control
// device with the system's own message for the error and its number.
std::wstring DescribeReply(const Reply& reply);

// How control devices are reached; tests put their own in its place.
struct DevicePort {
    virtual ~DevicePort() = default;
    // INVALID_HANDLE_VALUE and the Win32 error when control device n cannot be opened.
    virtual HANDLE Open(int number, DWORD& error) = 0;
    virtual bool Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD& returned, DWORD& error) = 0;
    virtual void Close(HANDLE device) = 0;
};
DevicePort& SystemPort();

DWORD ControlCode(Order order);

// Tries \\.\TVXIPC0 to \\.\TVXIPC255 until one accepts the location; a control device serving
// another location refuses the order without acting on it (STATUS_INVALID_ADDRESS, Win32 error 59).
// Any other failure of an opened control device ends the search as DeviceFailed.
Reply Send(const std::wstring& location, Order order, DevicePort& port = SystemPort());

struct ControlDevice {
    int number = -1;        // the n of \\.\TVXIPC<n>
    std::wstring location;  // the location it serves; empty when it could not be asked
};
// The control devices that exist now, each with the location it serves, learnt with the one
// request that changes nothing, so this is safe while others use them. One that cannot be opened
// (held by another client, closed to this user) is listed without its location.
std::vector<ControlDevice> ControlDevices(DevicePort& port = SystemPort());

// The number of the control device in present that serves location, compared in any letter case as
// the driver compares; -1 when none does. unasked: one of them could not be asked its location.
int ControlDeviceFor(const std::vector<ControlDevice>& present, const std::wstring& location, bool& unasked);

struct AppleDevice {
    std::wstring location;
    std::wstring hardwareId;
    std::wstring instanceId;
};

// Present devices whose first hardware ID is a USB ID with the Apple vendor ID.
std::vector<AppleDevice> ListAppleDevices();

// True when a hardware ID names the Apple vendor (USB\VID_05AC...), in any letter case.
bool IsAppleHardwareId(const std::wstring& hardwareId);

}  // namespace tvx
