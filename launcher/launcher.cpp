#include "launcher.h"

#include <lmcons.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "activation_manager.h"
#include "child_environment.h"
#include "console_runner.h"
#include "debuglog.h"

namespace {

int64_t RealWallClock() { return _time64(nullptr); }
void RealSleep(DWORD milliseconds) { Sleep(milliseconds); }
void RealWriteOut(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

// COM stays initialised for as long as this lives; it is declared before the interfaces it
// serves so that they are released first.
struct ComApartment {
    ComApartment() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComApartment() { CoUninitialize(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

template <typename T>
struct ComRef {
    T* p = nullptr;
    ComRef() = default;
    ~ComRef() {
        if (p) p->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
};

}  // namespace

const LauncherPlatform& RealLauncherPlatform() {
    static const LauncherPlatform platform = {RealWallClock, RealSleep, RealWriteOut, RunConsoleCommand};
    return platform;
}

bool DelayFilePathFor(const char* programFile, char (&path)[PATH_BUFFER]) {
    char directory[PATH_BUFFER];
    memset(directory, 0, sizeof directory);
    if (strlen(programFile) >= sizeof directory) return false;
    strcpy(directory, programFile);
    if (char* lastSlash = strrchr(directory, '\\')) *lastSlash = '\0';

    memset(path, 0, sizeof path);
    int length = snprintf(path, sizeof path, "%s\\delay.txt", directory);
    // A cut path would name some other file; treat it as no delay file at all.
    return length > 0 && static_cast<size_t>(length) < sizeof path;
}

namespace {

// The leading unsigned decimal number of line, after white space. A sign, or a number that does
// not fit in 32 bits, is no number: scanf's "%u" would take "-1" as 4294967295 seconds.
bool ParseDelay(const char* line, unsigned& delayTime) {
    const char* c = line;
    while (*c == ' ' || (*c >= '\t' && *c <= '\r')) ++c;
    if (*c < '0' || *c > '9') return false;
    uint64_t value = 0;
    for (; *c >= '0' && *c <= '9'; ++c) {
        value = value * 10 + static_cast<unsigned>(*c - '0');
        if (value > UINT32_MAX) return false;
    }
    delayTime = static_cast<unsigned>(value);
    return true;
}

}  // namespace

bool ReadDelayFile(const char* path, unsigned& delayTime) {
    FILE* file = fopen(path, "r");
    if (!file) return false;
    char line[1024];
    memset(line, 0, sizeof line);
    if (!fgets(line, sizeof line, file)) line[0] = '\0';
    ParseDelay(line, delayTime);
    fclose(file);
    return true;
}

bool ReadDelayTime(unsigned& delayTime) {
    char programFile[PATH_BUFFER];
    memset(programFile, 0, sizeof programFile);
    DWORD length = GetModuleFileNameA(nullptr, programFile, sizeof programFile);
    // A path cut to the buffer would lead to the wrong directory.
    if (length == 0 || length >= sizeof programFile) return false;
    char path[PATH_BUFFER];
    if (!DelayFilePathFor(programFile, path)) return false;
    return ReadDelayFile(path, delayTime);
}

void WaitForDelay(unsigned delayTime, const LauncherPlatform& platform) {
    const int64_t start = platform.wallClock();
    for (;;) {
        platform.sleep(WAIT_POLL_MS);
        const int64_t elapsed = platform.wallClock() - start;
        DebugLog("Current Time Different: %d\n", static_cast<int>(static_cast<uint32_t>(elapsed)));
        // Measured on the wall clock: a clock set back keeps us waiting until start plus delay.
        if (elapsed >= 0 && elapsed >= static_cast<int64_t>(delayTime)) return;
    }
}

std::wstring InstalledCheckCommand(const std::wstring& systemDirectory, const std::wstring& userName) {
    std::wstring command = L"\"" + systemDirectory + POWERSHELL_UNDER_SYSTEM + L"\"";
    command += INSTALLED_CHECK_ARGUMENTS;
    command += L'\'';
    // Inside a single-quoted PowerShell literal a quote is written twice, and PowerShell takes the
    // typographic single quotes for quotes too; any of them left single would end the literal and
    // let the rest of the name run as commands in the elevated PowerShell.
    for (wchar_t c : userName) {
        if (c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201A' || c == L'\u201B') command += c;
        command += c;
    }
    command += L'\'';
    return command;
}

namespace {

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()), &out[0], size,
                            nullptr, nullptr);
    return out;
}

}  // namespace

bool IsAppInstalled(const LauncherPlatform& platform) {
    wchar_t userName[UNLEN + 1];
    memset(userName, 0, sizeof userName);
    DWORD size = UNLEN + 1;
    if (!GetUserNameW(userName, &size)) userName[0] = L'\0';
    wchar_t systemDirectory[MAX_PATH];
    memset(systemDirectory, 0, sizeof systemDirectory);
    UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) systemDirectory[0] = L'\0';

    const std::wstring command = InstalledCheckCommand(systemDirectory, userName);
    DebugLog("CMD: %s\n", Narrow(command).c_str());
    std::string output;
    // Without the system folder there is no PowerShell we could trust, and without the system's
    // environment it would run with the user's, so then it is not run at all.
    if (systemDirectory[0]) {
        std::vector<wchar_t> environment;
        const DWORD error = BuildPowerShellEnvironment(systemDirectory, environment);
        if (error == 0) {
            platform.runConsoleCommand(command, systemDirectory, INSTALLED_CHECK_TIMEOUT_MS, output, environment.data());
        } else {
            DebugLog("PowerShell's environment not built (error %lu); not run\n", static_cast<unsigned long>(error));
        }
    }
    DebugLog("Output: %s\n", output.c_str());
    return output.find(APP_FAMILY_NAME) != std::string::npos;
}

bool ActivateApp(const LauncherPlatform& platform) {
    ComApartment apartment;
    ComRef<IApplicationActivationManager> manager;
    // Out of process: the manager serves the app its activation arguments from a thread of its host
    // process, and we end right after the call, taking an in-process manager and the arguments along.
    HRESULT hr = CoCreateInstance(CLSID_ApplicationActivationManager, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IApplicationActivationManager, reinterpret_cast<void**>(&manager.p));
    if (FAILED(hr) || !manager.p) {
        DebugLog("CoCreateInstance Fail");
        platform.writeOut("CoCreateInstance Fail");
        return false;
    }

    DWORD processId = 0;
    hr = manager.p->ActivateApplication(APP_USER_MODEL_ID, APP_ARGUMENTS, AO_NOERRORUI, &processId);
    if (FAILED(hr)) {
        DebugLog("ActivateApplication Fail: 0x%x", static_cast<unsigned>(hr));
        char text[64];
        snprintf(text, sizeof text, "ActivateApplication Fail: 0x%x", static_cast<unsigned>(hr));
        platform.writeOut(text);
        return false;
    }
    return true;
}

void RunLauncher(const LauncherPlatform& platform) {
    unsigned delayTime = 0;
    if (ReadDelayTime(delayTime)) {
        DebugLog("Delay Time: %u\n", delayTime);
        WaitForDelay(delayTime, platform);
    }

    if (IsAppInstalled(platform)) {
        platform.writeOut("Orvanta AP Install\n");
        DebugLog("Orvanta AP Install\n");
        ActivateApp(platform);
    } else {
        platform.writeOut("Orvanta AP Not Install\n");
        DebugLog("Orvanta AP Not Install\n");
    }
}
