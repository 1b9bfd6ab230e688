// tvxsetup as an administrator runs it, in the Wine prefix with its real service control manager,
// setup API, registry and loading of Tarvex.sys as a kernel service; the fake Task Scheduler stands
// in for the one Wine lacks. Every scenario ends by checking the one rule: the USB class names
// Tarvex only while the Tarvex kernel service exists and its driver is loaded.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "../paths.h"
#include "setup_harness.h"

#ifndef TVX_DIST_DIR
#error "TVX_DIST_DIR must name the dist folder"
#endif

namespace setup_fixture {

using namespace setup_harness;

inline const wchar_t FOLDER[] = L"C:\\Orvanta Setup Test";

// An install every later step of a scenario needs; its output when it fails.
#define ASSERT_INSTALLS(args)                                 \
    do {                                                      \
        Outcome installed_ = RunSetup(args);                  \
        ASSERT_EQ(0u, installed_.exitCode) << installed_.out; \
    } while (0)

// The rule every scenario must leave standing: the class names Tarvex only over a kernel service
// and an image that will still be there after a restart.
inline ::testing::AssertionResult FilterIsSafe() {
    auto filters = UpperFilters();
    if (!NamesTarvex(filters)) return ::testing::AssertionSuccess();
    Service kernel = QueryService(L"Tarvex");
    if (!kernel.exists) return ::testing::AssertionFailure() << "the USB class names Tarvex without its kernel service";
    if (MarkedForDeletion(L"Tarvex"))
        return ::testing::AssertionFailure() << "the USB class names Tarvex over a service marked for deletion";
    if (kernel.start != SERVICE_DEMAND_START)
        return ::testing::AssertionFailure() << "the USB class names Tarvex over start type " << kernel.start;
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring image = tvxsetup::NormalImagePath(kernel.binary, windows);
    if (!Exists(image))
        return ::testing::AssertionFailure() << "the USB class names Tarvex, but " << Narrow(image) << " is missing";
    return ::testing::AssertionSuccess();
}

inline void DeleteServiceNamed(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_STOP | DELETE | SERVICE_QUERY_STATUS) : nullptr;
    if (service) {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 100 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
             ++i)
            Sleep(100);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    for (int i = 0; i < 50 && QueryService(name).exists; ++i) Sleep(100);
}

// The images an upgrade leaves in the drivers folder, Tarvex-<version>.sys.
inline std::vector<std::wstring> UpgradeImages() {
    std::vector<std::wstring> out;
    std::wstring dir = DriverFile().substr(0, DriverFile().find_last_of(L'\\'));
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\Tarvex-*.sys").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do out.push_back(dir + L"\\" + found.cFileName);
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return out;
}

// Whether the restart deletes the file (PendingFileRenameOperations, in NT form).
inline bool DeletedAtRestart(const std::wstring& path) {
    std::vector<wchar_t> data(64 * 1024, L'\0');
    DWORD size = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                     L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, data.data(), &size))
        return false;
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    auto items = tvxsetup::SplitMultiString(data.data(), size / sizeof(wchar_t));
    for (const auto& source : tvxsetup::PendingRenameSources(items, windows))
        if (source == tvxsetup::NormalImagePath(path, windows)) return true;
    return false;
}

inline const wchar_t APPS_ENTRY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta";

// A value of the Apps & features entry as text (numbers in decimal); empty when absent.
inline std::wstring AppsEntry(const wchar_t* name) {
    wchar_t text[1024] = {};
    DWORD size = sizeof text, type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, APPS_ENTRY, name, RRF_RT_REG_SZ | RRF_RT_REG_DWORD, &type, text, &size))
        return L"";
    DWORD number = 0;
    memcpy(&number, text, sizeof number);
    return type == REG_DWORD ? std::to_wstring(number) : std::wstring(text);
}

inline bool KeyExists(const wchar_t* path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key)) return false;
    RegCloseKey(key);
    return true;
}

// Adds a deletion at the next restart of a file that need not exist, as an earlier removal leaves one.
inline void PlantDeleteAtRestart(const std::wstring& path) {
    const wchar_t key[] = L"System\\CurrentControlSet\\Control\\Session Manager";
    std::vector<wchar_t> data(64 * 1024, L'\0');
    DWORD size = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
    std::wstring value;
    if (!RegGetValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr,
                      data.data(), &size))
        for (const auto& item : tvxsetup::SplitMultiString(data.data(), size / sizeof(wchar_t))) value += item + L'\0';
    value += L"\\??\\" + path + L'\0' + L'\0' + L'\0';
    HKEY k;
    ASSERT_EQ(0, RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &k));
    RegSetValueExW(k, L"PendingFileRenameOperations", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                   static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    RegCloseKey(k);
}

// A copy of the installable files to change one of; tvxsetup installs from its own folder.
inline std::wstring SourceCopy(const wchar_t* name) {
    std::wstring dir = TempDir(name);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((Dist() + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                CopyFileW((Dist() + L"\\" + found.cFileName).c_str(), (dir + L"\\" + found.cFileName).c_str(), FALSE);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return dir;
}

inline bool SameImage(const std::wstring& a, const std::wstring& b) {
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    return tvxsetup::NormalImagePath(a, windows) == tvxsetup::NormalImagePath(b, windows);
}

// Wine starts a Unix program given by its path on drive Z: as it starts a Windows one.
inline bool RunUnix(const wchar_t* program, std::wstring line) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(program, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// Makes the driver's entry routine return STATUS_UNSUCCESSFUL: an image Windows loads and then
// refuses, as it refuses an untrusted one.
inline void BreakDriverEntry(const std::wstring& path) {
    std::string image = ReadFileBytes(path);
    ASSERT_GT(image.size(), 0x400u);
    DWORD pe = *reinterpret_cast<const DWORD*>(&image[0x3c]);
    auto* file = reinterpret_cast<const IMAGE_FILE_HEADER*>(&image[pe + 4]);
    auto* optional = reinterpret_cast<const IMAGE_OPTIONAL_HEADER64*>(&image[pe + 24]);
    DWORD entry = optional->AddressOfEntryPoint;
    auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(&image[pe + 24 + file->SizeOfOptionalHeader]);
    for (WORD i = 0; i < file->NumberOfSections; ++i) {
        const auto& s = sections[i];
        if (entry >= s.VirtualAddress && entry < s.VirtualAddress + s.Misc.VirtualSize) {
            const char failing[] = "\xB8\x01\x00\x00\xC0\xC3";  // mov eax, 0xC0000001; ret
            memcpy(&image[entry - s.VirtualAddress + s.PointerToRawData], failing, 6);
            WriteFileBytes(path, image);
            return;
        }
    }
    FAIL() << "entry point not found in a section";
}

class TvxSetup : public ::testing::Test {
protected:
    void SetUp() override {
        WindowsVersionForSetup(L"win10");
        Clean();
        SetUpperFilters({L"OtherFilter"});
    }
    void TearDown() override {
        EXPECT_TRUE(FilterIsSafe());
        Clean();
        SetUpperFilters({});
    }
    // Whatever a failed scenario left: the installer's own uninstall, then by hand.
    void Clean() {
        if (QueryService(L"Tarvex").exists || QueryService(L"OrvantaService").exists)
            RunSetup(L"uninstall \"" + std::wstring(FOLDER) + L"\"");
        DeleteServiceNamed(L"OrvantaService");
        DeleteServiceNamed(L"Tarvex");
        DeleteServiceNamed(L"TarvexImpostor");
        DeleteServiceNamed(L"TarvexProof");
        DeleteFileW(DriverFile().c_str());
        DeleteFileW((DriverFile() + L".new").c_str());
        for (const auto& image : UpgradeImages()) DeleteFileW(image.c_str());
        ForgetPendingRenames({L"Tarvex.sys", L"\\drivers\\Tarvex-", L"Orvanta Setup Test"});
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvanta");
        RemoveTree(FOLDER);
    }
    FakeTaskScheduler scheduler;
};

}  // namespace setup_fixture
