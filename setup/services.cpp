// The service control manager, the Task Scheduler and the install record, each read back.
#include "tvxsetup.h"

// The Task Scheduler's class and interface identifiers are defined here.
#include <initguid.h>
#include <taskschd.h>

namespace tvxsetup {

ServiceInfo QueryService(const wchar_t* name) {
    ServiceInfo info;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        info.error = GetLastError();
        return info;
    }
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (service) {
        info.exists = true;
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status)) info.state = status.dwCurrentState;
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        if (QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                static_cast<DWORD>(buffer.size()), &needed)) {
            auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
            info.type = config->dwServiceType;
            info.start = config->dwStartType;
            info.binary = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
        }
        CloseServiceHandle(service);
    } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        info.error = GetLastError();
    }
    CloseServiceHandle(manager);
    return info;
}

// Windows keeps a deleted service until its last handle closes and, for a loaded driver, until the
// next restart; meanwhile it opens and reports its state as before. A change of nothing tells.
bool IsMarkedForDeletion(const wchar_t* name, bool* denied) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_CHANGE_CONFIG) : nullptr;
    if (denied) *denied = !service && GetLastError() == ERROR_ACCESS_DENIED;
    bool marked = service &&
                  !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) &&
                  GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return marked;
}

KernelHealth QueryKernelHealth() {
    KernelHealth h;
    h.service = QueryService(KERNEL_SERVICE);
    if (!h.service.exists) return h;
    h.marked = IsMarkedForDeletion(KERNEL_SERVICE, &h.markedUnknown);
    h.image = DosImagePath(h.service.binary, WindowsDir());
    h.imageExists = Exists(h.image);
    h.imageGoes = GoesAtRestart(h.image);
    return h;
}

// Empty when the service and its file will still be there after the restart; else which fails.
std::wstring KernelProblem(const KernelHealth& h) {
    if (!h.service.exists) return L"the kernel service Tarvex does not exist";
    if (h.marked) return L"the kernel service Tarvex is marked for deletion and goes when Windows restarts";
    if (h.service.type != SERVICE_KERNEL_DRIVER || !IsOurImage(h.service.binary))
        return L"the service Tarvex is not this driver (" + h.service.binary + L")";
    if (h.service.start != SERVICE_DEMAND_START)
        return L"the kernel service Tarvex has start type " + std::to_wstring(h.service.start) +
               L", not demand start (3)";
    if (!h.imageExists) return L"its driver file " + h.image + L" is missing";
    if (h.imageGoes) return L"its driver file " + h.image + L" is deleted when Windows restarts";
    return L"";
}

// A problem a restart clears: the earlier removal finishes, then an install starts afresh.
bool RestartClears(const KernelHealth& h) { return h.service.exists && (h.marked || h.imageGoes); }

const wchar_t* StateName(DWORD state) {
    switch (state) {
    case SERVICE_RUNNING: return L"running";
    case SERVICE_STOPPED: return L"stopped";
    case SERVICE_START_PENDING: return L"starting";
    case SERVICE_STOP_PENDING: return L"stopping";
    default: return L"in another state";
    }
}

bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    SERVICE_STATUS status = {};
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != wanted) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(100);
    }
    return status.dwCurrentState == wanted;
}

// Stops a service; false (with the reason) when it is still running afterwards.
// The process a service runs in: a service that reported itself stopped may still be ending, and its
// program file stays in use until it has, so a copy over it or its removal must wait for that.
HANDLE OpenServiceProcess(const wchar_t* name) {
    HANDLE process = nullptr;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (service &&
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                             &needed) &&
        status.dwProcessId != 0)
        process = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return process;
}

void WaitForProcessEnd(HANDLE process) {
    if (!process) return;
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
}

bool StopService(const wchar_t* name, std::wstring& why) {
    HANDLE process = OpenServiceProcess(name);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr;
    bool ok = false;
    if (!service) {
        ok = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        if (!ok) why = ErrorText(GetLastError());
    } else {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED) {
            ok = true;
        } else if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
                   GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
            why = ErrorText(GetLastError());
        } else {
            ok = WaitForState(service, SERVICE_STOPPED, 30000);
            if (!ok) why = L"still not stopped after 30 s";
        }
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    if (ok)
        WaitForProcessEnd(process);
    else if (process)
        CloseHandle(process);
    return ok;
}

// Deletes a service registration. markedOnly: Windows keeps it until its last handle closes or,
// for a loaded driver, until the next restart.
bool DeleteServiceNamed(const wchar_t* name, bool& markedOnly, std::wstring& why) {
    markedOnly = false;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, DELETE) : nullptr;
    bool ok = false;
    if (!service) {
        ok = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        if (!ok) why = ErrorText(GetLastError());
    } else {
        ok = DeleteService(service) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
        if (!ok) why = ErrorText(GetLastError());
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    if (ok) {
        DWORD start = GetTickCount();
        while (QueryService(name).exists && GetTickCount() - start < 5000) Sleep(100);
        markedOnly = QueryService(name).exists;
    }
    return ok;
}

TaskState QueryTask(std::wstring* why) {
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    TaskState state = TaskState::Unknown;
    ITaskService* scheduler = nullptr;
    ITaskFolder* root = nullptr;
    IRegisteredTask* task = nullptr;
    VARIANT empty;
    VariantInit(&empty);
    HRESULT hr = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                  reinterpret_cast<void**>(&scheduler));
    if (SUCCEEDED(hr)) hr = scheduler->Connect(empty, empty, empty, empty);
    BSTR rootPath = SysAllocString(L"\\");
    BSTR name = SysAllocString(TASK);
    if (SUCCEEDED(hr)) hr = scheduler->GetFolder(rootPath, &root);
    if (SUCCEEDED(hr)) {
        hr = root->GetTask(name, &task);
        if (SUCCEEDED(hr))
            state = TaskState::Present;
        else if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
            state = TaskState::Absent;
    }
    if (hr == E_ACCESSDENIED) state = TaskState::Denied;
    if (state == TaskState::Unknown && why) *why = L"the Task Scheduler cannot be asked: " + ErrorText(hr);
    SysFreeString(name);
    SysFreeString(rootPath);
    if (task) task->Release();
    if (root) root->Release();
    if (scheduler) scheduler->Release();
    if (SUCCEEDED(init)) CoUninitialize();
    return state;
}

std::wstring RecordValue(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, RECORD_KEY, name, RRF_RT_REG_SZ, nullptr, value, &size)) return L"";
    return value;
}

bool WriteRecord(const std::wstring& folder, const std::wstring& version) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr))
        return false;
    bool ok = !RegSetValueExW(key, L"InstallFolder", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                              static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))) &&
              !RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                              static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return ok;
}

bool DeleteRecord() {
    LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, RECORD_KEY);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool DeleteUninstallEntry() {
    LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

std::wstring UninstallEntryValue(const wchar_t* name) {
    wchar_t value[MAX_PATH + 32] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, name, RRF_RT_REG_SZ, nullptr, value, &size)) return L"";
    return value;
}

// The folder of the installation, or the one an uninstall of an earlier version left (LeftFolder):
// the only existing folder taken over.
bool IsRecordedFolder(const std::wstring& folder) {
    for (const wchar_t* value : {L"InstallFolder", L"LeftFolder"}) {
        std::wstring recorded = RecordValue(value);
        if (!recorded.empty() && SamePath(recorded, folder)) return true;
    }
    return false;
}

// Starts a kernel service and waits for the start to end: a driver whose entry routine fails shows
// as a start that ends stopped. started: Windows accepted the start; running: the driver loaded.
void StartDriver(const wchar_t* name, bool& started, bool& running, DWORD& error) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_START | SERVICE_QUERY_STATUS) : nullptr;
    started = service && (StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
    error = GetLastError();
    running = false;
    if (started) {
        DWORD begin = GetTickCount();
        SERVICE_STATUS status = {};
        while (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_START_PENDING &&
               GetTickCount() - begin < 15000)
            Sleep(100);
        running = status.dwCurrentState == SERVICE_RUNNING;
        if (!running && status.dwWin32ExitCode) error = status.dwWin32ExitCode;
    }
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
}

std::wstring LoadRefusal(const std::wstring& image, bool started, DWORD error) {
    if (started) return image + L" did not load: " + ErrorText(error);
    std::wstring why = L"Windows refused to load " + image + L": " + ErrorText(error);
    if (error == ERROR_INVALID_IMAGE_HASH_ || error == ERROR_DRIVER_BLOCKED)
        why +=
            L". The driver is unsigned or signed by a certificate this machine does not trust. On a test "
            L"machine, trust Tarvex.cer and turn on test signing (README, \"Requirements and risks\"); "
            L"otherwise install a production-signed build";
    if (error == ERROR_DRIVER_FAILED_PRIOR_UNLOAD_)
        why += L". An earlier Tarvex is still loaded: restart Windows, then install again";
    return why;
}

}  // namespace tvxsetup
