// The service body: ServiceMain, its control handler and the reset loop that starts Revenix.
#pragma once
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <mutex>

#define SERVICE_NAME "OrvantaService"

const DWORD SERVICE_CONTROL_RESET = 133;
const DWORD SERVICE_ACCEPTED_CONTROLS = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE;

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
void StartResetTool();

namespace service {

// Platform calls of the service body. Production code uses the defaults; tests replace entries
// to inject failures, hold the loop and see the launch.
struct ServiceApi {
    HANDLE(WINAPI* createEventA)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR);
    SERVICE_STATUS_HANDLE(WINAPI* registerServiceCtrlHandlerExA)(LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID);
    BOOL(WINAPI* setServiceStatus)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
    DWORD(WINAPI* waitForSingleObject)(HANDLE, DWORD);
    BOOL(WINAPI* shellExecuteExW)(SHELLEXECUTEINFOW*);
    DWORD(WINAPI* getModuleFileNameW)(HMODULE, LPWSTR, DWORD);
    DWORD(WINAPI* getFileAttributesW)(LPCWSTR);
};
extern ServiceApi g_api;
extern const ServiceApi DEFAULT_API;

// Process-wide state shared by the handler (dispatcher thread) and the loop. Both report status,
// so the record is written and handed to the manager only under statusLock.
struct ServiceState {
    std::mutex statusLock;
    SERVICE_STATUS status;
    SERVICE_STATUS_HANDLE statusHandle;
    std::mutex eventLock;  // the handler never sets the event while the loop closes it
    HANDLE wakeEvent;
    std::atomic<bool> resetRequested;
    std::atomic<bool> stopRequested;
};
extern ServiceState g_state;

// What the manager is told on a stop: how long the loop may take to finish a launch in flight.
const DWORD STOP_WAIT_HINT_MS = 30000;

// The folder Revenix is started from, with its trailing backslash; false when it does not fit
// the 1024-unit buffer.
bool ResetToolFolder(wchar_t (&folder)[1024]);

}  // namespace service
