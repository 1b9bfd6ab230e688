// The program around the operations: reading the verb and placing the launcher beside the tool.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "logontask.h"

namespace {

const wchar_t kTaskName[] = L"OrvantaUWP";
const wchar_t kLauncherPathFormat[] = L"%ls\\StartupOrvanta.exe";
// What the format adds to the directory: all of it but the "%ls" and the terminator.
const size_t kLauncherSuffixLength = sizeof kLauncherPathFormat / sizeof(wchar_t) - 4;

}  // namespace

const char* SkipProgramName(const char* commandLine, UINT codePage) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
    bool quoted = false;
    while (*p > ' ' || (*p && quoted)) {
        if (*p == '"') quoted = !quoted;
        // A lead byte takes its trail byte with it, but never the terminator.
        if (IsDBCSLeadByteEx(codePage, *p) && p[1]) ++p;
        ++p;
    }
    while (*p && *p <= ' ') ++p;
    return reinterpret_cast<const char*>(p);
}

bool BuildLauncherPath(const wchar_t* moduleFileName, wchar_t (&path)[1024]) {
    wchar_t directory[1024];
    memset(directory, 0, sizeof directory);
    size_t nameLength = wcslen(moduleFileName);
    if (nameLength >= 1024) return false;
    wmemcpy(directory, moduleFileName, nameLength);
    if (wchar_t* lastSlash = wcsrchr(directory, L'\\')) *lastSlash = L'\0';

    // A path cut short would start some other file, so a directory too long for it is refused.
    memset(path, 0, sizeof path);
    if (wcslen(directory) + kLauncherSuffixLength + 1 > 1024) return false;
    _snwprintf(path, 1024, kLauncherPathFormat, directory);
    return true;
}

int LogonTaskMain(const char* verbText) {
    if (strcmp(verbText, "CREATE_TASK") == 0) {
        wchar_t moduleFileName[1024];
        memset(moduleFileName, 0, sizeof moduleFileName);
        DWORD length = GetModuleFileNameW(nullptr, moduleFileName, 1024);
        // A name that filled the buffer may have been cut inside its directory.
        wchar_t launcherPath[1024];
        if (length > 0 && length < 1024 && BuildLauncherPath(moduleFileName, launcherPath))
            // In parallel: an administrator who logs on while another's launcher still runs (fast user
            // switching, remote desktop) gets a launcher of their own.
            EnableLogonStartup(kTaskName, nullptr, nullptr, launcherPath, 1);
    } else if (strcmp(verbText, "DELETE_TASK") == 0) {
        DisableLogonStartup(kTaskName);
    }
    return 0;
}
