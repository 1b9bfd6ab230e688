// What install, status and uninstall make of a machine they did not leave so: a driver path in
// another form, a removal the restart finishes, Windows started from USB, a filter Windows refused,
// a folder not theirs, other entries of the class filter, a limited token, a refused write.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <functional>
#include <string>
#include <vector>

#include "setup_fixture.h"

namespace {

using namespace setup_fixture;

// Windows' service manager hands a kernel driver's path back in NT form (\??\C:\...), as sc qc
// shows for a driver installed by CreateService; Wine keeps the form given, so the test stores
// that form itself through ChangeServiceConfig.
TEST_F(TvxSetup, ADriverPathInNtFormIsThisDriverForStatusRepairAndUninstall) {
    ASSERT_INSTALLS(L"install \"" + std::wstring(FOLDER) + L"\"");
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring ntForm = L"\\??\\" + std::wstring(windows) + L"\\system32\\drivers\\Tarvex.sys";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"Tarvex", SERVICE_CHANGE_CONFIG);
    ASSERT_TRUE(service && ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                ntForm.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    ASSERT_EQ(ntForm, QueryService(L"Tarvex").binary);

    Outcome status = RunSetup(L"status");
    EXPECT_EQ(0u, status.exitCode) << status.out;
    EXPECT_TRUE(Has(status.LastLine(), "Installed, version ")) << status.out;
    Outcome repair = RunSetup(L"install \"" + std::wstring(FOLDER) + L"\"");
    EXPECT_EQ(0u, repair.exitCode) << repair.out;
    EXPECT_TRUE(Has(repair.out, "[ok]     create the kernel service Tarvex: already there")) << repair.out;
    EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter", L"Tarvex"}), UpperFilters());
    Outcome uninstall = RunSetup(L"uninstall");
    EXPECT_EQ(0u, uninstall.exitCode) << uninstall.out;
    EXPECT_FALSE(QueryService(L"Tarvex").exists);
    EXPECT_FALSE(Exists(DriverFile()));
}

// A removal a restart finishes: Windows keeps a loaded driver's service marked for deletion (and
// opening and reporting as before) until the restart, as DeleteService documents; Wine marks it
// while another handle holds it open, which the test does. Its file scheduled for deletion at the
// restart (MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT) is the other half.
TEST_F(TvxSetup, AnInstallOverARemovalThatTheRestartFinishesIsRefusedWithTheRestartMessage) {
    ASSERT_INSTALLS(L"install \"" + std::wstring(FOLDER) + L"\"");
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE held = OpenServiceW(manager, L"Tarvex", SERVICE_QUERY_STATUS);
    ASSERT_TRUE(held);
    Outcome uninstall = RunSetup(L"uninstall");
    EXPECT_EQ(3010u, uninstall.exitCode) << uninstall.out;
    ASSERT_TRUE(MarkedForDeletion(L"Tarvex"));
    Outcome install = RunSetup(L"install \"" + std::wstring(FOLDER) + L"\"");
    EXPECT_EQ(1u, install.exitCode) << install.out;
    EXPECT_TRUE(Has(install.out, "marked for deletion")) << install.out;
    EXPECT_TRUE(Has(install.out, "Restart Windows first, then install again")) << install.out;
    EXPECT_TRUE(Has(install.LastLine(), "Not installed: nothing was changed.")) << install.out;
    EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter"}), UpperFilters());
    CloseServiceHandle(held);
    CloseServiceHandle(manager);
    for (int i = 0; i < 50 && QueryService(L"Tarvex").exists; ++i) Sleep(100);

    // The driver file left for the restart to delete.
    ASSERT_TRUE(CopyFileW((Dist() + L"\\Tarvex.sys").c_str(), DriverFile().c_str(), FALSE));
    ASSERT_TRUE(MoveFileExW(DriverFile().c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    Outcome again = RunSetup(L"install \"" + std::wstring(FOLDER) + L"\"");
    EXPECT_EQ(1u, again.exitCode) << again.out;
    EXPECT_TRUE(Has(again.out, "is deleted when Windows restarts")) << again.out;
    EXPECT_TRUE(Has(again.out, "Restart Windows first, then install again")) << again.out;
    EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter"}), UpperFilters());
    EXPECT_FALSE(QueryService(L"Tarvex").exists);
}

// A machine that starts Windows from USB would not start again with Tarvex as the USB class's filter.
// Wine's disks answer the storage query with their own bus, never USB: the environment variable
// TVXSETUP_WINE_SYSTEM_BUS, read only under Wine, plays the BusType of IOCTL_STORAGE_QUERY_PROPERTY
// (7, BusTypeUsb). Windows To Go's PortableOperatingSystem value is the registry's own.
TEST_F(TvxSetup, AMachineStartingWindowsFromUsbIsRefusedUntouchedAndStatusSaysWhy) {
    struct Case {
        const char* name;
        std::function<void()> arrange, restore;
    };
    const wchar_t control[] = L"SYSTEM\\CurrentControlSet\\Control";
    const Case cases[] = {
        {"the Windows volume's disk on a USB bus", [] { SetEnvironmentVariableW(L"TVXSETUP_WINE_SYSTEM_BUS", L"7"); },
         [] { SetEnvironmentVariableW(L"TVXSETUP_WINE_SYSTEM_BUS", nullptr); }},
        {"a portable installation",
         [&] { RegSetKeyValueW(HKEY_LOCAL_MACHINE, control, L"PortableOperatingSystem", REG_DWORD, "\1\0\0\0", 4); },
         [&] { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, control, L"PortableOperatingSystem"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        Outcome install = RunSetup(L"install \"" + std::wstring(FOLDER) + L"\"");
        Outcome status = RunSetup(L"status");
        c.restore();
        EXPECT_EQ(1u, install.exitCode) << install.out;
        EXPECT_TRUE(Has(install.out, "would not start (INACCESSIBLE_BOOT_DEVICE)")) << install.out;
        EXPECT_TRUE(Has(install.LastLine(), "Not installed: nothing was changed.")) << install.out;
        EXPECT_FALSE(Exists(FOLDER));
        EXPECT_FALSE(QueryService(L"Tarvex").exists);
        EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter"}), UpperFilters());
        EXPECT_EQ(1u, status.exitCode) << status.out;
        EXPECT_TRUE(Has(status.out, "(Tarvex must not be installed here)")) << status.out;
    }
    // Wine's own answer for its drive is not USB.
    Outcome status = RunSetup(L"status");
    EXPECT_TRUE(Has(status.out, "  Windows starts from: ")) << status.out;
    EXPECT_FALSE(Has(status.out, "must not be installed")) << status.out;
}

// Windows unloads a PnP filter once its last device is gone: a stopped driver over a healthy service
// and file is a healthy filter. One Windows refused at boot leaves the USB class's device nodes with
// a problem code (CM_Get_DevNode_Status); Wine has no failing device nodes, so the environment
// variable TVXSETUP_WINE_USB_DEVICES, read only under Wine, plays the class's devices and their codes.
TEST_F(TvxSetup, StatusTellsAHealthyFilterFromOneWindowsRefusedOrWhoseFileIsGone) {
    ASSERT_INSTALLS(L"install \"" + std::wstring(FOLDER) + L"\"");
    SetEnvironmentVariableW(L"TVXSETUP_WINE_USB_DEVICES",
                            L"USB\\ROOT_HUB30\\4&1a2b3c&0&0=39;USB\\VID_046D&PID_C52B\\5&2=31");
    Outcome refused = RunSetup(L"status");
    SetEnvironmentVariableW(L"TVXSETUP_WINE_USB_DEVICES",
                            L"USB\\ROOT_HUB30\\4&1a2b3c&0&0=0;USB\\VID_046D&PID_C52B\\5&2=0");
    Outcome healthy = RunSetup(L"status");
    SetEnvironmentVariableW(L"TVXSETUP_WINE_USB_DEVICES", nullptr);
    EXPECT_EQ(4u, refused.exitCode) << refused.out;
    EXPECT_TRUE(Has(refused.LastLine(),
                    "Registered, but Windows did not load it. USB class filter: Tarvex registered, "
                    "but Windows did not load it: 2 USB device(s) did not start, "
                    "USB\\ROOT_HUB30\\4&1a2b3c&0&0 with code 39"))
        << refused.out;
    EXPECT_TRUE(Has(refused.LastLine(), "Run \"tvxsetup uninstall\"")) << refused.out;
    EXPECT_EQ(0u, healthy.exitCode) << healthy.out;

    SetEnvironmentVariableW(L"TVXSETUP_WINE_SYSTEM_BUS", L"7");
    Outcome usb = RunSetup(L"status");
    SetEnvironmentVariableW(L"TVXSETUP_WINE_SYSTEM_BUS", nullptr);
    EXPECT_EQ(4u, usb.exitCode) << usb.out;
    EXPECT_TRUE(Has(usb.LastLine(), "Installed where it must not be: Windows starts from a disk on a USB bus"))
        << usb.out;

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"Tarvex", SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS state = {};
    ASSERT_TRUE(service && ControlService(service, SERVICE_CONTROL_STOP, &state)) << GetLastError();
    for (int i = 0; i < 100 && QueryServiceStatus(service, &state) && state.dwCurrentState != SERVICE_STOPPED; ++i)
        Sleep(100);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    Outcome status = RunSetup(L"status");
    EXPECT_EQ(0u, status.exitCode) << status.out;
    EXPECT_TRUE(Has(status.out, "kernel service Tarvex: stopped (driver not loaded)")) << status.out;
    EXPECT_TRUE(Has(status.LastLine(), "Installed, version ")) << status.out;
    // A file gone from under it is named.
    ASSERT_TRUE(DeleteFileW(DriverFile().c_str()));
    Outcome broken = RunSetup(L"status");
    EXPECT_EQ(4u, broken.exitCode) << broken.out;
    EXPECT_TRUE(Has(broken.LastLine(), "is missing; remove it")) << broken.out;
    SetUpperFilters({L"OtherFilter"});
}

// Only a new folder, or the one the install record names, is taken over; a refused folder gets
// nothing written into it, not even the log, and the log's place is on the last line. Wine keeps no
// file owners, so a folder owned by another account (refused on Windows for its owner, who is
// always granted READ_CONTROL and WRITE_DAC, as Windows' documentation of object ownership says) is
// modelled by one the record does not name, which Windows refuses first.
TEST_F(TvxSetup, AFolderThatIsNotAnInstallationOrIsReachedThroughALinkIsRefusedUntouched) {
    CreateDirectoryW(FOLDER, nullptr);
    Outcome empty = RunSetup(L"install \"" + std::wstring(FOLDER) + L"\"");
    EXPECT_EQ(1u, empty.exitCode) << empty.out;
    EXPECT_TRUE(Has(empty.out, "is not an installation of Orvanta")) << empty.out;
    EXPECT_TRUE(Has(empty.LastLine(), "The log is in ")) << empty.out;
    EXPECT_FALSE(Exists(std::wstring(FOLDER) + L"\\tvxsetup.log"));
    WriteFileBytes(std::wstring(FOLDER) + L"\\notes.txt", "someone else's");
    for (int run = 0; run < 2; ++run) {
        Outcome other = RunSetup(L"install \"" + std::wstring(FOLDER) + L"\"");
        EXPECT_EQ(1u, other.exitCode) << other.out;
        EXPECT_FALSE(Exists(std::wstring(FOLDER) + L"\\tvxsetup.log")) << "run " << run;
    }
    // Uninstall with nothing installed touches nothing, wherever it runs from.
    Outcome nothing = RunSetup(L"uninstall \"" + std::wstring(FOLDER) + L"\"");
    EXPECT_EQ(0u, nothing.exitCode) << nothing.out;
    EXPECT_TRUE(Has(nothing.LastLine(), "Nothing to remove")) << nothing.out;
    EXPECT_FALSE(Exists(std::wstring(FOLDER) + L"\\tvxsetup.log"));

    // Wine makes no junctions (FSCTL_SET_REPARSE_POINT is not supported) but shows a Unix symbolic
    // link as a reparse point, as Windows shows a junction: the test makes one with ln.
    char prefix[MAX_PATH] = {};
    ASSERT_TRUE(GetEnvironmentVariableA("WINEPREFIX", prefix, MAX_PATH) || !IsWine());
    if (IsWine()) {
        std::string target = std::string(prefix) + "/drive_c/Orvanta Setup Test";
        std::string link = std::string(prefix) + "/drive_c/Orvanta Link Test";
        ASSERT_TRUE(RunUnix(L"Z:\\bin\\ln", L"ln -sfn \"" + Wide(target) + L"\" \"" + Wide(link) + L"\""));
        ASSERT_TRUE(GetFileAttributesW(L"C:\\Orvanta Link Test") & FILE_ATTRIBUTE_REPARSE_POINT);
        Outcome linked = RunSetup(L"install \"C:\\Orvanta Link Test\\Orvanta\"");
        EXPECT_EQ(1u, linked.exitCode) << linked.out;
        EXPECT_TRUE(Has(linked.out, "is a junction or link")) << linked.out;
        EXPECT_FALSE(Exists(std::wstring(FOLDER) + L"\\Orvanta"));
        RunUnix(L"Z:\\bin\\rm", L"rm -f \"" + Wide(link) + L"\"");
    }
}

// A second folder moves the installation only when asked to.
TEST_F(TvxSetup, ASecondFolderIsRefusedWithoutMoveAndTakesTheInstallationWithIt) {
    const std::wstring second = L"C:\\Orvanta Setup Test Moved";
    RemoveTree(second);
    ASSERT_INSTALLS(L"install \"" + std::wstring(FOLDER) + L"\"");
    Outcome refused = RunSetup(L"install \"" + second + L"\"");
    EXPECT_EQ(1u, refused.exitCode) << refused.out;
    EXPECT_TRUE(Has(refused.out, "Orvanta is installed in \"C:\\Orvanta Setup Test\"; to move it")) << refused.out;
    EXPECT_FALSE(Exists(second));
    Outcome moved = RunSetup(L"install \"" + second + L"\" --move");
    EXPECT_EQ(0u, moved.exitCode) << moved.out;
    Service service = QueryService(L"OrvantaService");
    EXPECT_NE(std::wstring::npos, service.binary.find(second + L"\\OrvantaService.exe")) << Narrow(service.binary);
    EXPECT_FALSE(Exists(std::wstring(FOLDER) + L"\\OrvantaService.exe"));
    EXPECT_TRUE(Has(RunSetup(L"status").out, "Orvanta Setup Test Moved"));
    RunSetup(L"uninstall");
    RemoveTree(second);
}

// The class filter is edited as Windows' class tools do: other entries kept exactly (an empty string
// included), and a value that is not a multi-string left alone.
TEST_F(TvxSetup, TheFilterEditKeepsEveryOtherEntryAndRefusesAValueOfAnotherType) {
    SetUpperFiltersValue(REG_MULTI_SZ, std::wstring(L"OtherFilter\0\0Third\0\0", 20));
    ASSERT_INSTALLS(L"install \"" + std::wstring(FOLDER) + L"\"");
    EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter", L"", L"Third", L"Tarvex"}), RawUpperFilters());
    Outcome uninstall = RunSetup(L"uninstall");
    EXPECT_EQ(0u, uninstall.exitCode) << uninstall.out;
    EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter", L"", L"Third"}), RawUpperFilters());

    SetUpperFiltersValue(REG_SZ, std::wstring(L"OtherFilter\0", 12));
    Outcome install = RunSetup(L"install \"" + std::wstring(FOLDER) + L"\"");
    EXPECT_EQ(1u, install.exitCode) << install.out;
    EXPECT_TRUE(Has(install.out, "is of type 1, not a multi-string (REG_MULTI_SZ); it was not changed")) << install.out;
    EXPECT_TRUE(Has(RunSetup(L"status").out, "USB class UpperFilters: of type 1, not a multi-string"));
    DWORD type = 0;
    EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter"}), RawUpperFilters(&type));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_FALSE(QueryService(L"Tarvex").exists);
    SetUpperFilters({L"OtherFilter"});
}

// Windows gives an administrator's programs the limited half of a split token unless the program's
// manifest asks for elevation (Explorer and a prompt that is not elevated start it so); Wine 8 splits
// the token too (TokenLinkedToken), so the test starts tvxsetup with that limited half.
TEST_F(TvxSetup, StatusNeedsNoElevationAndTheVerbsThatChangeThingsSaySoWithoutIt) {
    ASSERT_INSTALLS(L"install \"" + std::wstring(FOLDER) + L"\"");
    HANDLE own = nullptr, limited = nullptr;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own));
    ASSERT_TRUE(GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size)) << GetLastError();
    ASSERT_TRUE(
        DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &limited));
    const std::wstring setup = Dist() + L"\\tvxsetup.exe";
    Outcome status = RunSetup(setup, L"status", nullptr, limited);
    Outcome install = RunSetup(setup, L"install \"" + std::wstring(FOLDER) + L"\"", nullptr, limited);
    Outcome uninstall = RunSetup(setup, L"uninstall", nullptr, limited);
    CloseHandle(limited);
    CloseHandle(linked.LinkedToken);
    CloseHandle(own);
    EXPECT_EQ(0u, status.exitCode) << status.out;
    EXPECT_TRUE(Has(status.out, "kernel service Tarvex: running (driver loaded)")) << status.out;
    EXPECT_TRUE(Has(status.LastLine(), "Installed, version ")) << status.out;
    for (const Outcome* refused : {&install, &uninstall}) {
        EXPECT_EQ(1u, refused->exitCode) << refused->out;
        EXPECT_TRUE(Has(refused->out, "this needs an elevated prompt")) << refused->out;
    }
    EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter", L"Tarvex"}), UpperFilters());
    EXPECT_TRUE(QueryService(L"OrvantaService").exists);
}

// A write of the class filter that Windows refuses (here an entry denying everyone KEY_SET_VALUE on
// the class key) is a failed step, never taken as done.
TEST_F(TvxSetup, ARefusedWriteOfTheFilterEntryFailsTheInstallAndUndoesIt) {
    HKEY key;
    ASSERT_EQ(0, RegOpenKeyExW(HKEY_LOCAL_MACHINE, USB_CLASS_KEY, 0, READ_CONTROL | WRITE_DAC, &key));
    std::vector<BYTE> saved(4096);
    DWORD size = static_cast<DWORD>(saved.size());
    ASSERT_EQ(0, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved.data(), &size));
    PSECURITY_DESCRIPTOR deny = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;0x2;;;WD)(A;;KA;;;WD)", SDDL_REVISION_1,
                                                                     &deny, nullptr));
    ASSERT_EQ(0, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, deny));
    LocalFree(deny);
    Outcome install = RunSetup(L"install \"" + std::wstring(FOLDER) + L"\"");
    EXPECT_EQ(0, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved.data()));
    RegCloseKey(key);
    EXPECT_EQ(1u, install.exitCode) << install.out;
    EXPECT_TRUE(Has(install.out,
                    "[FAILED] add Tarvex to the USB class's UpperFilters: cannot write the USB class's "
                    "UpperFilters"))
        << install.out;
    EXPECT_TRUE(Has(install.LastLine(), "failed; every change was undone")) << install.out;
    EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter"}), UpperFilters());
    EXPECT_FALSE(QueryService(L"Tarvex").exists);
    EXPECT_FALSE(QueryService(L"OrvantaService").exists);
}

}  // namespace
