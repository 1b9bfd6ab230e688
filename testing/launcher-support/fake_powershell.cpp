// Stands in for powershell.exe, installed by the tests where Windows keeps the real one. Its files
// live in the folder named by ORVANTA_FAKE_POWERSHELL_DIR (beside its own file without it), so each
// test folder is its own world:
//   powershell.record   written: line 1 its command line, line 2 its current directory, line 3 its
//                       own path, all UTF-8
//   powershell.listing  read, if present: copied byte for byte to standard output
//   powershell.errors   read, if present: copied byte for byte to standard error
#include <windows.h>

#include <cstdio>
#include <string>

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
    char dir[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("ORVANTA_FAKE_POWERSHELL_DIR", dir, MAX_PATH);
    if (n > 0 && n < MAX_PATH) return dir;
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

}  // namespace

int main() {
    const std::string dir = DataDirectory();
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    if (FILE* f = fopen((dir + "powershell.record").c_str(), "wb")) {
        fprintf(f, "%s\n%s\n%s\n", Utf8(GetCommandLineW()).c_str(), Utf8(cwd).c_str(), OwnPath().c_str());
        fclose(f);
    }
    std::string text;
    if (ReadWhole(dir + "powershell.listing", text)) CopyTo(STD_OUTPUT_HANDLE, text);
    text.clear();
    if (ReadWhole(dir + "powershell.errors", text)) CopyTo(STD_ERROR_HANDLE, text);
    return 0;
}
