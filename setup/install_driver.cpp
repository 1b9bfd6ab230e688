// The install steps of the driver: its image (a new one proven first), its kernel service, its
// load, and only then the class filter entry; each with its undo.
#include "tvxsetup.h"

namespace tvxsetup {

// A name in the drivers folder for a new image: Tarvex-<version>.sys, never a file that exists or
// that the restart deletes.
std::wstring NewImageName(const std::wstring& source) {
    std::wstring version = FileVersion(source);
    if (version.empty()) version = L"0";
    for (int n = 1; n <= 20; ++n) {
        std::wstring name = DriversDir() + L"\\Tarvex-" + version + (n > 1 ? L"-" + std::to_wstring(n) : L"") + L".sys";
        if (!Exists(name) && !GoesAtRestart(name)) return name;
    }
    return L"";
}

// Loads an image under a temporary kernel service of its own, unloads it (the driver has no devices
// there) and deletes the service again: proof that Windows loads it before the filter names it.
bool ProveImage(Install& in, const std::wstring& image, std::wstring& why) {
    bool marked = false;
    std::wstring ignored;
    DeleteServiceNamed(PROOF_SERVICE, marked, ignored);  // a leftover of an interrupted run
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    SC_HANDLE service = manager ? CreateServiceW(manager, PROOF_SERVICE, L"Tarvex image proof", SERVICE_ALL_ACCESS,
                                                 SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                 image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)
                                : nullptr;
    DWORD error = GetLastError();
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    if (!service) {
        why = L"cannot create the temporary kernel service " + std::wstring(PROOF_SERVICE) + L": " + ErrorText(error);
        return false;
    }
    bool started = false, running = false;
    StartDriver(PROOF_SERVICE, started, running, error);
    std::wstring stopWhy;
    bool stopped = !running || StopService(PROOF_SERVICE, stopWhy);
    std::wstring deleteWhy;
    bool deleted = DeleteServiceNamed(PROOF_SERVICE, marked, deleteWhy);
    if (!stopped || marked || !deleted) {
        in.restart = true;
        in.restartWhy.push_back(L"the temporary kernel service " + std::wstring(PROOF_SERVICE) +
                                L" goes when Windows restarts");
    }
    if (!running) {
        why = L"the new image did not load under the temporary kernel service " + std::wstring(PROOF_SERVICE) +
              L", so the installed one stays: " + LoadRefusal(image, started, error);
        return false;
    }
    return true;
}

bool StepCopyDriver(Install& in, std::wstring& detail, std::wstring& why) {
    std::vector<std::wstring> notes;
    std::wstring source = in.source + L"\\Tarvex.sys";
    ServiceInfo kernel = QueryService(KERNEL_SERVICE);
    if (kernel.exists && kernel.type == SERVICE_KERNEL_DRIVER && IsOurImage(kernel.binary)) {
        std::wstring current = DosImagePath(kernel.binary, WindowsDir());
        if (Exists(current) && SameContent(source, current)) {
            detail = kernel.binary + L" (the same image)";
            return true;
        }
        // The image the service names is never written over: the new one gets a name of its own and
        // proves it loads under a temporary service before the Tarvex service is pointed at it.
        std::wstring image = NewImageName(source);
        if (image.empty()) {
            why = L"no free name for the new image in " + DriversDir() + L"; restart Windows, then install again";
            return false;
        }
        if (!CopyOne(in, source, image, L"the new image " + image.substr(image.find_last_of(L'\\') + 1), notes, why) ||
            !ProveImage(in, image, why))
            return false;
        in.newImage = image;
        in.oldImage = current;
        in.driverWasLoaded = kernel.state == SERVICE_RUNNING;
        detail = image + L", proven: it loaded under the temporary kernel service " + PROOF_SERVICE +
                 L" and was unloaded again";
        return true;
    }
    if (!CopyOne(in, source, DriverPath(), L"Tarvex.sys (drivers folder)", notes, why)) return false;
    detail = DriverPath();
    for (const auto& n : notes) detail += L"; " + n;
    return true;
}

// Points the Tarvex service at an image and its start at demand start; the undo puts back both.
bool PointKernelService(Install& in, const ServiceInfo& old, const std::wstring& image, std::wstring& why) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, KERNEL_SERVICE, SERVICE_CHANGE_CONFIG) : nullptr;
    bool changed = service && ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                                                   image.empty() ? nullptr : image.c_str(), nullptr, nullptr, nullptr,
                                                   nullptr, nullptr, nullptr);
    DWORD error = GetLastError();
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    if (!changed) {
        why = L"cannot change the kernel service Tarvex: " + ErrorText(error);
        return false;
    }
    std::wstring binary = old.binary;
    DWORD start = old.start;
    in.undo.push_back({L"point the kernel service Tarvex back at " + binary, [binary, start](std::wstring& w, bool&) {
                           SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
                           SC_HANDLE s = m ? OpenServiceW(m, KERNEL_SERVICE, SERVICE_CHANGE_CONFIG) : nullptr;
                           bool ok =
                               s && ChangeServiceConfigW(s, SERVICE_NO_CHANGE, start, SERVICE_NO_CHANGE, binary.c_str(),
                                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
                           if (!ok) w = ErrorText(GetLastError());
                           if (s) CloseServiceHandle(s);
                           if (m) CloseServiceHandle(m);
                           return ok;
                       }});
    ServiceInfo now = QueryService(KERNEL_SERVICE);
    if (now.start != SERVICE_DEMAND_START || (!image.empty() && !SamePath(now.binary, image))) {
        why = L"the kernel service Tarvex does not read back as changed (" + now.binary + L", start type " +
              std::to_wstring(now.start) + L")";
        return false;
    }
    return true;
}

bool StepKernelService(Install& in, std::wstring& detail, std::wstring& why) {
    ServiceInfo old = QueryService(KERNEL_SERVICE);
    if (old.exists) {
        if (old.type != SERVICE_KERNEL_DRIVER || !IsOurImage(old.binary)) {
            why = L"a service named Tarvex already exists and is not this driver (" + old.binary + L")";
            return false;
        }
        if (!in.newImage.empty()) {
            // One registry write: the proven image is the one the next load takes.
            if (!PointKernelService(in, old, in.newImage, why)) return false;
            detail = L"now names " + in.newImage;
            if (in.driverWasLoaded) {
                in.restart = true;
                in.restartWhy.push_back(
                    L"the new Tarvex image is loaded when Windows restarts; the earlier one serves "
                    L"until then");
            }
            return true;
        }
        if (old.start != SERVICE_DEMAND_START) {
            if (!PointKernelService(in, old, L"", why)) return false;
            detail = L"already there; demand start again (was start type " + std::to_wstring(old.start) + L")";
            return true;
        }
        detail = L"already there";
        return true;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        why = L"cannot open the service control manager: " + ErrorText(GetLastError());
        return false;
    }
    // Given as a DOS path, which Windows stores in NT form (\??\C:\...): the read-back compares
    // the forms as the same file. (Wine's driver loader does not resolve the relative form an INF
    // install stores, System32\drivers\..., so that one is not used.)
    std::wstring image = DriverPath();
    SC_HANDLE service = CreateServiceW(manager, KERNEL_SERVICE, KERNEL_SERVICE_DISPLAY, SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    DWORD error = GetLastError();
    if (service) {
        SERVICE_DESCRIPTIONW description = {const_cast<wchar_t*>(L"Sends the charging request to Apple USB devices.")};
        ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (!service) {
        why = L"cannot create the kernel service Tarvex: " + ErrorText(error);
        if (error == ERROR_DUPLICATE_SERVICE_NAME)
            why += L"; another service already uses the name \"" + std::wstring(KERNEL_SERVICE_DISPLAY) + L"\"";
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
            why += L"; an earlier Tarvex is removed at the next restart: restart Windows, then install again";
        return false;
    }
    in.undo.push_back({L"delete the kernel service Tarvex", [](std::wstring& w, bool& restart) {
                           bool marked = false;
                           if (!DeleteServiceNamed(KERNEL_SERVICE, marked, w)) return false;
                           restart = restart || marked;
                           return true;
                       }});
    ServiceInfo made = QueryService(KERNEL_SERVICE);
    if (!made.exists || made.type != SERVICE_KERNEL_DRIVER || !SamePath(made.binary, image)) {
        why = L"the kernel service Tarvex does not read back as created (" + made.binary + L")";
        return false;
    }
    detail = L"kernel driver, demand start, " + image;
    return true;
}

bool StepLoadDriver(Install& in, std::wstring& detail, std::wstring& why) {
    if (QueryService(KERNEL_SERVICE).state == SERVICE_RUNNING) {
        detail = in.newImage.empty() ? L"already loaded" : L"already loaded (the earlier image, until the restart)";
        return true;
    }
    bool started = false, running = false;
    DWORD error = 0;
    StartDriver(KERNEL_SERVICE, started, running, error);
    if (started)
        in.undo.push_back({L"unload the driver", [](std::wstring& w, bool& restart) {
                               std::wstring ignored;
                               // A driver that will not stop is removed with its service at the next restart.
                               if (!StopService(KERNEL_SERVICE, ignored)) {
                                   restart = true;
                                   w = L"it stays loaded until Windows restarts";
                               }
                               return true;
                           }});
    if (!running) {
        why = LoadRefusal(L"Tarvex.sys", started, error);
        return false;
    }
    detail = L"the kernel service Tarvex started: the driver loads";
    return true;
}

bool StepRegisterFilter(Install& in, std::wstring& detail, std::wstring& why) {
    // The one rule of this program: the class names Tarvex only while a driver proven to load backs
    // it, and only over a service and a file that will still be there after the next restart.
    KernelHealth kernel = QueryKernelHealth();
    if (!kernel.service.exists || kernel.service.state != SERVICE_RUNNING) {
        why = L"the kernel service Tarvex is not loaded; the filter is not registered";
        return false;
    }
    std::wstring problem = KernelProblem(kernel);
    if (!problem.empty()) {
        why = problem + (RestartClears(kernel) ? L"; restart Windows first, then install again"
                                               : L"; the filter is not registered");
        return false;
    }
    std::vector<std::wstring> now;
    Edit edit = EditFilters(
        [](const std::vector<std::wstring>& filters) {
            std::vector<std::wstring> wanted = filters;
            if (!Names(filters)) wanted.push_back(FILTER);
            return wanted;
        },
        now, why);
    if (edit == Edit::Failed) return false;
    if (edit == Edit::WriteFailed) {
        // A write that may have taken in part is taken back.
        in.undo.push_back({L"remove Tarvex from the USB class's UpperFilters",
                           [](std::wstring& w, bool&) { return RemoveFilter(w); }});
        return false;
    }
    if (edit == Edit::Unchanged) {
        detail = L"already registered (UpperFilters: " + Join(now) + L")";
        return true;
    }
    in.undo.push_back(
        {L"remove Tarvex from the USB class's UpperFilters", [](std::wstring& w, bool&) { return RemoveFilter(w); }});
    detail = L"UpperFilters: " + Join(now);
    in.notes.push_back(L"USB devices already plugged in are filtered once they are replugged or Windows restarts");
    return true;
}

}  // namespace tvxsetup
