#include "install.h"

#include <cstring>
#include <string>

#include "debuglog.h"
#include "service.h"

namespace install {

const ScmApi DEFAULT_API = {OpenSCManagerA, OpenServiceA,     CreateServiceA,     StartServiceA,
                            ControlService, DeleteService,    CloseServiceHandle, GetModuleFileNameA,
                            StartServiceCtrlDispatcherA, Sleep};
ScmApi g_api = DEFAULT_API;

}  // namespace install

using install::g_api;

bool UninstallService() {
    SC_HANDLE scm = g_api.openSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) return false;
    SC_HANDLE svc = g_api.openServiceA(scm, SERVICE_NAME, SERVICE_ALL_ACCESS);
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

// The manager removes a deleted service only once it has stopped and every handle to it is closed;
// creating it again before that fails and would leave the machine without the service.
bool WaitUntilRemoved(SC_HANDLE scm) {
    for (DWORD waited = 0;; waited += install::REMOVAL_POLL_MS) {
        SC_HANDLE old = g_api.openServiceA(scm, SERVICE_NAME, SERVICE_QUERY_STATUS);
        if (!old && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        if (old) g_api.closeServiceHandle(old);
        if (waited >= install::REMOVAL_WAIT_MS) return false;
        g_api.sleep(install::REMOVAL_POLL_MS);
    }
}

}  // namespace

bool InstallService() {
    bool removed = UninstallService();
    SC_HANDLE scm = g_api.openSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) return false;
    if (removed && !WaitUntilRemoved(scm)) {
        g_api.closeServiceHandle(scm);
        DebugLog("Old service still registered after 30 s; not installed");
        return false;
    }

    char path[1024];
    std::memset(path, 0, sizeof path);
    DWORD n = g_api.getModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        // A cut path would register a program that does not exist.
        g_api.closeServiceHandle(scm);
        DebugLog("Program path does not fit in 1024 bytes; service not installed");
        return false;
    }
    // Quoted, so that a path with blanks cannot be read as a shorter program path plus arguments.
    std::string binaryPath = std::string("\"") + path + "\"";
    SC_HANDLE svc = g_api.createServiceA(scm, SERVICE_NAME, SERVICE_NAME, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                         SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr,
                                         nullptr, nullptr, nullptr, nullptr);
    if (!svc) {
        DWORD error = GetLastError();
        g_api.closeServiceHandle(scm);
        DebugLog("CreateService Error: 0x%x", static_cast<unsigned>(error));
        return false;
    }
    if (!g_api.startServiceA(svc, 0, nullptr)) {
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
