#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// What the app's package is known by, and how it is started.
inline constexpr char APP_PACKAGE_NAME[] = "5F0A17C3.Orvanta";
inline constexpr char APP_FAMILY_NAME[] = "5F0A17C3.Orvanta_x4t9wq2brk8nd";
inline constexpr wchar_t APP_USER_MODEL_ID[] = L"5F0A17C3.Orvanta_x4t9wq2brk8nd!Orvanta";
inline constexpr wchar_t APP_ARGUMENTS[] = L"HIDE_UI";
// PowerShell by its full path under the system folder (never searched for: the launcher runs
// elevated and its own folder may be writable by users), without the user's profile scripts.
inline constexpr wchar_t POWERSHELL_UNDER_SYSTEM[] = L"\\WindowsPowerShell\\v1.0\\powershell.exe";
inline constexpr wchar_t INSTALLED_CHECK_ARGUMENTS[] =
    L" -NoProfile -NonInteractive Get-AppxPackage -Name 5F0A17C3.Orvanta -User ";
inline constexpr DWORD INSTALLED_CHECK_TIMEOUT_MS = 60000;
inline constexpr DWORD WAIT_POLL_MS = 900;
inline constexpr size_t PATH_BUFFER = 1024;

// The few platform calls the flow makes that tests must steer: the clock and the sleep (so a wait
// takes no real time), standard output (so its order against the debug log can be seen) and the
// command runner (so the flow can be driven without starting PowerShell).
struct LauncherPlatform {
    int64_t (*wallClock)();  // whole seconds since 1970-01-01 00:00 UTC
    void (*sleep)(DWORD milliseconds);
    void (*writeOut)(const char* text);
    bool (*runConsoleCommand)(const std::wstring& commandLine, const std::wstring& workingDirectory, DWORD timeoutMs,
                              std::string& output, const wchar_t* environment);
};
const LauncherPlatform& RealLauncherPlatform();

// Path of "delay.txt" in the directory of programFile, in UTF-16 so that any folder name works.
// False when it does not fit in PATH_BUFFER units.
bool DelayFilePathFor(const wchar_t* programFile, wchar_t (&path)[PATH_BUFFER]);
// Reads the first line of the delay file at path and parses its leading unsigned decimal number into
// delayTime, which keeps its value when the line holds no number; a sign or a number beyond 32 bits
// counts as none. False when the file cannot be opened.
bool ReadDelayFile(const wchar_t* path, unsigned& delayTime);
// ReadDelayFile on "delay.txt" beside the running program; false also when that path cannot be built.
bool ReadDelayTime(unsigned& delayTime);
// Polls the wall clock every 900 ms until delayTime whole seconds have passed since the start.
void WaitForDelay(unsigned delayTime, const LauncherPlatform& platform);

// The PowerShell query for the user with the SID string userSid ("S-1-5-21-..."): a SID needs no
// quoting, and unlike a bare name it cannot resolve to a local account of the same name.
std::wstring InstalledCheckCommand(const std::wstring& systemDirectory, const std::wstring& userSid);
// The SID string of the user this process runs as; empty when it cannot be read.
std::wstring CurrentUserSid();
bool IsAppInstalled(const LauncherPlatform& platform);
bool ActivateApp(const LauncherPlatform& platform);

// The whole run: delay, installed check, activation.
void RunLauncher(const LauncherPlatform& platform);
