// Files, paths and programs: what the installer reads, compares, copies and runs.
#include "tvxsetup.h"

#include <cstdio>
#include <cwctype>

namespace tvxsetup {

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
}

bool SameText(const std::wstring& a, const std::wstring& b) { return Lower(a) == Lower(b); }

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L'\\'));
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t out[MAX_PATH];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, out, nullptr);
    if (!n || n >= MAX_PATH) return path;
    std::wstring s(out, n);
    while (s.size() > 3 && s.back() == L'\\') s.pop_back();
    return s;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool ReadAll(const std::wstring& path, std::string& out) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (256 << 20);
    if (ok) {
        out.assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        ok = out.empty() ||
             (ReadFile(file, &out[0], static_cast<DWORD>(out.size()), &got, nullptr) && got == out.size());
    }
    CloseHandle(file);
    return ok;
}

bool SameContent(const std::wstring& a, const std::wstring& b) {
    std::string x, y;
    return ReadAll(a, x) && ReadAll(b, y) && x == y;
}

// "1.0.0.0" from a file's version resource; empty without one. Read as resource data, so that the
// elevated installer needs no DLL outside the known system ones (the version library is not).
std::wstring FileVersion(const std::wstring& path) {
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
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

std::wstring WindowsDir() {
    wchar_t dir[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
    return n && n < MAX_PATH ? std::wstring(dir, n) : L"C:\\Windows";
}

std::wstring DriversDir() {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\drivers";
}

std::wstring DriverPath() { return DriversDir() + L"\\Tarvex.sys"; }

// Two service binary paths (or a path and a file) that name the same file, in whatever form the
// service manager stored them.
bool SamePath(const std::wstring& a, const std::wstring& b) {
    return NormalImagePath(a, WindowsDir()) == NormalImagePath(b, WindowsDir());
}

// This driver's image: Tarvex.sys, or a proven upgrade Tarvex-<version>.sys, in the drivers folder.
bool IsOurImage(const std::wstring& binary) {
    std::wstring path = NormalImagePath(binary, WindowsDir());
    std::wstring dir = NormalImagePath(DriversDir(), WindowsDir()) + L"\\";
    if (path.rfind(dir, 0) != 0) return false;
    std::wstring name = path.substr(dir.size());
    return name == L"tarvex.sys" ||
           (name.size() > 11 && name.rfind(L"tarvex-", 0) == 0 && name.find(L'\\') == std::wstring::npos &&
            name.compare(name.size() - 4, 4, L".sys") == 0);
}

// The files Windows deletes or moves away at the next restart.
std::vector<std::wstring> PendingRemovals() {
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

bool GoesAtRestart(const std::wstring& path) {
    std::wstring normal = NormalImagePath(path, WindowsDir());
    for (const auto& s : PendingRemovals())
        if (s == normal) return true;
    return false;
}

// Runs a program from the install folder and returns its exit code; false when it did not run or end.
bool RunProgram(const std::wstring& program, const std::wstring& args, DWORD& exitCode, std::wstring& why) {
    std::wstring line = L"\"" + program + L"\" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring dir = program.substr(0, program.find_last_of(L'\\'));
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, dir.c_str(), &si,
                        &pi)) {
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

// True when version a ("1.2.0.0") is lower than b; versions missing or unreadable compare as equal.
bool IsOlder(const std::wstring& a, const std::wstring& b) {
    unsigned x[4] = {}, y[4] = {};
    if (swscanf(a.c_str(), L"%u.%u.%u.%u", &x[0], &x[1], &x[2], &x[3]) != 4 ||
        swscanf(b.c_str(), L"%u.%u.%u.%u", &y[0], &y[1], &y[2], &y[3]) != 4)
        return false;
    return std::lexicographical_compare(x, x + 4, y, y + 4);
}

bool IsInUse(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE;
}

bool RunsOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// Major version of the running Windows, as the kernel reports it (no compatibility shims).
DWORD WindowsMajor() {
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    auto get = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return get && get(&info) == 0 ? info.dwMajorVersion : 0;
}

// True when the file is an x64 kernel-mode image.
bool IsX64Driver(const std::wstring& path) {
    std::string data;
    if (!ReadAll(path, data) || data.size() < 0x200 || data[0] != 'M' || data[1] != 'Z') return false;
    DWORD pe = *reinterpret_cast<const DWORD*>(&data[0x3c]);
    if (pe + 0x60 > data.size() || data.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return false;
    WORD machine = *reinterpret_cast<const WORD*>(&data[pe + 4]);
    WORD subsystem = *reinterpret_cast<const WORD*>(&data[pe + 24 + 68]);
    return machine == IMAGE_FILE_MACHINE_AMD64 && subsystem == IMAGE_SUBSYSTEM_NATIVE;
}

void RemoveBackup(const std::wstring& backup) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((backup + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((backup + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(backup.c_str());
}

}  // namespace tvxsetup
