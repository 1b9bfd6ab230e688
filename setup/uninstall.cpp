// uninstall: the filter entry first and proven gone, then the rest.
#include "tvxsetup.h"

namespace tvxsetup {

// Whether anything of the package is on the machine; uninstall touches nothing otherwise.
bool AnythingInstalled() {
    std::vector<std::wstring> filters;
    DWORD error = 0;
    return !RecordValue(L"InstallFolder").empty() || !UninstallEntryValue(L"UninstallString").empty() ||
           !ReadFilters(filters, error) || Names(filters) || QueryService(KERNEL_SERVICE).exists ||
           QueryService(SERVICE).exists || QueryTask() != TaskState::Absent || Exists(DriverPath());
}

int RunUninstall(const std::wstring& folder, bool& wroteNothing) {
    wroteNothing = false;
    Say(L"Removing Orvanta from " + folder);
    if (!IsElevated()) {
        Failed(L"check the machine", L"this needs an elevated prompt: run it again as administrator");
        Say(L"Not removed: nothing was changed. " + FilterState() + L"." + LogNote());
        return EXIT_FAILED;
    }
    if (!AnythingInstalled()) {
        Say(L"Nothing to remove: Orvanta is not installed (no install record, filter entry, services, task or "
            L"driver file).");
        wroteNothing = true;
        return EXIT_DONE;
    }
    // The log goes into the folder only when the install record names it.
    std::wstring recorded = RecordValue(L"InstallFolder");
    if (!recorded.empty() && SamePath(recorded, folder) && Exists(folder) && ReparsePointOnPath(folder).empty())
        logFolder = folder;
    // The filter entry goes first and is proven gone: from then on no USB stack depends on Tarvex,
    // whatever happens to the steps after it.
    std::wstring why;
    if (!RemoveFilter(why)) {
        Failed(L"remove Tarvex from the USB class's UpperFilters", why);
        Say(L"Removal failed: nothing else was changed. " + FilterState() + L"." + LogNote());
        return EXIT_FAILED;
    }
    std::vector<std::wstring> remaining;
    DWORD error = 0;
    ReadFilters(remaining, error);
    Ok(L"remove Tarvex from the USB class's UpperFilters", L"UpperFilters now: " + Join(remaining));

    int failures = 0;
    std::vector<std::wstring> restartWhy;
    auto fail = [&](const wchar_t* step, const std::wstring& w) {
        Failed(step, w);
        ++failures;
    };

    const wchar_t* taskStep = L"delete the logon task OrvantaUWP";
    DWORD code = 0;
    std::wstring tool = folder + L"\\logontask.exe";
    if (QueryTask() == TaskState::Absent) {
        Ok(taskStep, L"not there");
    } else if (!Exists(tool)) {
        fail(taskStep, tool + L" is missing; delete the task in Task Scheduler");
    } else if (!RunProgram(tool, L"DELETE_TASK", code, why)) {
        fail(taskStep, why);
    } else {
        TaskState state = QueryTask(&why);
        if (state == TaskState::Absent)
            Ok(taskStep);
        else
            fail(taskStep, state == TaskState::Present ? L"the Task Scheduler still holds it" : why);
    }

    const wchar_t* serviceStep = L"remove the service OrvantaService";
    if (QueryService(SERVICE).exists) {
        std::wstring program = folder + L"\\OrvantaService.exe";
        HANDLE process = OpenServiceProcess(SERVICE);
        if (Exists(program)) RunProgram(program, L"-d", code, why);
        // The program's -d is silent; a registration it left is deleted here and the result read back.
        bool marked = false;
        std::wstring stopWhy;
        StopService(SERVICE, stopWhy);
        bool deleted = DeleteServiceNamed(SERVICE, marked, why);
        WaitForProcessEnd(process);
        if (!deleted) {
            fail(serviceStep, why);
        } else if (marked) {
            Ok(serviceStep, L"marked for deletion; it goes when Windows restarts");
            restartWhy.push_back(L"the service OrvantaService goes when Windows restarts");
        } else {
            Ok(serviceStep);
        }
    } else {
        Ok(serviceStep, L"not there");
    }

    const wchar_t* kernelStep = L"remove the kernel service Tarvex";
    ServiceInfo kernel = QueryService(KERNEL_SERVICE);
    bool driverLoaded = false;
    if (kernel.exists) {
        std::wstring stopWhy;
        driverLoaded = kernel.state != SERVICE_STOPPED && !StopService(KERNEL_SERVICE, stopWhy);
        bool marked = false;
        if (!DeleteServiceNamed(KERNEL_SERVICE, marked, why)) {
            fail(kernelStep, why);
        } else if (driverLoaded || marked) {
            Ok(kernelStep, L"the driver is still loaded; it and its service go when Windows restarts");
            restartWhy.push_back(L"the loaded driver Tarvex.sys is unloaded when Windows restarts");
        } else {
            Ok(kernelStep, L"unloaded and deleted");
        }
    } else {
        Ok(kernelStep, L"not there");
    }

    // Tarvex.sys and every upgrade's image Tarvex-<version>.sys.
    std::vector<std::wstring> images = {DriverPath()};
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((DriversDir() + L"\\Tarvex-*.sys").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                images.push_back(DriversDir() + L"\\" + found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    for (const auto& driver : images) {
        std::wstring name = driver.substr(driver.find_last_of(L'\\') + 1);
        std::wstring fileStep = L"delete " + name + L" from the drivers folder";
        if (!Exists(driver)) {
            Ok(fileStep, L"not there");
        } else if (GoesAtRestart(driver)) {
            Ok(fileStep, L"already deleted when Windows restarts");
            restartWhy.push_back(name + L" is deleted when Windows restarts");
        } else if (DeleteFileW(driver.c_str())) {
            Ok(fileStep);
        } else if (MoveFileExW(driver.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            Ok(fileStep, L"in use; deleted when Windows restarts");
            restartWhy.push_back(name + L" is deleted when Windows restarts");
        } else {
            fail(fileStep.c_str(), ErrorText(GetLastError()));
        }
    }

    // After a failed step the record, the entry and the folder with its tools stay, so that running
    // the uninstall again (from Apps & features too) finishes it.
    if (failures) {
        std::wstring state = FilterState();
        Say(L"Removal failed: " + std::to_wstring(failures) +
            L" step(s) failed (see above); the installation "
            L"record and folder stay for another run. " +
            state + L"." + LogNote());
        return EXIT_FAILED;
    }
    if (DeleteUninstallEntry())
        Ok(L"remove Orvanta from Apps & features");
    else
        fail(L"remove Orvanta from Apps & features", L"cannot delete HKLM\\" + std::wstring(UNINSTALL_KEY));
    if (DeleteRecord())
        Ok(L"delete the install record");
    else
        fail(L"delete the install record", L"cannot delete HKLM\\" + std::wstring(RECORD_KEY));

    // Only the recorded installation's folder is removed; what is in use (this program, when it runs
    // from there) goes with the folder at the restart. The log then goes to the temporary folder.
    if (!logFolder.empty()) {
        const wchar_t* folderStep = L"remove the folder";
        std::vector<std::wstring> atRestart;
        std::wstring installed = logFolder;
        logFolder.clear();
        if (!RemoveFolder(installed, atRestart, why)) {
            fail(folderStep, why);
        } else if (atRestart.empty()) {
            Ok(folderStep, installed);
        } else {
            std::wstring names;
            for (const auto& n : atRestart) names += (names.empty() ? L"" : L", ") + n;
            Ok(folderStep, installed + L"; in use, deleted with the folder when Windows restarts: " + names);
        }
    }

    std::wstring state = FilterState();
    if (failures) {
        Say(L"Removal failed: " + std::to_wstring(failures) + L" step(s) failed (see above). " + state + L"." +
            LogNote());
        return EXIT_FAILED;
    }
    if (!restartWhy.empty()) {
        for (const auto& r : restartWhy) Say(L"  note: " + r);
        Say(L"Removed, restart needed: restart Windows to finish. " + state + L"." + LogNote());
        return EXIT_RESTART;
    }
    Say(L"Removed. " + state + L"." + LogNote());
    return EXIT_DONE;
}

// Deletes a folder and everything in it; a file in use (this very program among them: Windows keeps a
// running program's file open) and the folders holding it are deleted when Windows restarts, files
// first. False only when something can neither be deleted nor scheduled.
bool RemoveFolder(const std::wstring& dir, std::vector<std::wstring>& atRestart, std::wstring& why) {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    bool ok = true;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName, path = dir + L"\\" + name;
            if (name == L"." || name == L"..") continue;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                ok = RemoveFolder(path, atRestart, why) && ok;
                continue;
            }
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            bool running = SamePath(path, module);
            if (!running && ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                                                 : DeleteFileW(path.c_str())))
                continue;
            if (MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
                atRestart.push_back(name);
            } else {
                why = L"cannot delete " + path + L": " + ErrorText(GetLastError());
                ok = false;
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (RemoveDirectoryW(dir.c_str())) return ok;
    // Windows removes a folder at the restart only once it is empty, so it is scheduled after its files.
    if (!MoveFileExW(dir.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        why = L"cannot delete " + dir + L": " + ErrorText(GetLastError());
        return false;
    }
    return ok;
}

}  // namespace tvxsetup
