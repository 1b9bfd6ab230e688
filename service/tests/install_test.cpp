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

namespace {

std::vector<std::string> g_calls;
std::vector<std::string> g_lines;
std::string g_binaryPath;
std::string g_programPath;
bool g_scmFails, g_serviceExists, g_createFails, g_startFails, g_stopFails;
int g_queriesUntilGone;  // after a delete: status opens that still find the old service
int g_sleeps;
const SERVICE_TABLE_ENTRYA* g_table;

SC_HANDLE const SCM = reinterpret_cast<SC_HANDLE>(0x100);
SC_HANDLE const SVC = reinterpret_cast<SC_HANDLE>(0x200);

void WINAPI CaptureDebugString(LPCSTR text) { g_lines.push_back(std::string(text).substr(sizeof ORVANTA_TAG - 1)); }
HMODULE WINAPI NoLibrary(LPCWSTR) { return nullptr; }

SC_HANDLE WINAPI FakeOpenScm(LPCSTR machine, LPCSTR database, DWORD access) {
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

SC_HANDLE WINAPI FakeOpenService(SC_HANDLE scm, LPCSTR name, DWORD access) {
    EXPECT_EQ(SCM, scm);
    if (access == SERVICE_QUERY_STATUS) {
        g_calls.push_back("QueryOpen");
        if (g_queriesUntilGone-- > 0) return SVC;
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    EXPECT_EQ(0xF01FFu, access);
    g_calls.push_back(std::string("OpenService ") + name);
    if (!g_serviceExists) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return SVC;
}

SC_HANDLE WINAPI FakeCreateService(SC_HANDLE scm, LPCSTR name, LPCSTR display, DWORD access, DWORD type, DWORD start,
                                   DWORD errorControl, LPCSTR binaryPath, LPCSTR group, LPDWORD tag, LPCSTR deps,
                                   LPCSTR account, LPCSTR password) {
    EXPECT_EQ(SCM, scm);
    EXPECT_STREQ("OrvantaService", display);
    EXPECT_EQ(0xF01FFu, access);
    EXPECT_EQ(0x10u, type);
    EXPECT_EQ(2u, start);
    EXPECT_EQ(1u, errorControl);
    EXPECT_TRUE(!group && !tag && !deps && !account && !password) << "the service runs as LocalSystem";
    g_binaryPath = binaryPath;
    g_calls.push_back(std::string("CreateService ") + name);
    if (g_createFails) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return nullptr;
    }
    return SVC;
}

BOOL WINAPI FakeStart(SC_HANDLE svc, DWORD argc, LPCSTR* argv) {
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

DWORD WINAPI FakeModulePath(HMODULE module, LPSTR buffer, DWORD size) {
    EXPECT_EQ(nullptr, module);
    EXPECT_EQ(1024u, size);
    size_t n = g_programPath.size();
    if (n >= size) {
        memcpy(buffer, g_programPath.data(), size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buffer, g_programPath.c_str(), n + 1);
    return static_cast<DWORD>(n);
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
        install::g_api = {FakeOpenScm, FakeOpenService, FakeCreateService, FakeStart,     FakeControl,
                          FakeDelete,  FakeClose,       FakeModulePath,    FakeDispatcher, FakeSleep};
        g_calls.clear();
        g_lines.clear();
        g_binaryPath.clear();
        g_programPath = "C:\\Program Files\\Vendor\\OrvantaService.exe";
        g_scmFails = g_serviceExists = g_createFails = g_startFails = g_stopFails = false;
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
    g_programPath = "C:\\" + std::string(1100, 'p') + "\\OrvantaService.exe";
    EXPECT_EQ(-1, Run({"-i"}));
    std::vector<std::string> lines = {"Program path does not fit in 1024 bytes; service not installed"};
    EXPECT_EQ(lines, g_lines);
    EXPECT_EQ("Close scm", g_calls.back());
    EXPECT_EQ(g_calls.end(), std::find(g_calls.begin(), g_calls.end(), "CreateService OrvantaService"));
}

TEST_F(InstallTest, UninstallStopsAndDeletesSilentlyEvenWhenTheStopIsRefused) {
    g_serviceExists = true;
    g_stopFails = true;
    EXPECT_TRUE(UninstallService());
    std::vector<std::string> calls = {"OpenSCManager", "OpenService OrvantaService", "ControlService 1",
                                      "DeleteService", "Close service", "Close scm"};
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
    std::vector<std::string> order = {"DeleteService", "Close service", "Close scm", "OpenSCManager", "QueryOpen",
                                      "Close service", "QueryOpen", "Close service", "QueryOpen", "Close service",
                                      "QueryOpen", "CreateService OrvantaService"};
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

}  // namespace
