#include "scm_support.h"

#include <cstdio>

#include "service.h"

namespace scmtest {

std::string BinDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

Installation Prepare(const std::string& name) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    Installation inst;
    inst.dir = std::string(temp) + "Orvanta Service " + name + "\\";
    inst.exe = inst.dir + "OrvantaService.exe";
    inst.toolDir = inst.dir + "Revenix\\";
    inst.startsFile = inst.toolDir + "starts.txt";
    CreateDirectoryA(inst.dir.c_str(), nullptr);
    CreateDirectoryA(inst.toolDir.c_str(), nullptr);
    DeleteFileA(inst.startsFile.c_str());
    DeleteFileA((inst.toolDir + "linger.txt").c_str());
    std::string bin = BinDir();
    // A service of an earlier run may take a moment to end and let go of its program file.
    ULONGLONG until = GetTickCount64() + 15000;
    for (;;) {
        if (CopyFileA((bin + "OrvantaService.exe").c_str(), inst.exe.c_str(), FALSE) &&
            CopyFileA((bin + "Quillog.dll").c_str(), (inst.dir + "Quillog.dll").c_str(), FALSE) &&
            CopyFileA((bin + "Revenix.exe").c_str(), (inst.toolDir + "Revenix.exe").c_str(), FALSE)) {
            return inst;
        }
        if (GetTickCount64() >= until) return Installation();
        Sleep(100);
    }
}

debugout::Result RunProgram(const Installation& inst, const std::string& args, const std::string& cwd) {
    return debugout::Run("\"" + inst.exe + "\"" + (args.empty() ? "" : " " + args), 60000, cwd);
}

debugout::Result InstallWhenReady(const Installation& inst, DWORD timeoutMs) {
    ULONGLONG start = GetTickCount64(), until = start + timeoutMs;
    for (int refusals = 0;; ++refusals) {
        debugout::Result r = RunProgram(inst, "-i");
        bool refused = r.exitCode == static_cast<DWORD>(-1) && r.debug.size() == 1 &&
                       r.debug[0] == "<OrvantaService> StartService failed (1055)";
        if (!refused || GetTickCount64() >= until) {
            if (refusals) {
                fprintf(stderr, "service manager refused %d starts with 1055 over %llu ms\n", refusals,
                        GetTickCount64() - start);
            }
            return r;
        }
        Sleep(200);
    }
}

namespace {

struct ScHandle {
    SC_HANDLE h;
    explicit ScHandle(SC_HANDLE v) : h(v) {}
    ~ScHandle() {
        if (h) CloseServiceHandle(h);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
};

}  // namespace

bool QueryStatus(SERVICE_STATUS_PROCESS& status) {
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.h) return false;
    ScHandle svc(OpenServiceA(scm.h, SERVICE_NAME, SERVICE_QUERY_STATUS));
    if (!svc.h) return false;
    DWORD needed = 0;
    return QueryServiceStatusEx(svc.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed) != FALSE;
}

bool WaitForState(DWORD state, DWORD timeoutMs, SERVICE_STATUS_PROCESS* out) {
    ULONGLONG until = GetTickCount64() + timeoutMs;
    for (;;) {
        SERVICE_STATUS_PROCESS status{};
        if (QueryStatus(status) && status.dwCurrentState == state) {
            if (out) *out = status;
            return true;
        }
        if (GetTickCount64() >= until) return false;
        Sleep(20);
    }
}

bool ServiceExists() {
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle svc(scm.h ? OpenServiceA(scm.h, SERVICE_NAME, SERVICE_QUERY_STATUS) : nullptr);
    return svc.h != nullptr;
}

bool WaitUntilGone(DWORD timeoutMs) {
    ULONGLONG until = GetTickCount64() + timeoutMs;
    while (ServiceExists()) {
        if (GetTickCount64() >= until) return false;
        Sleep(20);
    }
    return true;
}

DWORD SendControl(DWORD control, SERVICE_STATUS* out) {
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.h) return GetLastError();
    DWORD access = control >= 128                           ? SERVICE_USER_DEFINED_CONTROL
                   : control == SERVICE_CONTROL_STOP        ? SERVICE_STOP
                   : control == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                                                            : SERVICE_PAUSE_CONTINUE;
    ScHandle svc(OpenServiceA(scm.h, SERVICE_NAME, access));
    if (!svc.h) return GetLastError();
    SERVICE_STATUS status{};
    DWORD result = ControlService(svc.h, control, &status) ? ERROR_SUCCESS : GetLastError();
    if (out) *out = status;
    return result;
}

bool QueryConfig(Config& config) {
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle svc(scm.h ? OpenServiceA(scm.h, SERVICE_NAME, SERVICE_QUERY_CONFIG) : nullptr);
    if (!svc.h) return false;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* qsc = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(svc.h, qsc, static_cast<DWORD>(buffer.size()), &needed)) return false;
    config.type = qsc->dwServiceType;
    config.startType = qsc->dwStartType;
    config.errorControl = qsc->dwErrorControl;
    config.binaryPath = qsc->lpBinaryPathName ? qsc->lpBinaryPathName : "";
    config.account = qsc->lpServiceStartName ? qsc->lpServiceStartName : "";
    config.displayName = qsc->lpDisplayName ? qsc->lpDisplayName : "";
    return true;
}

void RemoveService() {
    {
        ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ScHandle svc(scm.h ? OpenServiceA(scm.h, SERVICE_NAME, SERVICE_ALL_ACCESS) : nullptr);
        if (!svc.h) return;
        SERVICE_STATUS status;
        ControlService(svc.h, SERVICE_CONTROL_STOP, &status);
        DeleteService(svc.h);
    }
    WaitUntilGone(30000);
}

std::vector<resetstub::Start> WaitForStarts(const Installation& inst, size_t count, DWORD timeoutMs) {
    ULONGLONG until = GetTickCount64() + timeoutMs;
    for (;;) {
        auto starts = resetstub::ReadStarts(inst.startsFile);
        if (starts.size() >= count || GetTickCount64() >= until) return starts;
        Sleep(10);
    }
}

ULONGLONG NowTicks() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return resetstub::Ticks(now);
}

}  // namespace scmtest
