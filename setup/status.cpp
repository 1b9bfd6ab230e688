// status: every part of the installation and whether the class filter stands on a service and
// file that stay.
#include "tvxsetup.h"

namespace tvxsetup {

// The USB class filter's state in one phrase, for every last line.
std::wstring FilterState() {
    std::vector<std::wstring> filters;
    DWORD error = 0;
    if (!ReadFilters(filters, error)) return L"USB class filter: cannot be read (" + ErrorText(error) + L")";
    if (!Names(filters)) return L"USB class filter: Tarvex not registered";
    KernelHealth kernel = QueryKernelHealth();
    std::wstring problem = KernelProblem(kernel);
    if (!problem.empty())
        return L"USB class filter: Tarvex registered, but " + problem +
               L"; remove it (README, \"When USB stops working\")";
    std::wstring refused = LoadFailureText(UsbLoadFailures());
    if (!refused.empty()) return L"USB class filter: Tarvex registered, but Windows did not load it: " + refused;
    if (kernel.service.state == SERVICE_RUNNING) return L"USB class filter: Tarvex registered, driver loaded";
    return L"USB class filter: Tarvex registered, driver not loaded now (its service and file are in place; it "
           L"loads with the next USB device)";
}

int RunStatus() {
    std::wstring folder = RecordValue(L"InstallFolder");
    std::wstring version = RecordValue(L"Version");
    int present = 0, parts = 0, denied = 0;
    auto part = [&](bool here) {
        ++parts;
        if (here) ++present;
    };
    // A standard user may read most of it; what only an elevated run may read is named, not counted.
    const std::wstring elevated = L"needs an elevated run to be read (access denied)";
    Say(L"Orvanta tvxsetup " + std::wstring(VERSION));
    part(!folder.empty());
    Say(L"  installation record: " +
        (folder.empty() ? std::wstring(L"none") : L"version " + version + L" in " + folder));
    if (!folder.empty()) {
        for (const wchar_t* f : REQUIRED_FILES) {
            std::wstring path = folder + L"\\" + f;
            std::wstring v = FileVersion(path);
            Say(L"  file " + std::wstring(f) + L": " +
                (Exists(path) ? (v.empty() ? std::wstring(L"present, no version") : L"version " + v) : L"MISSING"));
        }
    }
    KernelHealth health = QueryKernelHealth();
    // The image the kernel service names (an upgrade's own name), else where the install puts it.
    std::wstring driver = health.service.exists && IsOurImage(health.service.binary) ? health.image : DriverPath();
    part(Exists(driver));
    std::wstring dv = FileVersion(driver);
    Say(L"  driver file " + driver + L": " +
        (Exists(driver) ? L"version " + (dv.empty() ? L"unknown" : dv) : L"absent"));

    std::vector<std::wstring> filters;
    DWORD error = 0;
    FilterValue value;
    bool read = ReadFilterValue(value, error);
    filters = value.items;
    part(read && Names(filters));
    bool multi = !value.present || value.type == REG_MULTI_SZ;
    Say(L"  USB class UpperFilters: " +
        (!read   ? L"cannot be read: " + ErrorText(error)
         : multi ? Join(filters)
                 : L"of type " + std::to_wstring(value.type) + L", not a multi-string; Windows ignores it") +
        (read && Names(filters) ? L" (Tarvex registered)" : L" (Tarvex not registered)"));

    const ServiceInfo& kernel = health.service;
    std::wstring problem = KernelProblem(health);
    if (kernel.error == ERROR_ACCESS_DENIED)
        ++denied;
    else
        part(kernel.exists);
    Say(L"  kernel service Tarvex: " +
        (kernel.error == ERROR_ACCESS_DENIED ? elevated
         : kernel.exists                     ? std::wstring(StateName(kernel.state)) +
                               (kernel.state == SERVICE_RUNNING ? L" (driver loaded)" : L" (driver not loaded)") +
                               L", " + kernel.binary + (problem.empty() ? L"" : L"; " + problem) +
                               (health.markedUnknown ? L"; whether it is marked for deletion " + elevated : L"")
                         : L"absent"));
    ServiceInfo service = QueryService(SERVICE);
    if (service.error == ERROR_ACCESS_DENIED)
        ++denied;
    else
        part(service.exists);
    Say(L"  service OrvantaService: " + (service.error == ERROR_ACCESS_DENIED ? elevated
                                         : service.exists
                                             ? std::wstring(StateName(service.state)) + L", " + service.binary
                                             : L"absent"));
    std::wstring why;
    TaskState task = QueryTask(&why);
    if (task == TaskState::Denied)
        ++denied;
    else
        part(task == TaskState::Present);
    Say(L"  logon task OrvantaUWP: " + std::wstring(task == TaskState::Present  ? L"present"
                                                    : task == TaskState::Absent ? L"absent"
                                                    : task == TaskState::Denied ? elevated.c_str()
                                                                                : why.c_str()));
    std::wstring entry = UninstallEntryValue(L"DisplayVersion");
    Say(L"  Apps & features: " + (entry.empty() ? std::wstring(L"no entry") : L"Orvanta " + entry));

    BootDisk boot = QueryBootDisk();
    std::wstring bootProblem = BootDiskProblem(boot);
    Say(L"  Windows starts from: " + boot.detail + (boot.portable ? L"; a portable installation" : L"") +
        (bootProblem.empty() ? L"" : L" (Tarvex must not be installed here)"));
    if (!bootProblem.empty()) Say(L"  " + bootProblem + L".");
    std::vector<DeviceProblem> failures = UsbLoadFailures();
    if (read && Names(filters) && !failures.empty())
        Say(L"  USB devices: " + std::to_wstring(failures.size()) + L" did not start because a driver did not load");

    // The filter is healthy when its service and file stay after a restart, loaded now or not, and
    // Windows did not refuse it at boot.
    bool unsafe = read && Names(filters) && (!problem.empty() || !failures.empty() || !bootProblem.empty());
    std::wstring unread =
        denied ? L" " + std::to_wstring(denied) + L" part(s) not read: run it elevated to see them." : L"";
    if (present == parts && !unsafe) {
        Say(L"Installed, version " + version + L"." + unread);
        return EXIT_DONE;
    }
    if (present == 0) {
        Say(L"Not installed.");
        return EXIT_FAILED;
    }
    bool named = read && Names(filters);
    if (named && !failures.empty()) {
        Say(L"Registered, but Windows did not load it. " + FilterState() + L".");
        return EXIT_LEFT_OVER;
    }
    if (named && !bootProblem.empty()) {
        Say(L"Installed where it must not be: " + bootProblem + L". Run \"tvxsetup uninstall\".");
        return EXIT_LEFT_OVER;
    }
    Say(L"Partly installed (" + std::to_wstring(present) + L" of " + std::to_wstring(parts) + L" parts). " +
        FilterState() + L".");
    return EXIT_LEFT_OVER;
}

}  // namespace tvxsetup
