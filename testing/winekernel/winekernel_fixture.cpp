// The suite's fixture: it installs the bus and the filter in the Wine prefix before the first test
// and takes out everything it added after the last.
#include "winekernel_support.h"

#include <newdev.h>
#include <setupapi.h>

namespace winekernel {
namespace {

const wchar_t BUS_INSTANCE[] = L"ROOT\\TVXTESTBUS\\0000";
const wchar_t BUS_SERVICE[] = L"USBHUB3";
const wchar_t FILTER_SERVICE[] = L"Tarvex";

std::wstring ExeDir() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L"\\/") + 1);
}

std::wstring DriversDir() {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\drivers\\";
}

SC_HANDLE OpenService(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        return nullptr;
    }
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    CloseServiceHandle(manager);
    return service;
}

DWORD ServiceState(const wchar_t* name) {
    SC_HANDLE service = OpenService(name);
    if (!service) {
        return 0;
    }
    SERVICE_STATUS status = {};
    QueryServiceStatus(service, &status);
    CloseServiceHandle(service);
    return status.dwCurrentState;
}

// Stops and deletes a service; true when it is gone (or was never there).
bool RemoveService(const wchar_t* name) {
    SC_HANDLE service = OpenService(name);
    if (!service) {
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    }
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        WaitFor([&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED; });
    }
    bool deleted = DeleteService(service) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    CloseServiceHandle(service);
    return deleted;
}

// Removes the device nodes of one enumerator whose instance IDs contain marker.
int RemoveDevices(const wchar_t* enumerator, const std::wstring& marker) {
    int removed = 0;
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, enumerator, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        return 0;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        wchar_t id[200];
        if (SetupDiGetDeviceInstanceIdW(set, &device, id, 200, nullptr) &&
            std::wstring(id).find(marker) != std::wstring::npos &&
            SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
            ++removed;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return removed;
}

// The staged copies of the two INFs in the INF folder, found by the texts only they carry (Windows
// names them oem<n>.inf; Wine 8 keeps the original names). Returns how many were uninstalled.
int UninstallStagedInfs() {
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring folder = std::wstring(windows) + L"\\inf\\";
    std::vector<std::wstring> staged;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    do {
        std::string text = ReadAll(folder + found.cFileName);
        if (text.find("Tarvex test Apple USB device") != std::string::npos ||
            text.find("Tarvex test USB bus") != std::string::npos) {
            staged.push_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);

    int uninstalled = 0;
    for (const std::wstring& name : staged) {
        if (SetupUninstallOEMInfW(name.c_str(), SUOI_FORCEDELETE, nullptr)) {
            ++uninstalled;
            // Wine's SetupUninstallOEMInf leaves the precompiled copy behind; Windows removes it.
            DeleteFileW((folder + name.substr(0, name.size() - 4) + L".pnf").c_str());
        }
    }
    return uninstalled;
}

// Windows always has the key of the USB device setup class; a fresh Wine prefix gets it from the
// child's installation. Once its devices are gone it is empty, and goes too.
const wchar_t USB_DEVICE_CLASS_KEY[] =
    L"System\\CurrentControlSet\\Control\\Class\\{88BAE032-5A81-49F0-BC3D-A4FF138216D6}";

// True when the key is gone (or was never there); a key still holding subkeys stays.
bool RemoveEmptyClassKey(const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return true;
    }
    DWORD subkeys = 0;
    LONG queried = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return queried == ERROR_SUCCESS && subkeys == 0 && RegDeleteKeyW(HKEY_LOCAL_MACHINE, path) == ERROR_SUCCESS;
}

struct Cleanup {
    int busDevices = 0;
    int childDevices = 0;
    bool busServiceGone = false;
    bool filterServiceGone = false;
    DWORD filterStateBeforeDelete = 0;
    bool busImageDeleted = false;
    bool filterImageDeleted = false;
    int infsUninstalled = 0;
    bool classKeyGone = false;
};

// Takes out everything the suite adds to the prefix, in the order Windows would: the devices,
// then the services, then the files and the staged INF.
Cleanup RemoveEverything() {
    Cleanup done;
    done.busDevices = RemoveDevices(L"ROOT", L"TVXTESTBUS");
    // The bus keeps the debug text only while it is loaded.
    CollectDebugText();
    done.childDevices = RemoveDevices(L"USB", L"\\TVXTEST");
    done.busServiceGone = RemoveService(BUS_SERVICE);
    done.filterStateBeforeDelete = ServiceState(FILTER_SERVICE);
    done.filterServiceGone = RemoveService(FILTER_SERVICE);
    done.busImageDeleted = DeleteFileW((DriversDir() + L"tvxtestbus.sys").c_str()) != FALSE;
    done.filterImageDeleted = DeleteFileW((DriversDir() + L"Tarvex.sys").c_str()) != FALSE;
    done.infsUninstalled = UninstallStagedInfs();
    done.classKeyGone = RemoveEmptyClassKey(USB_DEVICE_CLASS_KEY);
    return done;
}

}  // namespace

void WineKernel::SetUpTestSuite() {
    RemoveEverything();
    ready = Install();
    if (!ready) {
        ADD_FAILURE() << "installing the test bus failed: " << failure << "\n" << Diagnostics();
    }
}

void WineKernel::TearDownTestSuite() {
    for (ULONG slot : {apple, other, secondApple}) {
        TESTBUS_CHILD child = {};
        if (slot != NONE && Child(slot, child) && child.present) {
            BusControl(IOCTL_TESTBUS_UNPLUG, &slot, sizeof(slot), nullptr, 0);
            EXPECT_TRUE(WaitFor([&] { return Child(slot, child) && child.deleted; }))
                << "child " << slot << " was not removed\n"
                << Diagnostics();
        }
    }
    CollectDebugText();
    Cleanup done = RemoveEverything();
    EXPECT_EQ(ready ? 1 : 0, done.busDevices) << "the bus device node";
    EXPECT_EQ(plugged, done.childDevices) << "device nodes of the children";
    EXPECT_TRUE(done.busServiceGone);
    EXPECT_TRUE(done.filterServiceGone);
    // The bus unloads the filter it loaded when the bus itself is stopped.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), done.filterStateBeforeDelete);
    EXPECT_EQ(ready, done.busImageDeleted) << "tvxtestbus.sys left in the drivers folder";
    EXPECT_EQ(ready, done.filterImageDeleted) << "Tarvex.sys left in the drivers folder";
    EXPECT_EQ(ready ? 2 : 0, done.infsUninstalled) << "the staged testbus.inf and testchild.inf";
    EXPECT_NE(0u, OpenError(0)) << "\\\\.\\TVXIPC0 outlived the cleanup";
    EXPECT_TRUE(done.classKeyGone) << "the USB device class key the installation added";
    // The bus records the filter's RtlAssert calls in the debug text, up to the bus's removal.
    EXPECT_EQ(std::string::npos, debugText.find("*** Assertion failed")) << "the filter found an invariant broken";
    printf("--- debug output of the bus and the filter during the run ---\n%s--- end of debug output ---\n",
           debugText.c_str());
}

void WineKernel::SetUp() {
    if (!ready) {
        GTEST_FAIL() << "the test bus is not installed";
    }
    if (broken) {
        GTEST_FAIL() << "not run: an earlier step left the bus or its children unusable";
    }
}

bool WineKernel::Install() {
    std::wstring filterImage = DriversDir() + L"Tarvex.sys";
    if (!CopyFileW((DistDir() + L"Tarvex.sys").c_str(), filterImage.c_str(), FALSE)) {
        failure = "copying Tarvex.sys from " + Narrow(DistDir()) + ": error " + std::to_string(GetLastError());
        return false;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager
                            ? CreateServiceW(manager, FILTER_SERVICE, L"Tarvex USB charging filter", SERVICE_ALL_ACCESS,
                                             SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                             filterImage.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)
                            : nullptr;
    if (!service) {
        failure = "creating the Tarvex service: error " + std::to_string(GetLastError());
        if (manager) {
            CloseServiceHandle(manager);
        }
        return false;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    // Wine installs a child's driver only from INFs already in the INF folder.
    std::wstring childInf = ExeDir() + L"testchild.inf";
    if (!SetupCopyOEMInfW(childInf.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
        failure = "staging testchild.inf: error " + std::to_string(GetLastError());
        return false;
    }

    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    static const wchar_t hardwareId[] = TESTBUS_HARDWARE_ID L"\0";
    GUID noClass = {};
    bool ok = set != INVALID_HANDLE_VALUE &&
              SetupDiCreateDeviceInfoW(set, BUS_INSTANCE, &noClass, nullptr, nullptr, 0, &device) &&
              SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(hardwareId), sizeof(hardwareId)) &&
              SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    DWORD error = GetLastError();
    if (set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set);
    }
    if (!ok) {
        failure = "registering " + Narrow(BUS_INSTANCE) + ": error " + std::to_string(error);
        return false;
    }
    BOOL reboot = FALSE;
    std::wstring busInf = ExeDir() + L"testbus.inf";
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, TESTBUS_HARDWARE_ID, busInf.c_str(), INSTALLFLAG_FORCE, &reboot)) {
        failure = "installing testbus.inf: error " + std::to_string(GetLastError());
        return false;
    }
    TESTBUS_STATUS status = {};
    if (!WaitFor([&] { return BusStatus(status) && status.busStarted; })) {
        failure = "the bus device did not start";
        return false;
    }
    return true;
}

ULONG WineKernel::Plug(USHORT idVendor, USHORT idProduct, ULONG port) {
    TESTBUS_PLUG plug = {idVendor, idProduct, port};
    ULONG slot = NONE;
    if (!BusControl(IOCTL_TESTBUS_PLUG, &plug, sizeof(plug), &slot, sizeof(slot))) {
        ADD_FAILURE() << "plugging failed: error " << GetLastError() << "\n" << Diagnostics();
        broken = true;
        return NONE;
    }
    ++plugged;
    TESTBUS_CHILD child = {};
    if (!WaitFor([&] { return Child(slot, child) && child.started; })) {
        ADD_FAILURE() << "child " << slot << " was not started\n" << Diagnostics();
        broken = true;
        return NONE;
    }
    return slot;
}

bool WineKernel::ready;
bool WineKernel::broken;
int WineKernel::plugged;
std::string WineKernel::failure;
ULONG WineKernel::apple = WineKernel::NONE;
ULONG WineKernel::other = WineKernel::NONE;
ULONG WineKernel::secondApple = WineKernel::NONE;

}  // namespace winekernel
