#include "harness.h"

#include <sddl.h>

#include <cstdio>
#include <vector>

std::string BinPath(const std::string& relative) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1) + relative;
}

std::string SystemDirectory() {
    char path[MAX_PATH] = {};
    GetSystemDirectoryA(path, MAX_PATH);
    return path;
}

std::string SystemPowerShell() { return SystemDirectory() + "\\WindowsPowerShell\\v1.0\\powershell.exe"; }

std::string TempFolder(const std::string& name) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string dir = std::string(temp) + "orvanta_launcher\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    dir += name + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

std::string ReadText(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        fclose(f);
    }
    return text;
}

void WriteText(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

std::string CurrentUserName() {
    char name[256] = {};
    DWORD size = sizeof name;
    GetUserNameA(name, &size);
    return name;
}

std::string CurrentUserSidText() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    std::vector<BYTE> buffer(1024);
    DWORD needed = 0;
    BOOL ok = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    CloseHandle(token);
    char* text = nullptr;
    if (!ok || !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
    std::string sid = text;
    LocalFree(text);
    return sid;
}

HRESULT CallActivationFake(const char* entry) {
    HMODULE dll = LoadLibraryA(BinPath("launcher-support\\activationfake.dll").c_str());
    if (!dll) return HRESULT_FROM_WIN32(GetLastError());
    auto fn = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(dll, entry)));
    HRESULT hr = fn ? fn() : E_NOTIMPL;
    FreeLibrary(dll);
    return hr;
}

void LauncherRun::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = TempFolder(std::string(info->test_suite_name()) + "." + info->name());
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((dir_ + "*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA((dir_ + found.cFileName).c_str());
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    ASSERT_TRUE(CopyFileA(BinPath("StartupOrvanta.exe").c_str(), (dir_ + "StartupOrvanta.exe").c_str(), FALSE));
    const std::string fake = BinPath("launcher-support\\powershell.exe");
    ASSERT_TRUE(CopyFileA(fake.c_str(), (dir_ + "powershell.exe").c_str(), FALSE));
    // The prefix's own PowerShell is kept aside once and put back after each test.
    const std::string system = SystemPowerShell(), kept = system + ".wine";
    CreateDirectoryA((SystemDirectory() + "\\WindowsPowerShell").c_str(), nullptr);
    CreateDirectoryA((SystemDirectory() + "\\WindowsPowerShell\\v1.0").c_str(), nullptr);
    if (GetFileAttributesA(kept.c_str()) == INVALID_FILE_ATTRIBUTES) CopyFileA(system.c_str(), kept.c_str(), TRUE);
    ASSERT_TRUE(CopyFileA(fake.c_str(), system.c_str(), FALSE)) << system;
    WriteText(system.substr(0, system.find_last_of('\\') + 1) + "powershell.dir", dir_);
    SetEnvironmentVariableA("ORVANTA_ACTIVATION_RECORD", (dir_ + "activation.record").c_str());
    SetEnvironmentVariableA("ORVANTA_ACTIVATION_RESULT", nullptr);
}

void LauncherRun::TearDown() {
    EXPECT_EQ(S_OK, CallActivationFake("DllUnregisterServer"));
    const std::string system = SystemPowerShell(), kept = system + ".wine";
    if (GetFileAttributesA(kept.c_str()) != INVALID_FILE_ATTRIBUTES) {
        CopyFileA(kept.c_str(), system.c_str(), FALSE);
    } else {
        DeleteFileA(system.c_str());
    }
    DeleteFileA((system.substr(0, system.find_last_of('\\') + 1) + "powershell.dir").c_str());
    SetEnvironmentVariableA("ORVANTA_ACTIVATION_RECORD", nullptr);
    SetEnvironmentVariableA("ORVANTA_ACTIVATION_RESULT", nullptr);
}

debugout::Result LauncherRun::Run(const std::string& arguments, const std::string& currentDir) {
    std::string command = "\"" + dir_ + "StartupOrvanta.exe\"";
    if (!arguments.empty()) command += " " + arguments;
    debugout::Result result = debugout::Run(command, 60000, currentDir);
    EXPECT_TRUE(result.started) << "error " << result.startError;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(0u, result.exitCode);
    return result;
}
