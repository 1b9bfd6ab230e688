// The I/O manager's records, shared by its parts: io.cpp (driver and device objects, stacks, the
// object namespace, device properties), io_irp.cpp (IRPs and their completion, MDLs, cancel) and
// io_workitem.cpp (work items).
#pragma once

#include "ksim_internal.h"

namespace ksim {

struct DriverInfo {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::wstring name;
    std::wstring registryPath;
    UNICODE_STRING registryPathString{};
    bool sim = false;
};

enum class IrpKind { Driver, Built, Sim, External };
enum class IrpState { Active, Completing, Completed };

struct IrpInfo {
    PIRP irp = nullptr;
    size_t bytes = 0;
    IrpKind kind = IrpKind::Driver;
    IrpState state = IrpState::Active;
    unsigned generation = 0;
    bool freed = false;
    bool dispatched = false;
    unsigned initialisations = 0;  // IoInitializeIrp/IoReuseIrp count, to tell a reused IRP
    // Per stack location: its dispatch routine returned STATUS_PENDING; completion has passed it;
    // it carried SL_PENDING_RETURNED then. Whichever of the first two comes last checks the third.
    std::vector<char> returnedPending;
    std::vector<char> unwound;
    std::vector<char> markedPending;
    std::vector<PDEVICE_OBJECT> path;
    std::function<void(PIRP)> final;
    void* userOutput = nullptr;  // Built: caller's output buffer
    ULONG outputLength = 0;
    bool copyOut = false;
    uint64_t serial = 0;
};

struct WorkItem {
    PDEVICE_OBJECT device = nullptr;
    PIO_WORKITEM_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    bool queued = false;
    bool freed = false;
};

struct Io {
    std::map<std::wstring, std::unique_ptr<DriverInfo>> drivers;  // by upper-case name
    std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<DeviceInfo>> devices;
    std::map<std::wstring, PDEVICE_OBJECT> names;                         // upper-case device name -> device
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> links;  // key -> (link as created, target)
    std::unordered_map<PIRP, IrpInfo> irps;
    std::deque<PIRP> freedIrps;
    std::unordered_map<PMDL, size_t> mdls;
    std::set<WorkItem*> workItems;
    std::function<void(PDEVICE_OBJECT, PDEVICE_OBJECT)> attachHook;
    unsigned deviceSerial = 0;
    unsigned autoName = 0x40;
    uint64_t irpSerial = 0;
};

Io& IO();

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

}  // namespace ksim
