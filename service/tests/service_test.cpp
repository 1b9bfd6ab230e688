// ServiceMain, the control handler and the launch, with the platform calls the service manager
// owns replaced so that the loop can be held between wakes and failures injected.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "debuglog.h"
#include "service.h"

namespace {

struct Launch {
    SHELLEXECUTEINFOW info;
    std::wstring file, directory;
    bool parametersNull, verbNull;
};

std::mutex g_lock;
std::vector<std::string> g_lines;
std::vector<SERVICE_STATUS> g_reports;
std::vector<Launch> g_launches;
bool g_eventNamed;
HANDLE g_createdEvent;
bool g_eventOpenAtStop;
HANDLE g_launchProcess;  // what the fake launch hands back as the new process
LPHANDLER_FUNCTION_EX g_handler;
std::string g_handlerName;
const wchar_t* g_programPath = L"C:\\Tools\\OrvantaService.exe";
bool g_failCreateEvent, g_failRegister, g_failLaunch;
DWORD g_waitError;  // non-zero: the next wait fails with it
void (*g_duringLaunch)();

// The loop's waits pass a gate the test opens one at a time.
HANDLE g_atGate, g_gateOpen;

bool IsOpenHandle(HANDLE h) {
    DWORD flags;
    return GetHandleInformation(h, &flags) != FALSE;
}

void WINAPI CaptureDebugString(LPCSTR text) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_lines.push_back(std::string(text).substr(sizeof ORVANTA_TAG - 1));
}

HMODULE WINAPI NoLibrary(LPCWSTR) { return nullptr; }

HANDLE WINAPI FakeCreateEvent(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCSTR name) {
    g_eventNamed = name != nullptr;
    if (g_failCreateEvent) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    EXPECT_FALSE(sa && sa->bInheritHandle);
    EXPECT_FALSE(manual);
    EXPECT_FALSE(initial);
    g_createdEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return g_createdEvent;
}

SERVICE_STATUS_HANDLE WINAPI FakeRegister(LPCSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
    g_handlerName = name;
    EXPECT_EQ(nullptr, context);
    if (g_failRegister) return nullptr;
    g_handler = handler;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);
}

BOOL WINAPI FakeSetStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    EXPECT_EQ(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150), handle);
    std::lock_guard<std::mutex> guard(g_lock);
    g_reports.push_back(*status);
    if (status->dwCurrentState == SERVICE_STOPPED) g_eventOpenAtStop = g_createdEvent && IsOpenHandle(g_createdEvent);
    return TRUE;
}

DWORD WINAPI GatedWait(HANDLE h, DWORD timeout) {
    SignalObjectAndWait(g_atGate, g_gateOpen, INFINITE, FALSE);
    if (g_waitError) {
        SetLastError(g_waitError);
        return WAIT_FAILED;
    }
    return WaitForSingleObject(h, timeout);
}

BOOL WINAPI FakeLaunch(SHELLEXECUTEINFOW* info) {
    Launch l{*info, info->lpFile ? info->lpFile : L"", info->lpDirectory ? info->lpDirectory : L"",
             info->lpParameters == nullptr, info->lpVerb == nullptr};
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_launches.push_back(l);
    }
    if (g_duringLaunch) g_duringLaunch();
    if (g_failLaunch) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    info->hProcess = g_launchProcess;
    return TRUE;
}

DWORD g_attributes;
DWORD WINAPI FakeAttributes(LPCWSTR) { return g_attributes; }

DWORD WINAPI FakeModulePath(HMODULE, LPWSTR buffer, DWORD size) {
    size_t n = wcslen(g_programPath);
    if (n >= size) {
        wmemcpy(buffer, g_programPath, size);  // cut and terminated, as the platform does
        buffer[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wmemcpy(buffer, g_programPath, n + 1);
    return static_cast<DWORD>(n);
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        debuglog::g_api = debuglog::DEFAULT_API;
        debuglog::g_api.outputDebugStringA = CaptureDebugString;
        debuglog::g_api.loadLibraryW = NoLibrary;
        service::g_api = {FakeCreateEvent, FakeRegister,   FakeSetStatus, GatedWait,
                          FakeLaunch,      FakeModulePath, FakeAttributes};
        service::g_state.status = SERVICE_STATUS{};
        service::g_state.statusHandle = nullptr;
        service::g_state.wakeEvent = nullptr;
        service::g_state.resetRequested = false;
        service::g_state.stopRequested = false;
        g_lines.clear();
        g_reports.clear();
        g_launches.clear();
        g_handler = nullptr;
        g_handlerName.clear();
        g_eventNamed = true;
        g_createdEvent = nullptr;
        g_eventOpenAtStop = true;
        g_programPath = L"C:\\Tools\\OrvantaService.exe";
        g_attributes = FILE_ATTRIBUTE_NORMAL;
        g_failCreateEvent = g_failRegister = g_failLaunch = false;
        g_waitError = 0;
        g_duringLaunch = nullptr;
        g_launchProcess = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_atGate = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        g_gateOpen = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override {
        if (loop_.joinable()) {
            // Let a loop that a failed assertion left behind run out.
            g_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
            SetEvent(g_gateOpen);
            loop_.join();
        }
        service::g_api = service::DEFAULT_API;
        debuglog::g_api = debuglog::DEFAULT_API;
        if (IsOpenHandle(g_launchProcess)) CloseHandle(g_launchProcess);
        CloseHandle(g_atGate);
        CloseHandle(g_gateOpen);
    }

    // Starts ServiceMain and waits until its loop stands at the gate before its first wait.
    void StartService() {
        loop_ = std::thread([] { ServiceMain(0, nullptr); });
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_atGate, 10000));
    }
    // Lets the loop wait once and run until it stands at the gate again (or ends).
    void PassGateOnce(bool expectEnd = false) {
        SetEvent(g_gateOpen);
        if (expectEnd) {
            loop_.join();
        } else {
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_atGate, 10000));
        }
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(g_lock);
        return g_lines;
    }

    std::thread loop_;
};

TEST_F(ServiceTest, RunsReportsRunningOnceAndStopsOnStop) {
    StartService();
    EXPECT_FALSE(g_eventNamed) << "a named wake event can be taken first by anyone";
    EXPECT_EQ("OrvantaService", g_handlerName);
    ASSERT_EQ(1u, g_reports.size());
    SERVICE_STATUS running = g_reports[0];
    EXPECT_EQ(0x10u, running.dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), running.dwCurrentState);
    EXPECT_EQ(0x85u, running.dwControlsAccepted);
    EXPECT_EQ(0u, running.dwWin32ExitCode);
    EXPECT_EQ(0u, running.dwServiceSpecificExitCode);
    EXPECT_EQ(0u, running.dwCheckPoint);
    EXPECT_EQ(0u, running.dwWaitHint);

    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), g_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr));
    // Pending on receipt, with a check point and a wait hint and no controls; stopped is reported by
    // the loop once it has finished, so the process cannot end under it.
    ASSERT_EQ(2u, g_reports.size()) << "the handler reports nothing on a stop";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), g_reports[1].dwCurrentState);
    EXPECT_EQ(0u, g_reports[1].dwControlsAccepted);
    EXPECT_NE(0u, g_reports[1].dwCheckPoint);
    EXPECT_NE(0u, g_reports[1].dwWaitHint);
    PassGateOnce(true);
    ASSERT_EQ(3u, g_reports.size());
    EXPECT_EQ(0x10u, g_reports[2].dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_reports[2].dwCurrentState);
    EXPECT_EQ(0x85u, g_reports[2].dwControlsAccepted);
    EXPECT_EQ(0u, g_reports[2].dwWin32ExitCode);
    EXPECT_EQ(0u, g_reports[2].dwCheckPoint);
    EXPECT_EQ(0u, g_reports[2].dwWaitHint);
    EXPECT_FALSE(g_eventOpenAtStop) << "the loop closes its event before stopped is reported";
    std::vector<std::string> expected = {"RegisterServiceCtrlHandlerEx Success", "CreateEvent Success",
                                         "Monitored stopped", "New Event"};
    EXPECT_EQ(expected, Lines());
    // A control after the close must not reach the closed event.
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), g_handler(SERVICE_CONTROL_RESET, 0, nullptr, nullptr));
    EXPECT_TRUE(g_launches.empty());
}

TEST_F(ServiceTest, ShutdownStopsLikeStopWithItsOwnMessage) {
    StartService();
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), g_handler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), g_reports.back().dwCurrentState);
    PassGateOnce(true);
    ASSERT_EQ(3u, g_reports.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_reports[2].dwCurrentState);
    EXPECT_EQ("Monitored shutdown", Lines()[2]);
}

// While a launch is in flight the loop cannot report; the handler must, or the caller of the stop
// hears RUNNING for the whole launch. Nothing is reported after the loop's STOPPED.
TEST_F(ServiceTest, StopDuringALaunchIsPendingAtOnceAndStoppedComesLast) {
    StartService();
    static std::vector<SERVICE_STATUS> heardDuringLaunch;
    heardDuringLaunch.clear();
    g_duringLaunch = [] {
        g_duringLaunch = nullptr;
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), g_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr));
        std::lock_guard<std::mutex> guard(g_lock);
        heardDuringLaunch = g_reports;
    };
    g_handler(SERVICE_CONTROL_RESET, 0, nullptr, nullptr);
    PassGateOnce();
    ASSERT_EQ(2u, heardDuringLaunch.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), heardDuringLaunch[1].dwCurrentState);
    PassGateOnce(true);
    ASSERT_EQ(3u, g_reports.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_reports[2].dwCurrentState);
    EXPECT_EQ(1u, g_launches.size());
    // A late stop (the manager's or a second caller's) changes nothing after STOPPED.
    g_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    EXPECT_EQ(3u, g_reports.size());
}

TEST_F(ServiceTest, ResetsSentBeforeTheLoopWakesGiveOneLaunchAndLaterOnesOneEach) {
    StartService();
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), g_handler(SERVICE_CONTROL_RESET, 0, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), g_handler(SERVICE_CONTROL_RESET, 0, nullptr, nullptr));
    PassGateOnce();
    EXPECT_EQ(1u, g_launches.size());
    std::vector<std::string> expected = {"RegisterServiceCtrlHandlerEx Success", "CreateEvent Success", "New Event",
                                         "Revenix", "AppleDeviceFilePath: C:\\Tools\\Revenix\\"};
    EXPECT_EQ(expected, Lines());
    EXPECT_FALSE(IsOpenHandle(g_launchProcess)) << "the new process's handle is closed right after the launch";

    g_launchProcess = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_handler(SERVICE_CONTROL_RESET, 0, nullptr, nullptr);
    PassGateOnce();
    g_handler(SERVICE_CONTROL_RESET, 0, nullptr, nullptr);
    PassGateOnce();
    EXPECT_EQ(3u, g_launches.size());
    EXPECT_EQ(1u, g_reports.size()) << "no status reports besides running and stopped";
}

TEST_F(ServiceTest, ResetArrivingDuringALaunchGivesOneMoreLaunch) {
    StartService();
    g_duringLaunch = [] {
        g_duringLaunch = nullptr;
        g_handler(SERVICE_CONTROL_RESET, 0, nullptr, nullptr);
    };
    g_handler(SERVICE_CONTROL_RESET, 0, nullptr, nullptr);
    PassGateOnce();
    PassGateOnce();
    EXPECT_EQ(2u, g_launches.size()) << "the request that came during the launch was dropped";
}

TEST_F(ServiceTest, LaunchStartsRevenixHiddenFromItsFolderWithoutParameters) {
    StartResetTool();
    ASSERT_EQ(1u, g_launches.size());
    const Launch& l = g_launches[0];
    // The structure's documented size: 60 bytes in a 32-bit program, 112 in a 64-bit one.
    const DWORD documentedSize = sizeof(void*) == 8 ? 112u : 60u;
    EXPECT_EQ(documentedSize, l.info.cbSize);
    EXPECT_EQ(documentedSize, sizeof(SHELLEXECUTEINFOW));
    // SEE_MASK_NOCLOSEPROCESS plus SEE_MASK_FLAG_NO_UI, which keeps a missing tool from hanging the
    // launch behind an error box nobody can see.
    EXPECT_EQ(0x440u, l.info.fMask);
    EXPECT_EQ(nullptr, l.info.hwnd);
    EXPECT_TRUE(l.verbNull);
    EXPECT_EQ(L"C:\\Tools\\Revenix\\Revenix.exe", l.file) << "by full path, never searched for";
    EXPECT_TRUE(l.parametersNull);
    EXPECT_EQ(L"C:\\Tools\\Revenix\\", l.directory);
    EXPECT_EQ(SW_HIDE, l.info.nShow);
}

// A folder where the tool should be is no program: handed to the shell, LocalSystem would open it.
TEST_F(ServiceTest, AFolderNamedRevenixExeIsNotStarted) {
    g_attributes = FILE_ATTRIBUTE_DIRECTORY;
    StartResetTool();
    g_attributes = INVALID_FILE_ATTRIBUTES;
    StartResetTool();
    EXPECT_TRUE(g_launches.empty());
    std::vector<std::string> expected = {
        "Revenix", "AppleDeviceFilePath: C:\\Tools\\Revenix\\", "Revenix.exe not found; not started",
        "Revenix", "AppleDeviceFilePath: C:\\Tools\\Revenix\\", "Revenix.exe not found; not started"};
    EXPECT_EQ(expected, Lines());
}

TEST_F(ServiceTest, OtherControlsOnlyWakeTheLoopAndOnlyInterrogateSucceeds) {
    StartService();
    for (DWORD control : {DWORD(SERVICE_CONTROL_PAUSE), DWORD(SERVICE_CONTROL_CONTINUE),
                          DWORD(SERVICE_CONTROL_INTERROGATE), DWORD(SERVICE_CONTROL_SESSIONCHANGE), DWORD(200)}) {
        // The handler rules: INTERROGATE must succeed.
        DWORD expected = control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
        EXPECT_EQ(expected, g_handler(control, 0, nullptr, nullptr)) << "control " << control;
        PassGateOnce();
    }
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(7u, lines.size());
    for (size_t i = 2; i < 7; ++i) EXPECT_EQ("New Event", lines[i]);
    EXPECT_TRUE(g_launches.empty());
    EXPECT_EQ(1u, g_reports.size());
}

TEST_F(ServiceTest, AnEventThatCannotBeMadeIsReportedAsStoppedWithTheError) {
    g_failCreateEvent = true;
    ServiceMain(0, nullptr);
    std::vector<std::string> expected = {"RegisterServiceCtrlHandlerEx Success", "CreateEvent Fail"};
    EXPECT_EQ(expected, Lines());
    ASSERT_EQ(1u, g_reports.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_reports[0].dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), g_reports[0].dwWin32ExitCode);
}

TEST_F(ServiceTest, FailedWaitEndsTheLoopAndIsReported) {
    StartService();
    g_waitError = ERROR_INVALID_HANDLE;
    SetEvent(g_gateOpen);
    ASSERT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(g_atGate, 1000)) << "the loop waits on";
    loop_.join();
    ASSERT_EQ(2u, g_reports.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_reports[1].dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), g_reports[1].dwWin32ExitCode);
    EXPECT_EQ("WaitForSingleObject Fail: 6", Lines().back());
}

TEST_F(ServiceTest, HandlerRegistrationFailureCreatesNothing) {
    g_failRegister = true;
    ServiceMain(0, nullptr);
    std::vector<std::string> expected = {"RegisterServiceCtrlHandlerEx Fail"};
    EXPECT_EQ(expected, Lines());
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(nullptr, g_createdEvent);
}

TEST_F(ServiceTest, FolderThatDoesNotFitStartsNothing) {
    // A short program name leaves room for the path but not for "\Revenix\" after its folder:
    // 1015 characters of folder and the 9 of "\Revenix\" need 1025 units with the terminator.
    std::wstring path = L"C:\\" + std::wstring(1012, L'd') + L"\\s.exe";
    g_programPath = path.c_str();
    StartResetTool();
    std::vector<std::string> expected = {"Revenix", "Revenix folder does not fit in 1024 characters; not started"};
    EXPECT_EQ(expected, Lines());
    EXPECT_TRUE(g_launches.empty());

    // A program path the platform had to cut names no real folder either.
    g_lines.clear();
    std::wstring cut = L"C:\\" + std::wstring(1100, L'd') + L"\\OrvantaService.exe";
    g_programPath = cut.c_str();
    StartResetTool();
    EXPECT_EQ(expected, Lines());
    EXPECT_TRUE(g_launches.empty());

    // One character less fits exactly.
    path = L"C:\\" + std::wstring(1011, L'd') + L"\\s.exe";
    g_programPath = path.c_str();
    StartResetTool();
    ASSERT_EQ(1u, g_launches.size());
    EXPECT_EQ(1023u, g_launches[0].directory.size());
}

}  // namespace
