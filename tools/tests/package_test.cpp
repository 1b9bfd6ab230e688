// The package as a Windows administrator uses it: the INF through Wine's setupapi, and the install
// and uninstall scripts through Wine's cmd.exe, with the fake Task Scheduler standing in for the
// real one. State is read from the 64-bit registry view, where Windows keeps it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "debugout.h"
#include "fake_client.h"

#ifndef TVX_DIST_DIR
#error "TVX_DIST_DIR must name the dist folder"
#endif

namespace {

const wchar_t USB_CLASS_KEY[] = L"System\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}";
const wchar_t TARVEX_SERVICE_KEY[] = L"System\\CurrentControlSet\\Services\\Tarvex";

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

std::wstring BinDir() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    return s.substr(0, s.find_last_of(L'\\'));
}

// The Linux path of dist/ as Wine shows it.
std::wstring DistDir() {
    std::wstring dir = L"Z:" + Wide(TVX_DIST_DIR);
    for (auto& c : dir)
        if (c == L'/') c = L'\\';
    return dir;
}

bool ReadMultiSz(const wchar_t* key, const wchar_t* name, std::vector<std::wstring>& out, std::vector<BYTE>* raw = nullptr) {
    out.clear();
    BYTE data[4096] = {};
    DWORD size = sizeof data - 4, type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_MULTI_SZ | RRF_SUBKEY_WOW6464KEY, &type, data, &size))
        return false;
    if (raw) raw->assign(data, data + size);
    for (auto* p = reinterpret_cast<const wchar_t*>(data); *p; p += wcslen(p) + 1) out.push_back(p);
    return true;
}

void SetUpperFilters(const std::vector<std::wstring>& filters) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, USB_CLASS_KEY, 0, nullptr, 0,
                                             KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    if (filters.empty()) {
        RegDeleteValueW(key, L"UpperFilters");
    } else {
        std::wstring value;
        for (const auto& f : filters) value += f + L'\0';
        value += L'\0';
        RegSetValueExW(key, L"UpperFilters", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                       static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

bool KeyExists(const wchar_t* path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &key)) return false;
    RegCloseKey(key);
    return true;
}

DWORD ServiceDword(const wchar_t* name) {
    DWORD value = 0xFFFFFFFF, size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, TARVEX_SERVICE_KEY, name, RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr,
                 &value, &size);
    return value;
}

std::wstring ServiceString(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, TARVEX_SERVICE_KEY, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ |
                 RRF_NOEXPAND | RRF_SUBKEY_WOW6464KEY, nullptr, value, &size);
    return value;
}

// The 64-bit tools, as an elevated prompt on 64-bit Windows runs them.
// The 64-bit system folder: a 32-bit program reaches it through the sysnative alias, which a 64-bit
// one does not have.
const char* const SYSTEM64 = sizeof(void*) == 8 ? "C:\\windows\\system32\\" : "C:\\windows\\sysnative\\";
std::string System64(const char* program) { return std::string(SYSTEM64) + program; }
std::wstring InstalledDriver() { return Wide(System64("drivers\\Tarvex.sys")); }

debugout::Result RunHinf(const char* section, const std::wstring& inf) {
    return debugout::Run(System64("rundll32.exe") + " setupapi.dll,InstallHinfSection " + section + " 128 " + Narrow(inf),
                         120000);
}

std::wstring FreshFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring dir = std::wstring(temp) + name;
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

bool IsWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST(TarvexInf, InstallAddsTheFilterOnceKeepsOthersAndAddsTheKernelService) {
    std::wstring dir = FreshFolder(L"tvxinf");
    ASSERT_TRUE(CopyFileW((DistDir() + L"\\Tarvex.inf").c_str(), (dir + L"\\Tarvex.inf").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((DistDir() + L"\\Tarvex.sys").c_str(), (dir + L"\\Tarvex.sys").c_str(), FALSE));
    SetUpperFilters({L"OtherFilter"});

    for (int round = 0; round < 2; ++round) {  // a second install must not add a second entry
        SCOPED_TRACE(round);
        auto run = RunHinf("DefaultInstall", dir + L"\\Tarvex.inf");
        ASSERT_TRUE(run.started);
        std::vector<std::wstring> filters;
        ASSERT_TRUE(ReadMultiSz(USB_CLASS_KEY, L"UpperFilters", filters));
        EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter", L"Tarvex"}), filters);
    }
    EXPECT_EQ(1u, ServiceDword(L"Type"));          // kernel driver
    EXPECT_EQ(3u, ServiceDword(L"Start"));         // demand
    EXPECT_EQ(1u, ServiceDword(L"ErrorControl"));  // normal
    std::wstring image = ServiceString(L"ImagePath");
    EXPECT_NE(std::wstring::npos, image.find(L"drivers\\Tarvex.sys")) << Narrow(image);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(InstalledDriver().c_str()));

    auto run = RunHinf("DefaultUninstall", dir + L"\\Tarvex.inf");
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(KeyExists(TARVEX_SERVICE_KEY));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(InstalledDriver().c_str()));
    std::vector<std::wstring> filters;
    std::vector<BYTE> raw;
    ASSERT_TRUE(ReadMultiSz(USB_CLASS_KEY, L"UpperFilters", filters, &raw));
    for (const auto& f : filters) EXPECT_NE(L"Tarvex", f);
    // Known Wine gap: its setupapi rewrites the value after removing one string with a length in
    // bytes where one in UTF-16 units is due, cutting the other entries short. Windows keeps them.
    if (IsWine() && filters != std::vector<std::wstring>{L"OtherFilter"}) {
        EXPECT_EQ(13u, raw.size()) << "Wine's multi-string removal changed: make this a plain check again";
    } else {
        EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter"}), filters);
    }
    SetUpperFilters({});
}

bool ServiceExists(const char* name, std::string* binary = nullptr) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_CONFIG);
    bool exists = service != nullptr;
    if (service && binary) {
        BYTE buffer[8192];
        DWORD needed = 0;
        if (QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer), sizeof buffer, &needed))
            *binary = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer)->lpBinaryPathName;
    }
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exists;
}

// The scripts run from dist/ into a program folder, as on a real machine.
TEST(InstallScripts, InstallThenUninstallLeaveTheExpectedServiceTaskAndRegistryState) {
    ASSERT_EQ(S_OK, fake_taskschd::CallDllRegistration(BinDir() + L"\\taskschd_fake.dll", "DllRegisterServer"));
    fake_taskschd::FakeScheduler fake;  // names its folder in our environment; the scripts inherit it
    const std::string folder = "C:\\Orvanta Test";
    SetUpperFilters({L"OtherFilter"});

    auto install = debugout::Run(System64("cmd.exe") + " /c \"\"" + Narrow(DistDir()) + "\\install.cmd\" \"" + folder + "\"\"",
                                 180000);
    ASSERT_TRUE(install.started);
    EXPECT_EQ(0u, install.exitCode) << install.out << install.err;
    for (const char* step : {"[ok]     copy the files", "[ok]     install the driver as USB class upper filter",
                             "[ok]     install the service OrvantaService", "Installation complete."})
        EXPECT_NE(std::string::npos, install.out.find(step)) << "missing: " << step << "\n" << install.out;
    // Wine's schtasks answers yes to every query, so the script says it cannot verify the task.
    EXPECT_NE(std::string::npos, install.out.find("register the logon task OrvantaUWP")) << install.out;

    for (const char* file : {"Tarvex.sys", "Tarvex.inf", "OrvantaService.exe", "Quillog.dll", "logontask.exe",
                             "StartupOrvanta.exe", "tvxctl.exe", "uninstall.cmd"})
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + "\\" + file).c_str())) << file;
    std::string binary;
    EXPECT_TRUE(ServiceExists("OrvantaService", &binary));
    EXPECT_NE(std::string::npos, binary.find(folder + "\\OrvantaService.exe")) << binary;
    ASSERT_TRUE(fake.HasTask(L"OrvantaUWP"));
    EXPECT_EQ("\"" + folder + "\\StartupOrvanta.exe\"", fake.Task(L"OrvantaUWP")["Actions[0].Path"]);
    std::vector<std::wstring> filters;
    ASSERT_TRUE(ReadMultiSz(USB_CLASS_KEY, L"UpperFilters", filters));
    EXPECT_EQ((std::vector<std::wstring>{L"OtherFilter", L"Tarvex"}), filters);
    EXPECT_TRUE(KeyExists(TARVEX_SERVICE_KEY));

    auto uninstall = debugout::Run(System64("cmd.exe") + " /c \"\"" + folder + "\\uninstall.cmd\"\"", 180000);
    ASSERT_TRUE(uninstall.started);
    EXPECT_EQ(0u, uninstall.exitCode) << uninstall.out << uninstall.err;
    for (const char* step : {"[ok]     delete the service OrvantaService",
                             "[ok]     remove the driver and its upper filter entry", "Removal complete."})
        EXPECT_NE(std::string::npos, uninstall.out.find(step)) << "missing: " << step << "\n" << uninstall.out;
    EXPECT_FALSE(ServiceExists("OrvantaService"));
    EXPECT_FALSE(fake.HasTask(L"OrvantaUWP"));
    EXPECT_FALSE(KeyExists(TARVEX_SERVICE_KEY));
    ASSERT_TRUE(ReadMultiSz(USB_CLASS_KEY, L"UpperFilters", filters));
    for (const auto& f : filters) EXPECT_NE(L"Tarvex", f);

    SetUpperFilters({});
    EXPECT_EQ(S_OK, fake_taskschd::CallDllRegistration(L"taskschd.dll", "DllRegisterServer"));
}

}  // namespace
