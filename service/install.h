// The command line of OrvantaService: install, uninstall, or run as the service.
#pragma once
#include <windows.h>

bool InstallService();
bool UninstallService();

// What main does with its arguments; returns the process exit code.
int RunCommandLine(int argc, char** argv);

namespace install {

// Platform calls of install and uninstall. Production code uses the defaults; tests replace
// entries to make a step fail that the real service manager will not fail on demand.
struct ScmApi {
    SC_HANDLE(WINAPI* openSCManagerW)(LPCWSTR, LPCWSTR, DWORD);
    SC_HANDLE(WINAPI* openServiceW)(SC_HANDLE, LPCWSTR, DWORD);
    SC_HANDLE(WINAPI* createServiceW)
    (SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR);
    BOOL(WINAPI* startServiceW)(SC_HANDLE, DWORD, LPCWSTR*);
    BOOL(WINAPI* controlService)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
    BOOL(WINAPI* deleteService)(SC_HANDLE);
    BOOL(WINAPI* closeServiceHandle)(SC_HANDLE);
    DWORD(WINAPI* getModuleFileNameW)(HMODULE, LPWSTR, DWORD);
    BOOL(WINAPI* startServiceCtrlDispatcherA)(const SERVICE_TABLE_ENTRYA*);
    void(WINAPI* sleep)(DWORD);
    BOOL(WINAPI* setServiceObjectSecurity)(SC_HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
    BOOL(WINAPI* changeServiceConfig2W)(SC_HANDLE, DWORD, LPVOID);
};

// Who may do what with the service: SYSTEM and Administrators everything; interactive users (the
// app's side) query its configuration and status, interrogate it and send user-defined controls.
extern const wchar_t SERVICE_SDDL[];
// After a crash the manager restarts the service after a minute, twice; a day without one resets
// the count.
const DWORD RESTART_DELAY_MS = 60000;
const DWORD RESTART_COUNT = 2;
const DWORD FAILURE_RESET_SECONDS = 86400;

// How long "-i" waits for a deleted service to go before it creates the new one.
const DWORD REMOVAL_WAIT_MS = 30000;
const DWORD REMOVAL_POLL_MS = 100;
extern ScmApi g_api;
extern const ScmApi DEFAULT_API;

}  // namespace install
