// The package chapter of the demo: tvxsetup installs, reports and removes the system in the Wine
// prefix, and each step is proven from the system's own records (the service control manager, the
// registry through the setup API's class key, the files, the stand-in Task Scheduler's store).
#include <windows.h>

#include <string>
#include <vector>

#include "setup_harness.h"
#include "story.h"

using namespace setup_harness;

namespace {

const wchar_t FOLDER[] = L"C:\\Program Files\\Orvanta Demo Package";

std::string Lines(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

void ShowOutput(story::Story& s, const Outcome& run) {
    std::string text = Lines(run.out);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        s.Show("setup", text.substr(at, end - at));
        at = end + 1;
    }
}

std::string Join(const std::vector<std::wstring>& items) {
    std::string out;
    for (const auto& i : items) out += (out.empty() ? "" : ", ") + Narrow(i);
    return out.empty() ? "(none)" : out;
}

}  // namespace

int main() {
    story::Story s("The package: tvxsetup install, status and uninstall in the Wine prefix");
    // Wine reports Windows 7 unless told otherwise; the prefix tells tvxsetup it runs on Windows 10.
    WindowsVersionForSetup(L"win10");
    FakeTaskScheduler scheduler;
    std::vector<std::wstring> before = UpperFilters();
    if (QueryService(L"Tarvex").exists || QueryService(L"OrvantaService").exists) RunSetup(L"uninstall");
    ForgetPendingRenames({L"Orvanta Demo Package"});
    std::wstring setup = Dist() + L"\\tvxsetup.exe";
    s.Say("tvxsetup.exe and the files it installs come from " + Narrow(Dist()));

    s.Step("An administrator runs: tvxsetup install \"" + Narrow(FOLDER) + "\"");
    Outcome install = RunSetup(setup, L"install \"" + std::wstring(FOLDER) + L"\"");
    ShowOutput(s, install);
    s.Proof(install.exitCode == 0, "exit code 0, last line: " + install.LastLine(), std::to_string(install.exitCode));
    bool files = true;
    for (const wchar_t* f : {L"OrvantaService.exe", L"Quillog.dll", L"logontask.exe", L"StartupOrvanta.exe",
                             L"tvxsetup.exe", L"tvxsetup.log"})
        files = files && Exists(std::wstring(FOLDER) + L"\\" + f);
    s.Proof(files, "the programs and the step log tvxsetup.log are in the folder");
    s.Proof(ReadFileBytes(DriverFile()) == ReadFileBytes(Dist() + L"\\Tarvex.sys"),
            "the signed Tarvex.sys from dist is in " + Narrow(DriverFile()));
    Service kernel = QueryService(L"Tarvex");
    s.Proof(kernel.exists && kernel.state == SERVICE_RUNNING,
            "the service control manager: kernel service Tarvex running, the driver is loaded");
    std::vector<std::wstring> filters = UpperFilters();
    s.Proof(NamesTarvex(filters), "the USB class's UpperFilters: " + Join(filters));
    Service service = QueryService(L"OrvantaService");
    s.Proof(service.exists && service.binary.find(std::wstring(FOLDER) + L"\\OrvantaService.exe") != std::wstring::npos,
            "OrvantaService registered from " + Narrow(service.binary));
    s.Proof(scheduler.HasTask(), "the stand-in Task Scheduler holds the task OrvantaUWP");
    const wchar_t entry[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta";
    auto value = [&](const wchar_t* name) {
        wchar_t text[1024] = {};
        DWORD size = sizeof text;
        return RegGetValueW(HKEY_LOCAL_MACHINE, entry, name, RRF_RT_REG_SZ, nullptr, text, &size) ? std::wstring()
                                                                                                  : std::wstring(text);
    };
    s.Proof(value(L"DisplayName") == L"Orvanta" && !value(L"DisplayVersion").empty() &&
                value(L"UninstallString") == L"\"" + std::wstring(FOLDER) + L"\\tvxsetup.exe\" uninstall",
            "Apps & features: \"" + Narrow(value(L"DisplayName")) + "\" " + Narrow(value(L"DisplayVersion")) + " by " +
                Narrow(value(L"Publisher")) + ", uninstalled by " + Narrow(value(L"UninstallString")));

    s.Step("tvxsetup status says what is installed and in what state");
    Outcome status = RunSetup(setup, L"status");
    ShowOutput(s, status);
    s.Proof(status.exitCode == 0 && Has(status.LastLine(), "Installed, version "),
            "exit code 0, last line: " + status.LastLine());
    s.Proof(Has(status.out, "kernel service Tarvex: running (driver loaded)") &&
                Has(status.out, "(Tarvex registered)") && Has(status.out, "logon task OrvantaUWP: present"),
            "it names the loaded driver, the filter entry and the task");

    s.Step("tvxsetup uninstall removes the filter entry first, then the rest");
    Outcome uninstall = RunSetup(std::wstring(FOLDER) + L"\\tvxsetup.exe", L"uninstall");
    ShowOutput(s, uninstall);
    s.Proof((uninstall.exitCode == 0 || uninstall.exitCode == 3010) && Has(uninstall.LastLine(), "Removed"),
            "exit code " + std::to_string(uninstall.exitCode) + ", last line: " + uninstall.LastLine());
    std::string out = Lines(uninstall.out);
    size_t firstStep = out.find("  [");
    s.Proof(firstStep != std::string::npos &&
                out.find("  [ok]     remove Tarvex from the USB class's UpperFilters") == firstStep,
            "the first step was the filter entry's removal");
    filters = UpperFilters();
    s.Proof(!NamesTarvex(filters), "the USB class's UpperFilters: " + Join(filters));
    s.Proof(!QueryService(L"OrvantaService").exists && !QueryService(L"Tarvex").exists,
            "neither OrvantaService nor the kernel service Tarvex is registered");
    s.Proof(!scheduler.HasTask(), "the task OrvantaUWP is gone");
    s.Proof(!Exists(DriverFile()), "Tarvex.sys is gone from the drivers folder");
    HKEY key;
    bool listed = RegOpenKeyExW(HKEY_LOCAL_MACHINE, entry, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (listed) RegCloseKey(key);
    s.Proof(!listed, "Apps & features no longer lists Orvanta");
    s.Proof(!Exists(std::wstring(FOLDER) + L"\\OrvantaService.exe"),
            "the folder is emptied; the running tvxsetup.exe goes with it when Windows restarts");

    // The demo leaves the prefix as it found it, without deletions for a restart of the prefix.
    SetUpperFilters(before);
    RemoveTree(FOLDER);
    ForgetPendingRenames({L"Orvanta Demo Package"});
    return s.End();
}
