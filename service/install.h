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
    SC_HANDLE(WINAPI* openSCManagerA)(LPCSTR, LPCSTR, DWORD);
    SC_HANDLE(WINAPI* openServiceA)(SC_HANDLE, LPCSTR, DWORD);
    SC_HANDLE(WINAPI* createServiceA)(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD,
                                      LPCSTR, LPCSTR, LPCSTR);
    BOOL(WINAPI* startServiceA)(SC_HANDLE, DWORD, LPCSTR*);
    BOOL(WINAPI* controlService)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
    BOOL(WINAPI* deleteService)(SC_HANDLE);
    BOOL(WINAPI* closeServiceHandle)(SC_HANDLE);
    DWORD(WINAPI* getModuleFileNameA)(HMODULE, LPSTR, DWORD);
    BOOL(WINAPI* startServiceCtrlDispatcherA)(const SERVICE_TABLE_ENTRYA*);
    void(WINAPI* sleep)(DWORD);
};

// How long "-i" waits for a deleted service to go before it creates the new one.
const DWORD REMOVAL_WAIT_MS = 30000;
const DWORD REMOVAL_POLL_MS = 100;
extern ScmApi g_api;
extern const ScmApi DEFAULT_API;

}  // namespace install
