// I/O manager: driver and device objects, stacks, the object namespace (device names and
// symbolic links), device properties. Requests are in io_irp.cpp, work items in io_workitem.cpp.
#include "ksim_io.h"
#include "ksim_vm.h"

#include <cstdlib>
#include <cstring>

namespace ksim {
namespace {

constexpr size_t kDeviceGuard = 32;
constexpr unsigned char kDeviceGuardFill = 0xEB;
constexpr unsigned char kReleasedFill = 0xDD;

size_t Align16(size_t n) { return (n + 15) & ~static_cast<size_t>(15); }

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

// Whether a remove request is passing through the stack the device belongs to (under Lock()):
// only then may a device be deleted under one still attached to it, or detached from a deleted one.
bool StackBeingRemoved(PDEVICE_OBJECT device) {
    DeviceInfo* info = FindDevice(device);
    if (info && info->stackBottom) info = FindDevice(info->stackBottom);
    return info && info->removing;
}

}  // namespace

Io& IO() {
    static Io* io = new Io;
    return *io;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

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

PDEVICE_OBJECT CreateSimDevice(PDRIVER_OBJECT driver, ULONG extensionSize, const std::wstring& name, DEVICE_TYPE type,
                               ULONG characteristics, DeviceKind kind) {
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
                            : info->dispatched                 ? "never completed"
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
    PDEVICE_OBJECT device =
        CreateSimDevice(DriverObject, DeviceExtensionSize, name, DeviceType, DeviceCharacteristics, DeviceKind::Driver);
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
    return AttachForDriver(SourceDevice, TargetDevice, AttachedToDeviceObject) ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
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
