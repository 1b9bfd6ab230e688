// OrvantaService installed, started, controlled, stopped and deleted by Wine's real service
// control manager, with the stub reset tool as Revenix. The service's debugger output is heard
// through debugout's system monitor; the install and uninstall runs' through debugout::Run.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scm_support.h"
#include "service.h"

#include <sddl.h>

namespace {

const DWORD WAIT_MS = 20000;
const std::string TAG = "<OrvantaService> ";

class ScmTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        monitor_ = new debugout::Monitor;
        scmtest::RemoveService();
        inst_ = scmtest::Prepare("main");
    }
    static void TearDownTestSuite() {
        scmtest::RemoveService();
        delete monitor_;
    }
    void SetUp() override {
        ASSERT_TRUE(monitor_->ok()) << monitor_->error();
        ASSERT_FALSE(inst_.exe.empty()) << "could not prepare the installation";
        scmtest::RemoveService();
        ASSERT_FALSE(scmtest::ServiceExists());
        DeleteFileA(inst_.startsFile.c_str());
        DeleteFileA((inst_.toolDir + "linger.txt").c_str());
        monitor_->Clear();
    }
    void TearDown() override { scmtest::RemoveService(); }

    // Installs and waits for the service to run its loop; returns the service process id.
    DWORD InstallAndRun(const scmtest::Installation& inst) {
        debugout::Result r = scmtest::InstallWhenReady(inst, 60000);
        EXPECT_EQ(0u, r.exitCode);
        std::vector<std::string> expected = {TAG + "Service start pending...\n"};
        EXPECT_EQ(expected, r.debug);
        EXPECT_TRUE(scmtest::WaitForState(SERVICE_RUNNING, WAIT_MS));
        return ServicePid();
    }

    // The process that most recently registered the service's handler (waits for one).
    DWORD ServicePid() {
        DWORD pid = 0;
        monitor_->WaitUntil(
            [&](const std::vector<debugout::Message>& all) {
                for (auto& m : all)
                    if (m.text == TAG + "RegisterServiceCtrlHandlerEx Success") pid = m.pid;
                return pid != 0;
            },
            WAIT_MS);
        return pid;
    }

    // Number of times a process has written text.
    size_t Count(DWORD pid, const std::string& text) {
        size_t n = 0;
        for (auto& t : monitor_->Texts(pid)) n += t == text;
        return n;
    }
    bool WaitForCount(DWORD pid, const std::string& text, size_t count) {
        return monitor_->WaitUntil(
            [&](const std::vector<debugout::Message>& all) {
                size_t n = 0;
                for (auto& m : all) n += m.pid == pid && m.text == text;
                return n >= count;
            },
            WAIT_MS);
    }

    // The lines a service process wrote after its start-up messages.
    std::vector<std::string> ServiceLinesAfterStartup(DWORD pid) {
        std::vector<std::string> lines = monitor_->Texts(pid);
        std::vector<std::string> startup = {TAG + "RegisterServiceCtrlHandlerEx Success", TAG + "CreateEvent Success"};
        EXPECT_GE(lines.size(), 2u);
        if (lines.size() < 2) return lines;
        EXPECT_EQ(startup, std::vector<std::string>(lines.begin(), lines.begin() + 2));
        return std::vector<std::string>(lines.begin() + 2, lines.end());
    }

    static debugout::Monitor* monitor_;
    static scmtest::Installation inst_;
};

debugout::Monitor* ScmTest::monitor_;
scmtest::Installation ScmTest::inst_;

TEST_F(ScmTest, InstallRegistersTheQuotedPathAndTheServiceRuns) {
    ASSERT_NE(std::string::npos, inst_.exe.find(' '));
    DWORD pid = InstallAndRun(inst_);
    ASSERT_NE(0u, pid);
    scmtest::Config config{};
    ASSERT_TRUE(scmtest::QueryConfig(config));
    EXPECT_EQ(0x10u, config.type);
    EXPECT_EQ(2u, config.startType);
    EXPECT_EQ(1u, config.errorControl);
    EXPECT_EQ("LocalSystem", config.account);
    EXPECT_EQ("OrvantaService", config.displayName);
    // Quoted: unquoted, a path with blanks lets the manager run a shorter program path instead.
    EXPECT_EQ("\"" + inst_.exe + "\"", config.binaryPath);
    EXPECT_TRUE(ServiceLinesAfterStartup(pid).empty());

    // Windows' manager keeps the DACL and the failure actions -i sets and hands them back
    // (QueryServiceObjectSecurity, QueryServiceConfig2); Wine 8 keeps neither, answering an empty
    // DACL and ERROR_INVALID_LEVEL, so service_unit_test reads back what -i hands over. Anything
    // but Wine's answer or the real one fails here.
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = OpenServiceW(scm, L"OrvantaService", READ_CONTROL | SERVICE_QUERY_CONFIG);
    ASSERT_NE(nullptr, svc);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    std::string dacl = "(not read)";
    if (QueryServiceObjectSecurity(svc, DACL_SECURITY_INFORMATION, buffer.data(), 8192, &needed)) {
        char* sddl = nullptr;
        if (ConvertSecurityDescriptorToStringSecurityDescriptorA(buffer.data(), SDDL_REVISION_1,
                                                                 DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
            dacl = sddl;
            LocalFree(sddl);
        }
    }
    EXPECT_TRUE(dacl == "D:" ||
                dacl == "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCLOCR;;;IU)")
        << dacl;
    BOOL read = QueryServiceConfig2W(svc, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), 8192, &needed);
    if (read) {
        auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer.data());
        EXPECT_EQ(86400u, actions->dwResetPeriod);
        ASSERT_EQ(2u, actions->cActions);
        for (DWORD i = 0; i < 2; ++i) {
            EXPECT_EQ(SC_ACTION_RESTART, actions->lpsaActions[i].Type);
            EXPECT_EQ(60000u, actions->lpsaActions[i].Delay);
        }
    } else {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), GetLastError());
    }
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
}

TEST_F(ScmTest, InstallAgainReplacesTheRunningService) {
    DWORD first = InstallAndRun(inst_);
    monitor_->Clear();
    // The old registration is gone before the new one is created, so one run suffices.
    debugout::Result r = scmtest::RunProgram(inst_, "-i");
    std::vector<std::string> pending = {TAG + "Service start pending...\n"};
    EXPECT_EQ(pending, r.debug);
    ASSERT_EQ(0u, r.exitCode);
    EXPECT_TRUE(WaitForCount(first, TAG + "Monitored stopped", 1));
    DWORD second = ServicePid();
    EXPECT_NE(0u, second);
    EXPECT_NE(first, second);
    EXPECT_TRUE(scmtest::WaitForState(SERVICE_RUNNING, WAIT_MS));
}

TEST_F(ScmTest, InstallWaitsWhileAnotherHandleKeepsTheOldServiceMarkedForDeletion) {
    InstallAndRun(inst_);
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE held = OpenServiceA(scm, SERVICE_NAME, SERVICE_QUERY_STATUS);
    ASSERT_NE(nullptr, held);
    // Let go of the old registration two seconds into the install.
    std::thread releaser([=] {
        Sleep(2000);
        CloseServiceHandle(held);
        CloseServiceHandle(scm);
    });
    ULONGLONG start = GetTickCount64();
    debugout::Result r = scmtest::RunProgram(inst_, "-i");
    ULONGLONG took = GetTickCount64() - start;
    releaser.join();
    EXPECT_EQ(0u, r.exitCode);
    std::vector<std::string> expected = {TAG + "Service start pending...\n"};
    EXPECT_EQ(expected, r.debug);
    EXPECT_GE(took, 1900u) << "created before the old registration was gone";
    EXPECT_TRUE(scmtest::WaitForState(SERVICE_RUNNING, WAIT_MS));
}

// On Windows the service's named objects live in the global namespace, where any user in any
// session may create an event or a mutex (Kernel Object Namespaces); Wine has one session, so the
// squatters here are simply made first, in both the plain and the Global\ form.
TEST_F(ScmTest, ObjectsNamedAsTheOldWakeEventNeitherBlockNorSteerTheService) {
    struct Squatter {
        const char* name;
        bool mutex;
    };
    for (Squatter squatter : {Squatter{"OrvantaServiceEvent", false}, Squatter{"Global\\OrvantaServiceEvent", true}}) {
        SCOPED_TRACE(squatter.name);
        monitor_->Clear();
        DeleteFileA(inst_.startsFile.c_str());
        // A signalled manual-reset event would keep a loop waiting on it spinning; a held mutex of
        // the name would make creating an event of it fail.
        HANDLE held = squatter.mutex ? CreateMutexA(nullptr, TRUE, squatter.name)
                                     : CreateEventA(nullptr, TRUE, TRUE, squatter.name);
        ASSERT_NE(nullptr, held);
        // Closed on every way out, so a failed round leaves no name behind for the next tests.
        std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(held, CloseHandle);
        DWORD pid = InstallAndRun(inst_);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), scmtest::SendControl(SERVICE_CONTROL_RESET));
        EXPECT_EQ(1u, scmtest::WaitForStarts(inst_, 1, WAIT_MS).size());
        ASSERT_TRUE(WaitForCount(pid, TAG + "AppleDeviceFilePath: " + inst_.toolDir, 1));
        if (!squatter.mutex) SetEvent(held);
        Sleep(500);  // time for a wrongly woken loop to say so
        closer.reset();
        EXPECT_EQ(1u, resetstub::ReadStarts(inst_.startsFile).size());
        std::vector<std::string> expected = {TAG + "New Event", TAG + "Revenix",
                                             TAG + "AppleDeviceFilePath: " + inst_.toolDir};
        EXPECT_EQ(expected, ServiceLinesAfterStartup(pid));
        scmtest::RemoveService();
    }
}

TEST_F(ScmTest, UninstallStopsAndDeletesSilentlyAndTwiceIsHarmless) {
    DWORD pid = InstallAndRun(inst_);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    ASSERT_NE(nullptr, process);
    debugout::Result r = scmtest::RunProgram(inst_, "-d");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_TRUE(r.debug.empty());
    EXPECT_TRUE(scmtest::WaitUntilGone(WAIT_MS));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, WAIT_MS));
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    EXPECT_EQ(0u, code);
    std::vector<std::string> lines = ServiceLinesAfterStartup(pid);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(TAG + "Monitored stopped", lines[0]);

    r = scmtest::RunProgram(inst_, "-d");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_TRUE(r.debug.empty());
}

TEST_F(ScmTest, OtherFirstArgumentsDoNothingAndFurtherArgumentsAreIgnored) {
    for (const char* args : {"-x", "-I", "\"\"", "/i"}) {
        debugout::Result r = scmtest::RunProgram(inst_, args);
        EXPECT_TRUE(r.started);
        EXPECT_EQ(0u, r.exitCode) << args;
        EXPECT_TRUE(r.debug.empty()) << args;
        EXPECT_FALSE(scmtest::ServiceExists()) << args;
    }
    debugout::Result r = scmtest::InstallWhenReady(inst_, 60000);
    EXPECT_EQ(0u, r.exitCode);
    r = scmtest::RunProgram(inst_, "-i further");
    EXPECT_EQ(0u, r.exitCode);
    std::vector<std::string> expected = {TAG + "Service start pending...\n"};
    EXPECT_EQ(expected, r.debug);
    EXPECT_TRUE(scmtest::WaitForState(SERVICE_RUNNING, WAIT_MS));
}

TEST_F(ScmTest, WithoutArgumentsOutsideTheManagerItEndsAtOnce) {
    debugout::Result r = scmtest::RunProgram(inst_, "");
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_TRUE(r.debug.empty());
}

TEST_F(ScmTest, ResetStartsTheToolHiddenFromItsFolderWithoutParameters) {
    DWORD pid = InstallAndRun(inst_);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), scmtest::SendControl(SERVICE_CONTROL_RESET));
    auto starts = scmtest::WaitForStarts(inst_, 1, WAIT_MS);
    ASSERT_EQ(1u, starts.size());
    const resetstub::Start& s = starts[0];
    EXPECT_EQ(inst_.toolDir.substr(0, inst_.toolDir.size() - 1), s.cwd);
    EXPECT_TRUE(s.showFlag);
    EXPECT_EQ(static_cast<unsigned>(SW_HIDE), s.show);
    // The program's own name and nothing after it.
    std::string program = "\"" + inst_.toolDir + "Revenix.exe\"";
    EXPECT_EQ(program, s.cmdline.substr(0, s.cmdline.find_last_not_of(' ') + 1));

    ASSERT_TRUE(WaitForCount(pid, TAG + "AppleDeviceFilePath: " + inst_.toolDir, 1));
    std::vector<std::string> expected = {TAG + "New Event", TAG + "Revenix",
                                         TAG + "AppleDeviceFilePath: " + inst_.toolDir};
    EXPECT_EQ(expected, ServiceLinesAfterStartup(pid));
}

TEST_F(ScmTest, EachLaterResetStartsAnotherToolWithoutWaitingForTheLast) {
    DWORD pid = InstallAndRun(inst_);
    HANDLE linger =
        CreateFileA((inst_.toolDir + "linger.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written;
    WriteFile(linger, "8000", 4, &written, nullptr);
    CloseHandle(linger);

    std::vector<HANDLE> tools;
    for (size_t n = 1; n <= 3; ++n) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), scmtest::SendControl(SERVICE_CONTROL_RESET));
        auto starts = scmtest::WaitForStarts(inst_, n, WAIT_MS);
        ASSERT_EQ(n, starts.size());
        tools.push_back(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, starts.back().pid));
    }
    // The first tool still runs while the later ones start: the service did not wait for it.
    DWORD code = 0;
    ASSERT_NE(nullptr, tools[0]);
    EXPECT_TRUE(GetExitCodeProcess(tools[0], &code));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
    for (HANDLE h : tools) {
        if (!h) continue;
        TerminateProcess(h, 0);
        CloseHandle(h);
    }
    ASSERT_TRUE(WaitForCount(pid, TAG + "AppleDeviceFilePath: " + inst_.toolDir, 3));
    EXPECT_EQ(3u, Count(pid, TAG + "New Event"));
    EXPECT_EQ(3u, Count(pid, TAG + "Revenix"));
}

TEST_F(ScmTest, OtherControlsOnlyWakeTheService) {
    DWORD pid = InstallAndRun(inst_);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), scmtest::SendControl(SERVICE_CONTROL_INTERROGATE));
    ASSERT_TRUE(WaitForCount(pid, TAG + "New Event", 1));
    // Wine reports success for a user-defined control the handler refused.
    scmtest::SendControl(200);
    ASSERT_TRUE(WaitForCount(pid, TAG + "New Event", 2));
    // Pause is not among the accepted controls, so the manager does not deliver it.
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), scmtest::SendControl(SERVICE_CONTROL_PAUSE));

    // A reset last: everything before it must have been "New Event" alone.
    scmtest::SendControl(SERVICE_CONTROL_RESET);
    ASSERT_TRUE(WaitForCount(pid, TAG + "AppleDeviceFilePath: " + inst_.toolDir, 1));
    std::vector<std::string> expected = {TAG + "New Event", TAG + "New Event", TAG + "New Event", TAG + "Revenix",
                                         TAG + "AppleDeviceFilePath: " + inst_.toolDir};
    EXPECT_EQ(expected, ServiceLinesAfterStartup(pid));
    EXPECT_EQ(1u, scmtest::WaitForStarts(inst_, 1, WAIT_MS).size());
}

TEST_F(ScmTest, MissingToolStartsNoOtherRevenixAndTheServiceServesTheNextRequest) {
    DWORD pid = InstallAndRun(inst_);
    std::string tool = inst_.toolDir + "Revenix.exe", away = inst_.toolDir + "Revenix.away";
    std::string folder = TAG + "AppleDeviceFilePath: " + inst_.toolDir;
    ASSERT_TRUE(MoveFileExA(tool.c_str(), away.c_str(), MOVEFILE_REPLACE_EXISTING));
    // Another Revenix.exe where a search by bare name would look next: the program's own folder.
    std::string planted = inst_.dir + "Revenix.exe", plantedStarts = inst_.dir + "starts.txt";
    DeleteFileA(plantedStarts.c_str());
    ASSERT_TRUE(CopyFileA(away.c_str(), planted.c_str(), FALSE));
    scmtest::SendControl(SERVICE_CONTROL_RESET);
    bool served = WaitForCount(pid, folder, 1);
    // The loop writes its next "New Event" only once the failed launch has returned.
    scmtest::SendControl(SERVICE_CONTROL_INTERROGATE);
    bool returned = WaitForCount(pid, TAG + "New Event", 2);
    Sleep(500);  // time for a wrongly started tool to write its record
    bool plantedStarted = GetFileAttributesA(plantedStarts.c_str()) != INVALID_FILE_ATTRIBUTES;
    DeleteFileA(plantedStarts.c_str());
    DeleteFileA(planted.c_str());
    ASSERT_TRUE(MoveFileExA(away.c_str(), tool.c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(served);
    ASSERT_TRUE(returned) << "the launch of a missing tool did not return";
    EXPECT_FALSE(plantedStarted) << "started the Revenix.exe of the program's folder";
    EXPECT_TRUE(resetstub::ReadStarts(inst_.startsFile).empty());

    scmtest::SendControl(SERVICE_CONTROL_RESET);
    EXPECT_EQ(1u, scmtest::WaitForStarts(inst_, 1, WAIT_MS).size());
    ASSERT_TRUE(WaitForCount(pid, folder, 2));
    std::vector<std::string> expected = {
        TAG + "New Event", TAG + "Revenix",   folder,          TAG + "Revenix.exe not found; not started",
        TAG + "New Event", TAG + "New Event", TAG + "Revenix", folder};
    EXPECT_EQ(expected, ServiceLinesAfterStartup(pid));
    SERVICE_STATUS_PROCESS status{};
    ASSERT_TRUE(scmtest::QueryStatus(status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
}

TEST_F(ScmTest, StopReportsStoppedWithExitCodeZeroAndEndsTheProcess) {
    DWORD pid = InstallAndRun(inst_);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    ASSERT_NE(nullptr, process);
    // The caller of the stop hears that it is under way, never RUNNING.
    SERVICE_STATUS answered{};
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), scmtest::SendControl(SERVICE_CONTROL_STOP, &answered));
    EXPECT_TRUE(answered.dwCurrentState == SERVICE_STOP_PENDING || answered.dwCurrentState == SERVICE_STOPPED)
        << "state " << answered.dwCurrentState;
    SERVICE_STATUS_PROCESS status{};
    ASSERT_TRUE(scmtest::WaitForState(SERVICE_STOPPED, WAIT_MS, &status));
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    EXPECT_EQ(0u, status.dwServiceSpecificExitCode);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, WAIT_MS));
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    EXPECT_EQ(0u, code);
    std::vector<std::string> lines = ServiceLinesAfterStartup(pid);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(TAG + "Monitored stopped", lines[0]);
    EXPECT_TRUE(scmtest::ServiceExists()) << "a stop leaves the registration";
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Ansi(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 1 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

// Install, 133, the reset tool and uninstall from a folder whose name the ANSI code page (1252
// here) cannot hold: through it the path would turn into '?'s.
TEST_F(ScmTest, TheWholeRoadWorksFromAFolderOutsideTheAnsiCodePage) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp) + L"Orvanta \u03A9\u043A\\", toolDir = dir + L"Revenix\\";
    const std::wstring exe = dir + L"OrvantaService.exe", starts = toolDir + L"starts.txt";
    ASSERT_NE(std::string::npos, Ansi(dir).find('?')) << "the folder fits the ANSI code page";
    CreateDirectoryW(dir.c_str(), nullptr);
    CreateDirectoryW(toolDir.c_str(), nullptr);
    DeleteFileW(starts.c_str());
    const std::wstring bin = Wide(scmtest::BinDir());
    ULONGLONG until = GetTickCount64() + 15000;
    while (!(CopyFileW((bin + L"OrvantaService.exe").c_str(), exe.c_str(), FALSE) &&
             CopyFileW((bin + L"Quillog.dll").c_str(), (dir + L"Quillog.dll").c_str(), FALSE) &&
             CopyFileW((bin + L"Revenix.exe").c_str(), (toolDir + L"Revenix.exe").c_str(), FALSE))) {
        ASSERT_LT(GetTickCount64(), until) << "could not prepare the installation";
        Sleep(100);
    }

    debugout::Result r;
    for (until = GetTickCount64() + 60000;;) {
        r = debugout::Run(L"\"" + exe + L"\" -i", 60000);
        bool refused = r.debug.size() == 1 && r.debug[0] == TAG + "StartService failed (1055)";
        if (!refused || GetTickCount64() >= until) break;
        Sleep(200);
    }
    EXPECT_EQ(0u, r.exitCode);
    std::vector<std::string> pending = {TAG + "Service start pending...\n"};
    EXPECT_EQ(pending, r.debug);
    {
        SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = scm ? OpenServiceW(scm, L"OrvantaService", SERVICE_QUERY_CONFIG) : nullptr;
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        ASSERT_TRUE(svc && QueryServiceConfigW(svc, config, static_cast<DWORD>(buffer.size()), &needed));
        EXPECT_EQ(L"\"" + exe + L"\"", std::wstring(config->lpBinaryPathName));
        CloseServiceHandle(svc);
        CloseServiceHandle(scm);
    }
    ASSERT_TRUE(scmtest::WaitForState(SERVICE_RUNNING, WAIT_MS));
    DWORD pid = ServicePid();

    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), scmtest::SendControl(SERVICE_CONTROL_RESET));
    std::vector<resetstub::Start> started;
    for (until = GetTickCount64() + WAIT_MS; started.empty() && GetTickCount64() < until; Sleep(20))
        started = resetstub::ReadStarts(starts);
    ASSERT_EQ(1u, started.size()) << "the reset tool was not started";
    EXPECT_EQ(resetstub::Utf8(toolDir.substr(0, toolDir.size() - 1)), started[0].cwd);
    // The log stays in the ANSI code page.
    const std::string folder = TAG + "AppleDeviceFilePath: " + Ansi(toolDir);
    ASSERT_TRUE(WaitForCount(pid, folder, 1));
    std::vector<std::string> expected = {TAG + "New Event", TAG + "Revenix", folder};
    EXPECT_EQ(expected, ServiceLinesAfterStartup(pid));

    r = debugout::Run(L"\"" + exe + L"\" -d", 60000);
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_TRUE(scmtest::WaitUntilGone(WAIT_MS));
}

TEST_F(ScmTest, TraceLibraryComesFromTheProgramFolderNotTheCurrentOne) {
    scmtest::Installation inst = scmtest::Prepare("binding");
    ASSERT_FALSE(inst.exe.empty());
    ASSERT_TRUE(DeleteFileA((inst.dir + "Quillog.dll").c_str()));
    // A planted library in the caller's folder, as a user-writable download folder could hold.
    std::string planted = inst.dir + "caller\\";
    CreateDirectoryA(planted.c_str(), nullptr);
    std::string fake = scmtest::BinDir() + "quillog_fake.dll";
    ASSERT_TRUE(CopyFileA(fake.c_str(), (planted + "Quillog.dll").c_str(), FALSE));

    debugout::Result r = scmtest::InstallWhenReady(inst, 60000);
    r = scmtest::RunProgram(inst, "-i", planted);
    EXPECT_EQ(0u, r.exitCode);
    std::vector<std::string> alone = {TAG + "Service start pending...\n"};
    EXPECT_EQ(alone, r.debug);

    ASSERT_TRUE(CopyFileA(fake.c_str(), (inst.dir + "Quillog.dll").c_str(), FALSE));
    r = scmtest::RunProgram(inst, "-i", planted);
    EXPECT_EQ(0u, r.exitCode);
    std::vector<std::string> bound = {TAG + "Service start pending...\n", "fake Quillog: init"};
    EXPECT_EQ(bound, r.debug);
}

}  // namespace
