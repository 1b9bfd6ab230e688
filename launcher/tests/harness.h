// Helpers for the launcher's tests. LauncherRun runs the built StartupOrvanta.exe from a folder of
// its own, with the fake powershell.exe where Windows keeps the real one (and a planted copy beside
// the launcher, which must never run), and collects what it wrote to the debugger, standard output
// and the fakes' records, which land in the test's folder.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "debugout.h"

std::string BinPath(const std::string& relative);
// A folder of that name under %TEMP%, made if missing; ends with a backslash.
std::string TempFolder(const std::string& name);
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
std::string CurrentUserName();
// The SID string of the user this test runs as (and so the launcher it starts).
std::string CurrentUserSidText();
// DllRegisterServer or DllUnregisterServer of the fake activation manager.
HRESULT CallActivationFake(const char* entry);

// The system folder as this process sees it, and where the launcher looks for PowerShell there.
std::string SystemDirectory();
std::string SystemPowerShell();

inline const std::string TAG = "<StartupUSBOrvanta> ";
inline const std::string QUERY =
    "\"" + SystemPowerShell() + "\" -NoProfile -NonInteractive Get-AppxPackage -Name 5F0A17C3.Orvanta -User ";
inline const std::string LISTING_INSTALLED =
    "\r\nName              : 5F0A17C3.Orvanta\r\n"
    "Publisher         : CN=00000000-0000-0000-0000-000000000000\r\n"
    "PackageFullName   : 5F0A17C3.Orvanta_1.4.2.0_x64__x4t9wq2brk8nd\r\n"
    "PackageFamilyName : 5F0A17C3.Orvanta_x4t9wq2brk8nd\r\n\r\n";

class LauncherRun : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the copied launcher with the given arguments from currentDir and checks it exited with 0.
    debugout::Result Run(const std::string& arguments = "", const std::string& currentDir = "C:\\");
    void Put(const char* name, const std::string& text) { WriteText(dir_ + name, text); }
    bool Has(const char* name) const { return GetFileAttributesA((dir_ + name).c_str()) != INVALID_FILE_ATTRIBUTES; }
    std::string Get(const char* name) const { return ReadText(dir_ + name); }

    std::string dir_;
};
