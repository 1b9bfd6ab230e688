// install: the checks before anything changes, the steps in their one order, and the undo of a
// failed run, newest first.
#include "tvxsetup.h"

#include <cwctype>
#include <functional>

namespace tvxsetup {

bool Preflight(Install& in, std::wstring& why) {
    if (!IsElevated()) {
        why =
            L"this needs an elevated prompt: right-click Command Prompt, choose \"Run as administrator\", and run it "
            L"again";
        return false;
    }
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    if (system.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_AMD64) {
        why = L"Tarvex.sys is a driver for 64-bit x86 Windows (x64); this machine is not one";
        return false;
    }
    if (WindowsMajor() < 10) {
        why = L"this needs Windows 10 or later";
        return false;
    }
    BootDisk boot = QueryBootDisk();
    std::wstring bootProblem = BootDiskProblem(boot);
    if (!bootProblem.empty()) {
        why = bootProblem;
        return false;
    }
    // A folder an earlier uninstall left for the restart to delete would take the new files with it.
    if (GoesAtRestart(in.folder)) {
        why = L"the folder " + in.folder +
              L" is deleted when Windows restarts (an earlier removal). Restart Windows "
              L"first, then install again";
        return false;
    }
    if (!SafeFolder(in.folder, why)) {
        why = L"cannot install into \"" + in.folder + L"\": " + why;
        return false;
    }
    std::wstring recorded = RecordValue(L"InstallFolder");
    if (!recorded.empty() && !SamePath(recorded, in.folder)) {
        if (!in.move) {
            why = L"Orvanta is installed in \"" + recorded + L"\"; to move it to \"" + in.folder +
                  L"\", run the install again with --move (or install into \"" + recorded + L"\")";
            return false;
        }
        in.oldFolder = recorded;
    }
    // An earlier removal that a restart finishes: the class must not name Tarvex over it.
    KernelHealth kernel = QueryKernelHealth();
    // Without a service the install puts the image at its usual place: that must not be going either.
    bool driverGoes = !kernel.service.exists && GoesAtRestart(DriverPath());
    if (RestartClears(kernel) || driverGoes) {
        why = (RestartClears(kernel) ? KernelProblem(kernel)
                                     : L"the driver file " + DriverPath() + L" is deleted when Windows restarts") +
              L": an earlier removal of Tarvex finishes at the restart. Restart Windows first, then install again";
        return false;
    }
    for (const wchar_t* file : REQUIRED_FILES) {
        if (!Exists(in.source + L"\\" + file)) {
            why = std::wstring(file) + L" is missing from " + in.source;
            return false;
        }
    }
    if (!IsX64Driver(in.source + L"\\Tarvex.sys")) {
        why = L"Tarvex.sys in " + in.source + L" is not an x64 driver image";
        return false;
    }
    return true;
}

bool StepService(Install& in, std::wstring& detail, std::wstring& why) {
    ServiceInfo before = QueryService(SERVICE);
    std::wstring program = in.folder + L"\\OrvantaService.exe";
    DWORD code = 0;
    bool ran = RunProgram(program, L"-i", code, why);
    ServiceInfo now = QueryService(SERVICE);
    bool ours = now.exists && SamePath(now.binary, program);
    std::wstring folder = in.folder;
    if (!before.exists && now.exists)
        in.undo.push_back({L"remove the service OrvantaService", [folder](std::wstring& w, bool& restart) {
                               DWORD c = 0;
                               HANDLE process = OpenServiceProcess(SERVICE);
                               RunProgram(folder + L"\\OrvantaService.exe", L"-d", c, w);
                               bool marked = false;
                               bool deleted = DeleteServiceNamed(SERVICE, marked, w);
                               WaitForProcessEnd(process);
                               if (!deleted) return false;
                               restart = restart || marked;
                               return true;
                           }});
    else if (before.exists)
        in.undo.push_back(
            {L"stop the new OrvantaService", [](std::wstring& w, bool&) { return StopService(SERVICE, w); }});
    if (!ran) return false;
    if (code != 0 || !ours) {
        why = L"OrvantaService.exe -i exited with " + std::to_wstring(static_cast<int>(code)) +
              (ours ? L"" : L" and the service is not registered from " + program);
        return false;
    }
    detail = std::wstring(L"registered from ") + program + L", " + StateName(now.state);
    return true;
}

bool StepTask(Install& in, std::wstring& detail, std::wstring& why) {
    TaskState before = QueryTask();
    std::wstring program = in.folder + L"\\logontask.exe";
    DWORD code = 0;
    if (!RunProgram(program, L"CREATE_TASK", code, why)) return false;
    std::wstring folder = in.folder;
    if (before != TaskState::Present)
        in.undo.push_back({L"delete the logon task OrvantaUWP", [folder](std::wstring& w, bool&) {
                               DWORD c = 0;
                               if (!RunProgram(folder + L"\\logontask.exe", L"DELETE_TASK", c, w)) return false;
                               if (QueryTask(&w) == TaskState::Present) {
                                   w = L"the task is still there";
                                   return false;
                               }
                               return true;
                           }});
    // The tool reports nothing: the Task Scheduler is asked.
    TaskState now = QueryTask(&why);
    if (now != TaskState::Present) {
        if (now == TaskState::Absent)
            why = L"logontask.exe CREATE_TASK ran, but the Task Scheduler has no task OrvantaUWP";
        return false;
    }
    detail = L"the Task Scheduler holds OrvantaUWP";
    return true;
}

bool StepRecord(Install& in, std::wstring& detail, std::wstring& why) {
    std::wstring oldFolder = RecordValue(L"InstallFolder"), oldVersion = RecordValue(L"Version");
    if (!WriteRecord(in.folder, VERSION)) {
        why = L"cannot write HKLM\\" + std::wstring(RECORD_KEY) + L": " + ErrorText(GetLastError());
        return false;
    }
    in.undo.push_back({L"put back the install record", [oldFolder, oldVersion](std::wstring& w, bool&) {
                           bool ok = oldFolder.empty() ? DeleteRecord() : WriteRecord(oldFolder, oldVersion);
                           if (!ok) w = L"cannot write the registry";
                           return ok;
                       }});
    detail = L"version " + std::wstring(VERSION) + (oldVersion.empty() ? L"" : L" (was " + oldVersion + L")");
    return true;
}

namespace {

struct SavedValue {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
};

// Every value of a key, to put it back as it was.
bool SaveKey(const wchar_t* path, bool& existed, std::vector<SavedValue>& values) {
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key);
    existed = status == ERROR_SUCCESS;
    if (!existed) return status == ERROR_FILE_NOT_FOUND;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0, size = 0;
        status = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size);
        if (status != ERROR_SUCCESS) break;
        SavedValue v{std::wstring(name, nameLength), type, std::vector<BYTE>(size)};
        RegQueryValueExW(key, v.name.c_str(), nullptr, nullptr, v.data.data(), &size);
        values.push_back(v);
    }
    RegCloseKey(key);
    return status == ERROR_NO_MORE_ITEMS;
}

bool PutText(HKEY key, const wchar_t* name, const std::wstring& text) {
    return !RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool PutNumber(HKEY key, const wchar_t* name, DWORD number) {
    return !RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
}

// What the installation takes on disk, in KB: the folder's files and the driver image.
DWORD SizeInKb(const std::wstring& dir) {
    ULONGLONG bytes = 0;
    std::function<void(const std::wstring&)> add = [&](const std::wstring& d) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((d + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return;
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                add(d + L"\\" + name);
            else
                bytes += (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    };
    add(dir);
    WIN32_FILE_ATTRIBUTE_DATA driver;
    if (GetFileAttributesExW(DriverPath().c_str(), GetFileExInfoStandard, &driver)) bytes += driver.nFileSizeLow;
    return static_cast<DWORD>((bytes + 1023) / 1024);
}

}  // namespace

// The entry of Apps & features: the last step, so that it is there only when everything else is.
bool StepUninstallEntry(Install& in, std::wstring& detail, std::wstring& why) {
    bool existed = false;
    std::vector<SavedValue> saved;
    if (!SaveKey(UNINSTALL_KEY, existed, saved)) {
        why = L"cannot read HKLM\\" + std::wstring(UNINSTALL_KEY);
        return false;
    }
    HKEY key;
    LONG status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status) {
        why = L"cannot write HKLM\\" + std::wstring(UNINSTALL_KEY) + L": " + ErrorText(static_cast<DWORD>(status));
        return false;
    }
    in.undo.push_back({L"put back the Apps & features entry", [existed, saved](std::wstring& w, bool&) {
                           if (!DeleteUninstallEntry()) {
                               w = L"cannot delete HKLM\\" + std::wstring(UNINSTALL_KEY);
                               return false;
                           }
                           if (!existed) return true;
                           HKEY k;
                           if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                               &k, nullptr)) {
                               w = L"cannot write the registry";
                               return false;
                           }
                           bool ok = true;
                           for (const auto& v : saved)
                               ok = !RegSetValueExW(k, v.name.c_str(), 0, v.type, v.data.data(),
                                                    static_cast<DWORD>(v.data.size())) &&
                                    ok;
                           RegCloseKey(k);
                           if (!ok) w = L"cannot write the registry";
                           return ok;
                       }});
    // tvxsetup has no window: the quiet uninstall is the same command.
    std::wstring command = L"\"" + in.folder + L"\\tvxsetup.exe\" uninstall";
    bool ok = PutText(key, L"DisplayName", L"Orvanta") && PutText(key, L"DisplayVersion", VERSION) &&
              PutText(key, L"Publisher", PUBLISHER) && PutText(key, L"InstallLocation", in.folder) &&
              PutText(key, L"UninstallString", command) && PutText(key, L"QuietUninstallString", command) &&
              PutNumber(key, L"NoModify", 1) && PutNumber(key, L"NoRepair", 1) &&
              PutNumber(key, L"EstimatedSize", SizeInKb(in.folder));
    RegCloseKey(key);
    if (!ok || UninstallEntryValue(L"UninstallString") != command ||
        UninstallEntryValue(L"DisplayVersion") != VERSION) {
        why = L"the entry HKLM\\" + std::wstring(UNINSTALL_KEY) + L" does not read back as written";
        return false;
    }
    detail = L"\"Orvanta\" " + std::wstring(VERSION) + L", uninstalled by " + command;
    return true;
}

// The image the service named before an upgrade goes once nothing names it: at the restart when it
// is the one loaded now.
void RetireOldImage(Install& in) {
    const std::wstring& old = in.oldImage;
    if (old.empty() || SamePath(old, in.newImage) || !Exists(old)) return;
    if (!in.driverWasLoaded && DeleteFileW(old.c_str())) {
        in.notes.push_back(L"the earlier image " + old + L" was deleted");
    } else if (MoveFileExW(old.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        in.restart = true;
        in.notes.push_back(L"the earlier image " + old + L" is deleted when Windows restarts");
    } else {
        in.notes.push_back(L"the earlier image " + old + L" could not be deleted: " + ErrorText(GetLastError()));
    }
}

// After a move (--move) the earlier folder's programs are no longer named by anything: its files
// of ours go, and the folder with them when nothing else is left in it.
void MoveAway(Install& in) {
    std::vector<std::wstring> names(std::begin(REQUIRED_FILES), std::end(REQUIRED_FILES));
    names.insert(names.end(), std::begin(OPTIONAL_FILES), std::end(OPTIONAL_FILES));
    names.push_back(LOG_NAME);
    int left = 0;
    for (const auto& n : names) {
        std::wstring path = in.oldFolder + L"\\" + n;
        if (Exists(path) && !DeleteFileW(path.c_str()) &&
            !MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
            ++left;
    }
    if (Exists(in.oldFolder + L"\\Revenix")) RemoveBackup(in.oldFolder + L"\\Revenix");
    RemoveDirectoryW(in.oldFolder.c_str());
    in.notes.push_back(L"moved from " + in.oldFolder +
                       (Exists(in.oldFolder) ? L"; the folder stays (it holds " +
                                                   std::wstring(left ? L"files in use" : L"other files") + L")"
                                             : L", which was removed"));
}

int RunInstall(Install& in) {
    Say(L"Installing Orvanta " + std::wstring(VERSION) + L" from " + in.source + L" into " + in.folder);
    std::wstring why;
    if (!Preflight(in, why)) {
        Failed(L"check the machine and the files", why);
        Say(L"Not installed: nothing was changed." + LogNote());
        return EXIT_FAILED;
    }
    Ok(L"check the machine and the files", L"elevated, 64-bit Windows, folder and files fine");
    logFolder = in.folder;
    in.backup = in.folder + L"\\" + BACKUP_DIR;

    struct Step {
        const wchar_t* name;
        bool (*run)(Install&, std::wstring&, std::wstring&);
    };
    const Step steps[] = {
        {L"stop an earlier OrvantaService", StepStopOldService},
        {L"limit who may change the folder", StepLockFolder},
        {L"copy the program files", StepCopyFiles},
        {L"copy Tarvex.sys to the drivers folder", StepCopyDriver},
        {L"create the kernel service Tarvex", StepKernelService},
        {L"load the driver", StepLoadDriver},
        {L"add Tarvex to the USB class's UpperFilters", StepRegisterFilter},
        {L"install the service OrvantaService", StepService},
        {L"register the logon task OrvantaUWP", StepTask},
        {L"record the installation", StepRecord},
        {L"add Orvanta to Apps & features", StepUninstallEntry},
    };
    const Step* failedStep = nullptr;
    for (const Step& step : steps) {
        std::wstring detail;
        why.clear();
        if (!step.run(in, detail, why)) {
            Failed(step.name, why.empty() ? L"failed" : why);
            failedStep = &step;
            break;
        }
        Ok(step.name, detail);
    }
    if (!failedStep) {
        // The earlier files are no longer needed once everything holds.
        RemoveBackup(in.backup);
        if (!in.oldFolder.empty()) MoveAway(in);
        if (!in.newImage.empty()) RetireOldImage(in);
        for (const auto& n : in.notes) Say(L"  note: " + n);
        if (in.restart) {
            for (const auto& r : in.restartWhy) Say(L"  note: " + r);
            Say(L"Installed, version " + std::wstring(VERSION) + L"; restart Windows to finish. " + FilterState() +
                L"." + LogNote());
            return EXIT_RESTART;
        }
        Say(L"Installed, version " + std::wstring(VERSION) + L". " + FilterState() + L"." + LogNote());
        return EXIT_DONE;
    }

    Say(L"Undoing the steps made, newest first:");
    std::vector<std::wstring> left;
    bool restart = false;
    for (auto it = in.undo.rbegin(); it != in.undo.rend(); ++it) {
        std::wstring w;
        if (it->run(w, restart))
            Say(L"  [undone] " + it->what + (w.empty() ? L"" : L" (" + w + L")"));
        else {
            Say(L"  [LEFT]   " + it->what + L": " + w);
            left.push_back(it->what);
        }
    }
    RemoveBackup(in.backup);
    std::wstring state = FilterState();
    if (!left.empty()) {
        Say(L"Not installed: \"" + std::wstring(failedStep->name) + L"\" failed and " + std::to_wstring(left.size()) +
            L" change(s) could not be undone (see [LEFT] above). " + state + L"." + LogNote());
        return EXIT_LEFT_OVER;
    }
    Say(L"Not installed: \"" + std::wstring(failedStep->name) + L"\" failed; every change was undone" +
        (restart ? L" (a restart completes the removal of the driver)" : L"") + L". " + state + L"." + LogNote());
    return EXIT_FAILED;
}

}  // namespace tvxsetup
