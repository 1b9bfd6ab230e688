// The command line, InstallService and UninstallService against a scripted service manager, for
// the failures the real one will not produce on demand. The real manager is exercised in
// scm_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "debuglog.h"
#include "install.h"
#include "service.h"

#include <sddl.h>

namespace {

std::vector<std::string> g_calls;
std::vector<std::string> g_lines;
std::wstring g_binaryPath;
std::wstring g_programPath;
std::string g_dacl;                  // the DACL handed to the manager, as SDDL
SERVICE_FAILURE_ACTIONSW g_actions;  // and the failure actions
std::vector<SC_ACTION> g_actionList;
bool g_scmFails, g_serviceExists, g_createFails, g_startFails, g_stopFails, g_securityFails, g_actionsFail;
int g_queriesUntilGone;  // after a delete: status opens that still find the old service
int g_sleeps;
const SERVICE_TABLE_ENTRYA* g_table;

SC_HANDLE const SCM = reinterpret_cast<SC_HANDLE>(0x100);
SC_HANDLE const SVC = reinterpret_cast<SC_HANDLE>(0x200);

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

void WINAPI CaptureDebugString(LPCSTR text) { g_lines.push_back(std::string(text).substr(sizeof ORVANTA_TAG - 1)); }
HMODULE WINAPI NoLibrary(LPCWSTR) { return nullptr; }

SC_HANDLE WINAPI FakeOpenScm(LPCWSTR machine, LPCWSTR database, DWORD access) {
    EXPECT_EQ(nullptr, machine);
    EXPECT_EQ(nullptr, database);
    EXPECT_EQ(0xF003Fu, access);
    g_calls.push_back("OpenSCManager");
    if (g_scmFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return SCM;
}

SC_HANDLE WINAPI FakeOpenService(SC_HANDLE scm, LPCWSTR name, DWORD access) {
    EXPECT_EQ(SCM, scm);
    if (access == SERVICE_QUERY_STATUS) {
        g_calls.push_back("QueryOpen");
        if (g_queriesUntilGone-- > 0) return SVC;
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    EXPECT_EQ(0xF01FFu, access);
    g_calls.push_back("OpenService " + Narrow(name));
    if (!g_serviceExists) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return SVC;
}

SC_HANDLE WINAPI FakeCreateService(SC_HANDLE scm, LPCWSTR name, LPCWSTR display, DWORD access, DWORD type, DWORD start,
                                   DWORD errorControl, LPCWSTR binaryPath, LPCWSTR group, LPDWORD tag, LPCWSTR deps,
                                   LPCWSTR account, LPCWSTR password) {
    EXPECT_EQ(SCM, scm);
    EXPECT_STREQ(L"OrvantaService", display);
    EXPECT_EQ(0xF01FFu, access);
    EXPECT_EQ(0x10u, type);
    EXPECT_EQ(2u, start);
    EXPECT_EQ(1u, errorControl);
    EXPECT_TRUE(!group && !tag && !deps && !account && !password) << "the service runs as LocalSystem";
    g_binaryPath = binaryPath;
    g_calls.push_back("CreateService " + Narrow(name));
    if (g_createFails) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return nullptr;
    }
    return SVC;
}

BOOL WINAPI FakeStart(SC_HANDLE svc, DWORD argc, LPCWSTR* argv) {
    EXPECT_EQ(SVC, svc);
    EXPECT_EQ(0u, argc);
    EXPECT_EQ(nullptr, argv);
    g_calls.push_back("StartService");
    if (g_startFails) {
        SetLastError(ERROR_SERVICE_DATABASE_LOCKED);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FakeControl(SC_HANDLE svc, DWORD control, LPSERVICE_STATUS status) {
    EXPECT_EQ(SVC, svc);
    EXPECT_NE(nullptr, status);
    g_calls.push_back("ControlService " + std::to_string(control));
    if (g_stopFails) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FakeDelete(SC_HANDLE svc) {
    EXPECT_EQ(SVC, svc);
    g_calls.push_back("DeleteService");
    return TRUE;
}

BOOL WINAPI FakeClose(SC_HANDLE h) {
    g_calls.push_back(h == SCM ? "Close scm" : h == SVC ? "Close service" : "Close ?");
    return TRUE;
}

DWORD WINAPI FakeModulePath(HMODULE module, LPWSTR buffer, DWORD size) {
    EXPECT_EQ(nullptr, module);
    EXPECT_EQ(1024u, size);
    size_t n = g_programPath.size();
    if (n >= size) {
        wmemcpy(buffer, g_programPath.data(), size - 1);
        buffer[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wmemcpy(buffer, g_programPath.c_str(), n + 1);
    return static_cast<DWORD>(n);
}

BOOL WINAPI FakeSetSecurity(SC_HANDLE svc, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR sd) {
    EXPECT_EQ(SVC, svc);
    EXPECT_EQ(static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION), what);
    g_calls.push_back("SetServiceObjectSecurity");
    char* sddl = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl,
                                                             nullptr)) {
        g_dacl = sddl;
        LocalFree(sddl);
    }
    if (g_securityFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FakeChangeConfig2(SC_HANDLE svc, DWORD level, LPVOID info) {
    EXPECT_EQ(SVC, svc);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS), level);
    g_calls.push_back("ChangeServiceConfig2 " + std::to_string(level));
    g_actions = *static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
    g_actionList.assign(g_actions.lpsaActions, g_actions.lpsaActions + g_actions.cActions);
    if (g_actionsFail) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

void WINAPI FakeSleep(DWORD ms) {
    EXPECT_EQ(100u, ms);
    ++g_sleeps;
}

BOOL WINAPI FakeDispatcher(const SERVICE_TABLE_ENTRYA* table) {
    g_table = table;
    g_calls.push_back(std::string("Dispatcher ") + table[0].lpServiceName);
    EXPECT_EQ(ServiceMain, table[0].lpServiceProc);
    EXPECT_EQ(nullptr, table[1].lpServiceName);
    EXPECT_EQ(nullptr, table[1].lpServiceProc);
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        debuglog::g_api = debuglog::DEFAULT_API;
        debuglog::g_api.outputDebugStringA = CaptureDebugString;
        debuglog::g_api.loadLibraryW = NoLibrary;
        install::g_api = {FakeOpenScm,    FakeOpenService, FakeCreateService, FakeStart,
                          FakeControl,    FakeDelete,      FakeClose,         FakeModulePath,
                          FakeDispatcher, FakeSleep,       FakeSetSecurity,   FakeChangeConfig2};
        g_calls.clear();
        g_lines.clear();
        g_binaryPath.clear();
        g_dacl.clear();
        g_actions = {};
        g_actionList.clear();
        g_programPath = L"C:\\Program Files\\Vendor\\OrvantaService.exe";
        g_scmFails = g_serviceExists = g_createFails = g_startFails = g_stopFails = false;
        g_securityFails = g_actionsFail = false;
        g_queriesUntilGone = 0;
        g_sleeps = 0;
    }
    void TearDown() override {
        install::g_api = install::DEFAULT_API;
        debuglog::g_api = debuglog::DEFAULT_API;
    }
    int Run(std::vector<std::string> args) {
        std::vector<char*> argv = {const_cast<char*>("OrvantaService.exe")};
        for (auto& a : args) argv.push_back(&a[0]);
        return RunCommandLine(static_cast<int>(argv.size()), argv.data());
    }
};

TEST_F(InstallTest, CreationFailureReportsTheErrorInHexAndFailsTheInstall) {
    g_createFails = true;
    EXPECT_EQ(-1, Run({"-i"}));
    std::vector<std::string> tail = {"CreateService OrvantaService", "Close scm"};
    EXPECT_EQ(tail, std::vector<std::string>(g_calls.end() - 2, g_calls.end()));
    std::vector<std::string> lines = {"CreateService Error: 0x430"};
    EXPECT_EQ(lines, g_lines);
}

TEST_F(InstallTest, StartFailureReportsTheErrorInDecimalAndKeepsTheRegistration) {
    g_startFails = true;
    EXPECT_EQ(-1, Run({"-i"}));
    std::vector<std::string> tail = {"StartService", "Close service", "Close scm"};
    EXPECT_EQ(tail, std::vector<std::string>(g_calls.end() - 3, g_calls.end()));
    EXPECT_EQ(g_calls.end(), std::find(g_calls.begin(), g_calls.end(), "DeleteService"));
    std::vector<std::string> lines = {"StartService failed (1055)"};
    EXPECT_EQ(lines, g_lines);
}

TEST_F(InstallTest, NoServiceManagerMeansSilentFailureForInstallAndSuccessForUninstall) {
    g_scmFails = true;
    EXPECT_EQ(-1, Run({"-i"}));
    EXPECT_EQ(0, Run({"-d"}));
    EXPECT_TRUE(g_lines.empty());
    std::vector<std::string> calls = {"OpenSCManager", "OpenSCManager", "OpenSCManager"};
    EXPECT_EQ(calls, g_calls);
}

TEST_F(InstallTest, ProgramPathTheBufferCutsIsNotRegistered) {
    g_programPath = L"C:\\" + std::wstring(1100, L'p') + L"\\OrvantaService.exe";
    EXPECT_EQ(-1, Run({"-i"}));
    std::vector<std::string> lines = {"Program path does not fit in 1024 characters; service not installed"};
    EXPECT_EQ(lines, g_lines);
    EXPECT_EQ("Close scm", g_calls.back());
    EXPECT_EQ(g_calls.end(), std::find(g_calls.begin(), g_calls.end(), "CreateService OrvantaService"));
}

TEST_F(InstallTest, UninstallStopsAndDeletesSilentlyEvenWhenTheStopIsRefused) {
    g_serviceExists = true;
    g_stopFails = true;
    EXPECT_TRUE(UninstallService());
    std::vector<std::string> calls = {"OpenSCManager",    "OpenService OrvantaService",
                                      "ControlService 1", "DeleteService",
                                      "Close service",    "Close scm"};
    EXPECT_EQ(calls, g_calls);
    EXPECT_TRUE(g_lines.empty());

    g_serviceExists = false;
    g_calls.clear();
    EXPECT_FALSE(UninstallService());
    calls = {"OpenSCManager", "OpenService OrvantaService", "Close scm"};
    EXPECT_EQ(calls, g_calls);
}

TEST_F(InstallTest, ReinstallWaitsUntilTheOldServiceIsGoneAndGivesUpAfter30Seconds) {
    g_serviceExists = true;
    g_queriesUntilGone = 3;
    EXPECT_EQ(0, Run({"-i"}));
    EXPECT_EQ(3, g_sleeps);
    std::vector<std::string> order = {"DeleteService", "Close service", "Close scm", "OpenSCManager",
                                      "QueryOpen",     "Close service", "QueryOpen", "Close service",
                                      "QueryOpen",     "Close service", "QueryOpen", "CreateService OrvantaService"};
    auto deleted = std::find(g_calls.begin(), g_calls.end(), "DeleteService");
    ASSERT_GE(g_calls.end() - deleted, static_cast<long>(order.size()));
    EXPECT_EQ(order, std::vector<std::string>(deleted, deleted + order.size()));

    g_calls.clear();
    g_lines.clear();
    g_sleeps = 0;
    g_queriesUntilGone = 1000;
    EXPECT_EQ(-1, Run({"-i"}));
    EXPECT_EQ(300, g_sleeps);
    std::vector<std::string> lines = {"Old service still registered after 30 s; not installed"};
    EXPECT_EQ(lines, g_lines);
    EXPECT_EQ(g_calls.end(), std::find(g_calls.begin(), g_calls.end(), "CreateService OrvantaService"));
    EXPECT_EQ("Close scm", g_calls.back());
}

// The manager's default security lets every service account send the reset code, and without
// failure actions a crash leaves the service down until the next boot.
TEST_F(InstallTest, InstallRestrictsWhoMayControlTheServiceAndRestartsItAfterACrash) {
    g_programPath = L"C:\\Programme\\\u03A9\u043A Orvanta\\OrvantaService.exe";
    EXPECT_EQ(0, Run({"-i"}));
    EXPECT_EQ(L"\"C:\\Programme\\\u03A9\u043A Orvanta\\OrvantaService.exe\"", g_binaryPath)
        << "the path is registered in UTF-16, not through the ANSI code page";
    std::vector<std::string> order = {"CreateService OrvantaService", "SetServiceObjectSecurity",
                                      "ChangeServiceConfig2 2", "StartService"};
    auto created = std::find(g_calls.begin(), g_calls.end(), order[0]);
    ASSERT_GE(g_calls.end() - created, 4);
    EXPECT_EQ(order, std::vector<std::string>(created, created + 4));
    // Interactive users: query configuration and status, interrogate, user-defined controls.
    EXPECT_EQ("D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCLOCR;;;IU)", g_dacl);
    EXPECT_EQ(86400u, g_actions.dwResetPeriod);
    ASSERT_EQ(2u, g_actionList.size());
    for (const SC_ACTION& a : g_actionList) {
        EXPECT_EQ(SC_ACTION_RESTART, a.Type);
        EXPECT_EQ(60000u, a.Delay);
    }

    // Either step failing leaves no service behind with the manager's defaults.
    for (bool* failure : {&g_securityFails, &g_actionsFail}) {
        g_securityFails = g_actionsFail = false;
        *failure = true;
        g_calls.clear();
        g_lines.clear();
        EXPECT_EQ(-1, Run({"-i"}));
        std::vector<std::string> tail = {"DeleteService", "Close service", "Close scm"};
        EXPECT_EQ(tail, std::vector<std::string>(g_calls.end() - 3, g_calls.end()));
        EXPECT_EQ(g_calls.end(), std::find(g_calls.begin(), g_calls.end(), "StartService"));
        std::vector<std::string> lines = {failure == &g_securityFails
                                              ? "SetServiceObjectSecurity failed (5); service not installed"
                                              : "ChangeServiceConfig2 failed (87); service not installed"};
        EXPECT_EQ(lines, g_lines);
    }
}

}  // namespace
