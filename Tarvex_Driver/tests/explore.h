// What the explorer's three parts share: a fresh kernel per run whose stops are collected rather
// than reported at once (a run is judged, and may be replayed, as a whole), and the invariants
// every run checks against the driver's own records and the simulator's.
#pragma once

#include "scenario.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace explore {

inline std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

inline DEVICE_EXTENSION* Ext(PDEVICE_OBJECT device) { return static_cast<DEVICE_EXTENSION*>(device->DeviceExtension); }

// One run over a fresh kernel with the driver loaded. Stops go to a list of problems (the stop
// handler runs on the offending thread, hence the lock); so do invariant reports, which a run in
// this mode treats as the stop a kernel debugger would make of them.
class Kernel {
public:
    explicit Kernel(const wchar_t* filterClass = KSIM_CLASS_USB) {
        KsimReset();
        KsimSetStopHandler([this](const KsimStop& stop) { Note(stop.what); });
        // A hang ends the program at the limit: a third of the default keeps a run short.
        KsimSetWaitLimit(10000);
        KsimSetAssertionsBreak(true);
        driver = KsimLoadDriver(DriverEntry);
        if (!driver) {
            Note("the driver's entry failed");
        }
        filterClass_ = filterClass;
    }
    ~Kernel() { KsimSetStopHandler(nullptr); }
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The driver becomes the class's upper filter: stacks built from now on get its AddDevice.
    void Install() { KsimPnpRegisterUpperFilter(driver, filterClass_); }

    void Note(const std::string& problem) {
        std::lock_guard<std::mutex> g(lock_);
        problems_.push_back(problem);
    }
    // Invariant reports since the last look become problems.
    void TakeAsserts() {
        std::vector<KsimAssert> asserts = KsimAsserts();
        for (size_t i = assertsSeen_; i < asserts.size(); ++i) {
            Note("RtlAssert(" + asserts[i].expression + ") in " + asserts[i].module + ":" +
                 std::to_string(asserts[i].line));
        }
        assertsSeen_ = asserts.size();
    }
    std::vector<std::string> Problems() {
        TakeAsserts();
        std::lock_guard<std::mutex> g(lock_);
        return problems_;
    }
    bool Clean() { return Problems().empty(); }
    // The simulator's verdict at the end (leaks, requests never completed, handles never closed).
    void End() {
        KsimDrainWorkItems();
        for (const std::string& problem : KsimCheckEnd()) {
            Note("at the end: " + problem);
        }
        TakeAsserts();
    }

    PDRIVER_OBJECT driver = nullptr;

private:
    const wchar_t* filterClass_ = nullptr;
    std::mutex lock_;
    std::vector<std::string> problems_;
    size_t assertsSeen_ = 0;
};

struct ControlView {
    LONG number;
    PDEVICE_OBJECT device;
    PDEVICE_OBJECT pdo;  // the device it serves
    std::wstring location;
};

inline std::vector<ControlView> ControlDevices(PDRIVER_OBJECT driver) {
    std::vector<ControlView> controls;
    for (PDEVICE_OBJECT device : KsimDevicesOf(driver)) {
        DEVICE_EXTENSION* ext = Ext(device);
        if (ext->ipcSlot >= 0) {
            controls.push_back({ext->ipcSlot, device, ext->physicalDevObj, ext->location});
        }
    }
    return controls;
}

inline std::vector<ControlView> ControlDevicesFor(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    std::vector<ControlView> found;
    for (const ControlView& control : ControlDevices(driver)) {
        if (control.pdo == pdo) {
            found.push_back(control);
        }
    }
    return found;
}

// The driver's device objects in the PDO's stack, lowest first.
inline std::vector<PDEVICE_OBJECT> FiltersOnPdo(Kernel& run, PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> filters;
    for (PDEVICE_OBJECT device : KsimStackOf(pdo)) {
        if (device->DriverObject == run.driver) {
            filters.push_back(device);
        }
    }
    return filters;
}

inline std::wstring Numbered(const wchar_t* base, LONG n) { return base + std::to_wstring(n); }

// The number table, the links and the control devices tell one story: number n is taken exactly
// while \Device\TVXIPC<n> exists, and its link leads there.
inline void CheckNumbers(Kernel& run, const std::vector<ControlView>& controls) {
    std::map<LONG, const ControlView*> byNumber;
    for (const ControlView& control : controls) {
        if (byNumber.count(control.number)) {
            run.Note("two control devices carry number " + std::to_string(control.number));
        }
        byNumber[control.number] = &control;
        if (KsimNamedDevice(Numbered(L"\\Device\\TVXIPC", control.number).c_str()) != control.device) {
            run.Note("control device " + std::to_string(control.number) + " does not have its name");
        }
        if (KsimLinkTarget(Numbered(L"\\DosDevices\\TVXIPC", control.number).c_str()) !=
            Numbered(L"\\Device\\TVXIPC", control.number)) {
            run.Note("control device " + std::to_string(control.number) + " has no link");
        }
    }
    for (LONG n = 0; n < TVXIPC_MAX_DEVICES; ++n) {
        bool taken = ipcSlotTable[n] != 0;
        if (taken != (byNumber.count(n) != 0)) {
            run.Note("number " + std::to_string(n) + (taken ? " is taken without" : " is free with") +
                     " a control device");
        }
    }
    for (const std::wstring& link : KsimLinks()) {
        if (link.find(L"TVXIPC") != std::wstring::npos &&
            !byNumber.count(std::stol(link.substr(link.find(L"TVXIPC") + 6)))) {
            run.Note("link " + Narrow(link) + " outlives its control device");
        }
    }
}

inline void CheckNumbers(Kernel& run) { CheckNumbers(run, ControlDevices(run.driver)); }

// The charging requests in the driver's own two forms that reached the PDO, oldest first,
// tagged 'on', 'off', or 'foreign' for any other 40 40 request.
inline std::string ChargingHistory(PDEVICE_OBJECT pdo) {
    std::string history;
    for (const std::array<UCHAR, 8>& setup : KsimUsbSetupPackets(pdo)) {
        if (setup == CHARGING_ON) {
            history += '1';
        } else if (setup == CHARGING_OFF) {
            history += '0';
        } else if (setup[0] == 0x40 && setup[1] == 0x40) {
            history += 'f';
        }
    }
    return history;
}

// Opens \\.\TVXIPC<n> as a client with or without the right to write.
inline KsimHandle OpenControl(LONG n, bool write, NTSTATUS* status = nullptr) {
    return KsimUserOpen(Numbered(L"\\\\.\\TVXIPC", n).c_str(), status,
                        write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ);
}

inline NTSTATUS Order(KsimHandle handle, ULONG code, const std::wstring& location) {
    UCHAR byte = 0;
    ULONG_PTR information = 0;
    return KsimUserIoctl(handle, code, location.data(), static_cast<ULONG>(location.size() * sizeof(wchar_t)), &byte, 1,
                         &information);
}

}  // namespace explore
