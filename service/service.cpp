#include "service.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "debuglog.h"

namespace service {

const ServiceApi DEFAULT_API = {CreateEventA,      RegisterServiceCtrlHandlerExA,
                                SetServiceStatus,  WaitForSingleObject,
                                ShellExecuteExW,   GetModuleFileNameW,
                                GetFileAttributesW};
ServiceApi g_api = DEFAULT_API;
ServiceState g_state;

bool ResetToolFolder(wchar_t (&folder)[1024]) {
    std::memset(folder, 0, sizeof folder);
    const DWORD units = sizeof folder / sizeof folder[0];
    DWORD n = g_api.getModuleFileNameW(nullptr, folder, units);
    if (n == 0 || n >= units) return false;  // a cut path names no real folder
    wchar_t* slash = std::wcsrchr(folder, L'\\');
    if (slash) *slash = L'\0';
    const wchar_t tail[] = L"\\Revenix\\";
    size_t used = std::wcslen(folder);
    if (used + sizeof tail / sizeof tail[0] > units) return false;
    std::memcpy(folder + used, tail, sizeof tail);
    return true;
}

}  // namespace service

using service::g_api;
using service::g_state;

namespace {

// The log stays in the ANSI code page, as the program's other lines are.
std::string ForLog(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 1 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace

void StartResetTool() {
    DebugLog("Revenix");
    wchar_t buffer[1024];
    if (!service::ResetToolFolder(buffer)) {
        DebugLog("Revenix folder does not fit in 1024 characters; not started");
        return;
    }
    std::wstring folder = buffer;
    DebugLog("AppleDeviceFilePath: %s", ForLog(folder).c_str());

    // By full path only: given a bare name, the shell would search on (program folder, current
    // folder, system folders, PATH, App Paths) and start whatever Revenix.exe it finds as LocalSystem.
    std::wstring file = folder + L"Revenix.exe";
    DWORD attributes = g_api.getFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DebugLog("Revenix.exe not found; not started");
        return;
    }

    SHELLEXECUTEINFOW info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    // Without NO_UI a missing tool makes the platform show an error box nobody in the service's
    // session can close, and the launch never returns.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = file.c_str();
    info.lpDirectory = folder.c_str();
    info.nShow = SW_HIDE;
    if (g_api.shellExecuteExW(&info) && info.hProcess) CloseHandle(info.hProcess);
}

namespace {

// Sets the wake event unless the loop has closed it or is closing it.
void WakeLoop() {
    std::lock_guard<std::mutex> guard(g_state.eventLock);
    if (g_state.wakeEvent) SetEvent(g_state.wakeEvent);
}

// Both threads report, so the record is filled and handed over as one step. Nothing follows
// STOPPED, and a late RUNNING never takes back a stop the manager was told of.
void Report(DWORD state, DWORD error = NO_ERROR) {
    std::lock_guard<std::mutex> guard(g_state.statusLock);
    SERVICE_STATUS& status = g_state.status;
    if (status.dwCurrentState == SERVICE_STOPPED) return;
    if (state == SERVICE_RUNNING && status.dwCurrentState == SERVICE_STOP_PENDING) return;
    const bool pending = state == SERVICE_STOP_PENDING;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = error;
    status.dwControlsAccepted = pending ? 0 : SERVICE_ACCEPTED_CONTROLS;
    status.dwCheckPoint = pending ? 1 : 0;
    status.dwWaitHint = pending ? service::STOP_WAIT_HINT_MS : 0;
    g_api.setServiceStatus(g_state.statusHandle, &status);
}

}  // namespace

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        DebugLog(control == SERVICE_CONTROL_STOP ? "Monitored stopped" : "Monitored shutdown");
        // Pending at once, so the caller never hears RUNNING; the loop reports STOPPED once it has
        // finished, so the process cannot end under it.
        g_state.stopRequested = true;
        Report(SERVICE_STOP_PENDING);
        WakeLoop();
        return NO_ERROR;
    case SERVICE_CONTROL_RESET:
        g_state.resetRequested = true;
        WakeLoop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        // The manager answers with the status last reported; the handler only has to succeed.
        WakeLoop();
        return NO_ERROR;
    default: WakeLoop(); return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    {
        std::lock_guard<std::mutex> guard(g_state.statusLock);
        g_state.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        g_state.status.dwControlsAccepted = SERVICE_ACCEPTED_CONTROLS;
    }
    // First, so that every later failure can be reported to the manager.
    g_state.statusHandle = g_api.registerServiceCtrlHandlerExA(SERVICE_NAME, ServiceCtrlHandler, nullptr);
    if (!g_state.statusHandle) {
        DebugLog("RegisterServiceCtrlHandlerEx Fail");
        return;
    }
    DebugLog("RegisterServiceCtrlHandlerEx Success");

    // Private to the process: with a name, anyone in any session could create it first (the global
    // namespace lets every user make events) and keep the service from starting; requests come only
    // through the handler.
    HANDLE event = g_api.createEventA(nullptr, FALSE, FALSE, nullptr);
    if (!event) {
        DWORD error = GetLastError();
        DebugLog("CreateEvent Fail");
        Report(SERVICE_STOPPED, error ? error : ERROR_INVALID_HANDLE);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_state.eventLock);
        g_state.wakeEvent = event;
    }
    DebugLog("CreateEvent Success");

    Report(SERVICE_RUNNING);

    DWORD error = ERROR_SUCCESS;
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
    // The last thing the service thread does: nothing of the service runs after the manager hears it.
    Report(SERVICE_STOPPED, error);
}
