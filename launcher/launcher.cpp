#include "launcher.h"

#include <objbase.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwctype>
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

bool DelayFilePathFor(const wchar_t* programFile, wchar_t (&path)[PATH_BUFFER]) {
    std::wstring directory = programFile;
    size_t lastSlash = directory.rfind(L'\\');
    if (lastSlash != std::wstring::npos) directory.resize(lastSlash);
    const std::wstring full = directory + L"\\delay.txt";
    memset(path, 0, sizeof path);
    // A cut path would name some other file; treat it as no delay file at all.
    if (full.size() >= PATH_BUFFER) return false;
    wmemcpy(path, full.c_str(), full.size() + 1);
    return true;
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

bool ReadDelayFile(const wchar_t* path, unsigned& delayTime) {
    FILE* file = _wfopen(path, L"r");
    if (!file) return false;
    char line[1024];
    memset(line, 0, sizeof line);
    if (!fgets(line, sizeof line, file)) line[0] = '\0';
    ParseDelay(line, delayTime);
    fclose(file);
    return true;
}

bool ReadDelayTime(unsigned& delayTime) {
    wchar_t programFile[PATH_BUFFER];
    memset(programFile, 0, sizeof programFile);
    DWORD length = GetModuleFileNameW(nullptr, programFile, PATH_BUFFER);
    // A path cut to the buffer would lead to the wrong directory.
    if (length == 0 || length >= PATH_BUFFER) return false;
    wchar_t path[PATH_BUFFER];
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

std::wstring InstalledCheckCommand(const std::wstring& systemDirectory, const std::wstring& userSid) {
    std::wstring command = L"\"" + systemDirectory + POWERSHELL_UNDER_SYSTEM + L"\"";
    command += INSTALLED_CHECK_ARGUMENTS;
    command += L'\'';
    // A SID string is "S-" followed by digits and dashes; anything else (no quote can get into the
    // elevated PowerShell this way) leaves the literal empty, which matches no user.
    bool plain = userSid.size() > 2 && userSid.compare(0, 2, L"S-") == 0;
    for (size_t i = 2; plain && i < userSid.size(); ++i) plain = iswdigit(userSid[i]) || userSid[i] == L'-';
    if (plain) command += userSid;
    command += L'\'';
    return command;
}

std::wstring CurrentUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
    std::vector<BYTE> buffer(256);
    DWORD needed = 0;
    BOOL ok = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(needed);
        ok = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    }
    CloseHandle(token);
    if (!ok) return std::wstring();
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return std::wstring();
    std::wstring sid = text;
    LocalFree(text);
    return sid;
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
    wchar_t systemDirectory[MAX_PATH];
    memset(systemDirectory, 0, sizeof systemDirectory);
    UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) systemDirectory[0] = L'\0';

    const std::wstring command = InstalledCheckCommand(systemDirectory, CurrentUserSid());
    DebugLog("CMD: %s\n", Narrow(command).c_str());
    std::string output;
    // Without the system folder there is no PowerShell we could trust, and without the system's
    // environment it would run with the user's, so then it is not run at all.
    if (systemDirectory[0]) {
        std::vector<wchar_t> environment;
        const DWORD error = BuildPowerShellEnvironment(systemDirectory, environment);
        if (error == 0) {
            platform.runConsoleCommand(command, systemDirectory, INSTALLED_CHECK_TIMEOUT_MS, output,
                                       environment.data());
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
