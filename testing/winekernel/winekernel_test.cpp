// The shipped Tarvex.sys on Wine's kernel emulation, over the test USB bus (testbus.cpp), driven
// with the shipped tvxctl.exe.
//
// The suite installs the bus as a root-enumerated device (its AddDevice loads the filter above
// itself, since Wine's Plug and Play manager ignores UpperFilters), plugs child USB devices into
// it and checks what the filter does with them; its tests run in order, each on the devices the
// ones before it left. Everything it adds to the prefix is removed again at the end. The filter's
// DbgPrint text, recorded by the bus, is printed at the end of the run.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>
#include <newdev.h>
#include <setupapi.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "testbus.h"
#include "tvxipc.h"

namespace {

using Packet = std::array<UCHAR, 8>;

const Packet DESCRIPTOR_FETCH = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
const Packet CHARGING_ON = {0x40, 0x40, 0x00, 0x64, 0x00, 0x64, 0x00, 0x00};
const Packet CHARGING_OFF = {0x40, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
// What the bus sends down a child's stack for TESTBUS_URB_VENDOR_CONTROL.
const Packet FOREIGN_CHARGING_REQUEST = {0x40, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

const wchar_t BUS_INSTANCE[] = L"ROOT\\TVXTESTBUS\\0000";
const wchar_t BUS_SERVICE[] = L"USBHUB3";
const wchar_t FILTER_SERVICE[] = L"Tarvex";
const DWORD ERROR_STATUS_INVALID_ADDRESS = 59;  // what STATUS_INVALID_ADDRESS becomes for a Win32 caller
const LONG NT_STATUS_INVALID_ADDRESS = static_cast<LONG>(0xC0000141);
const DWORD WAIT_MS = 15000;

std::wstring ExeDir()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L"\\/") + 1);
}

// A Linux path as Wine's drive Z: shows it.
std::wstring DosPathOf(const char* unixPath)
{
    std::wstring s = L"Z:";
    for (const char* p = unixPath; *p; ++p) {
        s += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    }
    return s;
}

std::wstring DistDir()
{
    return DosPathOf(TVX_DIST_DIR) + L"\\";
}

bool HostRuns32BitCode()
{
    char value[8] = {};
    return GetEnvironmentVariableA("TVX_HOST32", value, sizeof(value)) == 0 || strcmp(value, "no") != 0;
}

// The shipped tvxctl.exe is 32-bit; where this host cannot run 32-bit code, its 64-bit twin built
// from the same sources stands in.
std::wstring TvxctlProgram()
{
    return HostRuns32BitCode() ? DistDir() + L"tvxctl.exe" : DosPathOf(TVX_TWIN_DIST_DIR) + L"\\tvxctl.exe";
}

#define SKIP_WITHOUT_TVXCTL()                                                                          \
    if (GetFileAttributesW(TvxctlProgram().c_str()) == INVALID_FILE_ATTRIBUTES)                       \
        GTEST_SKIP() << "no runnable tvxctl.exe on this host: " << Narrow(TvxctlProgram()) << " is not built"

std::wstring DriversDir()
{
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\drivers\\";
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string Hex(const Packet& packet)
{
    char text[32];
    snprintf(text, sizeof(text), "%02X %02X %02X %02X %02X %02X %02X %02X", packet[0], packet[1], packet[2], packet[3],
             packet[4], packet[5], packet[6], packet[7]);
    return text;
}

std::vector<std::string> Hex(const std::vector<Packet>& packets)
{
    std::vector<std::string> out;
    for (const Packet& p : packets) {
        out.push_back(Hex(p));
    }
    return out;
}

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = WAIT_MS)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        Sleep(50);
    }
    return true;
}

// Everything the bus recorded of the drivers' debug output during this run.
std::string debugText;

// Set once the bus stopped answering: every later call fails at once instead of waiting again.
bool busHung;

// The bus's control device, opened for each call and given BUS_CALL_MS to answer: a bus that went
// away or hangs (with it the one Wine process its drivers share) shows as a failed call.
bool BusControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned = nullptr)
{
    const DWORD BUS_CALL_MS = 10000;
    if (busHung) {
        return false;
    }
    HANDLE bus = CreateFileW(TESTBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (bus == INVALID_HANDLE_VALUE) {
        return false;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL ok = DeviceIoControl(bus, code, const_cast<void*>(in), inSize, out, outSize, nullptr, &overlapped);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, BUS_CALL_MS) == WAIT_OBJECT_0) {
            ok = GetOverlappedResult(bus, &overlapped, &got, FALSE);
        } else {
            CancelIoEx(bus, &overlapped);
            busHung = true;
            ok = FALSE;
        }
    }
    CloseHandle(overlapped.hEvent);
    CloseHandle(bus);
    if (returned) {
        *returned = got;
    }
    return ok != FALSE;
}

void CollectDebugText()
{
    std::vector<char> chunk(64 * 1024);
    DWORD got = 0;
    while (BusControl(IOCTL_TESTBUS_DEBUG_TEXT, nullptr, 0, chunk.data(), static_cast<DWORD>(chunk.size()), &got) &&
           got) {
        debugText.append(chunk.data(), got);
    }
}

// What a failure needs to be understood: the drivers' own words, and the end of the Wine
// session's log, where winedevice.exe writes when it crashes.
std::string Diagnostics()
{
    CollectDebugText();
    std::string text = "--- debug output of the bus and the filter so far ---\n" + debugText;
    if (busHung) {
        text += "\n[the bus stopped answering]\n";
    }
    char prefix[MAX_PATH];
    if (GetEnvironmentVariableA("WINEPREFIX", prefix, MAX_PATH)) {
        std::wstring log = DosPathOf(prefix) + L".session.log";
        HANDLE file = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER size = {};
            GetFileSizeEx(file, &size);
            LONGLONG from = size.QuadPart > 4000 ? size.QuadPart - 4000 : 0;
            LARGE_INTEGER at = {};
            at.QuadPart = from;
            SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
            std::string tail(4000, '\0');
            DWORD got = 0;
            ReadFile(file, &tail[0], static_cast<DWORD>(tail.size()), &got, nullptr);
            tail.resize(got);
            CloseHandle(file);
            text += "\n--- end of the Wine session log ---\n" + tail;
        }
    }
    return text;
}

bool BusStatus(TESTBUS_STATUS& status)
{
    return BusControl(IOCTL_TESTBUS_STATUS, nullptr, 0, &status, sizeof(status));
}

bool Child(ULONG slot, TESTBUS_CHILD& child)
{
    return BusControl(IOCTL_TESTBUS_CHILD, &slot, sizeof(slot), &child, sizeof(child));
}

std::vector<Packet> PacketsOf(const TESTBUS_CHILD& child, LONG from = 0)
{
    std::vector<Packet> out;
    for (LONG i = from; i < child.packetCount && i < TESTBUS_MAX_PACKETS; ++i) {
        Packet p;
        std::copy(child.packets[i], child.packets[i] + 8, p.begin());
        out.push_back(p);
    }
    return out;
}

// The setup packets a child receives while action runs.
std::vector<Packet> PacketsDuring(ULONG slot, const std::function<void()>& action)
{
    TESTBUS_CHILD before = {};
    TESTBUS_CHILD after = {};
    EXPECT_TRUE(Child(slot, before)) << Diagnostics();
    action();
    EXPECT_TRUE(Child(slot, after)) << Diagnostics();
    return PacketsOf(after, before.packetCount);
}

// The filter's re-send may come from a work item, after the request that triggered it has
// returned: waits up to a second for `count` packets to reach the child.
std::vector<Packet> PacketsUntil(ULONG slot, LONG count, const std::function<void()>& action)
{
    TESTBUS_CHILD before = {};
    TESTBUS_CHILD after = {};
    EXPECT_TRUE(Child(slot, before)) << Diagnostics();
    action();
    WaitFor([&] { return Child(slot, after) && after.packetCount - before.packetCount >= count; }, 1000);
    EXPECT_TRUE(Child(slot, after)) << Diagnostics();
    return PacketsOf(after, before.packetCount);
}

// Opening \\.\TVXIPC<n>: 0 when it opens, else the Win32 error.
DWORD OpenError(int n)
{
    wchar_t path[32];
    swprintf(path, 32, TVXIPC_USER_PATH_FORMAT_W, n);
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    CloseHandle(h);
    return 0;
}

struct ToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::wstring& path)
{
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) {
        text.append(buffer, got);
    }
    CloseHandle(file);
    return text;
}

// Runs tvxctl.exe with its output in files, so a child of its own can hold no pipe.
ToolRun Tvxctl(const std::wstring& args)
{
    ToolRun run;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring outPath = std::wstring(temp) + L"tvxctl_wk_out.txt";
    std::wstring errPath = std::wstring(temp) + L"tvxctl_wk_err.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    std::wstring command = L"\"" + TvxctlProgram() + L"\" " + args;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(pi.hProcess, &run.exitCode);
        } else {
            TerminateProcess(pi.hProcess, 1);
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    run.out = ReadAll(outPath);
    run.err = ReadAll(errPath);
    DeleteFileW(outPath.c_str());
    DeleteFileW(errPath.c_str());
    return run;
}

std::string Describe(const ToolRun& run)
{
    return "exit code " + std::to_string(run.exitCode) + "\nstdout: " + run.out + "\nstderr: " + run.err;
}

// Sends an order straight to \\.\TVXIPC<n>, as tvxctl does, and reports how it failed.
bool Order(int n, DWORD code, const std::wstring& location, DWORD& error, LONG& ntStatus)
{
    wchar_t path[32];
    swprintf(path, 32, TVXIPC_USER_PATH_FORMAT_W, n);
    HANDLE device = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    BYTE answer = 0;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, code, const_cast<wchar_t*>(location.c_str()),
                              static_cast<DWORD>((location.size() + 1) * sizeof(wchar_t)), &answer, 1, &returned,
                              nullptr);
    error = ok ? 0 : GetLastError();
    using GetLastNtStatus = LONG(WINAPI*)();
    auto lastNtStatus = reinterpret_cast<GetLastNtStatus>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus")));
    ntStatus = lastNtStatus ? lastNtStatus() : 0;
    CloseHandle(device);
    return ok != FALSE;
}

SC_HANDLE OpenService(const wchar_t* name)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        return nullptr;
    }
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    CloseServiceHandle(manager);
    return service;
}

DWORD ServiceState(const wchar_t* name)
{
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
bool RemoveService(const wchar_t* name)
{
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
int RemoveDevices(const wchar_t* enumerator, const std::wstring& marker)
{
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
int UninstallStagedInfs()
{
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
bool RemoveEmptyClassKey(const wchar_t* path)
{
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
Cleanup RemoveEverything()
{
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

class WineKernel : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        RemoveEverything();
        ready = Install();
        if (!ready) {
            ADD_FAILURE() << "installing the test bus failed: " << failure << "\n" << Diagnostics();
        }
    }

    static void TearDownTestSuite()
    {
        for (ULONG slot : {apple, other, secondApple}) {
            TESTBUS_CHILD child = {};
            if (slot != NONE && Child(slot, child) && child.present) {
                BusControl(IOCTL_TESTBUS_UNPLUG, &slot, sizeof(slot), nullptr, 0);
                EXPECT_TRUE(WaitFor([&] { return Child(slot, child) && child.deleted; }))
                    << "child " << slot << " was not removed\n" << Diagnostics();
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

    void SetUp() override
    {
        if (!ready) {
            GTEST_FAIL() << "the test bus is not installed";
        }
        if (broken) {
            GTEST_FAIL() << "not run: an earlier step left the bus or its children unusable";
        }
    }

    static bool Install()
    {
        std::wstring filterImage = DriversDir() + L"Tarvex.sys";
        if (!CopyFileW((DistDir() + L"Tarvex.sys").c_str(), filterImage.c_str(), FALSE)) {
            failure = "copying Tarvex.sys from " + Narrow(DistDir()) + ": error " + std::to_string(GetLastError());
            return false;
        }
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = manager ? CreateServiceW(manager, FILTER_SERVICE, L"Tarvex USB charging filter",
                                                     SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                                     SERVICE_ERROR_NORMAL, filterImage.c_str(), nullptr, nullptr,
                                                     nullptr, nullptr, nullptr)
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
        if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, TESTBUS_HARDWARE_ID, busInf.c_str(), INSTALLFLAG_FORCE,
                                                &reboot)) {
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

    // Plugs a child and waits until Plug and Play has started it.
    static ULONG Plug(USHORT idVendor, USHORT idProduct, ULONG port)
    {
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

    static constexpr ULONG NONE = 0xFFFFFFFF;
    static bool ready;
    static bool broken;
    static int plugged;
    static std::string failure;
    static ULONG apple;
    static ULONG other;
    static ULONG secondApple;
};

bool WineKernel::ready;
bool WineKernel::broken;
int WineKernel::plugged;
std::string WineKernel::failure;
ULONG WineKernel::apple = WineKernel::NONE;
ULONG WineKernel::other = WineKernel::NONE;
ULONG WineKernel::secondApple = WineKernel::NONE;

const std::wstring APPLE_LOCATION = L"Port_#0003.Hub_#0001";
const std::wstring OTHER_LOCATION = L"Port_#0004.Hub_#0001";
const std::wstring SECOND_APPLE_LOCATION = L"Port_#0005.Hub_#0001";

TEST_F(WineKernel, TheFilterLoadsAndSitsRightAboveTheBusFdo)
{
    TESTBUS_STATUS status = {};
    ASSERT_TRUE(BusStatus(status)) << Diagnostics();
    EXPECT_EQ(0, status.filterLoadStatus) << std::hex << status.filterLoadStatus;
    EXPECT_EQ(4, status.importsAdapted)
        << "IoGetDeviceProperty, DbgPrint, RtlAssert and IoValidateDeviceIoControlAccess";
    EXPECT_EQ(0, status.filterAddStatus) << std::hex << status.filterAddStatus;
    EXPECT_STREQ(L"\\Driver\\Tarvex", status.aboveFdo);
    EXPECT_STREQ(L"\\Driver\\Tarvex", status.stackTop);
    CollectDebugText();
    EXPECT_NE(std::string::npos, debugText.find("OrvantaDriver> VA_AddDevice\n"
                                                "OrvantaDriver> VA_AddDevice, 1st IoCreateDevice succeed\n"))
        << Diagnostics();
}

TEST_F(WineKernel, AnAppleChildGetsAChildFilterAndTvxipc0ANonAppleChildGetsNone)
{
    other = Plug(0x12D1, 0x1001, 4);
    apple = Plug(0x05AC, 0x12A8, 3);
    ASSERT_NE(NONE, other);
    ASSERT_NE(NONE, apple);
    // The control device is made after the start below the filter has completed.
    ASSERT_TRUE(WaitFor([] { return OpenError(0) == 0; })) << "no \\\\.\\TVXIPC0\n" << Diagnostics();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(1)) << "a second control device exists";

    for (ULONG slot : {apple, other}) {
        TESTBUS_CHILD child = {};
        ASSERT_TRUE(Child(slot, child));
        SCOPED_TRACE(Narrow(child.instanceId));
        EXPECT_STREQ(L"\\Driver\\Tarvex", child.aboveDriver) << "no child filter right above the PDO";
        EXPECT_EQ(std::vector<std::string>{Hex(DESCRIPTOR_FETCH)}, Hex(PacketsOf(child)));
    }

    // TVXIPC0 is the Apple child's: it answers to that location and refuses the other one's.
    DWORD error = 0;
    LONG ntStatus = 0;
    EXPECT_TRUE(Order(0, IOCTL_TVXIPC_URB_WATCH_QUERY, APPLE_LOCATION, error, ntStatus)) << "error " << error;
    EXPECT_FALSE(Order(0, IOCTL_TVXIPC_URB_WATCH_QUERY, OTHER_LOCATION, error, ntStatus));

    // The client lists the Apple child with the location the filter knows it by.
    SKIP_WITHOUT_TVXCTL();
    ToolRun list = Tvxctl(L"list");
    EXPECT_EQ(0u, list.exitCode) << Describe(list);
    EXPECT_EQ("LOCATION\tCONTROL DEVICE\tHARDWARE ID\tINSTANCE ID\r\n"
              "Port_#0003.Hub_#0001\tTVXIPC0\tUSB\\VID_05AC&PID_12A8&REV_0100\tUSB\\VID_05AC&PID_12A8\\TVXTEST2\r\n",
              list.out)
        << Describe(list);
}

// Known Wine gaps the bus adapts (see testbus.cpp). These checks fail once Wine behaves as
// Windows does, which says the adaptation can go.
TEST_F(WineKernel, KnownWineGapsTheBusAdaptsAreStillThere)
{
    TESTBUS_STATUS status = {};
    ASSERT_TRUE(BusStatus(status)) << Diagnostics();
    EXPECT_GT(status.wineUpperCaseGuids, 0)
        << "known gap: Wine reports class GUIDs in upper case where Windows uses lower case";
    EXPECT_GT(status.wineWin32Statuses, 0)
        << "known gap: Wine's IoGetDeviceProperty returns Win32 error numbers as statuses";
    TESTBUS_CHILD child = {};
    ASSERT_TRUE(Child(apple, child));
    EXPECT_EQ(13, child.wineLocationStatus)
        << "known gap: Wine never writes LocationInformation and answers a query for it with 13";
}

TEST_F(WineKernel, ChargingOnAndOffReachTheAppleChildExactlyOnce)
{
    SKIP_WITHOUT_TVXCTL();
    std::vector<Packet> toOther;
    auto sent = PacketsDuring(apple, [&] {
        toOther = PacketsDuring(other, [] {
            ToolRun run = Tvxctl(L"on " + APPLE_LOCATION);
            EXPECT_EQ(0u, run.exitCode) << Describe(run);
            EXPECT_EQ("Port_#0003.Hub_#0001: charging on (TVXIPC0)\r\n", run.out) << Describe(run);
        });
    });
    EXPECT_EQ(std::vector<std::string>{Hex(CHARGING_ON)}, Hex(sent)) << Diagnostics();
    EXPECT_EQ(std::vector<std::string>{}, Hex(toOther));

    sent = PacketsDuring(apple, [] {
        ToolRun run = Tvxctl(L"off " + APPLE_LOCATION);
        EXPECT_EQ(0u, run.exitCode) << Describe(run);
        EXPECT_EQ("Port_#0003.Hub_#0001: charging off (TVXIPC0)\r\n", run.out) << Describe(run);
    });
    EXPECT_EQ(std::vector<std::string>{Hex(CHARGING_OFF)}, Hex(sent)) << Diagnostics();
}

TEST_F(WineKernel, AWrongLocationFailsWithTvxctlsErrorAndSendsNothing)
{
    SKIP_WITHOUT_TVXCTL();
    std::vector<Packet> toOther;
    auto sent = PacketsDuring(apple, [&] {
        toOther = PacketsDuring(other, [] {
            ToolRun run = Tvxctl(L"on Port_#0009.Hub_#0001");
            EXPECT_EQ(1u, run.exitCode) << Describe(run);
            EXPECT_EQ("", run.out);
            EXPECT_EQ("tvxctl: Port_#0009.Hub_#0001: no such device: no control device serves this location\r\n",
                      run.err);
        });
    });
    EXPECT_EQ(std::vector<std::string>{}, Hex(sent));
    EXPECT_EQ(std::vector<std::string>{}, Hex(toOther));

    // The refusal a Win32 caller sees, and the status behind it.
    DWORD error = 0;
    LONG ntStatus = 0;
    sent = PacketsDuring(apple, [&] {
        EXPECT_FALSE(Order(0, IOCTL_TVXIPC_CHARGING_ON, L"Port_#0009.Hub_#0001", error, ntStatus));
    });
    EXPECT_EQ(ERROR_STATUS_INVALID_ADDRESS, error);
    EXPECT_EQ(NT_STATUS_INVALID_ADDRESS, ntStatus) << std::hex << ntStatus;
    EXPECT_EQ(std::vector<std::string>{}, Hex(sent));
}

TEST_F(WineKernel, WatchQueryAnswersOneAfterABulkTransferThroughTheChildsStack)
{
    SKIP_WITHOUT_TVXCTL();
    ToolRun run = Tvxctl(L"watch start " + APPLE_LOCATION);
    EXPECT_EQ(0u, run.exitCode) << Describe(run);
    EXPECT_EQ("Port_#0003.Hub_#0001: watch started (TVXIPC0)\r\n", run.out);
    run = Tvxctl(L"watch query " + APPLE_LOCATION);
    EXPECT_EQ("Port_#0003.Hub_#0001: no data transferred (TVXIPC0)\r\n", run.out) << Describe(run);

    run = Tvxctl(L"watch start " + APPLE_LOCATION);
    EXPECT_EQ(0u, run.exitCode) << Describe(run);
    TESTBUS_SEND send = {apple, TESTBUS_URB_BULK_OUT};
    LONG answer = -1;
    ASSERT_TRUE(BusControl(IOCTL_TESTBUS_SEND_URB, &send, sizeof(send), &answer, sizeof(answer))) << Diagnostics();
    EXPECT_EQ(0, answer) << std::hex << answer;
    TESTBUS_CHILD child = {};
    ASSERT_TRUE(Child(apple, child));
    EXPECT_EQ(1, child.bulkTransfers) << "the transfer did not reach the PDO";

    run = Tvxctl(L"watch query " + APPLE_LOCATION);
    EXPECT_EQ(0u, run.exitCode) << Describe(run);
    EXPECT_EQ("Port_#0003.Hub_#0001: data transferred since the watch started (TVXIPC0)\r\n", run.out)
        << Describe(run) << Diagnostics();
}

TEST_F(WineKernel, AForeignChargingRequestIsFollowedByOneOnFormOnlyWhileChargingIsOn)
{
    SKIP_WITHOUT_TVXCTL();
    TESTBUS_SEND send = {apple, TESTBUS_URB_VENDOR_CONTROL};
    LONG answer = -1;
    ASSERT_EQ(0u, Tvxctl(L"on " + APPLE_LOCATION).exitCode);
    auto sent = PacketsUntil(apple, 2, [&] {
        EXPECT_TRUE(BusControl(IOCTL_TESTBUS_SEND_URB, &send, sizeof(send), &answer, sizeof(answer)));
    });
    EXPECT_EQ(0, answer);
    EXPECT_EQ((std::vector<std::string>{Hex(FOREIGN_CHARGING_REQUEST), Hex(CHARGING_ON)}), Hex(sent))
        << Diagnostics();

    ASSERT_EQ(0u, Tvxctl(L"off " + APPLE_LOCATION).exitCode);
    sent = PacketsUntil(apple, 2, [&] {
        EXPECT_TRUE(BusControl(IOCTL_TESTBUS_SEND_URB, &send, sizeof(send), &answer, sizeof(answer)));
    });
    EXPECT_EQ(std::vector<std::string>{Hex(FOREIGN_CHARGING_REQUEST)}, Hex(sent)) << Diagnostics();
}

TEST_F(WineKernel, UnplugRemovesTvxipc0AndAnotherAppleChildGetsItBack)
{
    // A handle that outlives the device gets refusals: on Windows the driver answers
    // STATUS_DELETE_PENDING, under Wine the I/O manager refuses; a Win32 caller sees error 5 either way.
    HANDLE stale = CreateFileW(L"\\\\.\\TVXIPC0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, stale);

    ASSERT_TRUE(BusControl(IOCTL_TESTBUS_UNPLUG, &apple, sizeof(apple), nullptr, 0));
    TESTBUS_CHILD child = {};
    EXPECT_TRUE(WaitFor([&] { return Child(apple, child) && child.deleted; })) << Diagnostics();
    EXPECT_TRUE(WaitFor([] { return OpenError(0) == ERROR_FILE_NOT_FOUND; }))
        << "\\\\.\\TVXIPC0 still opens: error " << OpenError(0) << "\n" << Diagnostics();

    BYTE answer = 0;
    DWORD returned = 0;
    BOOL answered = DeviceIoControl(stale, IOCTL_TVXIPC_URB_WATCH_QUERY, const_cast<wchar_t*>(APPLE_LOCATION.c_str()),
                                    static_cast<DWORD>((APPLE_LOCATION.size() + 1) * sizeof(wchar_t)), &answer, 1,
                                    &returned, nullptr);
    DWORD staleError = GetLastError();
    CloseHandle(stale);
    EXPECT_FALSE(answered) << "a removed device answered";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), staleError);
    TESTBUS_STATUS status = {};
    ASSERT_TRUE(BusStatus(status)) << "the drivers' process did not survive it\n" << Diagnostics();

    SKIP_WITHOUT_TVXCTL();
    ToolRun run = Tvxctl(L"on " + APPLE_LOCATION);
    EXPECT_EQ(1u, run.exitCode) << Describe(run);
    EXPECT_EQ("tvxctl: Port_#0003.Hub_#0001: no control device: the driver serves no device here "
              "(is it installed?)\r\n",
              run.err);

    secondApple = Plug(0x05AC, 0x12AB, 5);
    ASSERT_NE(NONE, secondApple);
    ASSERT_TRUE(WaitFor([] { return OpenError(0) == 0; })) << "no \\\\.\\TVXIPC0 again\n" << Diagnostics();
    auto sent = PacketsDuring(secondApple, [] {
        ToolRun on = Tvxctl(L"on " + SECOND_APPLE_LOCATION);
        EXPECT_EQ(0u, on.exitCode) << Describe(on);
        EXPECT_EQ("Port_#0005.Hub_#0001: charging on (TVXIPC0)\r\n", on.out) << Describe(on);
    });
    EXPECT_EQ(std::vector<std::string>{Hex(CHARGING_ON)}, Hex(sent)) << Diagnostics();
}

}  // namespace
