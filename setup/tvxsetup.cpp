// tvxsetup: installs, removes and reports the package in an order that never leaves the USB class
// naming a filter that cannot load. Every step reads the system's state back before the next one
// starts; a failed install undoes what it made, newest first.
#include <windows.h>
#include <aclapi.h>
#include <initguid.h>
#include <devguid.h>
#include <sddl.h>
#include <setupapi.h>
#include <taskschd.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <functional>
#include <string>
#include <vector>

#ifndef TVX_VERSION_TEXT
#error "TVX_VERSION_TEXT must name the build's version"
#endif

namespace {

const wchar_t FILTER[] = L"Tarvex";
const wchar_t KERNEL_SERVICE[] = L"Tarvex";
const wchar_t KERNEL_SERVICE_DISPLAY[] = L"Tarvex USB charging filter";
const wchar_t SERVICE[] = L"OrvantaService";
const wchar_t TASK[] = L"OrvantaUWP";
const wchar_t RECORD_KEY[] = L"SOFTWARE\\Orvanta";
const wchar_t LOG_NAME[] = L"tvxsetup.log";
const wchar_t BACKUP_DIR[] = L".tvxsetup-backup";
const wchar_t VERSION[] = L"" TVX_VERSION_TEXT;
// Windows' answers for a driver image it will not trust or not load again (not in MinGW's headers).
const DWORD ERROR_INVALID_IMAGE_HASH_ = 577;
const DWORD ERROR_DRIVER_FAILED_PRIOR_UNLOAD_ = 654;

// What the install copies; the first five are required, the rest come along when present.
const wchar_t* const REQUIRED_FILES[] = {L"Tarvex.sys", L"OrvantaService.exe", L"Quillog.dll", L"logontask.exe",
                                         L"StartupOrvanta.exe"};
const wchar_t* const OPTIONAL_FILES[] = {L"tvxctl.exe", L"tvxsetup.exe", L"Tarvex.cer", L"README.md"};

// Exit codes, also in the usage text.
enum Exit {
    EXIT_DONE = 0,            // installed / removed / status: installed
    EXIT_FAILED = 1,          // not done; nothing changed or every change undone / status: not installed
    EXIT_USAGE = 2,           // bad command line
    EXIT_RESTART = 3,         // done, a restart finishes it
    EXIT_LEFT_OVER = 4,       // failed and some change could not be undone / status: partly installed
};

const char USAGE[] =
    "usage: tvxsetup install [FOLDER] [--at-restart]\n"
    "       tvxsetup uninstall [FOLDER]\n"
    "       tvxsetup status\n"
    "\n"
    "install    copies the programs into FOLDER (default: %ProgramFiles%\\Orvanta), limits who may\n"
    "           change it, installs Tarvex.sys as kernel service, proves it loads, only then adds\n"
    "           Tarvex to the USB class's UpperFilters, then installs OrvantaService and the logon\n"
    "           task. Any failure undoes every step made, newest first. --at-restart lets files\n"
    "           in use be replaced when Windows restarts instead of failing.\n"
    "uninstall  removes Tarvex from the UpperFilters first, then the task, the service, the\n"
    "           kernel service and the driver file (a loaded driver goes at the next restart).\n"
    "status     what is installed and in what state.\n"
    "\n"
    "Run from an elevated prompt. Each step is logged to FOLDER\\tvxsetup.log.\n"
    "Exit codes: 0 done (status: installed); 1 failed, nothing left changed (status: not\n"
    "installed); 2 bad command line; 3 done, restart Windows to finish; 4 failed and some\n"
    "change could not be undone, see the lines above (status: partly installed).\n";

// ---- output and log ------------------------------------------------------------------------------

std::vector<std::wstring> logLines;

std::string Utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// A console gets UTF-16 (any code page shows it right); a pipe or file gets UTF-8.
void Say(const std::wstring& line)
{
    logLines.push_back(line);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    std::wstring text = line + L"\r\n";
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } else {
        std::string bytes = Utf8(line + L"\n");
        fwrite(bytes.data(), 1, bytes.size(), stdout);
        fflush(stdout);
    }
}

std::wstring ErrorText(DWORD error)
{
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring out = n ? std::wstring(text, n) : L"unknown error";
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' ' || out.back() == L'.'))
        out.pop_back();
    return out + L" (error " + std::to_wstring(error) + L")";
}

void Ok(const std::wstring& step, const std::wstring& detail = L"")
{
    Say(L"  [ok]     " + step + (detail.empty() ? L"" : L": " + detail));
}
void Failed(const std::wstring& step, const std::wstring& why) { Say(L"  [FAILED] " + step + L": " + why); }

// Appends this run's lines to the folder's log (or the temporary folder's, when there is no folder).
void WriteLog(const std::wstring& folder)
{
    std::wstring path = folder + L"\\" + LOG_NAME;
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path = std::wstring(temp) + LOG_NAME;
    }
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t stamp[64];
    swprintf(stamp, 64, L"--- %04u-%02u-%02u %02u:%02u:%02u UTC, tvxsetup %ls", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond, VERSION);
    std::string text = Utf8(stamp) + "\r\n";
    for (const auto& line : logLines) text += Utf8(line) + "\r\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// ---- small platform helpers ----------------------------------------------------------------------

std::wstring Lower(std::wstring s)
{
    for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
}
bool SameText(const std::wstring& a, const std::wstring& b) { return Lower(a) == Lower(b); }

std::wstring ProgramDir()
{
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L'\\'));
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t out[MAX_PATH];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, out, nullptr);
    if (!n || n >= MAX_PATH) return path;
    std::wstring s(out, n);
    while (s.size() > 3 && s.back() == L'\\') s.pop_back();
    return s;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool ReadAll(const std::wstring& path, std::string& out)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (256 << 20);
    if (ok) {
        out.assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        ok = out.empty() || (ReadFile(file, &out[0], static_cast<DWORD>(out.size()), &got, nullptr) && got == out.size());
    }
    CloseHandle(file);
    return ok;
}

bool SameContent(const std::wstring& a, const std::wstring& b)
{
    std::string x, y;
    return ReadAll(a, x) && ReadAll(b, y) && x == y;
}

// "1.0.0.0" from a file's version resource; empty without one.
std::wstring FileVersion(const std::wstring& path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (!size) return L"";
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info)
        return L"";
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionLS));
}

std::wstring DriverPath()
{
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\drivers\\Tarvex.sys";
}

// Runs a program from the install folder and returns its exit code; false when it did not run or end.
bool RunProgram(const std::wstring& program, const std::wstring& args, DWORD& exitCode, std::wstring& why)
{
    std::wstring line = L"\"" + program + L"\" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring dir = program.substr(0, program.find_last_of(L'\\'));
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, dir.c_str(),
                        &si, &pi)) {
        why = L"cannot start " + program + L": " + ErrorText(GetLastError());
        return false;
    }
    bool ended = WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(pi.hProcess, 1);
    GetExitCodeProcess(pi.hProcess, &exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (!ended) why = program + L" did not end within 120 s";
    return ended;
}

// ---- the class filter -----------------------------------------------------------------------------

HKEY OpenUsbClassKey(REGSAM access, DWORD& error)
{
    HKEY key = SetupDiOpenClassRegKeyExW(&GUID_DEVCLASS_USB, access, DIOCR_INSTALLER, nullptr, nullptr);
    error = key == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (key != INVALID_HANDLE_VALUE) return key;
    // Windows always has the class key; a machine without it (a fresh Wine prefix) gets it made.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_CLASS) {
        error = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                                   L"System\\CurrentControlSet\\Control\\Class\\"
                                                   L"{36FC9E60-C465-11CF-8056-444553540000}",
                                                   0, nullptr, 0, access, nullptr, &key, nullptr));
        if (!error) return key;
    }
    return nullptr;
}

bool ReadFilters(std::vector<std::wstring>& filters, DWORD& error)
{
    filters.clear();
    HKEY key = OpenUsbClassKey(KEY_QUERY_VALUE, error);
    if (!key) return false;
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExW(key, L"UpperFilters", nullptr, &type, nullptr, &size);
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    if (status == ERROR_SUCCESS)
        status = RegQueryValueExW(key, L"UpperFilters", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) {
        error = status;
        return false;
    }
    // A value cut short of its final terminators still reads as the strings it holds.
    size_t units = size / sizeof(wchar_t);
    for (size_t at = 0; at < units && data[at];) {
        size_t end = at;
        while (end < units && data[end]) ++end;
        filters.emplace_back(&data[at], end - at);
        at = end + 1;
    }
    return true;
}

bool WriteFilters(const std::vector<std::wstring>& filters, DWORD& error)
{
    HKEY key = OpenUsbClassKey(KEY_SET_VALUE, error);
    if (!key) return false;
    LONG status;
    if (filters.empty()) {
        status = RegDeleteValueW(key, L"UpperFilters");
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    } else {
        std::wstring value;
        for (const auto& f : filters) value += f + L'\0';
        value += L'\0';
        status = RegSetValueExW(key, L"UpperFilters", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                                static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    error = status;
    return status == ERROR_SUCCESS;
}

bool Names(const std::vector<std::wstring>& filters)
{
    return std::any_of(filters.begin(), filters.end(), [](const std::wstring& f) { return SameText(f, FILTER); });
}

std::wstring Join(const std::vector<std::wstring>& items)
{
    std::wstring out;
    for (const auto& i : items) out += (out.empty() ? L"" : L", ") + i;
    return out.empty() ? L"(none)" : out;
}

// Takes every Tarvex entry out, keeps the others in their order, and reads the value back.
bool RemoveFilter(std::wstring& why)
{
    std::vector<std::wstring> filters;
    DWORD error = 0;
    if (!ReadFilters(filters, error)) {
        why = L"cannot read the USB class's UpperFilters: " + ErrorText(error);
        return false;
    }
    if (!Names(filters)) return true;
    std::vector<std::wstring> kept;
    for (const auto& f : filters)
        if (!SameText(f, FILTER)) kept.push_back(f);
    if (!WriteFilters(kept, error)) {
        why = L"cannot write the USB class's UpperFilters: " + ErrorText(error);
        return false;
    }
    std::vector<std::wstring> now;
    if (!ReadFilters(now, error) || now != kept) {
        why = L"the USB class's UpperFilters read back as " + Join(now) + L", expected " + Join(kept);
        return false;
    }
    return true;
}

// ---- services ------------------------------------------------------------------------------------

struct ServiceInfo {
    bool exists = false;
    DWORD state = 0;        // SERVICE_RUNNING, ...
    DWORD type = 0;
    std::wstring binary;
    DWORD error = 0;        // why it could not be read, when not just absent
};

ServiceInfo QueryService(const wchar_t* name)
{
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
            info.binary = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
        }
        CloseServiceHandle(service);
    } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        info.error = GetLastError();
    }
    CloseServiceHandle(manager);
    return info;
}

const wchar_t* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_RUNNING: return L"running";
    case SERVICE_STOPPED: return L"stopped";
    case SERVICE_START_PENDING: return L"starting";
    case SERVICE_STOP_PENDING: return L"stopping";
    default: return L"in another state";
    }
}

bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs)
{
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
HANDLE OpenServiceProcess(const wchar_t* name)
{
    HANDLE process = nullptr;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (service && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                        sizeof status, &needed) && status.dwProcessId != 0)
        process = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return process;
}

void WaitForProcessEnd(HANDLE process)
{
    if (!process) return;
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
}

bool StopService(const wchar_t* name, std::wstring& why)
{
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
    if (ok) WaitForProcessEnd(process);
    else if (process) CloseHandle(process);
    return ok;
}

// Deletes a service registration. markedOnly: Windows keeps it until its last handle closes or,
// for a loaded driver, until the next restart.
bool DeleteServiceNamed(const wchar_t* name, bool& markedOnly, std::wstring& why)
{
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

// ---- the logon task ------------------------------------------------------------------------------

enum class TaskState { Present, Absent, Unknown };

TaskState QueryTask(std::wstring* why = nullptr)
{
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
    if (state == TaskState::Unknown && why) *why = L"the Task Scheduler cannot be asked: " + ErrorText(hr);
    SysFreeString(name);
    SysFreeString(rootPath);
    if (task) task->Release();
    if (root) root->Release();
    if (scheduler) scheduler->Release();
    if (SUCCEEDED(init)) CoUninitialize();
    return state;
}

// ---- the install record --------------------------------------------------------------------------

std::wstring RecordValue(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, RECORD_KEY, name, RRF_RT_REG_SZ, nullptr, value, &size)) return L"";
    return value;
}

bool WriteRecord(const std::wstring& folder, const std::wstring& version)
{
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

bool DeleteRecord()
{
    LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, RECORD_KEY);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

// ---- install -------------------------------------------------------------------------------------

struct Undo {
    std::wstring what;
    // Returns false with the reason when the change stays; sets restart when a restart completes it.
    std::function<bool(std::wstring& why, bool& restart)> run;
};

struct Install {
    std::wstring source;
    std::wstring folder;
    bool atRestart = false;
    bool restart = false;                // a restart finishes the install
    std::vector<std::wstring> restartWhy;
    std::vector<std::wstring> notes;
    std::vector<Undo> undo;              // newest last
    std::wstring backup;                 // folder of replaced files, kept until the end
};

// True when version a ("1.2.0.0") is lower than b; versions missing or unreadable compare as equal.
bool IsOlder(const std::wstring& a, const std::wstring& b)
{
    unsigned x[4] = {}, y[4] = {};
    if (swscanf(a.c_str(), L"%u.%u.%u.%u", &x[0], &x[1], &x[2], &x[3]) != 4 ||
        swscanf(b.c_str(), L"%u.%u.%u.%u", &y[0], &y[1], &y[2], &y[3]) != 4)
        return false;
    return std::lexicographical_compare(x, x + 4, y, y + 4);
}

bool IsInUse(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE;
}

bool SafeFolderSyntax(const std::wstring& folder)
{
    return folder.size() >= 4 && iswalpha(folder[0]) && folder[1] == L':' && folder[2] == L'\\' &&
           folder.find(L"\\..") == std::wstring::npos;
}

// A folder name that survives a command line and a LocalSystem service unchanged.
bool SafeFolder(const std::wstring& folder, std::wstring& why)
{
    if (!SafeFolderSyntax(folder)) {
        why = L"give a full path on a local drive, such as C:\\Program Files\\Orvanta";
        return false;
    }
    if (folder.size() > 180) {
        why = L"the folder's path is longer than 180 characters";
        return false;
    }
    for (wchar_t c : folder) {
        if (c < 32 || wcschr(L"&|<>^%\"!;*?,=`", c)) {
            why = L"the folder's path holds a character that command lines treat specially ('" +
                  std::wstring(1, c < 32 ? L'?' : c) + L"'); choose another folder";
            return false;
        }
    }
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring lower = Lower(folder) + L"\\";
    if (lower.rfind(Lower(windows) + L"\\", 0) == 0) {
        why = L"the folder lies in the Windows folder";
        return false;
    }
    // The folder's access list is replaced: only a new folder, an empty one, or an earlier
    // installation may be taken over.
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            why = L"a file of that name exists";
            return false;
        }
        bool ours = Exists(folder + L"\\OrvantaService.exe") || Exists(folder + L"\\" + LOG_NAME);
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        bool empty = true;
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L"..")) empty = false;
            } while (empty && FindNextFileW(search, &found));
            FindClose(search);
        }
        if (!ours && !empty) {
            why = L"the folder exists and holds other files; its access list would be replaced, choose a new folder";
            return false;
        }
    }
    return true;
}

bool IsElevated()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                    elevation.TokenIsElevated;
    CloseHandle(token);
    return elevated;
}

// Major version of the running Windows, as the kernel reports it (no compatibility shims).
DWORD WindowsMajor()
{
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    auto get = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return get && get(&info) == 0 ? info.dwMajorVersion : 0;
}

// True when the file is an x64 kernel-mode image.
bool IsX64Driver(const std::wstring& path)
{
    std::string data;
    if (!ReadAll(path, data) || data.size() < 0x200 || data[0] != 'M' || data[1] != 'Z') return false;
    DWORD pe = *reinterpret_cast<const DWORD*>(&data[0x3c]);
    if (pe + 0x60 > data.size() || data.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return false;
    WORD machine = *reinterpret_cast<const WORD*>(&data[pe + 4]);
    WORD subsystem = *reinterpret_cast<const WORD*>(&data[pe + 24 + 68]);
    return machine == IMAGE_FILE_MACHINE_AMD64 && subsystem == IMAGE_SUBSYSTEM_NATIVE;
}

bool Preflight(const Install& in, std::wstring& why)
{
    if (!IsElevated()) {
        why = L"this needs an elevated prompt: right-click Command Prompt, choose \"Run as administrator\", and run it again";
        return false;
    }
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    if (system.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_AMD64) {
        why = L"Tarvex.sys is a driver for 64-bit x86 Windows (x64); this machine is not one";
        return false;
    }
    if (WindowsMajor() < 10) {
        why = L"this needs Windows 10 or later";
        return false;
    }
    if (!SafeFolder(in.folder, why)) {
        why = L"cannot install into \"" + in.folder + L"\": " + why;
        return false;
    }
    for (const wchar_t* file : REQUIRED_FILES) {
        if (!Exists(in.source + L"\\" + file)) {
            why = std::wstring(file) + L" is missing from " + in.source;
            return false;
        }
    }
    if (!IsX64Driver(in.source + L"\\Tarvex.sys")) {
        why = L"Tarvex.sys in " + in.source + L" is not an x64 driver image";
        return false;
    }
    return true;
}

// Copies one file, keeping what it replaces in the backup folder. Files in use are scheduled for
// replacement at restart when allowed, otherwise they fail the step.
bool CopyOne(Install& in, const std::wstring& from, const std::wstring& to, const std::wstring& label,
             std::vector<std::wstring>& notes, std::wstring& why)
{
    bool existed = Exists(to);
    if (existed && SameContent(from, to)) return true;
    std::wstring oldVersion = existed ? FileVersion(to) : L"";
    std::wstring saved;
    if (existed) {
        CreateDirectoryW(in.backup.c_str(), nullptr);
        saved = in.backup + L"\\" + std::to_wstring(in.undo.size()) + L"-" + to.substr(to.find_last_of(L'\\') + 1);
        if (!CopyFileW(to.c_str(), saved.c_str(), FALSE)) {
            why = L"cannot keep a copy of " + to + L" to undo with: " + ErrorText(GetLastError());
            return false;
        }
    }
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
        DWORD error = GetLastError();
        if (!existed || !IsInUse(error)) {
            why = L"cannot write " + to + L": " + ErrorText(error);
            return false;
        }
        if (!in.atRestart) {
            why = to + L" is in use and was not replaced (" + ErrorText(error) +
                  L"); close the program using it, or run the install again with --at-restart to replace it when "
                  L"Windows restarts";
            return false;
        }
        std::wstring staged = to + L".new";
        if (!CopyFileW(from.c_str(), staged.c_str(), FALSE) ||
            !MoveFileExW(staged.c_str(), to.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
            why = L"cannot schedule " + to + L" for replacement at restart: " + ErrorText(GetLastError());
            DeleteFileW(staged.c_str());
            return false;
        }
        in.restart = true;
        in.restartWhy.push_back(label + L" is replaced when Windows restarts (it was in use)");
        notes.push_back(label + L" in use: replaced at restart");
        // Without the staged file the rename at restart finds nothing to do.
        in.undo.push_back({L"cancel the replacement of " + label + L" at restart", [staged](std::wstring& w, bool&) {
                               if (DeleteFileW(staged.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
                               w = ErrorText(GetLastError());
                               return false;
                           }});
        return true;
    }
    if (!SameContent(from, to)) {
        why = to + L" does not read back as the file copied";
        return false;
    }
    std::wstring newVersion = FileVersion(to);
    if (existed)
        notes.push_back(L"replaced " + label + L" " + (oldVersion.empty() ? L"(no version)" : oldVersion) + L" with " +
                        (newVersion.empty() ? L"(no version)" : newVersion) +
                        (IsOlder(newVersion, oldVersion) ? L" (an older version)" : L""));
    in.undo.push_back({(existed ? L"put back the earlier " : L"delete ") + label, [to, saved](std::wstring& w, bool&) {
                           bool ok = saved.empty() ? (DeleteFileW(to.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
                                                   : CopyFileW(saved.c_str(), to.c_str(), FALSE) != FALSE;
                           if (!ok) w = ErrorText(GetLastError());
                           return ok;
                       }});
    return true;
}

bool MakeFolder(Install& in, const std::wstring& dir, std::wstring& why)
{
    if (Exists(dir)) return true;
    std::wstring parent = dir.substr(0, dir.find_last_of(L'\\'));
    if (parent.size() > 2 && !MakeFolder(in, parent, why)) return false;
    if (!CreateDirectoryW(dir.c_str(), nullptr)) {
        why = L"cannot create " + dir + L": " + ErrorText(GetLastError());
        return false;
    }
    in.undo.push_back({L"remove the folder " + dir, [dir](std::wstring& w, bool&) {
                           // A program of ours that has just ended can still hold the folder as its
                           // current directory for a moment: a sharing violation is given 5 s to pass.
                           for (int tries = 0;; ++tries) {
                               if (RemoveDirectoryW(dir.c_str())) return true;
                               DWORD error = GetLastError();
                               if (error != ERROR_SHARING_VIOLATION || tries == 50) {
                                   w = ErrorText(error);
                                   return false;
                               }
                               Sleep(100);
                           }
                       }});
    return true;
}

bool CopyTree(Install& in, const std::wstring& from, const std::wstring& to, const std::wstring& label,
              std::vector<std::wstring>& notes, std::wstring& why)
{
    if (!MakeFolder(in, to, why)) return false;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return true;
    bool ok = true;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok = CopyTree(in, from + L"\\" + name, to + L"\\" + name, label + L"\\" + name, notes, why);
        else
            ok = CopyOne(in, from + L"\\" + name, to + L"\\" + name, label + L"\\" + name, notes, why);
    } while (ok && FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

// Stops an earlier OrvantaService of this folder, whose program is about to be replaced; the
// service step starts the new one.
bool StepStopOldService(Install& in, std::wstring& detail, std::wstring& why)
{
    ServiceInfo old = QueryService(SERVICE);
    if (!old.exists || old.state == SERVICE_STOPPED) {
        detail = L"none running";
        return true;
    }
    if (!StopService(SERVICE, why)) return false;
    detail = L"stopped the running OrvantaService";
    in.undo.push_back({L"start OrvantaService again", [](std::wstring& w, bool&) {
                           SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
                           SC_HANDLE s = m ? OpenServiceW(m, SERVICE, SERVICE_START) : nullptr;
                           bool ok = s && (StartServiceW(s, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
                           if (!ok) w = ErrorText(GetLastError());
                           if (s) CloseServiceHandle(s);
                           if (m) CloseServiceHandle(m);
                           return ok;
                       }});
    return true;
}

bool StepCopyFiles(Install& in, std::wstring& detail, std::wstring& why)
{
    if (SameText(FullPath(in.source), FullPath(in.folder))) {
        detail = L"the files are already in the folder";
        return true;
    }
    if (!MakeFolder(in, in.folder, why)) return false;
    std::vector<std::wstring> notes;
    std::vector<std::wstring> files(std::begin(REQUIRED_FILES), std::end(REQUIRED_FILES));
    for (const wchar_t* f : OPTIONAL_FILES)
        if (Exists(in.source + L"\\" + f)) files.push_back(f);
    for (const auto& f : files)
        if (!CopyOne(in, in.source + L"\\" + f, in.folder + L"\\" + f, f, notes, why)) return false;
    if (Exists(in.source + L"\\Revenix") && !CopyTree(in, in.source + L"\\Revenix", in.folder + L"\\Revenix", L"Revenix", notes, why))
        return false;
    detail = std::to_wstring(files.size()) + L" files into " + in.folder;
    for (const auto& n : notes) detail += L"; " + n;
    return true;
}

bool RunsOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// SYSTEM and Administrators may change the folder, users may read and run it, nobody else
// inherits a right to it: a LocalSystem service and an elevated logon task run programs from it.
bool StepLockFolder(Install& in, std::wstring& detail, std::wstring& why)
{
    PSECURITY_DESCRIPTOR before = nullptr;
    PACL oldDacl = nullptr;
    DWORD error = GetNamedSecurityInfoW(in.folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &oldDacl, nullptr, &before);
    if (error) {
        why = L"cannot read the folder's access list: " + ErrorText(error);
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(before, &control, &revision);

    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = nullptr, admins = nullptr, users = nullptr;
    AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system);
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins);
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0, 0, &users);
    EXPLICIT_ACCESSW access[3] = {};
    PSID sids[3] = {system, admins, users};
    DWORD rights[3] = {FILE_ALL_ACCESS, FILE_ALL_ACCESS, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE};
    for (int i = 0; i < 3; ++i) {
        access[i].grfAccessPermissions = rights[i];
        access[i].grfAccessMode = SET_ACCESS;
        access[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        access[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access[i].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        access[i].Trustee.ptstrName = static_cast<LPWSTR>(sids[i]);
    }
    PACL dacl = nullptr;
    error = SetEntriesInAclW(3, access, nullptr, &dacl);
    if (!error)
        error = SetNamedSecurityInfoW(&in.folder[0], SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                      nullptr, dacl, nullptr);
    if (dacl) LocalFree(dacl);
    if (error) {
        why = L"cannot set the folder's access list: " + ErrorText(error);
        LocalFree(before);
        FreeSid(system), FreeSid(admins), FreeSid(users);
        return false;
    }
    // The undo puts the earlier list back, protected or inheriting as it was.
    std::vector<BYTE> saved(GetSecurityDescriptorLength(before));
    memcpy(saved.data(), before, saved.size());
    LocalFree(before);
    std::wstring folder = in.folder;
    bool wasProtected = (control & SE_DACL_PROTECTED) != 0;
    in.undo.push_back({L"put back the folder's earlier access list", [folder, saved, wasProtected](std::wstring& w, bool&) {
                           BOOL present = FALSE, defaulted = FALSE;
                           PACL old = nullptr;
                           auto sd = const_cast<BYTE*>(saved.data());
                           GetSecurityDescriptorDacl(sd, &present, &old, &defaulted);
                           std::wstring name = folder;
                           DWORD e = SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT,
                                                           DACL_SECURITY_INFORMATION |
                                                               (wasProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                             : UNPROTECTED_DACL_SECURITY_INFORMATION),
                                                           nullptr, nullptr, present ? old : nullptr, nullptr);
                           if (e) w = ErrorText(e);
                           return e == 0;
                       }});

    // Read back: every grant of a changing right, inherited ones included, goes to SYSTEM or
    // Administrators.
    PSECURITY_DESCRIPTOR after = nullptr;
    PACL now = nullptr;
    error = GetNamedSecurityInfoW(in.folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &now,
                                  nullptr, &after);
    bool ok = !error && now;
    if (ok) {
        const DWORD changing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE |
                               FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
        for (WORD i = 0; ok && i < now->AceCount; ++i) {
            ACE_HEADER* ace = nullptr;
            if (!GetAce(now, i, reinterpret_cast<void**>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
            auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
            PSID who = &allowed->SidStart;
            if ((allowed->Mask & changing) && !EqualSid(who, system) && !EqualSid(who, admins)) {
                ok = false;
                wchar_t* text = nullptr;
                ConvertSidToStringSidW(who, &text);
                wchar_t mask[16];
                swprintf(mask, 16, L"0x%08lx", static_cast<unsigned long>(allowed->Mask));
                why = L"the folder's access list reads back with the rights " + std::wstring(mask) + L" for " +
                      (text ? text : L"another account");
                if (text) LocalFree(text);
            }
        }
    }
    if (after) LocalFree(after);
    FreeSid(system), FreeSid(admins), FreeSid(users);
    // Wine accepts a file's access list but reads back one made from the Unix mode bits: there the
    // list is set and said to be unproven, rather than failing every install.
    if (!ok && !error && RunsOnWine()) {
        detail = L"SYSTEM and Administrators: full control; Users: read and run (set; not read back: Wine does not "
                 L"keep file access lists)";
        return true;
    }
    if (!ok) {
        if (error) why = L"cannot read the folder's access list back: " + ErrorText(error);
        else if (why.empty()) why = L"the folder's access list cannot be read back";
        return false;
    }
    detail = L"SYSTEM and Administrators: full control; Users: read and run";
    return true;
}

bool StepCopyDriver(Install& in, std::wstring& detail, std::wstring& why)
{
    std::vector<std::wstring> notes;
    // A loaded driver cannot be overwritten: an upgrade replaces it at the next restart, while the
    // loaded one keeps serving the class filter.
    ServiceInfo kernel = QueryService(KERNEL_SERVICE);
    bool allowed = in.atRestart;
    in.atRestart = allowed || (kernel.exists && kernel.state == SERVICE_RUNNING);
    bool ok = CopyOne(in, in.source + L"\\Tarvex.sys", DriverPath(), L"Tarvex.sys (drivers folder)", notes, why);
    in.atRestart = allowed;
    if (!ok) return false;
    detail = DriverPath();
    for (const auto& n : notes) detail += L"; " + n;
    return true;
}

bool StepKernelService(Install& in, std::wstring& detail, std::wstring& why)
{
    ServiceInfo old = QueryService(KERNEL_SERVICE);
    if (old.exists) {
        if (old.type != SERVICE_KERNEL_DRIVER || Lower(old.binary).find(L"drivers\\tarvex.sys") == std::wstring::npos) {
            why = L"a service named Tarvex already exists and is not this driver (" + old.binary + L")";
            return false;
        }
        detail = L"already there";
        return true;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        why = L"cannot open the service control manager: " + ErrorText(GetLastError());
        return false;
    }
    std::wstring image = DriverPath();
    SC_HANDLE service = CreateServiceW(manager, KERNEL_SERVICE, KERNEL_SERVICE_DISPLAY, SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    DWORD error = GetLastError();
    if (service) {
        SERVICE_DESCRIPTIONW description = {const_cast<wchar_t*>(L"Sends the charging request to Apple USB devices.")};
        ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (!service) {
        why = L"cannot create the kernel service Tarvex: " + ErrorText(error);
        if (error == ERROR_DUPLICATE_SERVICE_NAME)
            why += L"; another service already uses the name \"" + std::wstring(KERNEL_SERVICE_DISPLAY) + L"\"";
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
            why += L"; an earlier Tarvex is removed at the next restart: restart Windows, then install again";
        return false;
    }
    in.undo.push_back({L"delete the kernel service Tarvex", [](std::wstring& w, bool& restart) {
                           bool marked = false;
                           if (!DeleteServiceNamed(KERNEL_SERVICE, marked, w)) return false;
                           restart = restart || marked;
                           return true;
                       }});
    ServiceInfo made = QueryService(KERNEL_SERVICE);
    if (!made.exists || made.type != SERVICE_KERNEL_DRIVER || !SameText(made.binary, image)) {
        why = L"the kernel service Tarvex does not read back as created";
        return false;
    }
    detail = L"kernel driver, demand start, " + image;
    return true;
}

bool StepLoadDriver(Install& in, std::wstring& detail, std::wstring& why)
{
    if (QueryService(KERNEL_SERVICE).state == SERVICE_RUNNING) {
        detail = L"already loaded";
        return true;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, KERNEL_SERVICE, SERVICE_START | SERVICE_QUERY_STATUS) : nullptr;
    bool started = service && (StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
    DWORD error = GetLastError();
    // A driver whose entry routine fails shows as a start that ends stopped.
    bool running = false;
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
    if (started)
        in.undo.push_back({L"unload the driver", [](std::wstring& w, bool& restart) {
                               std::wstring ignored;
                               // A driver that will not stop is removed with its service at the next restart.
                               if (!StopService(KERNEL_SERVICE, ignored)) {
                                   restart = true;
                                   w = L"it stays loaded until Windows restarts";
                               }
                               return true;
                           }});
    if (!started) {
        why = L"Windows refused to load Tarvex.sys: " + ErrorText(error);
        if (error == ERROR_INVALID_IMAGE_HASH_ || error == ERROR_DRIVER_BLOCKED)
            why += L". The driver is unsigned or signed by a certificate this machine does not trust. On a test "
                   L"machine, trust Tarvex.cer and turn on test signing (README, \"Requirements and risks\"); "
                   L"otherwise install a production-signed build";
        if (error == ERROR_DRIVER_FAILED_PRIOR_UNLOAD_)
            why += L". An earlier Tarvex is still loaded: restart Windows, then install again";
        return false;
    }
    if (!running) {
        why = L"Tarvex.sys did not load: " + ErrorText(error);
        return false;
    }
    detail = L"the kernel service Tarvex started: the driver loads";
    return true;
}

bool StepRegisterFilter(Install& in, std::wstring& detail, std::wstring& why)
{
    // The one rule of this program: the class names Tarvex only while a loadable driver backs it.
    ServiceInfo kernel = QueryService(KERNEL_SERVICE);
    if (!kernel.exists || kernel.state != SERVICE_RUNNING) {
        why = L"the kernel service Tarvex is not loaded; the filter is not registered";
        return false;
    }
    std::vector<std::wstring> filters;
    DWORD error = 0;
    if (!ReadFilters(filters, error)) {
        why = L"cannot read the USB class's UpperFilters: " + ErrorText(error);
        return false;
    }
    if (Names(filters)) {
        detail = L"already registered (UpperFilters: " + Join(filters) + L")";
        return true;
    }
    std::vector<std::wstring> wanted = filters;
    wanted.push_back(FILTER);
    bool written = WriteFilters(wanted, error);
    in.undo.push_back({L"remove Tarvex from the USB class's UpperFilters", [](std::wstring& w, bool&) {
                           return RemoveFilter(w);
                       }});
    if (!written) {
        why = L"cannot write the USB class's UpperFilters: " + ErrorText(error);
        return false;
    }
    std::vector<std::wstring> now;
    if (!ReadFilters(now, error) || now != wanted) {
        why = L"the USB class's UpperFilters read back as " + Join(now) + L", expected " + Join(wanted);
        return false;
    }
    detail = L"UpperFilters: " + Join(now);
    in.notes.push_back(L"USB devices already plugged in are filtered once they are replugged or Windows restarts");
    return true;
}

bool StepService(Install& in, std::wstring& detail, std::wstring& why)
{
    ServiceInfo before = QueryService(SERVICE);
    std::wstring program = in.folder + L"\\OrvantaService.exe";
    DWORD code = 0;
    bool ran = RunProgram(program, L"-i", code, why);
    ServiceInfo now = QueryService(SERVICE);
    bool ours = now.exists && Lower(now.binary).find(Lower(program)) != std::wstring::npos;
    std::wstring folder = in.folder;
    if (!before.exists && now.exists)
        in.undo.push_back({L"remove the service OrvantaService", [folder](std::wstring& w, bool& restart) {
                               DWORD c = 0;
                               HANDLE process = OpenServiceProcess(SERVICE);
                               RunProgram(folder + L"\\OrvantaService.exe", L"-d", c, w);
                               bool marked = false;
                               bool deleted = DeleteServiceNamed(SERVICE, marked, w);
                               WaitForProcessEnd(process);
                               if (!deleted) return false;
                               restart = restart || marked;
                               return true;
                           }});
    else if (before.exists)
        in.undo.push_back({L"stop the new OrvantaService", [](std::wstring& w, bool&) { return StopService(SERVICE, w); }});
    if (!ran) return false;
    if (code != 0 || !ours) {
        why = L"OrvantaService.exe -i exited with " + std::to_wstring(static_cast<int>(code)) +
              (ours ? L"" : L" and the service is not registered from " + program);
        return false;
    }
    detail = std::wstring(L"registered from ") + program + L", " + StateName(now.state);
    return true;
}

bool StepTask(Install& in, std::wstring& detail, std::wstring& why)
{
    TaskState before = QueryTask();
    std::wstring program = in.folder + L"\\logontask.exe";
    DWORD code = 0;
    if (!RunProgram(program, L"CREATE_TASK", code, why)) return false;
    std::wstring folder = in.folder;
    if (before != TaskState::Present)
        in.undo.push_back({L"delete the logon task OrvantaUWP", [folder](std::wstring& w, bool&) {
                               DWORD c = 0;
                               if (!RunProgram(folder + L"\\logontask.exe", L"DELETE_TASK", c, w)) return false;
                               if (QueryTask(&w) == TaskState::Present) {
                                   w = L"the task is still there";
                                   return false;
                               }
                               return true;
                           }});
    // The tool reports nothing: the Task Scheduler is asked.
    TaskState now = QueryTask(&why);
    if (now != TaskState::Present) {
        if (now == TaskState::Absent) why = L"logontask.exe CREATE_TASK ran, but the Task Scheduler has no task OrvantaUWP";
        return false;
    }
    detail = L"the Task Scheduler holds OrvantaUWP";
    return true;
}

bool StepRecord(Install& in, std::wstring& detail, std::wstring& why)
{
    std::wstring oldFolder = RecordValue(L"InstallFolder"), oldVersion = RecordValue(L"Version");
    if (!WriteRecord(in.folder, VERSION)) {
        why = L"cannot write HKLM\\" + std::wstring(RECORD_KEY) + L": " + ErrorText(GetLastError());
        return false;
    }
    in.undo.push_back({L"put back the install record", [oldFolder, oldVersion](std::wstring& w, bool&) {
                           bool ok = oldFolder.empty() ? DeleteRecord() : WriteRecord(oldFolder, oldVersion);
                           if (!ok) w = L"cannot write the registry";
                           return ok;
                       }});
    detail = L"version " + std::wstring(VERSION) + (oldVersion.empty() ? L"" : L" (was " + oldVersion + L")");
    return true;
}

void RemoveBackup(const std::wstring& backup)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((backup + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((backup + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(backup.c_str());
}

// The USB class filter's state in one phrase, for every last line.
std::wstring FilterState()
{
    std::vector<std::wstring> filters;
    DWORD error = 0;
    if (!ReadFilters(filters, error)) return L"USB class filter: cannot be read (" + ErrorText(error) + L")";
    if (!Names(filters)) return L"USB class filter: Tarvex not registered";
    ServiceInfo kernel = QueryService(KERNEL_SERVICE);
    if (kernel.exists && kernel.state == SERVICE_RUNNING) return L"USB class filter: Tarvex registered, driver loaded";
    return L"USB class filter: Tarvex registered WITHOUT a loaded driver; remove it (README, \"When USB stops working\")";
}

int RunInstall(Install& in)
{
    Say(L"Installing Orvanta " + std::wstring(VERSION) + L" from " + in.source + L" into " + in.folder);
    std::wstring why;
    if (!Preflight(in, why)) {
        Failed(L"check the machine and the files", why);
        Say(L"Not installed: nothing was changed.");
        return EXIT_FAILED;
    }
    Ok(L"check the machine and the files", L"elevated, 64-bit Windows, folder and files fine");
    in.backup = in.folder + L"\\" + BACKUP_DIR;

    struct Step {
        const wchar_t* name;
        bool (*run)(Install&, std::wstring&, std::wstring&);
    };
    const Step steps[] = {
        {L"stop an earlier OrvantaService", StepStopOldService},
        {L"copy the program files", StepCopyFiles},
        {L"limit who may change the folder", StepLockFolder},
        {L"copy Tarvex.sys to the drivers folder", StepCopyDriver},
        {L"create the kernel service Tarvex", StepKernelService},
        {L"load the driver", StepLoadDriver},
        {L"add Tarvex to the USB class's UpperFilters", StepRegisterFilter},
        {L"install the service OrvantaService", StepService},
        {L"register the logon task OrvantaUWP", StepTask},
        {L"record the installation", StepRecord},
    };
    const Step* failedStep = nullptr;
    for (const Step& step : steps) {
        std::wstring detail;
        why.clear();
        if (!step.run(in, detail, why)) {
            Failed(step.name, why.empty() ? L"failed" : why);
            failedStep = &step;
            break;
        }
        Ok(step.name, detail);
    }
    if (!failedStep) {
        // The earlier files are no longer needed once everything holds.
        RemoveBackup(in.backup);
        for (const auto& n : in.notes) Say(L"  note: " + n);
        if (in.restart) {
            for (const auto& r : in.restartWhy) Say(L"  note: " + r);
            Say(L"Installed, version " + std::wstring(VERSION) + L"; restart Windows to finish. " + FilterState() + L".");
            return EXIT_RESTART;
        }
        Say(L"Installed, version " + std::wstring(VERSION) + L". " + FilterState() + L".");
        return EXIT_DONE;
    }

    Say(L"Undoing the steps made, newest first:");
    std::vector<std::wstring> left;
    bool restart = false;
    for (auto it = in.undo.rbegin(); it != in.undo.rend(); ++it) {
        std::wstring w;
        if (it->run(w, restart))
            Say(L"  [undone] " + it->what + (w.empty() ? L"" : L" (" + w + L")"));
        else {
            Say(L"  [LEFT]   " + it->what + L": " + w);
            left.push_back(it->what);
        }
    }
    RemoveBackup(in.backup);
    std::wstring state = FilterState();
    if (!left.empty()) {
        Say(L"Not installed: \"" + std::wstring(failedStep->name) + L"\" failed and " + std::to_wstring(left.size()) +
            L" change(s) could not be undone (see [LEFT] above). " + state + L".");
        return EXIT_LEFT_OVER;
    }
    Say(L"Not installed: \"" + std::wstring(failedStep->name) + L"\" failed; every change was undone" +
        (restart ? L" (a restart completes the removal of the driver)" : L"") + L". " + state + L".");
    return EXIT_FAILED;
}

// ---- uninstall -----------------------------------------------------------------------------------

int RunUninstall(const std::wstring& folder)
{
    Say(L"Removing Orvanta from " + folder);
    if (!IsElevated()) {
        Failed(L"check the machine", L"this needs an elevated prompt: run it again as administrator");
        Say(L"Not removed: nothing was changed. " + FilterState() + L".");
        return EXIT_FAILED;
    }
    // The filter entry goes first and is proven gone: from then on no USB stack depends on Tarvex,
    // whatever happens to the steps after it.
    std::wstring why;
    if (!RemoveFilter(why)) {
        Failed(L"remove Tarvex from the USB class's UpperFilters", why);
        Say(L"Removal failed: nothing else was changed. " + FilterState() + L".");
        return EXIT_FAILED;
    }
    std::vector<std::wstring> remaining;
    DWORD error = 0;
    ReadFilters(remaining, error);
    Ok(L"remove Tarvex from the USB class's UpperFilters", L"UpperFilters now: " + Join(remaining));

    int failures = 0;
    std::vector<std::wstring> restartWhy;
    auto fail = [&](const wchar_t* step, const std::wstring& w) {
        Failed(step, w);
        ++failures;
    };

    const wchar_t* taskStep = L"delete the logon task OrvantaUWP";
    DWORD code = 0;
    std::wstring tool = folder + L"\\logontask.exe";
    if (QueryTask() == TaskState::Absent) {
        Ok(taskStep, L"not there");
    } else if (!Exists(tool)) {
        fail(taskStep, tool + L" is missing; delete the task in Task Scheduler");
    } else if (!RunProgram(tool, L"DELETE_TASK", code, why)) {
        fail(taskStep, why);
    } else {
        TaskState state = QueryTask(&why);
        if (state == TaskState::Absent) Ok(taskStep);
        else fail(taskStep, state == TaskState::Present ? L"the Task Scheduler still holds it" : why);
    }

    const wchar_t* serviceStep = L"remove the service OrvantaService";
    if (QueryService(SERVICE).exists) {
        std::wstring program = folder + L"\\OrvantaService.exe";
        HANDLE process = OpenServiceProcess(SERVICE);
        if (Exists(program)) RunProgram(program, L"-d", code, why);
        // The program's -d is silent; a registration it left is deleted here and the result read back.
        bool marked = false;
        std::wstring stopWhy;
        StopService(SERVICE, stopWhy);
        bool deleted = DeleteServiceNamed(SERVICE, marked, why);
        WaitForProcessEnd(process);
        if (!deleted) {
            fail(serviceStep, why);
        } else if (marked) {
            Ok(serviceStep, L"marked for deletion; it goes when Windows restarts");
            restartWhy.push_back(L"the service OrvantaService goes when Windows restarts");
        } else {
            Ok(serviceStep);
        }
    } else {
        Ok(serviceStep, L"not there");
    }

    const wchar_t* kernelStep = L"remove the kernel service Tarvex";
    ServiceInfo kernel = QueryService(KERNEL_SERVICE);
    bool driverLoaded = false;
    if (kernel.exists) {
        std::wstring stopWhy;
        driverLoaded = kernel.state != SERVICE_STOPPED && !StopService(KERNEL_SERVICE, stopWhy);
        bool marked = false;
        if (!DeleteServiceNamed(KERNEL_SERVICE, marked, why)) {
            fail(kernelStep, why);
        } else if (driverLoaded || marked) {
            Ok(kernelStep, L"the driver is still loaded; it and its service go when Windows restarts");
            restartWhy.push_back(L"the loaded driver Tarvex.sys is unloaded when Windows restarts");
        } else {
            Ok(kernelStep, L"unloaded and deleted");
        }
    } else {
        Ok(kernelStep, L"not there");
    }

    const wchar_t* fileStep = L"delete Tarvex.sys from the drivers folder";
    std::wstring driver = DriverPath();
    if (!Exists(driver)) {
        Ok(fileStep, L"not there");
    } else if (DeleteFileW(driver.c_str())) {
        Ok(fileStep);
    } else if (MoveFileExW(driver.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        Ok(fileStep, L"in use; deleted when Windows restarts");
        restartWhy.push_back(L"Tarvex.sys is deleted when Windows restarts");
    } else {
        fail(fileStep, ErrorText(GetLastError()));
    }

    if (DeleteRecord()) Ok(L"delete the install record");
    else fail(L"delete the install record", L"cannot delete HKLM\\" + std::wstring(RECORD_KEY));

    std::wstring state = FilterState();
    if (failures) {
        Say(L"Removal failed: " + std::to_wstring(failures) + L" step(s) failed (see above). " + state + L".");
        return EXIT_FAILED;
    }
    if (!restartWhy.empty()) {
        for (const auto& r : restartWhy) Say(L"  note: " + r);
        Say(L"Removed, restart needed: restart Windows to finish. " + state + L". The folder " + folder +
            L" can be deleted.");
        return EXIT_RESTART;
    }
    Say(L"Removed. " + state + L". The folder " + folder + L" can be deleted.");
    return EXIT_DONE;
}

// ---- status --------------------------------------------------------------------------------------

int RunStatus()
{
    std::wstring folder = RecordValue(L"InstallFolder");
    std::wstring version = RecordValue(L"Version");
    int present = 0, parts = 0;
    auto part = [&](bool here) {
        ++parts;
        if (here) ++present;
    };
    Say(L"Orvanta tvxsetup " + std::wstring(VERSION));
    part(!folder.empty());
    Say(L"  installation record: " + (folder.empty() ? std::wstring(L"none") : L"version " + version + L" in " + folder));
    if (!folder.empty()) {
        for (const wchar_t* f : REQUIRED_FILES) {
            std::wstring path = folder + L"\\" + f;
            std::wstring v = FileVersion(path);
            Say(L"  file " + std::wstring(f) + L": " +
                (Exists(path) ? (v.empty() ? std::wstring(L"present, no version") : L"version " + v) : L"MISSING"));
        }
    }
    std::wstring driver = DriverPath();
    part(Exists(driver));
    std::wstring dv = FileVersion(driver);
    Say(L"  driver file " + driver + L": " + (Exists(driver) ? L"version " + (dv.empty() ? L"unknown" : dv) : L"absent"));

    std::vector<std::wstring> filters;
    DWORD error = 0;
    bool read = ReadFilters(filters, error);
    part(read && Names(filters));
    Say(L"  USB class UpperFilters: " + (read ? Join(filters) : L"cannot be read: " + ErrorText(error)) +
        (read && Names(filters) ? L" (Tarvex registered)" : L" (Tarvex not registered)"));

    ServiceInfo kernel = QueryService(KERNEL_SERVICE);
    part(kernel.exists);
    Say(L"  kernel service Tarvex: " +
        (kernel.exists ? std::wstring(StateName(kernel.state)) +
                             (kernel.state == SERVICE_RUNNING ? L" (driver loaded)" : L" (driver not loaded)")
                       : L"absent"));
    ServiceInfo service = QueryService(SERVICE);
    part(service.exists);
    Say(L"  service OrvantaService: " +
        (service.exists ? std::wstring(StateName(service.state)) + L", " + service.binary : L"absent"));
    std::wstring why;
    TaskState task = QueryTask(&why);
    part(task == TaskState::Present);
    Say(L"  logon task OrvantaUWP: " +
        std::wstring(task == TaskState::Present ? L"present" : task == TaskState::Absent ? L"absent" : why.c_str()));

    bool unsafe = read && Names(filters) && !(kernel.exists && kernel.state == SERVICE_RUNNING);
    if (present == parts && !unsafe) {
        Say(L"Installed, version " + version + L".");
        return EXIT_DONE;
    }
    if (present == 0) {
        Say(L"Not installed.");
        return EXIT_FAILED;
    }
    Say(L"Partly installed (" + std::to_wstring(present) + L" of " + std::to_wstring(parts) + L" parts). " +
        FilterState() + L".");
    return EXIT_LEFT_OVER;
}

int Usage(bool asked)
{
    fputs(USAGE, asked ? stdout : stderr);
    return asked ? EXIT_DONE : EXIT_USAGE;
}

std::wstring DefaultFolder()
{
    wchar_t dir[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableW(L"ProgramW6432", dir, MAX_PATH);
    if (!n || n >= MAX_PATH) n = GetEnvironmentVariableW(L"ProgramFiles", dir, MAX_PATH);
    if (!n || n >= MAX_PATH) return L"C:\\Program Files\\Orvanta";
    return std::wstring(dir) + L"\\Orvanta";
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return Usage(false);
    std::wstring verb = Lower(argv[1]);
    if (verb == L"/?" || verb == L"-h" || verb == L"--help" || verb == L"help") return Usage(true);
    if (verb == L"--version") {
        printf("tvxsetup %s\n", TVX_VERSION_TEXT);
        return EXIT_DONE;
    }
    if (verb == L"status") {
        if (argc != 2) return Usage(false);
        return RunStatus();
    }
    if (verb == L"install") {
        Install in;
        in.source = ProgramDir();
        std::wstring folder;
        for (int i = 2; i < argc; ++i) {
            if (SameText(argv[i], L"--at-restart")) in.atRestart = true;
            else if (folder.empty() && argv[i][0] != L'-') folder = argv[i];
            else return Usage(false);
        }
        // A relative folder would depend on where the prompt stands: only full paths are taken.
        in.folder = folder.empty() ? DefaultFolder() : SafeFolderSyntax(folder) ? FullPath(folder) : folder;
        int code = RunInstall(in);
        WriteLog(in.folder);
        return code;
    }
    if (verb == L"uninstall") {
        if (argc > 3) return Usage(false);
        std::wstring folder = argc == 3 ? FullPath(argv[2]) : RecordValue(L"InstallFolder");
        if (folder.empty()) folder = ProgramDir();
        int code = RunUninstall(folder);
        WriteLog(folder);
        return code;
    }
    return Usage(false);
}
