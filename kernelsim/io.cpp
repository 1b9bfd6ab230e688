// I/O manager: driver and device objects, stacks, the object namespace (device names and
// symbolic links), device properties, IRPs (allocation, IofCallDriver, IofCompleteRequest with
// completion routines and pending propagation, IoBuildDeviceIoControlRequest), MDLs, work items.
#include "ksim_internal.h"
#include "ksim_vm.h"

#include <cstdlib>
#include <cstring>

namespace ksim {
namespace {

constexpr size_t kDeviceGuard = 32;
constexpr unsigned char kDeviceGuardFill = 0xEB;
constexpr unsigned char kReleasedFill = 0xDD;
constexpr unsigned char kFreedIrpFill = 0xD1;
constexpr size_t kIrpQuarantine = 8192;

size_t Align16(size_t n) { return (n + 15) & ~static_cast<size_t>(15); }

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
    unsigned initialisations = 0;     // IoInitializeIrp/IoReuseIrp count, to tell a reused IRP
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
    std::map<std::wstring, PDEVICE_OBJECT> names;                 // upper-case device name -> device
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

Io& IO() {
    static Io* io = new Io;
    return *io;
}

// Work item queue, served by one simulator worker thread.
struct WorkQueue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<WorkItem*> queue;
    bool running = false;
    bool held = false;
    bool threadStarted = false;
};

KSPIN_LOCK& CancelLockWord() {
    static KSPIN_LOCK word = 0;
    return word;
}

WorkQueue& WQ() {
    static WorkQueue* q = new WorkQueue;
    return *q;
}

// "\DosDevices\X", "\??\X", "\GLOBAL??\X" all name the same link.
std::wstring NamespaceKey(const std::wstring& name) {
    std::wstring key = Upper(name);
    const std::wstring prefixes[] = {L"\\DOSDEVICES\\", L"\\GLOBAL??\\"};
    for (const std::wstring& prefix : prefixes)
        if (key.compare(0, prefix.size(), prefix) == 0) return L"\\??\\" + key.substr(prefix.size());
    return key;
}

DriverInfo* MakeDriver(const std::wstring& name, bool sim) {
    Io& io = IO();
    std::wstring key = Upper(name);
    auto it = io.drivers.find(key);
    if (it != io.drivers.end()) return it->second.get();
    auto info = std::make_unique<DriverInfo>();
    info->name = name;
    info->sim = sim;
    DRIVER_OBJECT& d = info->object;
    d.Type = IO_TYPE_DRIVER;
    d.Size = sizeof(DRIVER_OBJECT);
    d.DriverExtension = &info->extension;
    info->extension.DriverObject = &d;
    d.DriverName.Buffer = const_cast<PWSTR>(info->name.c_str());
    d.DriverName.Length = static_cast<USHORT>(info->name.size() * sizeof(WCHAR));
    d.DriverName.MaximumLength = d.DriverName.Length + sizeof(WCHAR);
    size_t slash = name.find_last_of(L'\\');
    info->registryPath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" +
                         (slash == std::wstring::npos ? name : name.substr(slash + 1));
    info->registryPathString.Buffer = const_cast<PWSTR>(info->registryPath.c_str());
    info->registryPathString.Length = static_cast<USHORT>(info->registryPath.size() * sizeof(WCHAR));
    info->registryPathString.MaximumLength = info->registryPathString.Length + sizeof(WCHAR);
    info->extension.ServiceKeyName = info->registryPathString;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) d.MajorFunction[i] = sim ? SimDispatch : nullptr;
    DriverInfo* raw = info.get();
    io.drivers[key] = std::move(info);
    return raw;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The two headers fill the first page; the extension begins the next one, so that page
// protection can watch it alone. Its guard follows it, even for an empty extension.
unsigned char* ExtensionOf(DeviceInfo* info) { return info->block + kPage; }

bool DeviceGuardIntact(DeviceInfo* info, size_t* where) {
    unsigned char* guard = ExtensionOf(info) + info->extensionSize;
    for (size_t i = 0; i < kDeviceGuard; ++i)
        if (guard[i] != kDeviceGuardFill) {
            *where = info->extensionSize + i;
            return false;
        }
    return true;
}

void ReleaseDevice(DeviceInfo* info) {
    if (info->released) return;
    info->released = true;
    VmUnprotect(ExtensionOf(info), info->extensionSize + kDeviceGuard);
    std::memset(ExtensionOf(info), kReleasedFill, info->extensionSize);
    if (info->kind == DeviceKind::Driver) VmProtectReleased(ExtensionOf(info), info->extensionSize + kDeviceGuard);
}

IrpInfo* FindIrp(PIRP irp) {
    auto it = IO().irps.find(irp);
    return it == IO().irps.end() ? nullptr : &it->second;
}

}  // namespace

bool IrpFreed(PIRP irp) {
    Guard g(Lock());
    IrpInfo* info = FindIrp(irp);
    return !info || info->freed;
}

namespace {

PIRP NewIrp(CCHAR stackSize, IrpKind kind) {
    USHORT bytes = IoSizeOfIrp(stackSize);
    PIRP irp = static_cast<PIRP>(std::malloc(bytes));
    if (!irp) return nullptr;
    IoInitializeIrp(irp, bytes, stackSize);  // registers as External
    Guard g(Lock());
    IrpInfo& info = IO().irps[irp];
    info.kind = kind;
    return irp;
}

void EvictIrps() {
    Io& io = IO();
    while (io.freedIrps.size() > kIrpQuarantine) {
        PIRP irp = io.freedIrps.front();
        io.freedIrps.pop_front();
        io.irps.erase(irp);
        std::free(irp);
    }
}

// Whether a remove request is passing through the stack the device belongs to (under Lock()):
// only then may a device be deleted under one still attached to it, or detached from a deleted one.
bool StackBeingRemoved(PDEVICE_OBJECT device) {
    DeviceInfo* info = FindDevice(device);
    if (info && info->stackBottom) info = FindDevice(info->stackBottom);
    return info && info->removing;
}

// A dispatch routine that returned STATUS_PENDING must have marked its location pending, itself
// or through its completion routine, by the time completion passes that location.
void CheckPendingMarked(PIRP irp, IrpInfo* info, CHAR location, PDEVICE_OBJECT device) {
    if (info->markedPending[location]) return;
    Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x211, reinterpret_cast<ULONG_PTR>(irp),
         reinterpret_cast<ULONG_PTR>(device), static_cast<ULONG_PTR>(location),
         "dispatch routine of %s returned STATUS_PENDING but never marked the request pending (IoMarkIrpPending)",
         DeviceLabel(device).c_str());
}

// The rules Verifier holds a driver to when it completes a request itself (under Lock()). Only
// drivers' device objects are checked; the simulator's own are trusted.
void CheckWdmCompletionRules(PIRP irp, IrpInfo* info) {
    if (irp->CurrentLocation > irp->StackCount) return;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT device = stack->DeviceObject;
    DeviceInfo* dev = FindDevice(device);
    if (!dev || dev->kind != DeviceKind::Driver) return;
    NTSTATUS status = irp->IoStatus.Status;
    bool failed = !NT_SUCCESS(status);
    bool filter = dev->attachedTo != nullptr;
    auto irpArg = reinterpret_cast<ULONG_PTR>(irp);
    auto deviceArg = reinterpret_cast<ULONG_PTR>(device);
    UCHAR major = stack->MajorFunction;
    UCHAR minor = stack->MinorFunction;
    if (major == IRP_MJ_PNP && minor == IRP_MN_STOP_DEVICE && failed)
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x219, irpArg, deviceArg, static_cast<ULONG_PTR>(status),
             "%s failed IRP_MN_STOP_DEVICE with 0x%08lX (a stop must not fail; refuse at IRP_MN_QUERY_STOP_DEVICE)",
             DeviceLabel(device).c_str(), (unsigned long)status);
    if (major == IRP_MJ_POWER && minor == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState &&
        failed)
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x21A, irpArg, deviceArg, static_cast<ULONG_PTR>(status),
             "%s failed a system set-power request with 0x%08lX (it must never fail)", DeviceLabel(device).c_str(),
             (unsigned long)status);
    if (filter && (major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE) && failed)
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x21B, irpArg, deviceArg, static_cast<ULONG_PTR>(status),
             "filter %s failed %s with 0x%08lX (it must pass it down)", DeviceLabel(device).c_str(),
             major == IRP_MJ_CLEANUP ? "IRP_MJ_CLEANUP" : "IRP_MJ_CLOSE", (unsigned long)status);
    // After surprise removal a filter fails only what it handles itself; what it does not handle
    // must still reach the drivers below (a function driver's abort, port status, WMI), or their
    // removal can wait for requests nobody will end.
    if (filter && failed && major != IRP_MJ_PNP && major != IRP_MJ_CREATE && major != IRP_MJ_POWER &&
        (info->path.empty() || info->path.back() == device)) {
        DeviceInfo* bottom = dev->stackBottom ? FindDevice(dev->stackBottom) : nullptr;
        if (bottom && bottom->surpriseRemoved && !bottom->removeHandled)
            Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x229, irpArg, deviceArg, major,
                 "filter %s failed a request of major function 0x%02X with 0x%08lX after surprise removal "
                 "instead of passing it down",
                 DeviceLabel(device).c_str(), major, (unsigned long)status);
    }
    if (filter && major == IRP_MJ_PNP && (info->path.empty() || info->path.back() == device)) {
        bool mustPass = minor == IRP_MN_START_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
                        minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_STOP_DEVICE ||
                        minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
                        minor == IRP_MN_DEVICE_USAGE_NOTIFICATION ||
                        // A query may be vetoed where it stands, never granted for the drivers below.
                        ((minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE) && !failed);
        if (mustPass)
            Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x21C, irpArg, deviceArg, minor,
                 "filter %s completed PnP request 0x%02X with 0x%08lX without passing it down",
                 DeviceLabel(device).c_str(), minor, (unsigned long)status);
    }
}

void MarkFreed(PIRP irp, IrpInfo* info) {
    info->freed = true;
    info->final = nullptr;
    std::memset(irp, kFreedIrpFill, info->bytes);
    IO().freedIrps.push_back(irp);
    EvictIrps();
}

// The I/O manager's part once completion reached the top of a request it built itself.
void FinishBuilt(PIRP irp, IrpInfo* info) {
    NTSTATUS status = irp->IoStatus.Status;
    if (info->copyOut && !NT_ERROR(status) && info->userOutput && irp->AssociatedIrp.SystemBuffer) {
        ULONG_PTR bytes = irp->IoStatus.Information;
        if (bytes > info->outputLength) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x22F, reinterpret_cast<ULONG_PTR>(irp), bytes,
                 info->outputLength, "IoStatus.Information %llu exceeds the output buffer length %lu",
                 (unsigned long long)bytes, (unsigned long)info->outputLength);
            bytes = info->outputLength;
        }
        std::memcpy(info->userOutput, irp->AssociatedIrp.SystemBuffer, bytes);
    }
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer)
        PoolFree(irp->AssociatedIrp.SystemBuffer, 0, false, false);
    while (irp->MdlAddress) {
        PMDL next = irp->MdlAddress->Next;
        FreeSimMdl(irp->MdlAddress);
        irp->MdlAddress = next;
    }
    PKEVENT event = irp->UserEvent;
    {
        Guard g(Lock());
        MarkFreed(irp, info);
    }
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void WorkerLoop() {
    WorkQueue& q = WQ();
    for (;;) {
        WorkItem* item;
        {
            std::unique_lock<std::mutex> g(q.m);
            q.cv.wait(g, [&] { return !q.queue.empty() && !q.held; });
            item = q.queue.front();
            q.queue.pop_front();
            q.running = true;
        }
        PDEVICE_OBJECT device = item->device;
        PIO_WORKITEM_ROUTINE routine = item->routine;
        PVOID context = item->context;
        {
            Guard g(Lock());
            item->queued = false;
        }
        SetIrql(PASSIVE_LEVEL);
        routine(device, context);
        if (Irql() != PASSIVE_LEVEL) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x216, Irql(), 0, 0,
                 "work item routine returned at IRQL %u", Irql());
            SetIrql(PASSIVE_LEVEL);
        }
        DereferenceDevice(device);
        {
            std::lock_guard<std::mutex> g(q.m);
            q.running = false;
        }
        q.cv.notify_all();
    }
}

}  // namespace

std::string DeviceLabel(PDEVICE_OBJECT device) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(device);
    if (!info) return "<unknown device>";
    if (!info->name.empty() && !info->generatedName) return Narrow(info->name);
    return "<unnamed> " + Narrow(KsimDriverName(device));
}

DeviceInfo* FindDevice(PDEVICE_OBJECT device) {
    auto it = IO().devices.find(device);
    return it == IO().devices.end() ? nullptr : it->second.get();
}

std::vector<DeviceInfo*> AllDevices() {
    std::vector<DeviceInfo*> all;
    for (auto& entry : IO().devices) all.push_back(entry.second.get());
    std::sort(all.begin(), all.end(), [](DeviceInfo* a, DeviceInfo* b) { return a->index < b->index; });
    return all;
}

DeviceInfo* DeviceOrNull(PDEVICE_OBJECT device) {
    Guard g(Lock());
    return FindDevice(device);
}

bool IsKnownDriverObject(PDRIVER_OBJECT driver) {
    Guard g(Lock());
    for (auto& entry : IO().drivers)
        if (&entry.second->object == driver) return true;
    return false;
}

PDEVICE_OBJECT CreateSimDevice(PDRIVER_OBJECT driver, ULONG extensionSize, const std::wstring& name,
                               DEVICE_TYPE type, ULONG characteristics, DeviceKind kind) {
    size_t objectBytes = Align16(sizeof(DEVICE_OBJECT));
    static_assert(sizeof(DEVICE_OBJECT) + sizeof(DEVOBJ_EXTENSION) + 32 <= kPage, "the headers fit one page");
    size_t total = kPage + Align16(extensionSize) + kDeviceGuard + 16;
    unsigned char* block = static_cast<unsigned char*>(VmAllocatePages(total));
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(block);
    PDEVOBJ_EXTENSION devobjExt = reinterpret_cast<PDEVOBJ_EXTENSION>(block + objectBytes);
    unsigned char* extension = block + kPage;
    std::memset(extension + extensionSize, kDeviceGuardFill, kDeviceGuard);

    Guard g(Lock());
    Io& io = IO();
    std::wstring deviceName = name;
    bool generated = false;
    if (deviceName.empty() && (characteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
        generated = true;
        wchar_t generated[32];
        swprintf(generated, 32, L"\\Device\\%08lx", static_cast<unsigned long>(io.autoName++));
        deviceName = generated;
    }
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->ReferenceCount = 0;
    device->DriverObject = driver;
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    device->Flags = DO_DEVICE_INITIALIZING | (deviceName.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->Characteristics = characteristics;
    device->DeviceExtension = extensionSize ? extension : nullptr;
    device->DeviceType = type;
    device->StackSize = 1;
    device->AlignmentRequirement = FILE_BYTE_ALIGNMENT;
    InitializeListHead(&device->Queue.ListEntry);
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    device->SectorSize = 512;
    devobjExt->Type = IO_TYPE_DEVICE;
    devobjExt->Size = sizeof(DEVOBJ_EXTENSION);
    devobjExt->DeviceObject = device;
    device->DeviceObjectExtension = devobjExt;

    auto info = std::make_unique<DeviceInfo>();
    info->device = device;
    info->index = ++io.deviceSerial;
    info->name = deviceName;
    info->generatedName = generated;
    info->kind = kind;
    info->extensionSize = extensionSize;
    info->block = block;
    info->blockSize = total;
    io.devices[device] = std::move(info);
    if (!deviceName.empty()) io.names[Upper(deviceName)] = device;
    return device;
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
    Guard g(Lock());
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT AttachDevice(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    Guard g(Lock());
    DeviceInfo* sourceInfo = FindDevice(source);
    DeviceInfo* targetInfo = FindDevice(target);
    if (!sourceInfo || !targetInfo || targetInfo->deleted) return nullptr;
    PDEVICE_OBJECT top = TopOf(target);
    top->AttachedDevice = source;
    sourceInfo->attachedTo = top;
    sourceInfo->stackBottom = targetInfo->stackBottom ? targetInfo->stackBottom : target;
    // The device below stays (deleted perhaps, never freed) until this one detaches from it.
    ++FindDevice(top)->refs;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    source->AlignmentRequirement = top->AlignmentRequirement;
    source->SectorSize = top->SectorSize;
    LogIo("IoAttachDeviceToDeviceStack " + DeviceLabel(source) + " -> " + DeviceLabel(top));
    return top;
}

void ReferenceDevice(PDEVICE_OBJECT device) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(device)) ++info->refs;
}

void DereferenceDevice(PDEVICE_OBJECT device) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(device);
    if (!info) return;
    if (--info->refs <= 0 && info->deleted) ReleaseDevice(info);
}

PIRP AllocateSimIrp(CCHAR stackSize) { return NewIrp(stackSize, IrpKind::Sim); }

void SetFinal(PIRP irp, std::function<void(PIRP)> final) {
    Guard g(Lock());
    if (IrpInfo* info = FindIrp(irp)) info->final = std::move(final);
}

void FreeSimIrp(PIRP irp) {
    Guard g(Lock());
    IrpInfo* info = FindIrp(irp);
    if (info && !info->freed) MarkFreed(irp, info);
}

void NoteIrpPath(PIRP irp, std::vector<PDEVICE_OBJECT>* path) {
    Guard g(Lock());
    if (IrpInfo* info = FindIrp(irp)) *path = info->path;
}

SimIrpResult SendAndWait(PDEVICE_OBJECT target, PIRP irp, KIRQL sendIrql) {
    auto signal = std::make_shared<Signal>();
    auto result = std::make_shared<SimIrpResult>();
    SetFinal(irp, [signal, result](PIRP done) {
        result->status = done->IoStatus.Status;
        result->information = done->IoStatus.Information;
        signal->Set();
    });
    KIRQL old = Irql();
    SetIrql(sendIrql);
    IofCallDriver(target, irp);
    SetIrql(old);
    signal->Wait();
    FreeSimIrp(irp);
    return *result;
}

PMDL AllocateSimMdl(void* address, ULONG length) {
    PMDL mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL) + sizeof(PFN_NUMBER) * 32));
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
    mdl->StartVa = reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(address) & ~static_cast<ULONG_PTR>(0xFFF));
    mdl->ByteOffset = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(address) & 0xFFF);
    mdl->ByteCount = length;
    mdl->MappedSystemVa = address;
    Guard g(Lock());
    IO().mdls[mdl] = length;
    return mdl;
}

void FreeSimMdl(PMDL mdl) {
    Guard g(Lock());
    auto it = IO().mdls.find(mdl);
    if (it == IO().mdls.end()) {
        Stop(KSIM_STOP_BAD_POOL_CALLER, 0x46, reinterpret_cast<ULONG_PTR>(mdl), 0, 0, "IoFreeMdl of an unknown MDL");
        return;
    }
    IO().mdls.erase(it);
    std::free(mdl);
}

void DrainWorkItems() {
    WorkQueue& q = WQ();
    std::unique_lock<std::mutex> g(q.m);
    q.held = false;
    q.cv.notify_all();
    q.cv.wait(g, [&] { return q.queue.empty() && !q.running; });
}

void IoReset() {
    DrainWorkItems();
    Guard g(Lock());
    Io& io = IO();
    for (auto& entry : io.devices) VmFreePages(entry.second->block, entry.second->blockSize);
    io.devices.clear();
    io.names.clear();
    io.links.clear();
    for (auto& entry : io.irps) std::free(entry.first);
    io.irps.clear();
    io.freedIrps.clear();
    for (auto& entry : io.mdls) std::free(entry.first);
    io.mdls.clear();
    for (WorkItem* item : io.workItems) delete item;
    io.workItems.clear();
    io.drivers.clear();
    io.deviceSerial = 0;
    io.autoName = 0x40;
    io.attachHook = nullptr;
}

void IoCheck(std::vector<std::string>* problems) {
    Guard g(Lock());
    Io& io = IO();
    char line[512];
    std::vector<IrpInfo*> live;
    for (auto& entry : io.irps)
        if (!entry.second.freed && entry.second.kind != IrpKind::External) live.push_back(&entry.second);
    std::sort(live.begin(), live.end(), [](IrpInfo* a, IrpInfo* b) { return a->serial < b->serial; });
    for (IrpInfo* info : live) {
        PIRP irp = info->irp;
        const char* state = info->state == IrpState::Completed ? "completed but never freed"
                            : info->dispatched                ? "never completed"
                                                              : "allocated and never sent or freed";
        std::string where;
        if (!info->path.empty()) where = ", last sent to " + DeviceLabel(info->path.back());
        int major = -1;
        if (irp->CurrentLocation <= irp->StackCount) major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        snprintf(line, sizeof line, "IRP leak: IRP %p (major function %d) %s%s", static_cast<void*>(irp), major, state,
                 where.c_str());
        problems->push_back(line);
    }
    for (auto& entry : io.mdls) {
        snprintf(line, sizeof line, "MDL leak: MDL %p of %llu bytes never freed", static_cast<void*>(entry.first),
                 (unsigned long long)entry.second);
        problems->push_back(line);
    }
    for (WorkItem* item : io.workItems) {
        if (item->freed) continue;
        snprintf(line, sizeof line, "work item leak: work item of %s never freed", DeviceLabel(item->device).c_str());
        problems->push_back(line);
    }
    for (auto& entry : io.links) {
        if (io.names.count(Upper(entry.second.second))) continue;
        snprintf(line, sizeof line, "dangling symbolic link: %s -> %s (no such device)",
                 Narrow(entry.second.first).c_str(), Narrow(entry.second.second).c_str());
        problems->push_back(line);
    }
    for (auto& entry : io.devices) {
        DeviceInfo* info = entry.second.get();
        if (info->released) continue;
        size_t where = 0;
        if (!DeviceGuardIntact(info, &where)) {
            snprintf(line, sizeof line, "device extension overrun: %s, extension of %lu bytes written at offset %llu",
                     DeviceLabel(info->device).c_str(), (unsigned long)info->extensionSize, (unsigned long long)where);
            problems->push_back(line);
        }
    }
}

}  // namespace ksim

using namespace ksim;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = nullptr;
    RequireIrql(PASSIVE_LEVEL, "IoCreateDevice");
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (TakeFault(KsimFault::IoCreateDevice, &status)) return status;
    std::wstring name = FromUnicodeString(DeviceName);
    if (!name.empty() && name[0] != L'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    {
        Guard g(Lock());
        if (!name.empty() && (IO().names.count(Upper(name)) || IO().links.count(NamespaceKey(name))))
            return STATUS_OBJECT_NAME_COLLISION;
    }
    PDEVICE_OBJECT device = CreateSimDevice(DriverObject, DeviceExtensionSize, name, DeviceType, DeviceCharacteristics,
                                            DeviceKind::Driver);
    if (Exclusive) device->Flags |= DO_EXCLUSIVE;
    LogIo("IoCreateDevice " + DeviceLabel(device));
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequireIrql(PASSIVE_LEVEL, "IoDeleteDevice");
    std::string label = DeviceLabel(DeviceObject);
    Guard g(Lock());
    DeviceInfo* info = FindDevice(DeviceObject);
    if (!info || info->deleted) {
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x200, reinterpret_cast<ULONG_PTR>(DeviceObject), 0, 0,
             "IoDeleteDevice of %s", info ? "a device object already deleted" : "an unknown device object");
        return;
    }
    size_t where = 0;
    if (!DeviceGuardIntact(info, &where))
        Stop(KSIM_STOP_SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, reinterpret_cast<ULONG_PTR>(DeviceObject),
             info->extensionSize, where, 0x24, "device extension of %s (%lu bytes) overwritten at offset %llu",
             label.c_str(), (unsigned long)info->extensionSize, (unsigned long long)where);
    if (info->attachedTo && info->attachedTo->AttachedDevice == DeviceObject)
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x201, reinterpret_cast<ULONG_PTR>(DeviceObject),
             reinterpret_cast<ULONG_PTR>(info->attachedTo), 0,
             "IoDeleteDevice of %s while it is still attached to %s (IoDetachDevice first)", label.c_str(),
             DeviceLabel(info->attachedTo).c_str());
    // During removal the device above detaches once the remove request has passed; at any other
    // time it keeps sending to a device that is gone.
    if (DeviceObject->AttachedDevice && !StackBeingRemoved(DeviceObject))
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x21E, reinterpret_cast<ULONG_PTR>(DeviceObject),
             reinterpret_cast<ULONG_PTR>(DeviceObject->AttachedDevice), 0,
             "IoDeleteDevice of %s while %s is still attached above it, outside a removal", label.c_str(),
             DeviceLabel(DeviceObject->AttachedDevice).c_str());
    Io& io = IO();
    if (!info->name.empty()) io.names.erase(Upper(info->name));
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice)
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    info->deleted = true;
    DeviceObject->Flags &= ~DO_DEVICE_HAS_NAME;
    LogIo("IoDeleteDevice " + label);
    if (info->refs <= 0) ReleaseDevice(info);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) { return TopOf(DeviceObject); }

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = TopOf(DeviceObject);
    ReferenceDevice(top);
    return top;
}

// The safe form writes the driver's pointer to the device below before the new device can be
// reached, which is why it exists.
static PDEVICE_OBJECT AttachForDriver(PDEVICE_OBJECT source, PDEVICE_OBJECT target, PDEVICE_OBJECT* attachedTo) {
    RequireIrql(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    if (TakeFault(KsimFault::IoAttachDeviceToDeviceStack)) return nullptr;
    PDEVICE_OBJECT below = AttachDevice(source, target);
    if (attachedTo) *attachedTo = below;
    std::function<void(PDEVICE_OBJECT, PDEVICE_OBJECT)> hook;
    {
        Guard g(Lock());
        hook = IO().attachHook;
    }
    if (below && hook) hook(source, below);
    return below;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    return AttachForDriver(SourceDevice, TargetDevice, nullptr);
}

NTSTATUS NTAPI IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                               PDEVICE_OBJECT* AttachedToDeviceObject) {
    *AttachedToDeviceObject = nullptr;
    return AttachForDriver(SourceDevice, TargetDevice, AttachedToDeviceObject) ? STATUS_SUCCESS
                                                                               : STATUS_NO_SUCH_DEVICE;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireIrql(PASSIVE_LEVEL, "IoDetachDevice");
    Guard g(Lock());
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (!above) {
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x202, reinterpret_cast<ULONG_PTR>(TargetDevice), 0, 0,
             "IoDetachDevice of %s, which has nothing attached", DeviceLabel(TargetDevice).c_str());
        return;
    }
    DeviceInfo* target = FindDevice(TargetDevice);
    if (target && target->deleted && !StackBeingRemoved(TargetDevice))
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x21F, reinterpret_cast<ULONG_PTR>(TargetDevice),
             reinterpret_cast<ULONG_PTR>(above), 0, "IoDetachDevice from %s, which was deleted outside a removal",
             DeviceLabel(TargetDevice).c_str());
    if (DeviceInfo* info = FindDevice(above)) info->attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    LogIo("IoDetachDevice " + DeviceLabel(TargetDevice));
    DereferenceDevice(TargetDevice);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    RequireIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (TakeFault(KsimFault::IoCreateSymbolicLink, &status)) return status;
    std::wstring link = FromUnicodeString(SymbolicLinkName);
    std::wstring target = FromUnicodeString(DeviceName);
    if (link.empty() || link[0] != L'\\') return STATUS_OBJECT_NAME_INVALID;
    Guard g(Lock());
    std::wstring key = NamespaceKey(link);
    if (IO().links.count(key) || IO().names.count(Upper(link))) return STATUS_OBJECT_NAME_COLLISION;
    IO().links[key] = std::make_pair(link, target);
    LogIo("IoCreateSymbolicLink " + Narrow(link) + " -> " + Narrow(target));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    RequireIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::wstring link = FromUnicodeString(SymbolicLinkName);
    Guard g(Lock());
    auto it = IO().links.find(NamespaceKey(link));
    if (it == IO().links.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    IO().links.erase(it);
    LogIo("IoDeleteSymbolicLink " + Narrow(link));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                   ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    RequireIrql(PASSIVE_LEVEL, "IoGetDeviceProperty");
    Guard g(Lock());
    DeviceInfo* info = FindDevice(DeviceObject);
    if (!info || info->kind != DeviceKind::BusPdo || info->deleted) {
        Stop(0xCA, 0x2, reinterpret_cast<ULONG_PTR>(DeviceObject), 0, 0,
             "IoGetDeviceProperty on %s, which is not a physical device object", DeviceLabel(DeviceObject).c_str());
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (ResultLength) *ResultLength = 0;
    auto it = info->properties.find(static_cast<int>(DeviceProperty));
    if (it == info->properties.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    const Property& property = it->second;
    if (!NT_SUCCESS(property.failure)) return property.failure;
    ULONG needed = static_cast<ULONG>(property.bytes.size());
    if (ResultLength) *ResultLength = needed;
    if (BufferLength < needed) return STATUS_BUFFER_TOO_SMALL;
    if (needed) std::memcpy(PropertyBuffer, property.bytes.data(), needed);
    return STATUS_SUCCESS;
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->ApcEnvironment = 0;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    Guard g(Lock());
    IrpInfo& info = IO().irps[Irp];
    bool known = info.irp == Irp;
    IrpKind kind = known ? info.kind : IrpKind::External;
    unsigned initialisations = info.initialisations;
    info = IrpInfo();
    info.irp = Irp;
    info.bytes = PacketSize;
    info.kind = kind;
    info.serial = ++IO().irpSerial;
    info.initialisations = initialisations + 1;
    info.returnedPending.assign(static_cast<size_t>(StackSize) + 2, 0);
    info.unwound.assign(static_cast<size_t>(StackSize) + 2, 0);
    info.markedPending.assign(static_cast<size_t>(StackSize) + 2, 0);
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    RequireIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    if (TakeFault(KsimFault::IoAllocateIrp)) return nullptr;
    return NewIrp(StackSize, IrpKind::Driver);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    UCHAR flags = Irp->AllocationFlags;
    IrpKind kind;
    {
        Guard g(Lock());
        IrpInfo* info = FindIrp(Irp);
        kind = info ? info->kind : IrpKind::External;
    }
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Status;
    Guard g(Lock());
    if (IrpInfo* info = FindIrp(Irp)) info->kind = kind;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    Guard g(Lock());
    IrpInfo* info = FindIrp(Irp);
    if (!info) {
        Stop(KSIM_STOP_BAD_POOL_CALLER, 0x46, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, "IoFreeIrp of an unknown IRP");
        return;
    }
    if (info->freed) {
        Stop(KSIM_STOP_BAD_POOL_CALLER, 0x07, 0, 0, reinterpret_cast<ULONG_PTR>(Irp), "IoFreeIrp of an IRP already freed");
        return;
    }
    if (info->state == IrpState::Active && info->dispatched && Irp->CurrentLocation <= Irp->StackCount)
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x203, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
             "IoFreeIrp of an IRP still owned by a lower driver (not completed back)");
    MarkFreed(Irp, info);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireIrql(DISPATCH_LEVEL, "IofCallDriver");
    {
        Guard g(Lock());
        IrpInfo* info = FindIrp(Irp);
        if (info && info->freed) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x204, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                 "IofCallDriver with an IRP that was freed");
            return STATUS_INVALID_PARAMETER;
        }
        DeviceInfo* device = FindDevice(DeviceObject);
        if (!device || device->released) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x205, reinterpret_cast<ULONG_PTR>(DeviceObject),
                 reinterpret_cast<ULONG_PTR>(Irp), 0, "IofCallDriver to %s",
                 device ? "a deleted device object" : "an unknown device object");
            return STATUS_NO_SUCH_DEVICE;
        }
        if (Irp->CurrentLocation <= 1) {
            Stop(KSIM_STOP_NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                 "IofCallDriver to %s with no stack location left (StackCount %d)", DeviceLabel(DeviceObject).c_str(),
                 Irp->StackCount);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (info) {
            if (info->state == IrpState::Completed)
                Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x206, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                     "IofCallDriver with an IRP already completed");
            // The I/O manager finishes such a request in a special kernel APC to the thread that
            // built it: with all APCs off that never runs (a hang when it pends) or runs after
            // the builder's stack frame is gone.
            if (info->kind == IrpKind::Built && !info->dispatched && AllApcsDisabled())
                Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x21D, reinterpret_cast<ULONG_PTR>(Irp), Irql(),
                     ApcDisable().special,
                     "a request built with IoBuildDeviceIoControlRequest sent while all APCs are disabled (IRQL %u, "
                     "guarded region depth %u): its completion APC cannot run",
                     Irql(), ApcDisable().special);
            // Plug and Play takes an untouched status of a request it sends as "nobody handled
            // this"; a driver's own request must start the same way, as Verifier insists.
            if ((info->kind == IrpKind::Driver || info->kind == IrpKind::Built) && !info->dispatched &&
                IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_PNP &&
                Irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
                Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x228, reinterpret_cast<ULONG_PTR>(Irp),
                     reinterpret_cast<ULONG_PTR>(DeviceObject), static_cast<ULONG_PTR>(Irp->IoStatus.Status),
                     "a new PnP request (minor 0x%02X) sent to %s with status 0x%08lX instead of STATUS_NOT_SUPPORTED",
                     IoGetNextIrpStackLocation(Irp)->MinorFunction, DeviceLabel(DeviceObject).c_str(),
                     (unsigned long)Irp->IoStatus.Status);
            info->state = IrpState::Active;
            info->dispatched = true;
            info->path.push_back(DeviceObject);
        }
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    const CHAR location = Irp->CurrentLocation;
    unsigned initialisations = 0;
    {
        Guard g(Lock());
        if (IrpInfo* info = FindIrp(Irp)) initialisations = info->initialisations;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    UCHAR major = stack->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x207, reinterpret_cast<ULONG_PTR>(Irp), major, 0,
             "IofCallDriver with major function %u", major);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
    if (!dispatch) dispatch = InvalidDeviceRequest;
    KIRQL before = Irql();
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (Irql() != before) {
        Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x212, before, Irql(), reinterpret_cast<ULONG_PTR>(Irp),
             "dispatch routine of %s (major %u) returned at IRQL %u, entered at %u", DeviceLabel(DeviceObject).c_str(),
             major, Irql(), before);
        SetIrql(before);
    }
    if (status == STATUS_PENDING) {
        Guard g(Lock());
        IrpInfo* info = FindIrp(Irp);
        if (info && info->initialisations == initialisations &&
            static_cast<size_t>(location) < info->returnedPending.size()) {
            if (info->unwound[location])
                CheckPendingMarked(Irp, info, location, DeviceObject);
            else
                info->returnedPending[location] = 1;
        }
    }
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    RequireIrql(DISPATCH_LEVEL, "IofCompleteRequest");
    unsigned generation = 0;
    IrpInfo* info = nullptr;
    {
        Guard g(Lock());
        info = FindIrp(Irp);
        if (info && info->freed) {
            Stop(KSIM_STOP_MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                 "IofCompleteRequest of an IRP that was already completed and freed");
            return;
        }
        // Past the last location the request is back with whoever allocated it: nothing is left
        // to complete (the kernel itself only catches CurrentLocation > StackCount + 1).
        if ((info && info->state == IrpState::Completed) || Irp->CurrentLocation > Irp->StackCount) {
            Stop(KSIM_STOP_MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                 "IofCompleteRequest of an IRP that was already completed");
            return;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING)
            Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x208, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                 "IofCompleteRequest with IoStatus.Status STATUS_PENDING");
        if (info) CheckWdmCompletionRules(Irp, info);
        if (info) {
            info->state = IrpState::Completing;
            generation = ++info->generation;
        }
    }
    // Walk up: each location's completion routine belongs to the driver of the location above it.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        if (info) {
            Guard g(Lock());
            size_t at = static_cast<size_t>(Irp->CurrentLocation);
            if (at < info->unwound.size()) {
                info->unwound[at] = 1;
                info->markedPending[at] = Irp->PendingReturned;
                if (info->returnedPending[at]) CheckPendingMarked(Irp, info, Irp->CurrentLocation, stack->DeviceObject);
            }
        }
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        // The finished location is cleared, as the kernel does.
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->FileObject = nullptr;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        PDEVICE_OBJECT upper = (Irp->CurrentLocation <= Irp->StackCount)
                                   ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                   : nullptr;
        if (invoke) {
            {
                Guard g(Lock());
                DeviceInfo* owner = upper ? FindDevice(upper) : nullptr;
                if (owner && owner->kind == DeviceKind::Driver && owner->deleted)
                    Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x226, reinterpret_cast<ULONG_PTR>(Irp),
                         reinterpret_cast<ULONG_PTR>(upper), reinterpret_cast<ULONG_PTR>(routine),
                         "completion routine of %s run after the device was deleted", DeviceLabel(upper).c_str());
            }
            KIRQL before = Irql();
            NTSTATUS result = routine(upper, Irp, context);
            if (Irql() != before) {
                Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x217, before, Irql(), reinterpret_cast<ULONG_PTR>(Irp),
                     "completion routine of %s returned at IRQL %u, called at %u",
                     upper ? DeviceLabel(upper).c_str() : "the request's originator", Irql(), before);
                SetIrql(before);
            }
            Guard g(Lock());
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                if (info && !info->freed && info->generation == generation && info->state == IrpState::Completing)
                    info->state = IrpState::Active;
                return;
            }
            if (info && (info->freed || info->generation != generation)) {
                Stop(KSIM_STOP_MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                     "IRP completed again inside its completion routine, which then let completion continue");
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    std::function<void(PIRP)> final;
    IrpKind kind = IrpKind::External;
    {
        Guard g(Lock());
        if (info) {
            info->state = IrpState::Completed;
            kind = info->kind;
            final = info->final;
        }
    }
    switch (kind) {
    case IrpKind::Built: FinishBuilt(Irp, info); break;
    case IrpKind::Sim:
        if (final) final(Irp);
        break;
    case IrpKind::Driver:
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x209, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
             "an IRP allocated with IoAllocateIrp completed past its last stack location (its completion routine "
             "must return STATUS_MORE_PROCESSING_REQUIRED)");
        break;
    case IrpKind::External: break;
    }
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    RequireIrql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if (TakeFault(KsimFault::IoBuildDeviceIoControlRequest)) return nullptr;
    PIRP irp = NewIrp(DeviceObject->StackSize, IrpKind::Built);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(static_cast<ULONG_PTR>(1));
    bool copyOut = false;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG bytes = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (bytes) {
            void* system = PoolAllocate(NonPagedPool, bytes, kSimPoolTag, false);
            if (InputBuffer && InputBufferLength) std::memcpy(system, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer && OutputBufferLength) {
                irp->Flags |= IRP_INPUT_OPERATION;
                copyOut = true;
            }
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer && InputBufferLength) {
            void* system = PoolAllocate(NonPagedPool, InputBufferLength, kSimPoolTag, false);
            std::memcpy(system, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBuffer && OutputBufferLength) irp->MdlAddress = AllocateSimMdl(OutputBuffer, OutputBufferLength);
        irp->UserBuffer = OutputBuffer;
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    Guard g(Lock());
    IrpInfo* info = FindIrp(irp);
    info->userOutput = OutputBuffer;
    info->outputLength = OutputBufferLength;
    info->copyOut = copyOut;
    return irp;
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
    (void)ChargeQuota;
    PMDL mdl = AllocateSimMdl(VirtualAddress, Length);
    if (Irp) {
        if (SecondaryBuffer && Irp->MdlAddress) {
            PMDL last = Irp->MdlAddress;
            while (last->Next) last = last->Next;
            last->Next = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) { FreeSimMdl(Mdl); }

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    RequireIrql(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (TakeFault(KsimFault::IoAllocateWorkItem)) return nullptr;
    auto* item = new WorkItem;
    item->device = DeviceObject;
    Guard g(Lock());
    IO().workItems.insert(item);
    return reinterpret_cast<PIO_WORKITEM>(item);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    (void)QueueType;
    RequireIrql(DISPATCH_LEVEL, "IoQueueWorkItem");
    auto* item = reinterpret_cast<WorkItem*>(IoWorkItem);
    {
        Guard g(Lock());
        if (!IO().workItems.count(item) || item->freed) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x213, reinterpret_cast<ULONG_PTR>(IoWorkItem), 0, 0,
                 "IoQueueWorkItem of a work item that is unknown or freed");
            return;
        }
        if (item->queued) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x214, reinterpret_cast<ULONG_PTR>(IoWorkItem), 0, 0,
                 "IoQueueWorkItem of a work item that is already queued");
            return;
        }
        item->queued = true;
        item->routine = WorkerRoutine;
        item->context = Context;
    }
    ReferenceDevice(item->device);
    WorkQueue& q = WQ();
    {
        std::lock_guard<std::mutex> g(q.m);
        q.queue.push_back(item);
        if (!q.threadStarted) {
            q.threadStarted = true;
            std::thread(WorkerLoop).detach();
        }
    }
    q.cv.notify_all();
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    auto* item = reinterpret_cast<WorkItem*>(IoWorkItem);
    Guard g(Lock());
    if (!IO().workItems.count(item) || item->freed) {
        Stop(KSIM_STOP_BAD_POOL_CALLER, 0x07, 0, 0, reinterpret_cast<ULONG_PTR>(IoWorkItem),
             "IoFreeWorkItem of a work item that is unknown or already freed");
        return;
    }
    if (item->queued)
        Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x215, reinterpret_cast<ULONG_PTR>(IoWorkItem), 0, 0,
             "IoFreeWorkItem of a work item still queued");
    item->freed = true;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&CancelLockWord()); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&CancelLockWord(), Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine =
        reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr));
    if (!routine) return FALSE;
    IoAcquireCancelSpinLock(&Irp->CancelIrql);
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    (void)DeviceObject;
    (void)Type;
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    return MajorVersion < 6 || (MajorVersion == 6 && MinorVersion <= 0x30);
}

PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) { return TopOf(FileObject->DeviceObject); }

}  // extern "C"

KSIM_IMPORT_POINTER(IoCreateDevice)
KSIM_IMPORT_POINTER(IoDeleteDevice)
KSIM_IMPORT_POINTER(IoGetAttachedDevice)
KSIM_IMPORT_POINTER(IoGetAttachedDeviceReference)
KSIM_IMPORT_POINTER(IoAttachDeviceToDeviceStack)
KSIM_IMPORT_POINTER(IoAttachDeviceToDeviceStackSafe)
KSIM_IMPORT_POINTER(IoDetachDevice)
KSIM_IMPORT_POINTER(IoCreateSymbolicLink)
KSIM_IMPORT_POINTER(IoDeleteSymbolicLink)
KSIM_IMPORT_POINTER(IoGetDeviceProperty)
KSIM_IMPORT_POINTER(IoInitializeIrp)
KSIM_IMPORT_POINTER(IoAllocateIrp)
KSIM_IMPORT_POINTER(IoReuseIrp)
KSIM_IMPORT_POINTER(IoFreeIrp)
KSIM_IMPORT_POINTER(IofCallDriver)
KSIM_IMPORT_POINTER(IofCompleteRequest)
KSIM_IMPORT_POINTER(IoBuildDeviceIoControlRequest)
KSIM_IMPORT_POINTER(IoAllocateMdl)
KSIM_IMPORT_POINTER(IoFreeMdl)
KSIM_IMPORT_POINTER(IoAllocateWorkItem)
KSIM_IMPORT_POINTER(IoQueueWorkItem)
KSIM_IMPORT_POINTER(IoFreeWorkItem)
KSIM_IMPORT_POINTER(IoAcquireCancelSpinLock)
KSIM_IMPORT_POINTER(IoReleaseCancelSpinLock)
KSIM_IMPORT_POINTER(IoCancelIrp)
KSIM_IMPORT_POINTER(IoInvalidateDeviceRelations)
KSIM_IMPORT_POINTER(IoIsWdmVersionAvailable)
KSIM_IMPORT_POINTER(IoGetRelatedDeviceObject)


PDRIVER_OBJECT KsimLoadDriver(PDRIVER_INITIALIZE entry, const wchar_t* name, NTSTATUS* status) {
    EnsureCr8Emulation();
    DriverInfo* info;
    {
        Guard g(Lock());
        info = MakeDriver(name, false);
        for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) info->object.MajorFunction[i] = InvalidDeviceRequest;
    }
    KIRQL old = Irql();
    SetIrql(PASSIVE_LEVEL);
    NTSTATUS result = entry(&info->object, &info->registryPathString);
    SetIrql(old);
    // As the I/O manager does for the devices a driver creates in its entry routine.
    for (PDEVICE_OBJECT device = info->object.DeviceObject; device; device = device->NextDevice)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (status) *status = result;
    return NT_SUCCESS(result) ? &info->object : nullptr;
}

void KsimUnloadDriver(PDRIVER_OBJECT driver) {
    if (driver && driver->DriverUnload) {
        KIRQL old = Irql();
        SetIrql(PASSIVE_LEVEL);
        driver->DriverUnload(driver);
        SetIrql(old);
    }
}

PDRIVER_OBJECT KsimDriverObject(const wchar_t* name) {
    Guard g(Lock());
    return &MakeDriver(name, true)->object;
}

std::vector<PDEVICE_OBJECT> KsimDevicesOf(PDRIVER_OBJECT driver) {
    Guard g(Lock());
    std::vector<DeviceInfo*> found;
    for (auto& entry : IO().devices)
        if (!entry.second->deleted && entry.first->DriverObject == driver) found.push_back(entry.second.get());
    std::sort(found.begin(), found.end(), [](DeviceInfo* a, DeviceInfo* b) { return a->index < b->index; });
    std::vector<PDEVICE_OBJECT> out;
    for (DeviceInfo* info : found) out.push_back(info->device);
    return out;
}

std::vector<PDEVICE_OBJECT> KsimStackOf(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) stack.push_back(d);
    return stack;
}

PDEVICE_OBJECT KsimTopOfStack(PDEVICE_OBJECT pdo) { return TopOf(pdo); }

PDEVICE_OBJECT KsimNamedDevice(const wchar_t* name) {
    Guard g(Lock());
    auto it = IO().names.find(Upper(name));
    return it == IO().names.end() ? nullptr : it->second;
}

std::wstring KsimDeviceName(PDEVICE_OBJECT device) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(device);
    return info ? info->name : std::wstring();
}

std::wstring KsimDriverName(PDEVICE_OBJECT device) {
    Guard g(Lock());
    if (!device || !device->DriverObject) return std::wstring();
    return FromUnicodeString(&device->DriverObject->DriverName);
}

std::wstring KsimLinkTarget(const wchar_t* link) {
    Guard g(Lock());
    auto it = IO().links.find(NamespaceKey(link));
    return it == IO().links.end() ? std::wstring() : it->second.second;
}

std::vector<std::wstring> KsimLinks() {
    Guard g(Lock());
    std::vector<std::wstring> out;
    for (auto& entry : IO().links) out.push_back(entry.second.first);
    std::sort(out.begin(), out.end());
    return out;
}

bool KsimIsDeleted(PDEVICE_OBJECT device) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(device);
    return !info || info->deleted;
}

void KsimDrainWorkItems() { DrainWorkItems(); }

void KsimHoldWorkItems(bool hold) {
    WorkQueue& q = WQ();
    {
        std::lock_guard<std::mutex> g(q.m);
        q.held = hold;
    }
    q.cv.notify_all();
}

namespace ksim {

// Resolves a user-mode or kernel path to the named device it opens: "\\.\X" and "\??\X" and
// "\DosDevices\X" go through the symbolic link X; a device name is taken as is.
PDEVICE_OBJECT ResolvePath(const std::wstring& path) {
    std::wstring kernel = path;
    if (kernel.compare(0, 4, L"\\\\.\\") == 0) kernel = L"\\??\\" + kernel.substr(4);
    Guard g(Lock());
    for (int depth = 0; depth < 8; ++depth) {
        auto link = IO().links.find(NamespaceKey(kernel));
        if (link == IO().links.end()) break;
        kernel = link->second.second;
    }
    auto it = IO().names.find(Upper(kernel));
    return it == IO().names.end() ? nullptr : it->second;
}

NTSTATUS NTAPI SimDispatch(PDEVICE_OBJECT device, PIRP irp) {
    DeviceInfo* info = DeviceOrNull(device);
    KsimIrpHook hook;
    {
        Guard g(Lock());
        if (info) hook = info->hook;
    }
    if (hook) {
        NTSTATUS result = STATUS_SUCCESS;
        if (hook(device, irp, &result)) return result;
    }
    if (!info) return InvalidDeviceRequest(device, irp);
    switch (info->kind) {
    case DeviceKind::BusPdo: return PdoDispatch(info, device, irp);
    case DeviceKind::Function: return FunctionDispatch(info, device, irp);
    case DeviceKind::PassThrough: return PassThroughDispatch(info, device, irp);
    default: return InvalidDeviceRequest(device, irp);
    }
}

}  // namespace ksim

void KsimSetAttachHook(std::function<void(PDEVICE_OBJECT attached, PDEVICE_OBJECT below)> hook) {
    Guard g(Lock());
    IO().attachHook = std::move(hook);
}

void KsimBeforeNextExtensionWrite(PDEVICE_OBJECT device, std::function<void()> action) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(device);
    if (!info || !info->extensionSize) return;
    VmWatchWrite(ExtensionOf(info), info->extensionSize, std::move(action));
}

void KsimSetIrpHook(PDEVICE_OBJECT device, KsimIrpHook hook) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(device)) info->hook = std::move(hook);
}
