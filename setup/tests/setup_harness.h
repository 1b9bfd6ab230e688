// What the installer's test and the package demo share: running tvxsetup, reading the state it
// leaves (UpperFilters, services, files), and the fake Task Scheduler registered in both registry
// views. Needs TVX_DIST_DIR, TVX_TWIN_DIST_DIR and TVX_BUILD_ROOT.
#pragma once
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <functional>
#include <string>
#include <vector>

namespace setup_harness {

const wchar_t USB_CLASS_KEY[] = L"System\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}";
const wchar_t TASKSCHD_SERVER_KEY[] = L"CLSID\\{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}\\InprocServer32";

inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
inline std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

inline std::wstring DosPath(const char* unixPath) {
    std::wstring s = L"Z:" + Wide(unixPath);
    for (auto& c : s)
        if (c == L'/') c = L'\\';
    return s;
}

inline bool HostRuns32BitCode() {
    char value[8] = {};
    return GetEnvironmentVariableA("TVX_HOST32", value, sizeof value) == 0 || strcmp(value, "no") != 0;
}

// The shipped files where this host runs their 32-bit programs, else the twins' set.
inline std::wstring Dist() { return HostRuns32BitCode() ? DosPath(TVX_DIST_DIR) : DosPath(TVX_TWIN_DIST_DIR); }

inline std::wstring DriverFile() {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\drivers\\Tarvex.sys";
}

inline bool IsWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct Outcome {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string LastLine() const {
        std::string s = out;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s.substr(s.find_last_of('\n') + 1);
    }
};

// Runs tvxsetup with stdout on a pipe. stopWhen, if given, is asked after each chunk of output;
// true terminates the program there (an interrupted run). token, if given, is the one it runs with.
inline Outcome RunSetup(const std::wstring& program, const std::wstring& args,
                        const std::function<bool(const std::string&)>& stopWhen = nullptr, HANDLE token = nullptr) {
    Outcome run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    CreatePipe(&read, &write, &inherit, 0);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write;
    si.hStdError = write;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring line = L"\"" + program + L"\" " + args;
    BOOL started =
        token ? CreateProcessAsUserW(token, program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                                     &pi)
              : CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    if (!started) {
        run.out = "cannot start " + Narrow(program) + ": error " + std::to_string(GetLastError());
        CloseHandle(read);
        CloseHandle(write);
        return run;
    }
    CloseHandle(write);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got) {
        run.out.append(buffer, got);
        if (stopWhen && stopWhen(run.out)) {
            TerminateProcess(pi.hProcess, 255);
            break;
        }
    }
    CloseHandle(read);
    WaitForSingleObject(pi.hProcess, 300000);
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}

inline Outcome RunSetup(const std::wstring& args) { return RunSetup(Dist() + L"\\tvxsetup.exe", args); }

inline std::vector<std::wstring> UpperFilters() {
    std::vector<std::wstring> out;
    std::vector<wchar_t> data(4096, L'\0');
    DWORD size = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, USB_CLASS_KEY, L"UpperFilters", RRF_RT_REG_MULTI_SZ, nullptr, data.data(),
                     &size) == ERROR_SUCCESS)
        for (const wchar_t* p = data.data(); *p; p += wcslen(p) + 1) out.push_back(p);
    return out;
}

// The value's strings as stored, empty ones included, and its type (0 when absent).
inline std::vector<std::wstring> RawUpperFilters(DWORD* type = nullptr) {
    std::vector<std::wstring> out;
    std::vector<wchar_t> data(4096, L'\0');
    DWORD size = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t)), kind = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, USB_CLASS_KEY, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        if (RegQueryValueExW(key, L"UpperFilters", nullptr, &kind, reinterpret_cast<BYTE*>(data.data()), &size))
            kind = 0, size = 0;
        RegCloseKey(key);
    }
    if (type) *type = kind;
    size_t units = size / sizeof(wchar_t);
    if (units && data[units - 1] == 0) --units;
    for (size_t at = 0; at < units;) {
        size_t end = at;
        while (end < units && data[end]) ++end;
        out.emplace_back(&data[at], end - at);
        at = end + 1;
    }
    return out;
}

inline void SetUpperFiltersValue(DWORD type, const std::wstring& data) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, USB_CLASS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr))
        return;
    RegSetValueExW(key, L"UpperFilters", 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    RegCloseKey(key);
}

inline void SetUpperFilters(const std::vector<std::wstring>& filters) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, USB_CLASS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    if (filters.empty()) {
        RegDeleteValueW(key, L"UpperFilters");
    } else {
        std::wstring value;
        for (const auto& f : filters) value += f + L'\0';
        value += L'\0';
        RegSetValueExW(key, L"UpperFilters", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                       static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

inline bool NamesTarvex(const std::vector<std::wstring>& filters) {
    for (const auto& f : filters)
        if (_wcsicmp(f.c_str(), L"Tarvex") == 0) return true;
    return false;
}

struct Service {
    bool exists = false;
    DWORD state = 0;
    DWORD start = 0;
    std::wstring binary;
};

inline Service QueryService(const wchar_t* name) {
    Service s;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : nullptr;
    if (service) {
        s.exists = true;
        SERVICE_STATUS status = {};
        QueryServiceStatus(service, &status);
        s.state = status.dwCurrentState;
        BYTE buffer[8192];
        DWORD needed = 0;
        if (QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof buffer, &needed)) {
            s.binary = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer)->lpBinaryPathName;
            s.start = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer)->dwStartType;
        }
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    return s;
}

// A service Windows keeps only until its last handle closes or the restart: a change of nothing tells.
inline bool MarkedForDeletion(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_CHANGE_CONFIG) : nullptr;
    bool marked = service &&
                  !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) &&
                  GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return marked;
}

// The install record as tvxsetup writes it: what makes an existing folder an installation.
inline void RecordInstall(const std::wstring& folder, const wchar_t* version = L"0.0.0.1") {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvanta", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr))
        return;
    RegSetValueExW(key, L"InstallFolder", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                   static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

inline void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

inline std::wstring TempDir(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring dir = std::wstring(temp) + name;
    RemoveTree(dir);
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

inline std::string ReadFileBytes(const std::wstring& path) {
    std::string data;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return data;
    DWORD size = GetFileSize(file, nullptr), got = 0;
    data.resize(size);
    if (size) ReadFile(file, &data[0], size, &got, nullptr);
    CloseHandle(file);
    return data;
}

inline void WriteFileBytes(const std::wstring& path, const std::string& data) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(file);
}

// Wine reports Windows 7 unless told otherwise; the installer wants Windows 10 or later. Wine's
// per-program setting makes the prefix that machine for tvxsetup.exe alone.
inline void WindowsVersionForSetup(const wchar_t* version) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\tvxsetup.exe", 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr))
        return;
    RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

// The fake Task Scheduler in both registry views (the installer asks from 64-bit code, the shipped
// logontask from 32-bit code), sharing one state folder named in the environment tvxsetup and its
// children inherit. The earlier registrations are put back afterwards.
class FakeTaskScheduler {
public:
    FakeTaskScheduler() {
        dir_ = TempDir(L"tvxsetup-taskschd");
        SetEnvironmentVariableW(L"TVX_FAKE_TASKSCHD_DIR", dir_.c_str());
        Register(KEY_WOW64_64KEY, DosPath(TVX_BUILD_ROOT "/x64u/bin/taskschd_fake.dll"), saved64_);
        Register(KEY_WOW64_32KEY, DosPath(TVX_BUILD_ROOT "/x86/bin/taskschd_fake.dll"), saved32_);
    }
    ~FakeTaskScheduler() {
        Restore(KEY_WOW64_64KEY, saved64_);
        Restore(KEY_WOW64_32KEY, saved32_);
        SetEnvironmentVariableW(L"TVX_FAKE_TASKSCHD_DIR", nullptr);
        RemoveTree(dir_);
    }
    bool HasTask() const { return Exists(dir_ + L"\\tasks\\OrvantaUWP.task"); }
    void Fail(const char* call, HRESULT hr) const {
        char line[128];
        snprintf(line, sizeof line, "fail %s 0x%08lx\n", call, static_cast<unsigned long>(hr));
        WriteFileBytes(dir_ + L"\\control.txt", line);
    }
    void ClearFailures() const { DeleteFileW((dir_ + L"\\control.txt").c_str()); }

private:
    struct Saved {
        bool had = false;
        std::wstring server, model;
    };
    static std::wstring Text(HKEY key, const wchar_t* name) {
        wchar_t value[MAX_PATH] = {};
        DWORD size = sizeof value;
        return RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, value, &size) ? L"" : value;
    }
    static void Put(HKEY key, const wchar_t* name, const std::wstring& value) {
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    static void Register(REGSAM view, const std::wstring& dll, Saved& saved) {
        HKEY key;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, TASKSCHD_SERVER_KEY, 0, nullptr, 0, KEY_READ | KEY_WRITE | view, nullptr,
                            &key, nullptr))
            return;
        saved.server = Text(key, nullptr);
        saved.model = Text(key, L"ThreadingModel");
        saved.had = !saved.server.empty();
        Put(key, nullptr, dll);
        Put(key, L"ThreadingModel", L"Both");
        RegCloseKey(key);
    }
    static void Restore(REGSAM view, const Saved& saved) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, TASKSCHD_SERVER_KEY, 0, KEY_WRITE | view, &key)) return;
        if (saved.had) {
            Put(key, nullptr, saved.server);
            Put(key, L"ThreadingModel", saved.model);
        }
        RegCloseKey(key);
    }
    std::wstring dir_;
    Saved saved64_, saved32_;
};

inline std::wstring LowerText(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
}

// Takes the renames and deletions scheduled for the next restart that name one of these files out
// of the list, so that no later start of the prefix carries them out.
inline void ForgetPendingRenames(const std::vector<std::wstring>& parts) {
    const wchar_t key[] = L"System\\CurrentControlSet\\Control\\Session Manager";
    std::vector<wchar_t> data(64 * 1024, L'\0');
    DWORD size = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, data.data(),
                     &size))
        return;
    // Pairs of source and target; an empty target means delete. The list ends at two NULs.
    std::vector<std::wstring> items;
    size_t units = size / sizeof(wchar_t);
    for (size_t at = 0; at < units;) {
        std::wstring item(&data[at]);
        items.push_back(item);
        at += item.size() + 1;
        if (at < units && data[at] == 0 && items.size() % 2 == 0) break;
    }
    std::wstring kept;
    for (size_t i = 0; i + 1 < items.size(); i += 2) {
        bool ours = false;
        for (const auto& p : parts) ours = ours || LowerText(items[i]).find(LowerText(p)) != std::wstring::npos;
        if (!ours) kept += items[i] + L'\0' + items[i + 1] + L'\0';
    }
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &k)) return;
    if (kept.empty()) {
        RegDeleteValueW(k, L"PendingFileRenameOperations");
    } else {
        kept += L'\0';
        RegSetValueExW(k, L"PendingFileRenameOperations", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                       static_cast<DWORD>(kept.size() * sizeof(wchar_t)));
    }
    RegCloseKey(k);
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace setup_harness
