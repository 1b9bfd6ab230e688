// What Windows itself says about the machine that decides whether the class filter is safe: the bus
// the Windows volume's disks sit on, and whether the USB class's devices started.
#include "tvxsetup.h"

#include <winioctl.h>
#include <devguid.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <algorithm>
#include <cstddef>

namespace tvxsetup {

namespace {

// Wine has neither USB disks nor device nodes that fail: there (and only there) the test tells what
// Windows would answer. An empty text means Wine's own answer counts.
std::wstring WineModel(const wchar_t* name) {
    if (!RunsOnWine()) return L"";
    wchar_t value[1024] = {};
    DWORD n = GetEnvironmentVariableW(name, value, 1024);
    return n && n < 1024 ? std::wstring(value, n) : L"";
}

const wchar_t* BusName(DWORD bus) {
    switch (bus) {
    case BusTypeScsi: return L"SCSI";
    case BusTypeAtapi: return L"ATAPI";
    case BusTypeAta: return L"ATA";
    case BusTypeUsb: return L"USB";
    case BusTypeRAID: return L"RAID";
    case BusTypeiScsi: return L"iSCSI";
    case BusTypeSas: return L"SAS";
    case BusTypeSata: return L"SATA";
    case BusTypeSd: return L"SD";
    case BusTypeMmc: return L"MMC";
    case BusTypeVirtual: return L"virtual";
    case BusTypeFileBackedVirtual: return L"virtual disk file";
    case BusTypeSpaces: return L"Storage Spaces";
    case BusTypeNvme: return L"NVMe";
    default: return L"other";
    }
}

// StorageDeviceProperty's bus type of a disk or volume opened without data access (which a standard
// user may do); false with the error when the device does not answer.
bool QueryBus(const std::wstring& device, DWORD& bus, DWORD& error) {
    HANDLE h = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(8) BYTE buffer[1024] = {};
    DWORD got = 0;
    bool ok =
        DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer, sizeof buffer, &got, nullptr) &&
        got >= offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof(DWORD);
    error = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (ok) bus = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer)->BusType;
    return ok;
}

// The disks a volume lies on (a spanned or mirrored volume has several); empty when it cannot say.
std::vector<DWORD> VolumeDisks(const std::wstring& volume) {
    std::vector<DWORD> disks;
    HANDLE h = CreateFileW(volume.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return disks;
    alignas(8) BYTE buffer[4096] = {};
    DWORD got = 0;
    if (DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer, sizeof buffer, &got, nullptr)) {
        auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer);
        for (DWORD i = 0; i < extents->NumberOfDiskExtents && i < 64; ++i) {
            DWORD disk = extents->Extents[i].DiskNumber;
            if (std::find(disks.begin(), disks.end(), disk) == disks.end()) disks.push_back(disk);
        }
    }
    CloseHandle(h);
    return disks;
}

}  // namespace

BootDisk QueryBootDisk() {
    BootDisk boot;
    DWORD portable = 0, size = sizeof portable;
    if (!RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control", L"PortableOperatingSystem",
                      RRF_RT_REG_DWORD, nullptr, &portable, &size))
        boot.portable = portable != 0;

    std::wstring windows = WindowsDir();
    std::wstring volume = L"\\\\.\\" + windows.substr(0, 2);
    std::wstring model = WineModel(L"TVXSETUP_WINE_SYSTEM_BUS");
    std::vector<DWORD> disks = VolumeDisks(volume);
    std::vector<std::pair<std::wstring, DWORD>> answers;  // device, bus
    DWORD error = 0;
    if (disks.empty()) {
        // A volume whose extents are not told answers the query for its one disk itself.
        DWORD bus = 0;
        if (QueryBus(volume, bus, error)) answers.push_back({windows.substr(0, 2), bus});
    }
    for (DWORD disk : disks) {
        DWORD bus = 0;
        std::wstring name = L"PhysicalDrive" + std::to_wstring(disk);
        if (QueryBus(L"\\\\.\\" + name, bus, error))
            answers.push_back({name, bus});
        else
            answers.push_back({name, BusTypeUnknown});
    }
    if (!model.empty()) {
        if (answers.empty()) answers.push_back({windows.substr(0, 2), 0});
        for (auto& a : answers) a.second = static_cast<DWORD>(_wtoi(model.c_str()));
    }
    if (answers.empty()) {
        boot.known = false;
        boot.detail = L"the bus of " + windows.substr(0, 2) + L"'s disk cannot be read (" + ErrorText(error) + L")";
        return boot;
    }
    for (const auto& a : answers) {
        boot.detail += (boot.detail.empty() ? L"" : L", ") + a.first + L" on the " + BusName(a.second) + L" bus";
        if (a.second == BusTypeUsb) boot.usb = true;
    }
    return boot;
}

std::wstring BootDiskProblem(const BootDisk& boot) {
    if (!boot.usb && !boot.portable) return L"";
    std::wstring where = boot.usb ? L"Windows starts from a disk on a USB bus (" + boot.detail + L")"
                                  : L"Windows is a portable installation (PortableOperatingSystem is set)";
    return where +
           L": its USB controllers and hubs start before a demand-start driver can be loaded from that "
           L"disk, so with Tarvex as the USB class's filter their stacks would fail and Windows would not "
           L"start (INACCESSIBLE_BOOT_DEVICE). Tarvex is not for machines that start Windows from USB";
}

// Problem codes of a device node whose stack did not come up because one of its drivers did not load
// or start: Tarvex, named by the whole class, is then the likely one.
const wchar_t* LoadProblemName(ULONG problem) {
    switch (problem) {
    case CM_PROB_FAILED_ADD: return L"a driver of its stack failed to add the device";
    case CM_PROB_FAILED_DRIVER_ENTRY: return L"a driver's entry routine failed";
    case CM_PROB_DRIVER_FAILED_PRIOR_UNLOAD: return L"a driver could not be loaded again";
    case CM_PROB_DRIVER_FAILED_LOAD: return L"a driver could not be loaded";
    case CM_PROB_DRIVER_BLOCKED: return L"a driver is blocked from loading";
    case CM_PROB_UNSIGNED_DRIVER: return L"a driver's signature could not be verified";
    default: return nullptr;
    }
}

std::vector<DeviceProblem> UsbLoadFailures() {
    std::vector<DeviceProblem> failures;
    std::wstring model = WineModel(L"TVXSETUP_WINE_USB_DEVICES");
    if (!model.empty()) {
        // "instance=problem;instance=problem": the USB class's devices and their problem codes.
        size_t at = 0;
        while (at < model.size()) {
            size_t end = model.find(L';', at);
            if (end == std::wstring::npos) end = model.size();
            std::wstring item = model.substr(at, end - at);
            size_t eq = item.rfind(L'=');
            ULONG problem = eq == std::wstring::npos ? 0 : static_cast<ULONG>(_wtoi(item.c_str() + eq + 1));
            if (LoadProblemName(problem)) failures.push_back({item.substr(0, eq), problem});
            at = end + 1;
        }
        return failures;
    }
    HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_USB, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return failures;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        ULONG status = 0, problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) != CR_SUCCESS || !(status & DN_HAS_PROBLEM) ||
            !LoadProblemName(problem))
            continue;
        wchar_t id[MAX_DEVICE_ID_LEN] = {};
        SetupDiGetDeviceInstanceIdW(devices, &device, id, MAX_DEVICE_ID_LEN, nullptr);
        failures.push_back({id, problem});
    }
    SetupDiDestroyDeviceInfoList(devices);
    return failures;
}

std::wstring LoadFailureText(const std::vector<DeviceProblem>& failures) {
    if (failures.empty()) return L"";
    const DeviceProblem& first = failures[0];
    return std::to_wstring(failures.size()) + L" USB device(s) did not start, " + first.instance + L" with code " +
           std::to_wstring(first.problem) + L" (" + LoadProblemName(first.problem) +
           L"). Windows refused the driver at boot: Secure Boot turned back on, a revoked or untrusted signature, or "
           L"memory integrity. Run \"tvxsetup uninstall\" (or follow README, \"When USB stops working\"), then "
           L"restore what the driver needs and install again";
}

}  // namespace tvxsetup
