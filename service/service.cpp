#include "service.h"

#include <cstring>
#include <string>

#include "debuglog.h"

namespace service {

const ServiceApi DEFAULT_API = {CreateEventA,   RegisterServiceCtrlHandlerExA, SetServiceStatus,
                                WaitForSingleObject, ShellExecuteExA,          GetModuleFileNameA};
ServiceApi g_api = DEFAULT_API;
ServiceState g_state;

bool ResetToolFolder(char (&folder)[1024]) {
    std::memset(folder, 0, sizeof folder);
    DWORD n = g_api.getModuleFileNameA(nullptr, folder, sizeof folder);
    if (n == 0 || n >= sizeof folder) return false;  // a cut path names no real folder
    char* slash = std::strrchr(folder, '\\');
    if (slash) *slash = '\0';
    const char tail[] = "\\Revenix\\";
    size_t used = std::strlen(folder);
    if (used + sizeof tail > sizeof folder) return false;
    std::memcpy(folder + used, tail, sizeof tail);
    return true;
}

}  // namespace service

using service::g_api;
using service::g_state;

void StartResetTool() {
    DebugLog("Revenix");
    char buffer[1024];
    if (!service::ResetToolFolder(buffer)) {
        DebugLog("Revenix folder does not fit in 1024 bytes; not started");
        return;
    }
    std::string folder = buffer;
    DebugLog("AppleDeviceFilePath: %s", folder.c_str());

    SHELLEXECUTEINFOA info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    // Without NO_UI a missing tool makes the platform show an error box nobody in the service's
    // session can close, and the launch never returns.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = "Revenix.exe";
    info.lpDirectory = folder.c_str();
    info.nShow = SW_HIDE;
    if (g_api.shellExecuteExA(&info) && info.hProcess) CloseHandle(info.hProcess);
}

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        DebugLog(control == SERVICE_CONTROL_STOP ? "Monitored stopped" : "Monitored shutdown");
        g_state.status.dwWin32ExitCode = 0;
        g_state.status.dwCurrentState = SERVICE_STOPPED;
        g_api.setServiceStatus(g_state.statusHandle, &g_state.status);
        SetEvent(g_state.wakeEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_RESET:
        g_state.resetRequested = true;
        SetEvent(g_state.wakeEvent);
        return NO_ERROR;
    default:
        SetEvent(g_state.wakeEvent);
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_state.wakeEvent = g_api.createEventA(nullptr, FALSE, FALSE, SERVICE_EVENT_NAME);
    if (!g_state.wakeEvent) {
        DebugLog("CreateEvent Fail");
        return;
    }
    DebugLog("CreateEvent Success");

    g_state.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_state.status.dwControlsAccepted = SERVICE_ACCEPTED_CONTROLS;
    g_state.statusHandle = g_api.registerServiceCtrlHandlerExA(SERVICE_NAME, ServiceCtrlHandler, nullptr);
    if (!g_state.statusHandle) {
        DebugLog("RegisterServiceCtrlHandlerEx Fail");
        CloseHandle(g_state.wakeEvent);
        g_state.wakeEvent = nullptr;
        return;
    }
    DebugLog("RegisterServiceCtrlHandlerEx Success");

    g_state.status.dwCurrentState = SERVICE_RUNNING;
    g_api.setServiceStatus(g_state.statusHandle, &g_state.status);

    for (;;) {
        g_api.waitForSingleObject(g_state.wakeEvent, INFINITE);
        DebugLog("New Event");
        if (g_state.status.dwCurrentState != SERVICE_RUNNING) break;
        if (g_state.resetRequested) {
            StartResetTool();
            g_state.resetRequested = false;
        }
    }
    CloseHandle(g_state.wakeEvent);
    g_state.wakeEvent = nullptr;
}
