#include "service.h"

#include <sddl.h>

#include <cstring>
#include <string>

#include "debuglog.h"

namespace service {

const ServiceApi DEFAULT_API = {CreateEventA,        RegisterServiceCtrlHandlerExA, SetServiceStatus,
                                WaitForSingleObject, ShellExecuteExA,               GetModuleFileNameA,
                                GetFileAttributesA};
ServiceApi g_api = DEFAULT_API;
ServiceState g_state;
const char WAKE_EVENT_SDDL[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100002;;;IU)";

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

    // By full path only: given a bare name, the shell would search on (program folder, current
    // folder, system folders, PATH, App Paths) and start whatever Revenix.exe it finds as LocalSystem.
    std::string file = folder + "Revenix.exe";
    DWORD attributes = g_api.getFileAttributesA(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DebugLog("Revenix.exe not found; not started");
        return;
    }

    SHELLEXECUTEINFOA info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    // Without NO_UI a missing tool makes the platform show an error box nobody in the service's
    // session can close, and the launch never returns.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = file.c_str();
    info.lpDirectory = folder.c_str();
    info.nShow = SW_HIDE;
    if (g_api.shellExecuteExA(&info) && info.hProcess) CloseHandle(info.hProcess);
}

namespace {

// Sets the wake event unless the loop has closed it or is closing it.
void WakeLoop() {
    std::lock_guard<std::mutex> guard(g_state.eventLock);
    if (g_state.wakeEvent) SetEvent(g_state.wakeEvent);
}

// The last thing the service thread does: nothing of the service runs after the manager hears it.
void ReportStopped(DWORD error) {
    g_state.status.dwWin32ExitCode = error;
    g_state.status.dwCurrentState = SERVICE_STOPPED;
    g_api.setServiceStatus(g_state.statusHandle, &g_state.status);
}

// A name created first by someone else is refused: its owner could keep it signalled, or hold it
// as another kind of object, and steer or stall the loop.
HANDLE CreateWakeEvent(DWORD& error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(service::WAKE_EVENT_SDDL, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        error = GetLastError();
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    SetLastError(ERROR_SUCCESS);
    HANDLE event = g_api.createEventA(&attributes, FALSE, FALSE, SERVICE_EVENT_NAME);
    error = GetLastError();
    LocalFree(descriptor);
    if (event && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(event);
        return nullptr;
    }
    if (!event && error == ERROR_SUCCESS) error = ERROR_INVALID_HANDLE;
    return event;
}

}  // namespace

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        DebugLog(control == SERVICE_CONTROL_STOP ? "Monitored stopped" : "Monitored shutdown");
        // The loop reports the stop once it has finished, so the process cannot end under it.
        g_state.stopRequested = true;
        WakeLoop();
        return NO_ERROR;
    case SERVICE_CONTROL_RESET:
        g_state.resetRequested = true;
        WakeLoop();
        return NO_ERROR;
    default:
        WakeLoop();
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_state.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_state.status.dwControlsAccepted = SERVICE_ACCEPTED_CONTROLS;
    // First, so that every later failure can be reported to the manager.
    g_state.statusHandle = g_api.registerServiceCtrlHandlerExA(SERVICE_NAME, ServiceCtrlHandler, nullptr);
    if (!g_state.statusHandle) {
        DebugLog("RegisterServiceCtrlHandlerEx Fail");
        return;
    }
    DebugLog("RegisterServiceCtrlHandlerEx Success");

    DWORD error = ERROR_SUCCESS;
    HANDLE event = CreateWakeEvent(error);
    if (!event) {
        DebugLog("CreateEvent Fail");
        ReportStopped(error);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_state.eventLock);
        g_state.wakeEvent = event;
    }
    DebugLog("CreateEvent Success");

    g_state.status.dwCurrentState = SERVICE_RUNNING;
    g_api.setServiceStatus(g_state.statusHandle, &g_state.status);

    for (;;) {
        if (g_api.waitForSingleObject(event, INFINITE) == WAIT_FAILED) {
            error = GetLastError();
            DebugLog("WaitForSingleObject Fail: %u", static_cast<unsigned>(error));
            break;
        }
        DebugLog("New Event");
        if (g_state.stopRequested) break;
        // Taken before the launch: a request arriving during it gives one more launch.
        if (g_state.resetRequested.exchange(false)) StartResetTool();
    }
    {
        std::lock_guard<std::mutex> guard(g_state.eventLock);
        CloseHandle(event);
        g_state.wakeEvent = nullptr;
    }
    ReportStopped(error);
}
