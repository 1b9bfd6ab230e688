#include "install.h"

#include <sddl.h>

#include <cstring>
#include <string>

#include "debuglog.h"
#include "service.h"

namespace install {

const ScmApi DEFAULT_API = {OpenSCManagerW,
                            OpenServiceW,
                            CreateServiceW,
                            StartServiceW,
                            ControlService,
                            DeleteService,
                            CloseServiceHandle,
                            GetModuleFileNameW,
                            StartServiceCtrlDispatcherA,
                            Sleep,
                            SetServiceObjectSecurity,
                            ChangeServiceConfig2W};
ScmApi g_api = DEFAULT_API;
const wchar_t SERVICE_SDDL[] =
    L"D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCLOCR;;;IU)";

}  // namespace install

using install::g_api;

namespace {

const wchar_t SERVICE_NAME_W[] = L"" SERVICE_NAME;

}  // namespace

bool UninstallService() {
    SC_HANDLE scm = g_api.openSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) return false;
    SC_HANDLE svc = g_api.openServiceW(scm, SERVICE_NAME_W, SERVICE_ALL_ACCESS);
    if (!svc) {
        g_api.closeServiceHandle(scm);
        return false;
    }
    // Neither result matters: a service that is not running is still deleted, and the manager
    // removes the registration once the service has stopped.
    SERVICE_STATUS status;
    g_api.controlService(svc, SERVICE_CONTROL_STOP, &status);
    g_api.deleteService(svc);
    g_api.closeServiceHandle(svc);
    g_api.closeServiceHandle(scm);
    return true;
}

namespace {

// Without these the manager's defaults apply: every service account may send the reset code, and a
// crashed service stays down until the next boot. 0 when both took, else the error.
DWORD Harden(SC_HANDLE svc) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(install::SERVICE_SDDL, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return GetLastError();
    BOOL secured = g_api.setServiceObjectSecurity(svc, DACL_SECURITY_INFORMATION, descriptor);
    DWORD error = secured ? 0 : GetLastError();
    LocalFree(descriptor);
    if (!secured) {
        DebugLog("SetServiceObjectSecurity failed (%d); service not installed", static_cast<int>(error));
        return error ? error : ERROR_INVALID_FUNCTION;
    }

    SC_ACTION restart[install::RESTART_COUNT];
    for (SC_ACTION& action : restart) action = {SC_ACTION_RESTART, install::RESTART_DELAY_MS};
    SERVICE_FAILURE_ACTIONSW actions = {};
    actions.dwResetPeriod = install::FAILURE_RESET_SECONDS;
    actions.cActions = install::RESTART_COUNT;
    actions.lpsaActions = restart;
    if (!g_api.changeServiceConfig2W(svc, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
        error = GetLastError();
        DebugLog("ChangeServiceConfig2 failed (%d); service not installed", static_cast<int>(error));
        return error ? error : ERROR_INVALID_FUNCTION;
    }
    return 0;
}

// The manager removes a deleted service only once it has stopped and every handle to it is closed;
// creating it again before that fails and would leave the machine without the service.
bool WaitUntilRemoved(SC_HANDLE scm) {
    for (DWORD waited = 0;; waited += install::REMOVAL_POLL_MS) {
        SC_HANDLE old = g_api.openServiceW(scm, SERVICE_NAME_W, SERVICE_QUERY_STATUS);
        if (!old && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        if (old) g_api.closeServiceHandle(old);
        if (waited >= install::REMOVAL_WAIT_MS) return false;
        g_api.sleep(install::REMOVAL_POLL_MS);
    }
}

}  // namespace

bool InstallService() {
    bool removed = UninstallService();
    SC_HANDLE scm = g_api.openSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) return false;
    if (removed && !WaitUntilRemoved(scm)) {
        g_api.closeServiceHandle(scm);
        DebugLog("Old service still registered after 30 s; not installed");
        return false;
    }

    // In UTF-16: through the ANSI code page a folder name outside it would register a path of '?'.
    wchar_t path[1024];
    std::memset(path, 0, sizeof path);
    const DWORD units = sizeof path / sizeof path[0];
    DWORD n = g_api.getModuleFileNameW(nullptr, path, units);
    if (n == 0 || n >= units) {
        // A cut path would register a program that does not exist.
        g_api.closeServiceHandle(scm);
        DebugLog("Program path does not fit in 1024 characters; service not installed");
        return false;
    }
    // Quoted, so that a path with blanks cannot be read as a shorter program path plus arguments.
    std::wstring binaryPath = std::wstring(L"\"") + path + L"\"";
    SC_HANDLE svc = g_api.createServiceW(scm, SERVICE_NAME_W, SERVICE_NAME_W, SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                         binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!svc) {
        DWORD error = GetLastError();
        g_api.closeServiceHandle(scm);
        DebugLog("CreateService Error: 0x%x", static_cast<unsigned>(error));
        return false;
    }
    if (Harden(svc) != 0) {
        // Not left behind with the manager's defaults.
        g_api.deleteService(svc);
        g_api.closeServiceHandle(svc);
        g_api.closeServiceHandle(scm);
        return false;
    }
    if (!g_api.startServiceW(svc, 0, nullptr)) {
        DebugLog("StartService failed (%d)", static_cast<int>(GetLastError()));
        g_api.closeServiceHandle(svc);
        g_api.closeServiceHandle(scm);
        return false;
    }
    DebugLog("Service start pending...\n");
    g_api.closeServiceHandle(svc);
    g_api.closeServiceHandle(scm);
    return true;
}

int RunCommandLine(int argc, char** argv) {
    if (argc < 2) {
        char name[] = SERVICE_NAME;
        SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
        // Returns when the service has stopped, or at once outside the service manager.
        g_api.startServiceCtrlDispatcherA(table);
        return 0;
    }
    std::string command = argv[1];
    if (command == "-i") return InstallService() ? 0 : -1;
    if (command == "-d") UninstallService();
    return 0;
}
