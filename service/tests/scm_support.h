// Shared by the service's SCM tests and its benchmark: an installation of the real programs in a
// folder with a blank in its path, and helpers over the real service control manager.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "debugout.h"
#include "resetstub.h"

namespace scmtest {

struct Installation {
    std::string dir;         // ends with a backslash; contains a blank
    std::string exe;         // dir + OrvantaService.exe
    std::string toolDir;     // dir + Revenix\ (trailing backslash)
    std::string startsFile;  // where the stub records its starts
};

// The folder the test programs were built into, with a trailing backslash.
std::string BinDir();

// Copies OrvantaService.exe, Quillog.dll and the stub as Revenix\Revenix.exe into a fresh folder
// named after name under the temporary folder. An empty string on failure.
Installation Prepare(const std::string& name);

// Runs the installed program with args under debugout's capture.
debugout::Result RunProgram(const Installation& inst, const std::string& args, const std::string& cwd = "");

// "-i" until the service manager accepts the start: a freshly booted prefix refuses starts with
// ERROR_SERVICE_DATABASE_LOCKED (1055) for a while. Returns the first run that was not refused.
debugout::Result InstallWhenReady(const Installation& inst, DWORD timeoutMs);

// Status of the service; false when it cannot be opened.
bool QueryStatus(SERVICE_STATUS_PROCESS& status);
bool WaitForState(DWORD state, DWORD timeoutMs, SERVICE_STATUS_PROCESS* status = nullptr);
bool ServiceExists();
bool WaitUntilGone(DWORD timeoutMs);

// ControlService with the given code on a handle opened for it; the Win32 result of the call, and
// the status the call handed back when status is given.
DWORD SendControl(DWORD control, SERVICE_STATUS* status = nullptr);

// The registration as the service manager keeps it.
struct Config {
    DWORD type, startType, errorControl;
    std::string binaryPath, account, displayName;
};
bool QueryConfig(Config& config);

// Stops and deletes the service if it exists and waits until it is gone.
void RemoveService();

// The stub's records once there are at least count of them; what there is after timeoutMs.
std::vector<resetstub::Start> WaitForStarts(const Installation& inst, size_t count, DWORD timeoutMs);

ULONGLONG NowTicks();

}  // namespace scmtest
