// The Plug and Play manager: builds stacks (function driver, then the registered upper filters'
// AddDevice), sends the PnP requests of a device's life to the top of its stack at
// PASSIVE_LEVEL and waits for each, enumerates children through bus relations, and takes a
// device away (surprise removal, then removal, children first).
#include "ksim_internal.h"

namespace ksim {
namespace {

struct UpperFilter {
    PDRIVER_OBJECT driver;
    std::wstring classGuid;  // upper case; empty: every stack
};

std::vector<UpperFilter>& Filters() {
    static auto* filters = new std::vector<UpperFilter>;
    return *filters;
}

// The PDO's setup class as its DevicePropertyClassGuid text, upper case; empty when it has none.
std::wstring ClassOf(DeviceInfo* info) {
    auto it = info->properties.find(static_cast<int>(DevicePropertyClassGuid));
    if (it == info->properties.end() || !NT_SUCCESS(it->second.failure)) return std::wstring();
    const std::vector<UCHAR>& bytes = it->second.bytes;
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    text.resize(wcsnlen(text.c_str(), text.size()));
    return Upper(text);
}

SimIrpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill) {
    PDEVICE_OBJECT top = TopOf(pdo);
    PIRP irp = AllocateSimIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (fill) fill(next);
    if (minor != IRP_MN_REMOVE_DEVICE) {
        SimIrpResult result = SendAndWait(top, irp, PASSIVE_LEVEL);
        CheckPowerPagable(pdo);
        return result;
    }
    {
        Guard g(Lock());
        if (DeviceInfo* info = FindDevice(pdo)) info->removing = true;
    }
    SimIrpResult result = SendAndWait(top, irp, PASSIVE_LEVEL);
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo)) info->removing = false;
    return result;
}

std::vector<PDEVICE_OBJECT> BuiltChildren(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    std::vector<PDEVICE_OBJECT> out;
    DeviceInfo* info = FindDevice(pdo);
    if (!info) return out;
    for (PDEVICE_OBJECT child : info->children) {
        DeviceInfo* c = FindDevice(child);
        if (c && c->built && !c->removed && !c->deleted) out.push_back(child);
    }
    return out;
}

bool Alive(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(pdo);
    return info && !info->deleted;
}

}  // namespace

// The power manager calls a non-pageable device at DISPATCH_LEVEL, and it passes power requests
// down at that level: a driver's device below it must not be power-pageable.
void CheckPowerPagable(PDEVICE_OBJECT pdo) {
    std::vector<std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT>> wrong;
    {
        Guard g(Lock());
        DeviceInfo* info = FindDevice(pdo);
        if (!info || info->deleted) return;
        for (PDEVICE_OBJECT d = pdo; d && d->AttachedDevice; d = d->AttachedDevice) {
            DeviceInfo* below = FindDevice(d);
            if (below && below->kind == DeviceKind::Driver && (d->Flags & DO_POWER_PAGABLE) &&
                !(d->AttachedDevice->Flags & DO_POWER_PAGABLE))
                wrong.emplace_back(d, d->AttachedDevice);
        }
    }
    for (const auto& pair : wrong)
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x227, reinterpret_cast<ULONG_PTR>(pair.first),
             reinterpret_cast<ULONG_PTR>(pair.second), 0,
             "%s has DO_POWER_PAGABLE under %s, which has not: power requests reach it at DISPATCH_LEVEL",
             DeviceLabel(pair.first).c_str(), DeviceLabel(pair.second).c_str());
}

void PnpReset() {
    Guard g(Lock());
    Filters().clear();
}

}  // namespace ksim

using namespace ksim;

void KsimPnpRegisterUpperFilter(PDRIVER_OBJECT driver, const wchar_t* classGuid) {
    Guard g(Lock());
    Filters().push_back(UpperFilter{driver, classGuid ? Upper(classGuid) : std::wstring()});
}

NTSTATUS KsimPnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (!driver->DriverExtension || !driver->DriverExtension->AddDevice) return STATUS_SUCCESS;
    KIRQL old = Irql();
    SetIrql(PASSIVE_LEVEL);
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
    SetIrql(old);
    return status;
}

NTSTATUS KsimPnpBuildStack(PDEVICE_OBJECT pdo) {
    std::wstring function;
    std::vector<PDRIVER_OBJECT> filters;
    {
        Guard g(Lock());
        DeviceInfo* info = FindDevice(pdo);
        if (!info) return STATUS_NO_SUCH_DEVICE;
        function = info->usb.functionDriver;
        info->built = true;
        info->removed = false;
        info->surpriseRemoved = false;
        info->removeHandled = false;
        std::wstring deviceClass = ClassOf(info);
        for (const UpperFilter& filter : Filters())
            if (filter.classGuid.empty() || filter.classGuid == deviceClass) filters.push_back(filter.driver);
    }
    if (!function.empty()) KsimAttachFunctionDriver(pdo, function.c_str());
    NTSTATUS result = STATUS_SUCCESS;
    for (PDRIVER_OBJECT filter : filters) {
        NTSTATUS status = KsimPnpAddDevice(filter, pdo);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    }
    return result;
}

NTSTATUS KsimPnpSend(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                     ULONG_PTR* information) {
    SimIrpResult r = SendPnp(pdo, minor, fill);
    if (information) *information = r.information;
    return r.status;
}

NTSTATUS KsimPnpStart(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_START_DEVICE, {}).status; }

NTSTATUS KsimPnpQueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION s) {
                          s->Parameters.DeviceCapabilities.Capabilities = &caps;
                      }).status;
    if (capabilities) *capabilities = caps;
    return status;
}

NTSTATUS KsimPnpQueryBusRelations(PDEVICE_OBJECT pdo, std::vector<PDEVICE_OBJECT>* reported) {
    SimIrpResult r = SendPnp(pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                             [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
    if (reported) reported->clear();
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
    if (NT_SUCCESS(r.status) && relations) {
        for (ULONG i = 0; i < relations->Count; ++i) {
            if (reported) reported->push_back(relations->Objects[i]);
            DereferenceDevice(relations->Objects[i]);
        }
        PoolFree(relations, 0, false, false);
    }
    return r.status;
}

NTSTATUS KsimPnpQueryStop(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE, {}).status; }
NTSTATUS KsimPnpCancelStop(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE, {}).status; }
NTSTATUS KsimPnpStop(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_STOP_DEVICE, {}).status; }
NTSTATUS KsimPnpQueryRemove(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE, {}).status; }
NTSTATUS KsimPnpCancelRemove(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE, {}).status; }

NTSTATUS KsimPnpSurpriseRemove(PDEVICE_OBJECT pdo) {
    for (PDEVICE_OBJECT child : BuiltChildren(pdo)) KsimPnpSurpriseRemove(child);
    return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL, {}).status;
}

NTSTATUS KsimPnpRemove(PDEVICE_OBJECT pdo) {
    // A removed bus device takes its children with it.
    for (PDEVICE_OBJECT child : BuiltChildren(pdo)) {
        {
            Guard g(Lock());
            if (DeviceInfo* c = FindDevice(child)) c->missing = true;
        }
        KsimPnpRemove(child);
    }
    NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE, {}).status;
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo)) {
        info->removed = true;
        info->built = false;
    }
    return status;
}

NTSTATUS KsimPnpDeviceUsage(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath) {
    return SendPnp(pdo, IRP_MN_DEVICE_USAGE_NOTIFICATION,
                   [type, inPath](PIO_STACK_LOCATION s) {
                       s->Parameters.UsageNotification.InPath = inPath ? TRUE : FALSE;
                       s->Parameters.UsageNotification.Type = type;
                   })
        .status;
}

void KsimPnpSetPdoAnswer(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status, unsigned times) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo)) info->pnpAnswers[minor].push_back(Answer{status, times});
}

PDEVICE_OBJECT KsimPnpPlugRoot(const KsimUsbDevice& device, NTSTATUS* status) {
    PDEVICE_OBJECT pdo = KsimCreateUsbPdo(device, nullptr);
    NTSTATUS result = KsimPnpBuildStack(pdo);
    if (NT_SUCCESS(result)) result = KsimPnpStart(pdo);
    if (status) *status = result;
    return pdo;
}

PDEVICE_OBJECT KsimPnpPlug(PDEVICE_OBJECT parentPdo, const KsimUsbDevice& device, NTSTATUS* status) {
    PDEVICE_OBJECT child = KsimCreateUsbPdo(device, parentPdo);
    std::vector<PDEVICE_OBJECT> reported;
    NTSTATUS result = KsimPnpQueryBusRelations(parentPdo, &reported);
    NTSTATUS childStatus = STATUS_NO_SUCH_DEVICE;
    for (PDEVICE_OBJECT pdo : reported) {
        bool built;
        {
            Guard g(Lock());
            DeviceInfo* info = FindDevice(pdo);
            built = !info || info->built;
        }
        if (built) continue;
        NTSTATUS s = KsimPnpBuildStack(pdo);
        if (NT_SUCCESS(s)) s = KsimPnpStart(pdo);
        if (pdo == child) childStatus = s;
    }
    if (status) *status = NT_SUCCESS(result) ? childStatus : result;
    return child;
}

void KsimPnpUnplug(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT parent = nullptr;
    {
        Guard g(Lock());
        if (DeviceInfo* info = FindDevice(pdo)) parent = info->parent;
    }
    if (parent) {
        KsimRemoveChild(parent, pdo);
        if (Alive(parent)) KsimPnpQueryBusRelations(parent, nullptr);
    } else {
        Guard g(Lock());
        if (DeviceInfo* info = FindDevice(pdo)) info->missing = true;
    }
    if (!Alive(pdo)) return;
    KsimPnpSurpriseRemove(pdo);
    // As Plug and Play does: the remove waits for the last handle on the stack to close.
    if (HandlesOpenOnStack(pdo)) {
        Guard g(Lock());
        if (DeviceInfo* info = FindDevice(pdo)) info->removeDeferred = true;
        return;
    }
    KsimPnpRemove(pdo);
}

NTSTATUS KsimPnpRebuild(PDEVICE_OBJECT pdo, bool reenumerateParent) {
    PDEVICE_OBJECT parent = nullptr;
    {
        Guard g(Lock());
        if (DeviceInfo* info = FindDevice(pdo)) parent = info->parent;
    }
    KsimPnpRemove(pdo);
    if (!Alive(pdo)) return STATUS_NO_SUCH_DEVICE;
    if (reenumerateParent && parent && Alive(parent)) KsimPnpQueryBusRelations(parent, nullptr);
    NTSTATUS status = KsimPnpBuildStack(pdo);
    if (NT_SUCCESS(status)) status = KsimPnpStart(pdo);
    return status;
}
