#include "tvxclient.h"

#include <setupapi.h>
#include <winioctl.h>

#include <cstring>
#include <cwchar>
#include <cwctype>

#include "tvxipc.h"

namespace tvx {
namespace {

struct Win32Port : DevicePort {
    HANDLE Open(int number, DWORD& error) override {
        wchar_t path[32];
        swprintf(path, sizeof path / sizeof path[0], TVXIPC_USER_PATH_FORMAT_W, number);
        HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        return h;
    }
    bool Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD& returned,
                 DWORD& error) override {
        returned = 0;
        BOOL ok = DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr);
        error = ok ? 0 : GetLastError();
        return ok != FALSE;
    }
    void Close(HANDLE device) override { CloseHandle(device); }
};

std::wstring RegistryProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    DWORD type = 0, needed = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, nullptr, 0, &needed);
    if (needed == 0) return {};
    std::vector<wchar_t> buffer(needed / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, reinterpret_cast<BYTE*>(buffer.data()), needed,
                                           nullptr))
        return {};
    return buffer.data();  // the first string of a multi-string value
}

}  // namespace

const char* Describe(Result result) {
    switch (result) {
    case Result::Ok: return "done";
    case Result::BadLocation: return "no location given";
    case Result::NoControlDevice: return "no control device: the driver serves no device here (is it installed?)";
    case Result::NoSuchDevice: return "no such device: no control device serves this location";
    case Result::AccessDenied: return "access denied: run from an elevated prompt";
    case Result::DeviceFailed: return "the control device failed the order";
    }
    return "unknown result";
}

std::wstring DescribeReply(const Reply& reply) {
    if (reply.result != Result::DeviceFailed) {
        const char* text = Describe(reply.result);
        return std::wstring(text, text + strlen(text));
    }
    wchar_t* message = nullptr;
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, reply.error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring cause = n && message ? std::wstring(message, n) : std::wstring();
    if (message) LocalFree(message);
    while (!cause.empty() && (cause.back() == L'\n' || cause.back() == L'\r' || cause.back() == L' ')) cause.pop_back();
    if (cause.empty()) cause = L"unknown error";
    return L"TVXIPC" + std::to_wstring(reply.controlDevice) + L": " + cause + L" (error " +
           std::to_wstring(reply.error) + L")";
}

DevicePort& SystemPort() {
    static Win32Port port;
    return port;
}

DWORD ControlCode(Order order) {
    switch (order) {
    case Order::ChargingOn: return IOCTL_TVXIPC_CHARGING_ON;
    case Order::ChargingOff: return IOCTL_TVXIPC_CHARGING_OFF;
    case Order::WatchStart: return IOCTL_TVXIPC_URB_WATCH_START;
    case Order::WatchQuery: return IOCTL_TVXIPC_URB_WATCH_QUERY;
    }
    return 0;
}

std::vector<ControlDevice> ControlDevices(DevicePort& port) {
    std::vector<ControlDevice> present;
    for (int n = 0; n < TVXIPC_MAX_DEVICES; ++n) {
        DWORD error = 0;
        HANDLE device = port.Open(n, error);
        if (device == INVALID_HANDLE_VALUE) {
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) present.push_back({n, L""});
            continue;
        }
        // One unit more than the driver fills, so the text always ends.
        wchar_t location[TVXIPC_LOCATION_UNITS + 1] = {};
        DWORD returned = 0;
        if (!port.Control(device, IOCTL_TVXIPC_QUERY_LOCATION, nullptr, 0, location,
                          TVXIPC_LOCATION_UNITS * sizeof(wchar_t), returned, error))
            location[0] = L'\0';
        port.Close(device);
        present.push_back({n, location});
    }
    return present;
}

int ControlDeviceFor(const std::vector<ControlDevice>& present, const std::wstring& location, bool& unasked) {
    unasked = false;
    for (const auto& c : present) {
        if (c.location.empty()) {
            unasked = true;
        } else if (!location.empty() &&
                   CompareStringOrdinal(c.location.c_str(), static_cast<int>(c.location.size()), location.c_str(),
                                        static_cast<int>(location.size()), TRUE) == CSTR_EQUAL) {
            return c.number;
        }
    }
    return -1;
}

Reply Send(const std::wstring& location, Order order, DevicePort& port) {
    Reply reply;
    if (location.empty()) {
        reply.result = Result::BadLocation;
        return reply;
    }
    bool anyOpened = false, denied = false;
    // The terminating NUL goes along; the driver compares only its own location's length.
    const DWORD inSize = static_cast<DWORD>((location.size() + 1) * sizeof(wchar_t));
    for (int n = 0; n < TVXIPC_MAX_DEVICES; ++n) {
        DWORD error = 0;
        HANDLE device = port.Open(n, error);
        if (device == INVALID_HANDLE_VALUE) {
            denied = denied || error == ERROR_ACCESS_DENIED;
            continue;
        }
        anyOpened = true;
        BYTE answer = 0;
        DWORD returned = 0;
        bool ok = port.Control(device, ControlCode(order), location.c_str(), inSize, &answer, 1, returned, error);
        port.Close(device);
        if (ok) {
            reply.result = Result::Ok;
            reply.controlDevice = n;
            reply.answer = returned >= 1 ? answer : 0;
            return reply;
        }
        // Only the driver's "another location" answer (STATUS_INVALID_ADDRESS) means: not this one.
        // Anything else came from the device serving it (a stall, a time-out, a removal under way)
        // and would be misreported as "no such device" if the search went on.
        if (error != ERROR_UNEXP_NET_ERR) {
            reply.result = Result::DeviceFailed;
            reply.controlDevice = n;
            reply.error = error;
            return reply;
        }
    }
    reply.result = denied ? Result::AccessDenied : anyOpened ? Result::NoSuchDevice : Result::NoControlDevice;
    return reply;
}

bool IsAppleHardwareId(const std::wstring& hardwareId) {
    static const wchar_t prefix[] = L"USB\\VID_05AC";
    const size_t n = sizeof prefix / sizeof prefix[0] - 1;
    return hardwareId.size() >= n && _wcsnicmp(hardwareId.c_str(), prefix, n) == 0;
}

std::vector<AppleDevice> ListAppleDevices() {
    std::vector<AppleDevice> found;
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return found;
    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        std::wstring hardwareId = RegistryProperty(set, info, SPDRP_HARDWAREID);
        if (!IsAppleHardwareId(hardwareId)) continue;
        AppleDevice device;
        device.hardwareId = hardwareId;
        device.location = RegistryProperty(set, info, SPDRP_LOCATION_INFORMATION);
        wchar_t instance[512] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &info, instance, 512, nullptr)) device.instanceId = instance;
        found.push_back(device);
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

}  // namespace tvx
