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

#include "paths.h"

#ifndef TVX_VERSION_TEXT
#error "TVX_VERSION_TEXT must name the build's version"
#endif

namespace {

using namespace tvxsetup;

const wchar_t FILTER[] = L"Tarvex";
const wchar_t KERNEL_SERVICE[] = L"Tarvex";
const wchar_t KERNEL_SERVICE_DISPLAY[] = L"Tarvex USB charging filter";
// The temporary kernel service under which a new driver image proves it loads.
const wchar_t PROOF_SERVICE[] = L"TarvexProof";
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
    "usage: tvxsetup install [FOLDER] [--at-restart] [--move]\n"
    "       tvxsetup uninstall [FOLDER]\n"
    "       tvxsetup status\n"
    "\n"
    "install    copies the programs into FOLDER (default: %ProgramFiles%\\Orvanta), limits who may\n"
    "           change it, installs Tarvex.sys as kernel service, proves it loads, only then adds\n"
    "           Tarvex to the USB class's UpperFilters, then installs OrvantaService and the logon\n"
    "           task. Any failure undoes every step made, newest first. --at-restart lets files\n"
    "           in use be replaced when Windows restarts instead of failing. --move moves an\n"
    "           installation in another folder here (without it that is refused).\n"
    "uninstall  removes Tarvex from the UpperFilters first, then the task, the service, the\n"
    "           kernel service and the driver file (a loaded driver goes at the next restart).\n"
    "status     what is installed and in what state.\n"
    "\n"
    "Run from an elevated prompt. Each step is logged to FOLDER\\tvxsetup.log once the folder\n"
    "passed its checks, otherwise to %TEMP%\\tvxsetup.log (the last line says so).\n"
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

// The folder the log goes into: set only once the installation folder passed its checks (or is
// the one the install record names); until then the log goes to the temporary folder.
std::wstring logFolder;

std::wstring LogPath()
{
    if (!logFolder.empty()) return logFolder + L"\\" + LOG_NAME;
    wchar_t temp[MAX_PATH] = {};
    DWORD n = GetTempPathW(MAX_PATH, temp);
    std::wstring dir = n && n < MAX_PATH ? std::wstring(temp, n) : L"C:\\Windows\\Temp\\";
    if (dir.back() != L'\\') dir += L'\\';
    return dir + LOG_NAME;
}

// Said at the end of a last line when the log is not in the installation folder.
std::wstring LogNote() { return logFolder.empty() ? L" The log is in " + LogPath() + L"." : L""; }

// Appends this run's lines to the log.
void WriteLog()
{
    std::wstring path = LogPath();
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

// "1.0.0.0" from a file's version resource; empty without one. Read as resource data, so that the
// elevated installer needs no DLL outside the known system ones (the version library is not).
std::wstring FileVersion(const std::wstring& path)
{
    HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!image) return L"";
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));
    HGLOBAL loaded = found ? LoadResource(image, found) : nullptr;
    const BYTE* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    DWORD size = found ? SizeofResource(image, found) : 0;
    // VS_VERSIONINFO: a header, the key "VS_VERSION_INFO", padding, then the fixed part.
    VS_FIXEDFILEINFO fixed = {};
    bool got = false;
    for (DWORD at = 6; data && !got && at + sizeof fixed <= size && at < 96; at += 2) {
        memcpy(&fixed, data + at, sizeof fixed);
        got = fixed.dwSignature == 0xFEEF04BD;
    }
    FreeLibrary(image);
    if (!got) return L"";
    const VS_FIXEDFILEINFO* info = &fixed;
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionLS));
}

std::wstring WindowsDir()
{
    wchar_t dir[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
    return n && n < MAX_PATH ? std::wstring(dir, n) : L"C:\\Windows";
}

std::wstring DriversDir()
{
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\drivers";
}

std::wstring DriverPath() { return DriversDir() + L"\\Tarvex.sys"; }

// Two service binary paths (or a path and a file) that name the same file, in whatever form the
// service manager stored them.
bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return NormalImagePath(a, WindowsDir()) == NormalImagePath(b, WindowsDir());
}

// This driver's image: Tarvex.sys, or a proven upgrade Tarvex-<version>.sys, in the drivers folder.
bool IsOurImage(const std::wstring& binary)
{
    std::wstring path = NormalImagePath(binary, WindowsDir());
    std::wstring dir = NormalImagePath(DriversDir(), WindowsDir()) + L"\\";
    if (path.rfind(dir, 0) != 0) return false;
    std::wstring name = path.substr(dir.size());
    return name == L"tarvex.sys" ||
           (name.size() > 11 && name.rfind(L"tarvex-", 0) == 0 && name.find(L'\\') == std::wstring::npos &&
            name.compare(name.size() - 4, 4, L".sys") == 0);
}

// The files Windows deletes or moves away at the next restart.
std::vector<std::wstring> PendingRemovals()
{
    std::vector<std::wstring> sources;
    for (const wchar_t* value : {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"}) {
        DWORD type = 0, size = 0;
        const wchar_t key[] = L"System\\CurrentControlSet\\Control\\Session Manager";
        if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_MULTI_SZ, &type, nullptr, &size) || !size) continue;
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
        if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_MULTI_SZ, &type, data.data(), &size)) continue;
        auto found = PendingRenameSources(SplitMultiString(data.data(), size / sizeof(wchar_t)), WindowsDir());
        sources.insert(sources.end(), found.begin(), found.end());
    }
    return sources;
}

bool GoesAtRestart(const std::wstring& path)
{
    std::wstring normal = NormalImagePath(path, WindowsDir());
    for (const auto& s : PendingRemovals())
        if (s == normal) return true;
    return false;
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

// The USB class's UpperFilters as stored: its raw data (to see whether it changed), its type and
// its strings, empty ones included.
struct FilterValue {
    bool present = false;
    DWORD type = REG_MULTI_SZ;
    std::wstring raw;
    std::vector<std::wstring> items;
};

bool ReadFilterValue(FilterValue& value, DWORD& error)
{
    value = FilterValue();
    HKEY key = OpenUsbClassKey(KEY_QUERY_VALUE, error);
    if (!key) return false;
    LONG status = ERROR_MORE_DATA;
    DWORD size = 0;
    std::vector<BYTE> data;
    // The value may grow between the two reads: ask again for the larger size.
    for (int tries = 0; status == ERROR_MORE_DATA && tries < 5; ++tries) {
        status = RegQueryValueExW(key, L"UpperFilters", nullptr, &value.type, nullptr, &size);
        if (status != ERROR_SUCCESS) break;
        data.assign(size + 2 * sizeof(wchar_t), 0);
        status = RegQueryValueExW(key, L"UpperFilters", nullptr, &value.type, data.data(), &size);
    }
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) {
        error = static_cast<DWORD>(status);
        return false;
    }
    value.present = true;
    value.raw.assign(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    if (value.type == REG_MULTI_SZ) value.items = SplitMultiString(value.raw.data(), value.raw.size());
    return true;
}

bool ReadFilters(std::vector<std::wstring>& filters, DWORD& error)
{
    FilterValue value;
    bool ok = ReadFilterValue(value, error);
    filters = value.items;
    return ok;
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
        std::wstring value = JoinMultiString(filters);
        status = RegSetValueExW(key, L"UpperFilters", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                                static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    error = static_cast<DWORD>(status);
    return status == ERROR_SUCCESS;
}

bool Names(const std::vector<std::wstring>& filters)
{
    return std::any_of(filters.begin(), filters.end(), [](const std::wstring& f) { return SameText(f, FILTER); });
}

std::wstring Join(const std::vector<std::wstring>& items)
{
    std::wstring out;
    for (const auto& i : items) out += (out.empty() ? L"" : L", ") + (i.empty() ? L"(empty)" : i);
    return out.empty() ? L"(none)" : out;
}

// Failed: the value was not changed; WriteFailed: a write was tried and may have taken in part.
enum class Edit { Unchanged, Written, Failed, WriteFailed };

// Changes the UpperFilters as the class installer tools do: a value that is not a multi-string is
// left alone, every other entry is kept exactly, and the value is read again right before the
// write: when another program changed it meanwhile, the change is made over on the new value.
Edit EditFilters(const std::function<std::vector<std::wstring>(const std::vector<std::wstring>&)>& change,
                 std::vector<std::wstring>& result, std::wstring& why)
{
    for (int tries = 0; tries < 5; ++tries) {
        FilterValue before, again;
        DWORD error = 0;
        if (!ReadFilterValue(before, error)) {
            why = L"cannot read the USB class's UpperFilters: " + ErrorText(error);
            return Edit::Failed;
        }
        if (before.present && before.type != REG_MULTI_SZ) {
            why = L"the USB class's UpperFilters is of type " + std::to_wstring(before.type) +
                  L", not a multi-string (REG_MULTI_SZ); it was not changed";
            return Edit::Failed;
        }
        result = change(before.items);
        if (result == before.items) return Edit::Unchanged;
        if (!ReadFilterValue(again, error)) {
            why = L"cannot read the USB class's UpperFilters: " + ErrorText(error);
            return Edit::Failed;
        }
        if (again.present != before.present || again.type != before.type || again.raw != before.raw) continue;
        if (!WriteFilters(result, error)) {
            why = L"cannot write the USB class's UpperFilters: " + ErrorText(error);
            return Edit::WriteFailed;
        }
        std::vector<std::wstring> now;
        if (!ReadFilters(now, error) || now != result) {
            why = L"the USB class's UpperFilters read back as " + Join(now) + L", expected " + Join(result);
            return Edit::WriteFailed;
        }
        return Edit::Written;
    }
    why = L"the USB class's UpperFilters kept changing while it was edited; try again";
    return Edit::Failed;
}

std::vector<std::wstring> WithoutTarvex(const std::vector<std::wstring>& filters)
{
    std::vector<std::wstring> kept;
    for (const auto& f : filters)
        if (!SameText(f, FILTER)) kept.push_back(f);
    return kept;
}

// Takes every Tarvex entry out, keeps the others in their order, and reads the value back.
bool RemoveFilter(std::wstring& why)
{
    std::vector<std::wstring> result;
    Edit edit = EditFilters(WithoutTarvex, result, why);
    return edit == Edit::Unchanged || edit == Edit::Written;
}

// ---- services ------------------------------------------------------------------------------------

struct ServiceInfo {
    bool exists = false;
    DWORD state = 0;        // SERVICE_RUNNING, ...
    DWORD type = 0;
    DWORD start = 0;        // SERVICE_DEMAND_START, ...
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
bool IsMarkedForDeletion(const wchar_t* name)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_CHANGE_CONFIG) : nullptr;
    bool marked = service && !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) &&
                  GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return marked;
}

// What decides whether the USB class may name Tarvex: its kernel service and image as they will
// be after the next restart, loaded now or not (Windows unloads the driver with its last device).
struct KernelHealth {
    ServiceInfo service;
    bool marked = false;
    bool imageExists = false;
    bool imageGoes = false;     // deleted or moved away at the next restart
    std::wstring image;         // the file the service names, as a DOS path
};

KernelHealth QueryKernelHealth()
{
    KernelHealth h;
    h.service = QueryService(KERNEL_SERVICE);
    if (!h.service.exists) return h;
    h.marked = IsMarkedForDeletion(KERNEL_SERVICE);
    h.image = DosImagePath(h.service.binary, WindowsDir());
    h.imageExists = Exists(h.image);
    h.imageGoes = GoesAtRestart(h.image);
    return h;
}

// Empty when the service and its file will still be there after the restart; else which fails.
std::wstring KernelProblem(const KernelHealth& h)
{
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

// Removes the record. leftFolder: the folder an uninstall leaves behind (locked, owned by
// Administrators) stays recorded as ours, so that an install into it later may take it over.
bool DeleteRecord(const std::wstring& leftFolder = L"")
{
    LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, RECORD_KEY);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return false;
    if (leftFolder.empty()) return true;
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr))
        return false;
    bool ok = !RegSetValueExW(key, L"LeftFolder", 0, REG_SZ, reinterpret_cast<const BYTE*>(leftFolder.c_str()),
                              static_cast<DWORD>((leftFolder.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return ok;
}

// The folder of the installation, or the one an uninstall left: the only existing folder taken over.
bool IsRecordedFolder(const std::wstring& folder)
{
    for (const wchar_t* value : {L"InstallFolder", L"LeftFolder"}) {
        std::wstring recorded = RecordValue(value);
        if (!recorded.empty() && SamePath(recorded, folder)) return true;
    }
    return false;
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
    bool move = false;                   // --move: an installation in another folder may move here
    std::wstring oldFolder;              // that other folder, emptied once the move holds
    std::wstring newImage;               // a new driver image, proven, that the Tarvex service is pointed at
    std::wstring oldImage;               // the image the service named before, retired once all holds
    bool driverWasLoaded = false;
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

// The installation folder's security: owned by Administrators; SYSTEM and Administrators may change
// it, users may read and run it, nothing is inherited from above. A LocalSystem service and an
// elevated logon task run programs from it, and an owner may always rewrite the access list.
const wchar_t FOLDER_SECURITY[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

bool IsTrustedOwner(PSID owner)
{
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
    PSID installer = nullptr;
    bool trusted = ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                          &installer) && EqualSid(owner, installer);
    if (installer) LocalFree(installer);
    return trusted;
}

bool RunsOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// Wine keeps neither owners nor access lists of files: every file reads back as owned by the
// user running it, with a list made from the Unix mode bits.
bool IsWineFileOwner(PSID owner)
{
    if (!RunsOnWine()) return false;
    HANDLE token = nullptr;
    BYTE buffer[256];
    DWORD size = 0;
    bool same = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    if (token) CloseHandle(token);
    return same;
}

std::wstring SidText(PSID sid)
{
    wchar_t* text = nullptr;
    std::wstring out = ConvertSidToStringSidW(sid, &text) ? text : L"another account";
    if (text) LocalFree(text);
    return out;
}

// Empty when the file or folder is owned by SYSTEM or Administrators and only they may change it
// (inherited grants included); else what reads back otherwise.
std::wstring LockProblem(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                        &dacl, nullptr, &sd);
    if (error) return L"cannot read the security of " + path + L": " + ErrorText(error);
    std::wstring why;
    if (!owner || !(IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)))
        why = path + L" reads back owned by " + (owner ? SidText(owner) : L"nobody");
    if (why.empty() && !dacl) why = path + L" reads back with no access list (everyone may change it)";
    const DWORD changing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE |
                           FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (WORD i = 0; why.empty() && dacl && i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID who = &allowed->SidStart;
        if ((allowed->Mask & changing) && !IsWellKnownSid(who, WinLocalSystemSid) &&
            !IsWellKnownSid(who, WinBuiltinAdministratorsSid)) {
            wchar_t mask[16];
            swprintf(mask, 16, L"0x%08lx", static_cast<unsigned long>(allowed->Mask));
            why = path + L" reads back with the rights " + mask + L" for " + SidText(who);
        }
    }
    LocalFree(sd);
    return why;
}

// The folder or one above it is a junction or link: what the installer locks would not be what
// the service and the task run from.
std::wstring ReparsePointOnPath(const std::wstring& folder)
{
    for (std::wstring dir = folder; dir.size() > 3; dir = dir.substr(0, dir.find_last_of(L'\\'))) {
        DWORD attributes = GetFileAttributesW(dir.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return dir;
    }
    return L"";
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
    std::wstring link = ReparsePointOnPath(folder);
    if (!link.empty()) {
        why = link + L" is a junction or link; choose a folder reached without one";
        return false;
    }
    // The folder's owner and access list are replaced: only a new folder, or the one the install
    // record names and only administrators own, is taken over. Files lying in a folder prove nothing.
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            why = L"a file of that name exists";
            return false;
        }
        if (!IsRecordedFolder(folder)) {
            why = L"the folder exists and is not an installation of Orvanta; its owner and access list would be "
                  L"replaced, choose a new folder";
            return false;
        }
        PSECURITY_DESCRIPTOR sd = nullptr;
        PSID owner = nullptr;
        DWORD error = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                            nullptr, nullptr, nullptr, &sd);
        bool trusted = !error && owner && (IsTrustedOwner(owner) || IsWineFileOwner(owner));
        if (!trusted) {
            why = error ? L"cannot read the folder's owner: " + ErrorText(error)
                        : L"the folder is owned by " + (owner ? SidText(owner) : std::wstring(L"nobody")) +
                              L", not by SYSTEM, Administrators or TrustedInstaller; anyone owning it may change "
                              L"what runs from it, choose a new folder";
        }
        if (sd) LocalFree(sd);
        if (!trusted) return false;
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

bool Preflight(Install& in, std::wstring& why)
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
    std::wstring recorded = RecordValue(L"InstallFolder");
    if (!recorded.empty() && !SamePath(recorded, in.folder)) {
        if (!in.move) {
            why = L"Orvanta is installed in \"" + recorded + L"\"; to move it to \"" + in.folder +
                  L"\", run the install again with --move (or install into \"" + recorded + L"\")";
            return false;
        }
        in.oldFolder = recorded;
    }
    // An earlier removal that a restart finishes: the class must not name Tarvex over it.
    KernelHealth kernel = QueryKernelHealth();
    // Without a service the install puts the image at its usual place: that must not be going either.
    bool driverGoes = !kernel.service.exists && GoesAtRestart(DriverPath());
    if (RestartClears(kernel) || driverGoes) {
        why = (RestartClears(kernel) ? KernelProblem(kernel) : L"the driver file " + DriverPath() +
                                                                   L" is deleted when Windows restarts") +
              L": an earlier removal of Tarvex finishes at the restart. Restart Windows first, then install again";
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
                           // The driver host or a program of ours that has just ended may still hold
                           // the file for a moment: sharing and access errors are given 5 s to pass.
                           for (int tries = 0;; ++tries) {
                               bool ok = saved.empty()
                                             ? (DeleteFileW(to.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
                                             : CopyFileW(saved.c_str(), to.c_str(), FALSE) != FALSE;
                               if (ok) return true;
                               DWORD error = GetLastError();
                               if ((!IsInUse(error) && error != ERROR_ACCESS_DENIED) || tries == 50) {
                                   w = ErrorText(error);
                                   return false;
                               }
                               Sleep(100);
                           }
                       }});
    return true;
}

// Each copied file is owned by Administrators, as the folder is, so nobody else may rewrite its
// access list.
bool OwnByAdministrators(const std::wstring& path, std::wstring& why)
{
    PSID admins = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins);
    std::wstring name = path;
    DWORD error = SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, admins, nullptr,
                                        nullptr, nullptr);
    FreeSid(admins);
    if (error) why = L"cannot make Administrators the owner of " + path + L": " + ErrorText(error);
    return error == 0;
}

bool MakeFolder(Install& in, const std::wstring& dir, std::wstring& why)
{
    if (Exists(dir)) return true;
    std::wstring parent = dir.substr(0, dir.find_last_of(L'\\'));
    if (parent.size() > 2 && !MakeFolder(in, parent, why)) return false;
    // Locked from its first moment: nothing can be planted in it before the access list is set.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FOLDER_SECURITY, SDDL_REVISION_1, &sd, nullptr)) {
        why = L"cannot make the folder's security descriptor: " + ErrorText(GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, sd, FALSE};
    BOOL made = CreateDirectoryW(dir.c_str(), &attributes);
    DWORD error = GetLastError();
    LocalFree(sd);
    if (!made) {
        why = L"cannot create " + dir + L": " + ErrorText(error);
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

// Every file below the folder made Administrators' and its security read back; the first problem.
bool OwnTree(const std::wstring& dir, std::wstring& problem, std::wstring& why)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return true;
    bool ok = true;
    do {
        std::wstring name = found.cFileName, path = dir + L"\\" + name;
        if (name == L"." || name == L".." || name == BACKUP_DIR) continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = OwnTree(path, problem, why);
            continue;
        }
        ok = OwnByAdministrators(path, why);
        if (ok && problem.empty()) problem = LockProblem(path);
    } while (ok && FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

bool StepCopyFiles(Install& in, std::wstring& detail, std::wstring& why)
{
    if (SameText(FullPath(in.source), FullPath(in.folder))) {
        detail = L"the files are already in the folder";
        return true;
    }
    std::vector<std::wstring> notes;
    std::vector<std::wstring> files(std::begin(REQUIRED_FILES), std::end(REQUIRED_FILES));
    for (const wchar_t* f : OPTIONAL_FILES)
        if (Exists(in.source + L"\\" + f)) files.push_back(f);
    for (const auto& f : files)
        if (!CopyOne(in, in.source + L"\\" + f, in.folder + L"\\" + f, f, notes, why)) return false;
    if (Exists(in.source + L"\\Revenix") && !CopyTree(in, in.source + L"\\Revenix", in.folder + L"\\Revenix", L"Revenix", notes, why))
        return false;
    std::wstring problem;
    if (!OwnTree(in.folder, problem, why)) return false;
    if (!problem.empty() && !RunsOnWine()) {
        why = problem;
        return false;
    }
    detail = std::to_wstring(files.size()) + L" files into " + in.folder + L", owned by Administrators" +
             (problem.empty() ? L"" : L" (set; not read back: Wine does not keep file owners)");
    for (const auto& n : notes) detail += L"; " + n;
    return true;
}

// The folder made with its security, or the recorded installation's folder given it again: SYSTEM
// and Administrators may change it, users may read and run it, nothing is inherited from above.
bool StepLockFolder(Install& in, std::wstring& detail, std::wstring& why)
{
    if (!Exists(in.folder)) {
        if (!MakeFolder(in, in.folder, why)) return false;
    } else {
        PSECURITY_DESCRIPTOR before = nullptr, wanted = nullptr;
        PSID oldOwner = nullptr;
        PACL oldDacl = nullptr;
        DWORD error = GetNamedSecurityInfoW(in.folder.c_str(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &oldOwner,
                                            nullptr, &oldDacl, nullptr, &before);
        if (error) {
            why = L"cannot read the folder's security: " + ErrorText(error);
            return false;
        }
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FOLDER_SECURITY, SDDL_REVISION_1, &wanted, nullptr)) {
            why = L"cannot make the folder's security descriptor: " + ErrorText(GetLastError());
            LocalFree(before);
            return false;
        }
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorOwner(wanted, &owner, &defaulted);
        GetSecurityDescriptorDacl(wanted, &present, &dacl, &defaulted);
        error = SetNamedSecurityInfoW(&in.folder[0], SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                          PROTECTED_DACL_SECURITY_INFORMATION,
                                      owner, nullptr, dacl, nullptr);
        LocalFree(wanted);
        if (error) {
            why = L"cannot set the folder's owner and access list: " + ErrorText(error);
            LocalFree(before);
            return false;
        }
        // The undo puts the earlier owner and list back, protected or inheriting as they were.
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(before, &control, &revision);
        std::vector<BYTE> saved(GetSecurityDescriptorLength(before));
        memcpy(saved.data(), before, saved.size());
        LocalFree(before);
        std::wstring folder = in.folder;
        bool wasProtected = (control & SE_DACL_PROTECTED) != 0;
        in.undo.push_back({L"put back the folder's earlier owner and access list",
                           [folder, saved, wasProtected](std::wstring& w, bool&) {
                               BOOL has = FALSE, dflt = FALSE;
                               PACL old = nullptr;
                               PSID who = nullptr;
                               auto sd = const_cast<BYTE*>(saved.data());
                               GetSecurityDescriptorDacl(sd, &has, &old, &dflt);
                               GetSecurityDescriptorOwner(sd, &who, &dflt);
                               std::wstring name = folder;
                               DWORD e = SetNamedSecurityInfoW(
                                   &name[0], SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                       (wasProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION),
                                   who, nullptr, has ? old : nullptr, nullptr);
                               if (e) w = ErrorText(e);
                               return e == 0;
                           }});
    }
    std::wstring problem = LockProblem(in.folder);
    // Wine accepts the security but reads back one made from the Unix mode bits: there it is set and
    // said to be unproven, rather than failing every install.
    if (!problem.empty() && RunsOnWine()) {
        detail = L"owner Administrators; SYSTEM and Administrators: full control; Users: read and run (set; not read "
                 L"back: Wine does not keep file access lists or owners)";
        return true;
    }
    if (!problem.empty()) {
        why = problem;
        return false;
    }
    detail = L"owner Administrators; SYSTEM and Administrators: full control; Users: read and run";
    return true;
}

// Starts a kernel service and waits for the start to end: a driver whose entry routine fails shows
// as a start that ends stopped. started: Windows accepted the start; running: the driver loaded.
void StartDriver(const wchar_t* name, bool& started, bool& running, DWORD& error)
{
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

std::wstring LoadRefusal(const std::wstring& image, bool started, DWORD error)
{
    if (started) return image + L" did not load: " + ErrorText(error);
    std::wstring why = L"Windows refused to load " + image + L": " + ErrorText(error);
    if (error == ERROR_INVALID_IMAGE_HASH_ || error == ERROR_DRIVER_BLOCKED)
        why += L". The driver is unsigned or signed by a certificate this machine does not trust. On a test "
               L"machine, trust Tarvex.cer and turn on test signing (README, \"Requirements and risks\"); "
               L"otherwise install a production-signed build";
    if (error == ERROR_DRIVER_FAILED_PRIOR_UNLOAD_)
        why += L". An earlier Tarvex is still loaded: restart Windows, then install again";
    return why;
}

// A name in the drivers folder for a new image: Tarvex-<version>.sys, never a file that exists or
// that the restart deletes.
std::wstring NewImageName(const std::wstring& source)
{
    std::wstring version = FileVersion(source);
    if (version.empty()) version = L"0";
    for (int n = 1; n <= 20; ++n) {
        std::wstring name = DriversDir() + L"\\Tarvex-" + version + (n > 1 ? L"-" + std::to_wstring(n) : L"") + L".sys";
        if (!Exists(name) && !GoesAtRestart(name)) return name;
    }
    return L"";
}

// Loads an image under a temporary kernel service of its own, unloads it (the driver has no devices
// there) and deletes the service again: proof that Windows loads it before the filter names it.
bool ProveImage(Install& in, const std::wstring& image, std::wstring& why)
{
    bool marked = false;
    std::wstring ignored;
    DeleteServiceNamed(PROOF_SERVICE, marked, ignored);  // a leftover of an interrupted run
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    SC_HANDLE service = manager ? CreateServiceW(manager, PROOF_SERVICE, L"Tarvex image proof", SERVICE_ALL_ACCESS,
                                                 SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                 image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)
                                : nullptr;
    DWORD error = GetLastError();
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    if (!service) {
        why = L"cannot create the temporary kernel service " + std::wstring(PROOF_SERVICE) + L": " + ErrorText(error);
        return false;
    }
    bool started = false, running = false;
    StartDriver(PROOF_SERVICE, started, running, error);
    std::wstring stopWhy;
    bool stopped = !running || StopService(PROOF_SERVICE, stopWhy);
    std::wstring deleteWhy;
    bool deleted = DeleteServiceNamed(PROOF_SERVICE, marked, deleteWhy);
    if (!stopped || marked || !deleted) {
        in.restart = true;
        in.restartWhy.push_back(L"the temporary kernel service " + std::wstring(PROOF_SERVICE) +
                                L" goes when Windows restarts");
    }
    if (!running) {
        why = L"the new image did not load under the temporary kernel service " + std::wstring(PROOF_SERVICE) +
              L", so the installed one stays: " + LoadRefusal(image, started, error);
        return false;
    }
    return true;
}

bool StepCopyDriver(Install& in, std::wstring& detail, std::wstring& why)
{
    std::vector<std::wstring> notes;
    std::wstring source = in.source + L"\\Tarvex.sys";
    ServiceInfo kernel = QueryService(KERNEL_SERVICE);
    if (kernel.exists && kernel.type == SERVICE_KERNEL_DRIVER && IsOurImage(kernel.binary)) {
        std::wstring current = DosImagePath(kernel.binary, WindowsDir());
        if (Exists(current) && SameContent(source, current)) {
            detail = kernel.binary + L" (the same image)";
            return true;
        }
        // The image the service names is never written over: the new one gets a name of its own and
        // proves it loads under a temporary service before the Tarvex service is pointed at it.
        std::wstring image = NewImageName(source);
        if (image.empty()) {
            why = L"no free name for the new image in " + DriversDir() + L"; restart Windows, then install again";
            return false;
        }
        if (!CopyOne(in, source, image, L"the new image " + image.substr(image.find_last_of(L'\\') + 1), notes, why) ||
            !ProveImage(in, image, why))
            return false;
        in.newImage = image;
        in.oldImage = current;
        in.driverWasLoaded = kernel.state == SERVICE_RUNNING;
        detail = image + L", proven: it loaded under the temporary kernel service " + PROOF_SERVICE +
                 L" and was unloaded again";
        return true;
    }
    if (!CopyOne(in, source, DriverPath(), L"Tarvex.sys (drivers folder)", notes, why)) return false;
    detail = DriverPath();
    for (const auto& n : notes) detail += L"; " + n;
    return true;
}

// Points the Tarvex service at an image and its start at demand start; the undo puts back both.
bool PointKernelService(Install& in, const ServiceInfo& old, const std::wstring& image, std::wstring& why)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, KERNEL_SERVICE, SERVICE_CHANGE_CONFIG) : nullptr;
    bool changed = service && ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                                                   image.empty() ? nullptr : image.c_str(), nullptr, nullptr,
                                                   nullptr, nullptr, nullptr, nullptr);
    DWORD error = GetLastError();
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    if (!changed) {
        why = L"cannot change the kernel service Tarvex: " + ErrorText(error);
        return false;
    }
    std::wstring binary = old.binary;
    DWORD start = old.start;
    in.undo.push_back({L"point the kernel service Tarvex back at " + binary, [binary, start](std::wstring& w, bool&) {
                           SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
                           SC_HANDLE s = m ? OpenServiceW(m, KERNEL_SERVICE, SERVICE_CHANGE_CONFIG) : nullptr;
                           bool ok = s && ChangeServiceConfigW(s, SERVICE_NO_CHANGE, start, SERVICE_NO_CHANGE,
                                                               binary.c_str(), nullptr, nullptr, nullptr, nullptr,
                                                               nullptr, nullptr);
                           if (!ok) w = ErrorText(GetLastError());
                           if (s) CloseServiceHandle(s);
                           if (m) CloseServiceHandle(m);
                           return ok;
                       }});
    ServiceInfo now = QueryService(KERNEL_SERVICE);
    if (now.start != SERVICE_DEMAND_START || (!image.empty() && !SamePath(now.binary, image))) {
        why = L"the kernel service Tarvex does not read back as changed (" + now.binary + L", start type " +
              std::to_wstring(now.start) + L")";
        return false;
    }
    return true;
}

bool StepKernelService(Install& in, std::wstring& detail, std::wstring& why)
{
    ServiceInfo old = QueryService(KERNEL_SERVICE);
    if (old.exists) {
        if (old.type != SERVICE_KERNEL_DRIVER || !IsOurImage(old.binary)) {
            why = L"a service named Tarvex already exists and is not this driver (" + old.binary + L")";
            return false;
        }
        if (!in.newImage.empty()) {
            // One registry write: the proven image is the one the next load takes.
            if (!PointKernelService(in, old, in.newImage, why)) return false;
            detail = L"now names " + in.newImage;
            if (in.driverWasLoaded) {
                in.restart = true;
                in.restartWhy.push_back(L"the new Tarvex image is loaded when Windows restarts; the earlier one serves "
                                        L"until then");
            }
            return true;
        }
        if (old.start != SERVICE_DEMAND_START) {
            if (!PointKernelService(in, old, L"", why)) return false;
            detail = L"already there; demand start again (was start type " + std::to_wstring(old.start) + L")";
            return true;
        }
        detail = L"already there";
        return true;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        why = L"cannot open the service control manager: " + ErrorText(GetLastError());
        return false;
    }
    // Given as a DOS path, which Windows stores in NT form (\??\C:\...): the read-back compares
    // the forms as the same file. (Wine's driver loader does not resolve the relative form an INF
    // install stores, System32\drivers\..., so that one is not used.)
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
    if (!made.exists || made.type != SERVICE_KERNEL_DRIVER || !SamePath(made.binary, image)) {
        why = L"the kernel service Tarvex does not read back as created (" + made.binary + L")";
        return false;
    }
    detail = L"kernel driver, demand start, " + image;
    return true;
}

bool StepLoadDriver(Install& in, std::wstring& detail, std::wstring& why)
{
    if (QueryService(KERNEL_SERVICE).state == SERVICE_RUNNING) {
        detail = in.newImage.empty() ? L"already loaded" : L"already loaded (the earlier image, until the restart)";
        return true;
    }
    bool started = false, running = false;
    DWORD error = 0;
    StartDriver(KERNEL_SERVICE, started, running, error);
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
    if (!running) {
        why = LoadRefusal(L"Tarvex.sys", started, error);
        return false;
    }
    detail = L"the kernel service Tarvex started: the driver loads";
    return true;
}

bool StepRegisterFilter(Install& in, std::wstring& detail, std::wstring& why)
{
    // The one rule of this program: the class names Tarvex only while a driver proven to load backs
    // it, and only over a service and a file that will still be there after the next restart.
    KernelHealth kernel = QueryKernelHealth();
    if (!kernel.service.exists || kernel.service.state != SERVICE_RUNNING) {
        why = L"the kernel service Tarvex is not loaded; the filter is not registered";
        return false;
    }
    std::wstring problem = KernelProblem(kernel);
    if (!problem.empty()) {
        why = problem + (RestartClears(kernel) ? L"; restart Windows first, then install again"
                                               : L"; the filter is not registered");
        return false;
    }
    std::vector<std::wstring> now;
    Edit edit = EditFilters(
        [](const std::vector<std::wstring>& filters) {
            std::vector<std::wstring> wanted = filters;
            if (!Names(filters)) wanted.push_back(FILTER);
            return wanted;
        },
        now, why);
    if (edit == Edit::Failed) return false;
    if (edit == Edit::WriteFailed) {
        // A write that may have taken in part is taken back.
        in.undo.push_back({L"remove Tarvex from the USB class's UpperFilters", [](std::wstring& w, bool&) {
                               return RemoveFilter(w);
                           }});
        return false;
    }
    if (edit == Edit::Unchanged) {
        detail = L"already registered (UpperFilters: " + Join(now) + L")";
        return true;
    }
    in.undo.push_back({L"remove Tarvex from the USB class's UpperFilters", [](std::wstring& w, bool&) {
                           return RemoveFilter(w);
                       }});
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
    bool ours = now.exists && SamePath(now.binary, program);
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
    KernelHealth kernel = QueryKernelHealth();
    std::wstring problem = KernelProblem(kernel);
    if (!problem.empty())
        return L"USB class filter: Tarvex registered, but " + problem +
               L"; remove it (README, \"When USB stops working\")";
    if (kernel.service.state == SERVICE_RUNNING) return L"USB class filter: Tarvex registered, driver loaded";
    return L"USB class filter: Tarvex registered, driver not loaded now (its service and file are in place; it "
           L"loads with the next USB device)";
}

// The image the service named before an upgrade goes once nothing names it: at the restart when it
// is the one loaded now.
void RetireOldImage(Install& in)
{
    const std::wstring& old = in.oldImage;
    if (old.empty() || SamePath(old, in.newImage) || !Exists(old)) return;
    if (!in.driverWasLoaded && DeleteFileW(old.c_str())) {
        in.notes.push_back(L"the earlier image " + old + L" was deleted");
    } else if (MoveFileExW(old.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        in.restart = true;
        in.notes.push_back(L"the earlier image " + old + L" is deleted when Windows restarts");
    } else {
        in.notes.push_back(L"the earlier image " + old + L" could not be deleted: " + ErrorText(GetLastError()));
    }
}

// After a move (--move) the earlier folder's programs are no longer named by anything: its files
// of ours go, and the folder with them when nothing else is left in it.
void MoveAway(Install& in)
{
    std::vector<std::wstring> names(std::begin(REQUIRED_FILES), std::end(REQUIRED_FILES));
    names.insert(names.end(), std::begin(OPTIONAL_FILES), std::end(OPTIONAL_FILES));
    names.push_back(LOG_NAME);
    int left = 0;
    for (const auto& n : names) {
        std::wstring path = in.oldFolder + L"\\" + n;
        if (Exists(path) && !DeleteFileW(path.c_str()) &&
            !MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
            ++left;
    }
    if (Exists(in.oldFolder + L"\\Revenix")) RemoveBackup(in.oldFolder + L"\\Revenix");
    RemoveDirectoryW(in.oldFolder.c_str());
    in.notes.push_back(L"moved from " + in.oldFolder +
                       (Exists(in.oldFolder) ? L"; the folder stays (it holds " +
                                                   std::wstring(left ? L"files in use" : L"other files") + L")"
                                             : L", which was removed"));
}

int RunInstall(Install& in)
{
    Say(L"Installing Orvanta " + std::wstring(VERSION) + L" from " + in.source + L" into " + in.folder);
    std::wstring why;
    if (!Preflight(in, why)) {
        Failed(L"check the machine and the files", why);
        Say(L"Not installed: nothing was changed." + LogNote());
        return EXIT_FAILED;
    }
    Ok(L"check the machine and the files", L"elevated, 64-bit Windows, folder and files fine");
    logFolder = in.folder;
    in.backup = in.folder + L"\\" + BACKUP_DIR;

    struct Step {
        const wchar_t* name;
        bool (*run)(Install&, std::wstring&, std::wstring&);
    };
    const Step steps[] = {
        {L"stop an earlier OrvantaService", StepStopOldService},
        {L"limit who may change the folder", StepLockFolder},
        {L"copy the program files", StepCopyFiles},
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
        if (!in.oldFolder.empty()) MoveAway(in);
        if (!in.newImage.empty()) RetireOldImage(in);
        for (const auto& n : in.notes) Say(L"  note: " + n);
        if (in.restart) {
            for (const auto& r : in.restartWhy) Say(L"  note: " + r);
            Say(L"Installed, version " + std::wstring(VERSION) + L"; restart Windows to finish. " + FilterState() + L"." +
                LogNote());
            return EXIT_RESTART;
        }
        Say(L"Installed, version " + std::wstring(VERSION) + L". " + FilterState() + L"." + LogNote());
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
            L" change(s) could not be undone (see [LEFT] above). " + state + L"." + LogNote());
        return EXIT_LEFT_OVER;
    }
    Say(L"Not installed: \"" + std::wstring(failedStep->name) + L"\" failed; every change was undone" +
        (restart ? L" (a restart completes the removal of the driver)" : L"") + L". " + state + L"." + LogNote());
    return EXIT_FAILED;
}

// ---- uninstall -----------------------------------------------------------------------------------

// Whether anything of the package is on the machine; uninstall touches nothing otherwise.
bool AnythingInstalled()
{
    std::vector<std::wstring> filters;
    DWORD error = 0;
    return !RecordValue(L"InstallFolder").empty() || !ReadFilters(filters, error) || Names(filters) ||
           QueryService(KERNEL_SERVICE).exists || QueryService(SERVICE).exists || QueryTask() != TaskState::Absent ||
           Exists(DriverPath());
}

int RunUninstall(const std::wstring& folder, bool& wroteNothing)
{
    wroteNothing = false;
    Say(L"Removing Orvanta from " + folder);
    if (!IsElevated()) {
        Failed(L"check the machine", L"this needs an elevated prompt: run it again as administrator");
        Say(L"Not removed: nothing was changed. " + FilterState() + L"." + LogNote());
        return EXIT_FAILED;
    }
    if (!AnythingInstalled()) {
        Say(L"Nothing to remove: Orvanta is not installed (no install record, filter entry, services, task or "
            L"driver file).");
        wroteNothing = true;
        return EXIT_DONE;
    }
    // The log goes into the folder only when the install record names it.
    std::wstring recorded = RecordValue(L"InstallFolder");
    if (!recorded.empty() && SamePath(recorded, folder) && Exists(folder) && ReparsePointOnPath(folder).empty())
        logFolder = folder;
    // The filter entry goes first and is proven gone: from then on no USB stack depends on Tarvex,
    // whatever happens to the steps after it.
    std::wstring why;
    if (!RemoveFilter(why)) {
        Failed(L"remove Tarvex from the USB class's UpperFilters", why);
        Say(L"Removal failed: nothing else was changed. " + FilterState() + L"." + LogNote());
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

    // Tarvex.sys and every upgrade's image Tarvex-<version>.sys.
    std::vector<std::wstring> images = {DriverPath()};
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((DriversDir() + L"\\Tarvex-*.sys").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) images.push_back(DriversDir() + L"\\" + found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    for (const auto& driver : images) {
        std::wstring name = driver.substr(driver.find_last_of(L'\\') + 1);
        std::wstring fileStep = L"delete " + name + L" from the drivers folder";
        if (!Exists(driver)) {
            Ok(fileStep, L"not there");
        } else if (GoesAtRestart(driver)) {
            Ok(fileStep, L"already deleted when Windows restarts");
            restartWhy.push_back(name + L" is deleted when Windows restarts");
        } else if (DeleteFileW(driver.c_str())) {
            Ok(fileStep);
        } else if (MoveFileExW(driver.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            Ok(fileStep, L"in use; deleted when Windows restarts");
            restartWhy.push_back(name + L" is deleted when Windows restarts");
        } else {
            fail(fileStep.c_str(), ErrorText(GetLastError()));
        }
    }

    if (DeleteRecord(logFolder)) Ok(L"delete the install record");
    else fail(L"delete the install record", L"cannot delete HKLM\\" + std::wstring(RECORD_KEY));

    std::wstring state = FilterState();
    if (failures) {
        Say(L"Removal failed: " + std::to_wstring(failures) + L" step(s) failed (see above). " + state + L"." +
            LogNote());
        return EXIT_FAILED;
    }
    // Only the recorded installation's folder is offered for deletion.
    std::wstring deletable = logFolder.empty() ? L"" : L" The folder " + folder + L" can be deleted.";
    if (!restartWhy.empty()) {
        for (const auto& r : restartWhy) Say(L"  note: " + r);
        Say(L"Removed, restart needed: restart Windows to finish. " + state + L"." + deletable + LogNote());
        return EXIT_RESTART;
    }
    Say(L"Removed. " + state + L"." + deletable + LogNote());
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
    KernelHealth health = QueryKernelHealth();
    // The image the kernel service names (an upgrade's own name), else where the install puts it.
    std::wstring driver = health.service.exists && IsOurImage(health.service.binary) ? health.image : DriverPath();
    part(Exists(driver));
    std::wstring dv = FileVersion(driver);
    Say(L"  driver file " + driver + L": " + (Exists(driver) ? L"version " + (dv.empty() ? L"unknown" : dv) : L"absent"));

    std::vector<std::wstring> filters;
    DWORD error = 0;
    bool read = ReadFilters(filters, error);
    part(read && Names(filters));
    Say(L"  USB class UpperFilters: " + (read ? Join(filters) : L"cannot be read: " + ErrorText(error)) +
        (read && Names(filters) ? L" (Tarvex registered)" : L" (Tarvex not registered)"));

    const ServiceInfo& kernel = health.service;
    std::wstring problem = KernelProblem(health);
    part(kernel.exists);
    Say(L"  kernel service Tarvex: " +
        (kernel.exists ? std::wstring(StateName(kernel.state)) +
                             (kernel.state == SERVICE_RUNNING ? L" (driver loaded)" : L" (driver not loaded)") +
                             L", " + kernel.binary + (problem.empty() ? L"" : L"; " + problem)
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

    // The filter is healthy when its service and file stay after a restart, loaded now or not.
    bool unsafe = read && Names(filters) && !problem.empty();
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
    // First: DLLs this elevated program loads come from the system folder only, never from the
    // folder it was started from (a downloads folder). Found at run time: Vista lacks it.
    using SetDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto setDirectories = reinterpret_cast<SetDllDirectoriesFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDirectories) setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
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
            else if (SameText(argv[i], L"--move")) in.move = true;
            else if (folder.empty() && argv[i][0] != L'-') folder = argv[i];
            else return Usage(false);
        }
        // A relative folder would depend on where the prompt stands: only full paths are taken.
        in.folder = folder.empty() ? DefaultFolder() : SafeFolderSyntax(folder) ? FullPath(folder) : folder;
        int code = RunInstall(in);
        WriteLog();
        return code;
    }
    if (verb == L"uninstall") {
        if (argc > 3) return Usage(false);
        std::wstring folder = argc == 3 ? FullPath(argv[2]) : RecordValue(L"InstallFolder");
        if (folder.empty()) folder = ProgramDir();
        bool wroteNothing = false;
        int code = RunUninstall(folder, wroteNothing);
        if (!wroteNothing) WriteLog();
        return code;
    }
    return Usage(false);
}
