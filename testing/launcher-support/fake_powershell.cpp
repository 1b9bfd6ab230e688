// Stands in for powershell.exe, installed by the tests where Windows keeps the real one. Its files
// live in the folder named by the first line of "powershell.dir" beside its own file (beside its own
// file without one), so each test folder is its own world; the launcher starts PowerShell with the
// system's environment, so no variable of the test's would reach it:
//   powershell.record   written: line 1 its command line, line 2 its current directory, line 3 its
//                       own path, all UTF-8
//   powershell.listing  read, if present: copied byte for byte to standard output
//   powershell.errors   read, if present: copied byte for byte to standard error
//   powershell.seen     written: what PowerShell itself would go by, all UTF-8:
//                         PSModulePath=<as given, or "(unset)">
//                         Get-AppxPackage from=<the module file auto-loading would take, or "(none)">
//                       then every variable of its environment, one "NAME=value" a line
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    return out;
}

std::string OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return Utf8(path);
}

std::string DataDirectory() {
    wchar_t own[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring pointer = own;
    pointer = pointer.substr(0, pointer.find_last_of(L'\\') + 1) + L"powershell.dir";
    char dir[MAX_PATH] = {};
    if (FILE* f = _wfopen(pointer.c_str(), L"rb")) {
        if (!fgets(dir, sizeof dir, f)) dir[0] = '\0';
        fclose(f);
        dir[strcspn(dir, "\r\n")] = '\0';
        if (dir[0]) return dir;
    }
    std::string s = OwnPath();
    return s.substr(0, s.find_last_of('\\') + 1);
}

bool ReadWhole(const std::string& path, std::string& text) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    return true;
}

void CopyTo(DWORD which, const std::string& text) {
    DWORD written = 0;
    if (!text.empty()) WriteFile(GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::wstring Variable(const wchar_t* name, bool& set) {
    std::vector<wchar_t> value(32768);
    DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    set = n > 0 && n < value.size();
    return set ? std::wstring(value.data(), n) : std::wstring();
}

bool Mentions(const std::wstring& path, const char* word) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return false;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    return text.find(word) != std::string::npos;
}

// The module path as Windows PowerShell documents its start: without PSModulePath, the user's own
// Documents\WindowsPowerShell\Modules, then %ProgramFiles%'s and $PSHOME's; with it, as given.
std::vector<std::wstring> ModuleFolders(const std::wstring& given, bool set) {
    std::wstring path = given;
    if (!set) {
        wchar_t documents[MAX_PATH] = {};
        SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents);
        bool programFilesSet = false;
        const std::wstring programFiles = Variable(L"ProgramFiles", programFilesSet);
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        path = std::wstring(documents) + L"\\WindowsPowerShell\\Modules;" + programFiles +
               L"\\WindowsPowerShell\\Modules;" + system + L"\\WindowsPowerShell\\v1.0\\Modules";
    }
    std::vector<std::wstring> folders;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(L';', start);
        if (end == std::wstring::npos) end = path.size();
        if (end > start) folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

// What auto-loading would run for Get-AppxPackage: the first module <folder>\<name>\<name>.psm1 (or
// .psd1) along the module path whose text names the command.
std::wstring AppxModuleOn(const std::vector<std::wstring>& folders) {
    for (const std::wstring& folder : folders) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) continue;
        std::wstring hit;
        do {
            const std::wstring name = found.cFileName;
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name == L"." || name == L"..") continue;
            for (const wchar_t* extension : {L".psm1", L".psd1"}) {
                const std::wstring file = folder + L"\\" + name + L"\\" + name + extension;
                if (hit.empty() && Mentions(file, "Get-AppxPackage")) hit = file;
            }
        } while (hit.empty() && FindNextFileW(find, &found));
        FindClose(find);
        if (!hit.empty()) return hit;
    }
    return L"";
}

void WriteSeen(const std::string& path) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    bool set = false;
    const std::wstring modulePath = Variable(L"PSModulePath", set);
    const std::wstring module = AppxModuleOn(ModuleFolders(modulePath, set));
    fprintf(f, "PSModulePath=%s\n", set ? Utf8(modulePath.c_str()).c_str() : "(unset)");
    fprintf(f, "Get-AppxPackage from=%s\n", module.empty() ? "(none)" : Utf8(module.c_str()).c_str());
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* at = block; *at; at += wcslen(at) + 1) fprintf(f, "%s\n", Utf8(at).c_str());
        FreeEnvironmentStringsW(block);
    }
    fclose(f);
}

}  // namespace

int main() {
    const std::string dir = DataDirectory();
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    if (FILE* f = fopen((dir + "powershell.record").c_str(), "wb")) {
        fprintf(f, "%s\n%s\n%s\n", Utf8(GetCommandLineW()).c_str(), Utf8(cwd).c_str(), OwnPath().c_str());
        fclose(f);
    }
    WriteSeen(dir + "powershell.seen");
    std::string text;
    if (ReadWhole(dir + "powershell.listing", text)) CopyTo(STD_OUTPUT_HANDLE, text);
    text.clear();
    if (ReadWhole(dir + "powershell.errors", text)) CopyTo(STD_ERROR_HANDLE, text);
    return 0;
}
