// The user-mode half of the road of one typical event, told as it happens under Wine: the real
// programs installed into one program folder, the service installed and asked for a reset, the
// logon task registered, and the launcher run as the task would run it at logon. Wine lacks the
// reset tool, the Task Scheduler's logon tasks, the app package and the activation manager; the
// project's stand-ins take their places and record what they were asked to do.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "debugout.h"
#include "fake_client.h"
#include "resetstub.h"
#include "scm_support.h"
#include "story.h"

#ifndef TVX_DIST_WINDOWS
#define TVX_DIST_WINDOWS ""
#endif

namespace {

const DWORD RESET_CONTROL = 133;
const DWORD WAIT_MS = 20000;
const std::string SERVICE_TAG = "<OrvantaService> ";
const std::string LAUNCHER_TAG = "<StartupUSBOrvanta> ";
const char* const DELIVERED[] = {"OrvantaService.exe", "Quillog.dll", "logontask.exe", "StartupOrvanta.exe"};

// What the stand-in for PowerShell prints: the package as Get-AppxPackage lists an installed one.
const std::string PACKAGE_LISTING =
    "\r\nName              : 5F0A17C3.Orvanta\r\n"
    "Publisher         : CN=00000000-0000-0000-0000-000000000000\r\n"
    "PackageFullName   : 5F0A17C3.Orvanta_1.4.2.0_x64__x4t9wq2brk8nd\r\n"
    "PackageFamilyName : 5F0A17C3.Orvanta_x4t9wq2brk8nd\r\n\r\n";
const std::string QUERY_ARGUMENTS = "\" -NoProfile -NonInteractive Get-AppxPackage -Name 5F0A17C3.Orvanta -User ";

// Where the launcher takes PowerShell from: the system folder.
std::string SystemPowerShell() {
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    return std::string(system) + "\\WindowsPowerShell\\v1.0\\powershell.exe";
}
const std::string ACTIVATION = "activate 5F0A17C3.Orvanta_x4t9wq2brk8nd!Orvanta|HIDE_UI|2";

std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string OwnFolder() {
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadText(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
            text.append(buffer, n);
        }
        std::fclose(f);
    }
    return text;
}

bool WriteText(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : " | ") + story::Story::Printable(line);
    }
    return text.empty() ? "(nothing)" : text;
}

HRESULT CallRegistrationA(const std::string& dll, const char* entry) {
    return fake_taskschd::CallDllRegistration(std::wstring(dll.begin(), dll.end()), entry);
}

std::string Hr(HRESULT hr) { return Format("0x%08lX", static_cast<unsigned long>(hr)); }

class UserModeStory {
public:
    int Tell() {
        // Each step says whether what the next ones need exists; a step that merely saw something
        // wrong lets the story go on.
        bool told = Install() && InstallService() && Reset() && RemoveService() && RegisterTask() && RunLauncher();
        if (!told) {
            story_.Say("the story stops here: the next steps need what this one should have made");
        }
        // Whatever happened, the prefix is left without the demo's service and fakes.
        scmtest::RemoveService();
        if (fakeSchedulerRegistered_) {
            CallRegistrationA("taskschd.dll", "DllRegisterServer");
        }
        if (fakeActivationRegistered_) {
            CallRegistrationA(bin_ + "launcher-support\\activationfake.dll", "DllUnregisterServer");
        }
        return story_.End();
    }

private:
    // The folder the installable files come from: dist/ when it holds them, else this tree's bin/.
    std::string SourceFolder() const {
        std::string dist = TVX_DIST_WINDOWS;
        if (!dist.empty()) {
            dist += "\\";
            bool complete = true;
            for (const char* file : DELIVERED) {
                complete = complete && Exists(dist + file);
            }
            if (complete) {
                return dist;
            }
        }
        return bin_;
    }

    bool Install() {
        story_.Step("The programs are copied into one program folder, the stub reset tool as Revenix\\Revenix.exe");
        std::string source = SourceFolder();
        char programFiles[MAX_PATH] = {};
        if (!GetEnvironmentVariableA("ProgramFiles", programFiles, MAX_PATH)) {
            lstrcpyA(programFiles, "C:\\Program Files");
        }
        dir_ = std::string(programFiles) + "\\Orvanta Demo\\";
        toolDir_ = dir_ + "Revenix\\";
        story_.Say("from " + source);
        story_.Say("into " + dir_);
        // A service of an earlier, interrupted run would make "-i" replace it: the demo starts clean.
        scmtest::RemoveService();
        CreateDirectoryA(dir_.c_str(), nullptr);
        CreateDirectoryA(toolDir_.c_str(), nullptr);
        for (const char* stale :
             {"delay.txt", "powershell.exe", "powershell.record", "powershell.listing", "activation.record"}) {
            DeleteFileA((dir_ + stale).c_str());
        }
        DeleteFileA((toolDir_ + "starts.txt").c_str());
        DeleteFileA((toolDir_ + "linger.txt").c_str());

        for (const char* file : DELIVERED) {
            story_.Proof(CopyWhenFree(source + file, dir_ + file), std::string(file) + " is in the program folder",
                         Format("copy failed with error %lu", GetLastError()));
        }
        story_.Proof(CopyWhenFree(bin_ + "Revenix.exe", toolDir_ + "Revenix.exe"),
                     "Revenix\\Revenix.exe is the stub, which records every start of it in Revenix\\starts.txt",
                     Format("copy failed with error %lu", GetLastError()));
        return story_.StepHeld();
    }

    // A service process of an earlier run may hold its program file for a moment after it ended.
    static bool CopyWhenFree(const std::string& from, const std::string& to) {
        ULONGLONG until = GetTickCount64() + 15000;
        while (!CopyFileA(from.c_str(), to.c_str(), FALSE)) {
            if (GetTickCount64() >= until) {
                return false;
            }
            Sleep(100);
        }
        return true;
    }

    bool InstallService() {
        story_.Step("\"OrvantaService.exe -i\" installs the service and the service manager starts it");
        story_.Proof(monitor_.ok(), "the demo listens to the debug output of every process, the service's included",
                     monitor_.error());
        if (!monitor_.ok()) {
            return false;
        }
        // A freshly booted prefix refuses service starts for a few seconds.
        debugout::Result run;
        int refusals = 0;
        ULONGLONG until = GetTickCount64() + 60000;
        for (;;) {
            run = debugout::Run("\"" + dir_ + "OrvantaService.exe\" -i", 60000);
            bool refused = run.exitCode == static_cast<DWORD>(-1) && run.debug.size() == 1 &&
                           run.debug[0] == SERVICE_TAG + "StartService failed (1055)";
            if (!refused || GetTickCount64() >= until) {
                break;
            }
            ++refusals;
            Sleep(250);
        }
        if (refusals > 0) {
            story_.Say(
                Format("the freshly booted service manager refused %d start(s) with error 1055 first", refusals));
        }
        story_.Proof(run.started && !run.timedOut && run.exitCode == 0,
                     Format("it exited with code %ld", static_cast<long>(run.exitCode)));
        for (const std::string& line : run.debug) {
            story_.Show("debug", line);
        }
        story_.Proof(run.debug == std::vector<std::string>{SERVICE_TAG + "Service start pending...\n"},
                     "its one debug line says the start is pending", Lines(run.debug));

        SERVICE_STATUS_PROCESS status{};
        bool running = scmtest::WaitForState(SERVICE_RUNNING, WAIT_MS, &status);
        servicePid_ = running ? status.dwProcessId : 0;
        story_.Proof(running, Format("the service manager reports OrvantaService running, process %lu", servicePid_));
        scmtest::Config config{};
        bool configured = scmtest::QueryConfig(config);
        story_.Proof(configured && config.binaryPath == "\"" + dir_ + "OrvantaService.exe\"",
                     "registered program: " + config.binaryPath, configured ? config.binaryPath : "no configuration");
        story_.Proof(configured && config.type == SERVICE_WIN32_OWN_PROCESS && config.startType == SERVICE_AUTO_START &&
                         config.account == "LocalSystem",
                     "own process, automatic start, account " + config.account,
                     Format("type 0x%lx, start type %lu, account ", config.type, config.startType) + config.account);
        for (const char* text : {"CreateEvent Success", "RegisterServiceCtrlHandlerEx Success"}) {
            bool heard = servicePid_ && monitor_.WaitForText(SERVICE_TAG + text, WAIT_MS, servicePid_);
            story_.Proof(heard, Format("the service process wrote \"%s%s\"", SERVICE_TAG.c_str(), text),
                         Lines(monitor_.Texts(servicePid_)));
        }
        return servicePid_ != 0;
    }

    bool Reset() {
        story_.Step("A caller sends the service control code 133 with ControlService");
        DWORD result = scmtest::SendControl(RESET_CONTROL);
        // Wine's ControlService reports success even for controls a handler refuses, so the
        // proof is what the service and the tool do next.
        story_.Proof(result == ERROR_SUCCESS, Format("ControlService(133) returned %lu", result));
        std::string folderLine = SERVICE_TAG + "AppleDeviceFilePath: " + toolDir_;
        bool served = monitor_.WaitForText(folderLine, WAIT_MS, servicePid_);
        std::vector<std::string> texts = monitor_.Texts(servicePid_);
        std::vector<std::string> after;
        for (size_t i = 2; i < texts.size(); ++i) {
            after.push_back(texts[i]);
            story_.Show("debug", texts[i]);
        }
        std::vector<std::string> expected = {SERVICE_TAG + "New Event", SERVICE_TAG + "Revenix", folderLine};
        story_.Proof(served && after == expected, "the service woke, and started the reset tool from its folder",
                     Lines(after));

        std::vector<resetstub::Start> starts;
        ULONGLONG until = GetTickCount64() + WAIT_MS;
        while ((starts = resetstub::ReadStarts(toolDir_ + "starts.txt")).empty() && GetTickCount64() < until) {
            Sleep(50);
        }
        story_.Proof(starts.size() == 1,
                     Format("the reset tool started: %zu record(s) in Revenix\\starts.txt", starts.size()));
        if (starts.empty()) {
            return true;
        }
        std::string record = FirstLine(ReadText(toolDir_ + "starts.txt"));
        if (!record.empty() && record.back() == '\r') {
            record.pop_back();
        }
        for (size_t tab = record.find('\t'); tab != std::string::npos; tab = record.find('\t', tab)) {
            record.replace(tab, 1, "  ");
        }
        story_.Show("tool", record);
        const resetstub::Start& s = starts[0];
        story_.Proof(s.showFlag && s.show == SW_HIDE,
                     Format("it was started hidden: STARTF_USESHOWWINDOW with show state %u (SW_HIDE)", s.show),
                     Format("show flag %d, show state %u", s.showFlag ? 1 : 0, s.show));
        std::string folder = toolDir_.substr(0, toolDir_.size() - 1);
        story_.Proof(s.cwd == folder, "its working directory is its own folder " + folder, s.cwd);
        std::string program = "\"" + toolDir_ + "Revenix.exe\"";
        std::string cmdline = s.cmdline.substr(0, s.cmdline.find_last_not_of(' ') + 1);
        story_.Proof(cmdline == program, "its command line is its own path and nothing else", s.cmdline);
        return true;
    }

    bool RemoveService() {
        story_.Step("\"OrvantaService.exe -d\" stops and deletes the service");
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, servicePid_);
        debugout::Result run = debugout::Run("\"" + dir_ + "OrvantaService.exe\" -d", 60000);
        story_.Proof(run.started && !run.timedOut && run.exitCode == 0,
                     Format("it exited with code %ld", static_cast<long>(run.exitCode)));
        story_.Proof(scmtest::WaitUntilGone(WAIT_MS), "the service manager no longer knows OrvantaService");
        DWORD code = STILL_ACTIVE;
        bool ended =
            process && WaitForSingleObject(process, WAIT_MS) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
        if (process) {
            CloseHandle(process);
        }
        story_.Proof(ended && code == 0, Format("the service process %lu ended with exit code %lu", servicePid_, code));
        bool heard = monitor_.WaitForText(SERVICE_TAG + "Monitored stopped", WAIT_MS, servicePid_);
        story_.Proof(heard, "the service wrote \"" + SERVICE_TAG + "Monitored stopped\" on its way out",
                     Lines(monitor_.Texts(servicePid_)));
        return true;
    }

    bool RegisterTask() {
        story_.Step("\"logontask.exe CREATE_TASK\" registers the logon task OrvantaUWP");
        // Wine's Task Scheduler refuses logon tasks: the recording stand-in takes its class for
        // this step, and Wine's own registration is restored at the end.
        HRESULT hr = CallRegistrationA(bin_ + "taskschd_fake.dll", "DllRegisterServer");
        fakeSchedulerRegistered_ = SUCCEEDED(hr);
        story_.Proof(hr == S_OK,
                     "the recording Task Scheduler stand-in is registered for CLSID_TaskScheduler: " + Hr(hr));
        if (!fakeSchedulerRegistered_) {
            return true;
        }
        fake_taskschd::FakeScheduler fake;
        debugout::Result run = debugout::Run("\"" + dir_ + "logontask.exe\" CREATE_TASK", 60000);
        story_.Proof(run.started && !run.timedOut && run.exitCode == 0,
                     Format("it exited with code %ld", static_cast<long>(run.exitCode)));
        story_.Proof(fake.Created("TaskService"), "it reached the Task Scheduler through COM (ITaskService created)");
        bool registered = fake.HasTask(L"OrvantaUWP");
        std::map<std::string, std::string> task = fake.Task(L"OrvantaUWP");
        story_.Proof(registered, "the task OrvantaUWP is registered; its definition:");
        for (const auto& property : task) {
            story_.Show("task", property.first + " = " + property.second);
        }
        launcher_ = dir_ + "StartupOrvanta.exe";
        story_.Proof(task["Actions[0].Path"] == "\"" + launcher_ + "\"",
                     "its one action starts the launcher beside logontask.exe", task["Actions[0].Path"]);
        story_.Proof(task["Triggers.Count"] == "1" && task["Triggers[0].Type"] == "9",
                     "its one trigger is the logon trigger (type 9)", "trigger type " + task["Triggers[0].Type"]);
        story_.Proof(task["Principal.RunLevel"] == "1", "it runs with the highest privileges (run level 1)",
                     task["Principal.RunLevel"]);

        hr = CallRegistrationA("taskschd.dll", "DllRegisterServer");
        fakeSchedulerRegistered_ = FAILED(hr);
        story_.Proof(hr == S_OK, "Wine's own Task Scheduler is registered again: " + Hr(hr));
        return true;
    }

    bool RunLauncher() {
        story_.Step("At logon the task starts StartupOrvanta.exe: it waits 1 s, asks PowerShell, activates the app");
        // Wine's own PowerShell is kept aside and put back once the launcher has run.
        const std::string powershell = SystemPowerShell(), kept = powershell + ".wine";
        if (GetFileAttributesA(kept.c_str()) == INVALID_FILE_ATTRIBUTES)
            CopyFileA(powershell.c_str(), kept.c_str(), TRUE);
        bool prepared = WriteText(dir_ + "delay.txt", "1") &&
                        CopyFileA((bin_ + "launcher-support\\powershell.exe").c_str(), powershell.c_str(), FALSE) &&
                        WriteText(dir_ + "powershell.listing", PACKAGE_LISTING) &&
                        WriteText(powershell.substr(0, powershell.find_last_of('\\') + 1) + "powershell.dir", dir_);
        story_.Proof(prepared,
                     "beside it delay.txt with \"1\"; in the system folder the stand-in powershell.exe, "
                     "listing the package");
        HRESULT hr = CallRegistrationA(bin_ + "launcher-support\\activationfake.dll", "DllRegisterServer");
        fakeActivationRegistered_ = SUCCEEDED(hr);
        story_.Proof(hr == S_OK, "the recording activation manager stand-in is registered: " + Hr(hr));
        if (!story_.StepHeld()) {
            return false;
        }
        std::string record = dir_ + "activation.record";
        SetEnvironmentVariableA("ORVANTA_ACTIVATION_RECORD", record.c_str());
        SetEnvironmentVariableA("ORVANTA_ACTIVATION_RESULT", nullptr);

        ULONGLONG start = GetTickCount64();
        debugout::Result run = debugout::Run("\"" + launcher_ + "\"", 60000, "C:\\");
        ULONGLONG took = GetTickCount64() - start;
        SetEnvironmentVariableA("ORVANTA_ACTIVATION_RECORD", nullptr);
        DeleteFileA((powershell.substr(0, powershell.find_last_of('\\') + 1) + "powershell.dir").c_str());
        if (GetFileAttributesA(kept.c_str()) != INVALID_FILE_ATTRIBUTES)
            CopyFileA(kept.c_str(), powershell.c_str(), FALSE);
        story_.Proof(run.started && !run.timedOut && run.exitCode == 0,
                     Format("it ran for %llu ms and exited with code %ld", took, static_cast<long>(run.exitCode)));
        for (const std::string& line : run.debug) {
            story_.Show("debug", line);
        }
        const std::vector<std::string>& d = run.debug;
        size_t query = d.size();
        for (size_t i = 0; i < d.size(); ++i) {
            if (d[i].rfind(LAUNCHER_TAG + "CMD: ", 0) == 0) {
                query = i;
                break;
            }
        }
        bool waited = !d.empty() && d[0] == LAUNCHER_TAG + "Delay Time: 1\n" && query >= 2 && query < d.size() &&
                      d[query - 1] == LAUNCHER_TAG + "Current Time Different: 1\n" && took >= 900 * (query - 1);
        story_.Proof(waited, "it read the delay of 1 s and polled the clock until 1 s had passed before asking",
                     Lines(d));
        std::string asked = query < d.size() ? d[query].substr(LAUNCHER_TAG.size() + 5) : "";
        std::string received = FirstLine(ReadText(dir_ + "powershell.record"));
        story_.Proof(asked.rfind("\"" + powershell + QUERY_ARGUMENTS, 0) == 0 && asked == received + "\n",
                     "the powershell.exe of the system folder received the package query: " + received,
                     "launcher: " + story::Story::Printable(asked) + ", powershell.exe: " + received);
        bool installed = query + 2 < d.size() && d[query + 1] == LAUNCHER_TAG + "Output: " + PACKAGE_LISTING + "\n" &&
                         d[query + 2] == LAUNCHER_TAG + "Orvanta AP Install\n";
        story_.Proof(installed, "it found the package in PowerShell's answer: \"Orvanta AP Install\"", Lines(d));
        std::string activation = ReadText(record);
        story_.Show("app", story::Story::Printable(activation));
        story_.Proof(activation == "create\n" + ACTIVATION + "\nrelease\n",
                     "the activation manager was asked to activate the app with \"HIDE_UI\", then released",
                     story::Story::Printable(activation));
        story_.Proof(d.size() == query + 3, "nothing was reported after the activation", Lines(d));

        hr = CallRegistrationA(bin_ + "launcher-support\\activationfake.dll", "DllUnregisterServer");
        fakeActivationRegistered_ = FAILED(hr);
        story_.Proof(hr == S_OK, "the activation manager stand-in is unregistered again: " + Hr(hr));
        return story_.StepHeld();
    }

    story::Story story_{"The user-mode programs under Wine"};
    debugout::Monitor monitor_;
    std::string bin_ = OwnFolder();
    std::string dir_, toolDir_, launcher_;
    DWORD servicePid_ = 0;
    bool fakeSchedulerRegistered_ = false;
    bool fakeActivationRegistered_ = false;
};

}  // namespace

int main() {
    UserModeStory story;
    return story.Tell();
}
