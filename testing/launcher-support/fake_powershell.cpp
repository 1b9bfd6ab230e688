// Stands in for powershell.exe beside the launcher, where the launcher's process search looks
// first. Everything it uses lives beside its own file, so each test folder is its own world:
//   powershell.record   written: line 1 its command line, line 2 its current directory
//   powershell.listing  read, if present: copied byte for byte to standard output
//   powershell.errors   read, if present: copied byte for byte to standard error
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string OwnDirectory() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s = path;
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
    const std::string dir = OwnDirectory();
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, cwd);
    if (FILE* f = fopen((dir + "powershell.record").c_str(), "wb")) {
        fprintf(f, "%s\n%s\n", GetCommandLineA(), cwd);
        fclose(f);
    }
    std::string text;
    if (ReadWhole(dir + "powershell.listing", text)) CopyTo(STD_OUTPUT_HANDLE, text);
    text.clear();
    if (ReadWhole(dir + "powershell.errors", text)) CopyTo(STD_ERROR_HANDLE, text);
    return 0;
}
