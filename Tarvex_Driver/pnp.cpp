// Plug and Play requests of a filter: start and recognition, control devices, child filters on
// bus relations, the paging-path flag and removal. Plug and Play sends these at PASSIVE_LEVEL,
// one at a time per stack.
#include "devext.h"

namespace {

constexpr PCSTR MODULE = "pnp";

constexpr ULONG CLASS_GUID_QUERY_BYTES = 128;
constexpr ULONG CLASS_GUID_UNITS = CLASS_GUID_QUERY_BYTES / sizeof(WCHAR);

constexpr PCWSTR CLASS_WPD = L"{eec5ad98-8080-425f-922a-dabf3de3f69a}";
constexpr PCWSTR CLASS_USB = L"{36fc9e60-c465-11cf-8056-444553540000}";
constexpr PCWSTR CLASS_USBDEVICE = L"{88bae032-5a81-49f0-bc3d-a4ff138216d6}";

// Drivers whose child PDOs get child filters: the hubs and the composite-device driver.
constexpr PCWSTR CHILD_DRIVERS[] = {
    L"\\Driver\\USBHUB",
    L"\\Driver\\USBHUB3",
    L"\\Driver\\iusb3hub",
    L"\\Driver\\usbccgp",
};

// Room for "\DosDevices\TVXIPC" and three digits.
constexpr size_t NAME_UNITS = 32;

// A control device refuses requests once its filter is going away, so it follows the
// filter's Plug and Play state (power states are not mirrored).
VA_PAGED VOID SetState(DEVICE_EXTENSION* devExt, LONG state) {
    devExt->state = state;
    if (devExt->controlDevObj) {
        ExtensionOf(devExt->controlDevObj)->state = state;
    }
}

// Passes the request on with a copy of this driver's stack location, as the Plug and Play
// handlers do with what they do not complete themselves.
VA_PAGED NTSTATUS CopyLocationAndPassDown(DEVICE_EXTENSION* devExt, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IofCallDriver(devExt->topDevObj, irp);
}

// Writes base followed by n in decimal, as "%s%d" would.
VA_PAGED VOID FormatNumberedName(PWCHAR out, PCWSTR base, LONG n) {
    size_t i = 0;
    for (; base[i]; ++i) {
        out[i] = base[i];
    }
    WCHAR digits[4];
    size_t count = 0;
    do {
        digits[count++] = static_cast<WCHAR>(L'0' + n % 10);
        n /= 10;
    } while (n > 0 && count < sizeof(digits) / sizeof(digits[0]));
    while (count > 0) {
        out[i++] = digits[--count];
    }
    out[i] = L'\0';
}

// Takes the lowest free number, or -1 when all are in use. The compare-exchange makes two
// stacks starting at once take different numbers.
VA_PAGED LONG TakeIpcSlot() {
    for (LONG n = 0; n < TVXIPC_MAX_DEVICES; ++n) {
        if (InterlockedCompareExchange(&ipcSlotTable[n], 1, 0) == 0) {
            return n;
        }
    }
    return -1;
}

VA_PAGED VOID ReturnIpcSlot(LONG n) { InterlockedExchange(&ipcSlotTable[n], 0); }

// Creates \Device\TVXIPC<n> and its link for a recognised device. Without a free number, or
// when creation fails, the filter simply works without one.
VA_PAGED VOID CreateControlDevice(DEVICE_EXTENSION* devExt) {
    LONG n = TakeIpcSlot();
    if (n < 0) {
        return;
    }
    WCHAR deviceNameText[NAME_UNITS];
    WCHAR linkNameText[NAME_UNITS];
    FormatNumberedName(deviceNameText, TVXIPC_DEVICE_NAME_BASE, n);
    FormatNumberedName(linkNameText, TVXIPC_LINK_NAME_BASE, n);
    DbgPrint("OrvantaDriver> Trying to create device %S\n", deviceNameText);

    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, deviceNameText);
    RtlInitUnicodeString(&linkName, linkNameText);

    PDEVICE_OBJECT controlDevObj = nullptr;
    NTSTATUS status = IoCreateDevice(devExt->filterDevObj->DriverObject, sizeof(DEVICE_EXTENSION), &deviceName,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &controlDevObj);
    if (!NT_SUCCESS(status)) {
        ReturnIpcSlot(n);
        return;
    }
    // A control device whose security could not be set is not offered at all: any local
    // process could order charging through it.
    if (!NT_SUCCESS(ProtectControlDevice(controlDevObj))) {
        IoDeleteDevice(controlDevObj);
        ReturnIpcSlot(n);
        return;
    }
    // Without its link no client can reach it: it would only hold the number.
    if (!NT_SUCCESS(IoCreateSymbolicLink(&linkName, &deviceName))) {
        DbgPrint("OrvantaDriver> No link for %S\n", deviceNameText);
        IoDeleteDevice(controlDevObj);
        ReturnIpcSlot(n);
        return;
    }

    DEVICE_EXTENSION* controlExt = ExtensionOf(controlDevObj);
    RtlZeroMemory(controlExt, sizeof(*controlExt));
    controlExt->signature = DEVICE_EXTENSION_SIGNATURE;
    controlExt->pendingActionCount = 0;
    KeInitializeEvent(&controlExt->removalEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&controlExt->ownRequestsDone, NotificationEvent, FALSE);
    KeInitializeEvent(&controlExt->dispatchDone, NotificationEvent, FALSE);
    controlExt->physicalDevObj = devExt->physicalDevObj;
    controlExt->controlDevObj = controlDevObj;
    controlExt->filterDevObj = devExt->filterDevObj;
    controlExt->ipcSlot = n;
    controlExt->bIsAppleDevice = devExt->bIsAppleDevice;
    controlExt->bIsUrbWatchOn = FALSE;
    controlExt->bIsDataUrbSeen = FALSE;
    controlExt->state = devExt->state;
    RtlCopyMemory(controlExt->location, devExt->location, sizeof(controlExt->location));

    devExt->controlDevObj = controlDevObj;

    controlDevObj->Flags &= ~DO_DEVICE_INITIALIZING;
    controlDevObj->Flags |= DO_BUFFERED_IO;
}

// Returns the control device's number only once its name is gone, so a device starting on
// another stack meanwhile cannot collide with it.
VA_PAGED VOID DeleteControlDevice(DEVICE_EXTENSION* devExt) {
    PDEVICE_OBJECT controlDevObj = devExt->controlDevObj;
    LONG n = ExtensionOf(controlDevObj)->ipcSlot;
    WCHAR linkNameText[NAME_UNITS];
    FormatNumberedName(linkNameText, TVXIPC_LINK_NAME_BASE, n);
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, linkNameText);

    IoDeleteSymbolicLink(&linkName);
    devExt->controlDevObj = nullptr;
    IoDeleteDevice(controlDevObj);
    ReturnIpcSlot(n);
}

// PASSIVE_LEVEL, with the state already REMOVING or REMOVED. The control device's requests in
// progress end first, as they may reach into the filter; later ones are refused. Then its name
// and number go, so the device plugged in again gets them back while handles on the old one
// still close normally.
VA_PAGED VOID RemoveControlDevice(DEVICE_EXTENSION* devExt) {
    if (!devExt->controlDevObj) {
        return;
    }
    DEVICE_EXTENSION* controlExt = ExtensionOf(devExt->controlDevObj);
    ReleasePendingAction(controlExt);
    KeWaitForSingleObject(&controlExt->removalEvent, Executive, KernelMode, FALSE, nullptr);
    DeleteControlDevice(devExt);
}

// Marks the filter removing before the request goes down, so that its orders and re-sends stop;
// the control device goes once the drivers below have been told, not at the remove, which waits
// for every handle on the stack.
VA_PAGED NTSTATUS HandleSurpriseRemoval(DEVICE_EXTENSION* devExt, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    SetState(devExt, STATE_REMOVING);
    NTSTATUS status = CopyLocationAndPassDown(devExt, irp);
    RemoveControlDevice(devExt);
    return status;
}

enum class DeviceClass { Portable, Usb, Other };

VA_PAGED DeviceClass Classify(PCWSTR classGuid) {
    if (wcsstr(classGuid, CLASS_WPD)) {
        return DeviceClass::Portable;
    }
    if (wcsstr(classGuid, CLASS_USB) || wcsstr(classGuid, CLASS_USBDEVICE)) {
        return DeviceClass::Usb;
    }
    return DeviceClass::Other;
}

// Decides after a successful start whether the device gets a control device and whether its
// children get filters. Every failure leaves the device unrecognised.
VA_PAGED VOID RecogniseDevice(DEVICE_EXTENSION* devExt) {
    // A filter from AddDevice whose hardware ID is not Apple's is a hub or a device the
    // class filter sees for its own sake: no descriptor fetch, only child filters.
    if (devExt->ipcSlot == IPC_SLOT_ADDDEVICE_FILTER && !devExt->bIsAppleHardwareId) {
        return;
    }
    if (GetDeviceDescriptor(devExt) != STATUS_SUCCESS) {
        return;
    }

    if (devExt->location[0] == L'\0') {
        (void)QueryDeviceText(devExt->physicalDevObj, DevicePropertyLocationInformation, devExt->location,
                              LOCATION_UNITS, sizeof(devExt->location));
    }
    if (devExt->hardwareId[0] == L'\0') {
        (void)QueryDeviceText(devExt->physicalDevObj, DevicePropertyHardwareID, devExt->hardwareId, HARDWARE_ID_UNITS,
                              sizeof(devExt->hardwareId));
    }
    DbgPrint("OrvantaDriver> IRP_MN_START_DEVICE: LOCATION => %S\n", devExt->location);

    WCHAR scratch[CLASS_GUID_UNITS] = {};
    if (!NT_SUCCESS(QueryDeviceText(devExt->physicalDevObj, DevicePropertyClassGuid, scratch, CLASS_GUID_UNITS,
                                    CLASS_GUID_QUERY_BYTES))) {
        return;
    }

    BOOLEAN controlDeviceWanted = FALSE;
    switch (Classify(scratch)) {
    case DeviceClass::Portable:
        devExt->bAttachToChildren = FALSE;
        controlDeviceWanted = NT_SUCCESS(QueryDeviceText(devExt->physicalDevObj, DevicePropertyHardwareID, scratch,
                                                         CLASS_GUID_UNITS, CLASS_GUID_QUERY_BYTES));
        break;
    case DeviceClass::Usb:
        controlDeviceWanted = devExt->bIsAppleDevice;
        devExt->bAttachToChildren = !devExt->bIsAppleDevice;
        break;
    case DeviceClass::Other: devExt->bAttachToChildren = FALSE; break;
    }

    // A start after a stop keeps the control device it has, with its number.
    if (controlDeviceWanted && !devExt->controlDevObj) {
        CreateControlDevice(devExt);
    }
}

// Forwards the start and waits for it; the request is completed here with the status from
// below, whatever recognition finds.
VA_PAGED NTSTATUS HandleStart(DEVICE_EXTENSION* devExt, PIRP irp) {
    SetState(devExt, STATE_STARTING);
    DbgPrint("OrvantaDriver> IRP_MN_START_DEVICE\n");

    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS startStatus = CallNextDriverAndWait(devExt, irp);
    if (!NT_SUCCESS(startStatus)) {
        SetState(devExt, STATE_START_FAILED);
    } else {
        SetState(devExt, QueryLowerCapabilities(devExt) == STATUS_SUCCESS ? STATE_STARTED : STATE_START_FAILED);
        RecogniseDevice(devExt);
    }
    return CompleteRequest(irp, startStatus);
}

// The stop must not fail: the function driver above has already stopped when it comes down.
VA_PAGED NTSTATUS HandleStop(DEVICE_EXTENSION* devExt, PIRP irp) {
    if (devExt->state == STATE_STARTED || devExt->state == STATE_SUSPENDED) {
        SetState(devExt, STATE_STOPPED);
    }
    return CopyLocationAndPassDown(devExt, irp);
}

// A suspended device is refused here, where a driver may veto the stop.
VA_PAGED NTSTATUS HandleQueryStop(DEVICE_EXTENSION* devExt, PIRP irp) {
    if (devExt->state == STATE_SUSPENDED) {
        return CompleteRequest(irp, STATUS_DEVICE_POWERED_OFF);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return CopyLocationAndPassDown(devExt, irp);
}

// The dispatch routine does not count this request. The driver's own requests to the PDO end
// before the remove goes down, as the PDO must hold nothing of ours when it handles it, and so do
// the requests still inside the dispatch routine, which would reach it after the remove. Those
// pended below are waited for only after: a hub's wait-wake request holds a pending action until
// the hub driver cancels it while handling the remove itself.
VA_PAGED NTSTATUS HandleRemove(DEVICE_EXTENSION* devExt, PIRP irp) {
    DbgPrint("OrvantaDriver> IRP_MN_REMOVE_DEVICE\n");
    if (devExt->state == STATE_REMOVED) {
        return CopyLocationAndPassDown(devExt, irp);
    }
    SetState(devExt, STATE_REMOVED);

    // Requests on the control device may reach into this filter: they end first, and any that
    // arrive later see the control device removed and leave the filter alone. After a surprise
    // removal the control device is gone already.
    RemoveControlDevice(devExt);
    ReleaseOwnRequest(devExt);
    KeWaitForSingleObject(&devExt->ownRequestsDone, Executive, KernelMode, FALSE, nullptr);
    ReleaseDispatch(devExt);
    KeWaitForSingleObject(&devExt->dispatchDone, Executive, KernelMode, FALSE, nullptr);

    NTSTATUS status = CopyLocationAndPassDown(devExt, irp);

    ReleasePendingAction(devExt);
    KeWaitForSingleObject(&devExt->removalEvent, Executive, KernelMode, FALSE, nullptr);

    IoDetachDevice(devExt->topDevObj);
    IoDeleteDevice(devExt->filterDevObj);
    return status;
}

VA_PAGED BOOLEAN IsChildDriver(PDEVICE_OBJECT childPdo) {
    for (PCWSTR name : CHILD_DRIVERS) {
        if (IsDriverNamed(childPdo, name)) {
            return TRUE;
        }
    }
    return FALSE;
}

// Attaches a child filter directly above childPdo; a child whose filter cannot be made stays
// unfiltered. The record is complete before the attach, as a request may reach the filter as
// soon as it is in the stack.
VA_PAGED VOID AttachChildFilter(DEVICE_EXTENSION* devExt, PDEVICE_OBJECT childPdo) {
    DbgPrint("OrvantaDriver> IRP_MN_QUERY_DEVICE_RELATIONS: create\n");
    PDEVICE_OBJECT childDevObj = nullptr;
    NTSTATUS status = IoCreateDevice(devExt->filterDevObj->DriverObject, sizeof(DEVICE_EXTENSION), nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &childDevObj);
    if (!NT_SUCCESS(status)) {
        return;
    }

    DEVICE_EXTENSION* childExt = ExtensionOf(childDevObj);
    InitializeFilterExtension(childExt, childDevObj, childPdo, IPC_SLOT_CHILD_FILTER);
    // An interface of a composite device sits where its parent does; a device on a hub's port
    // reads its own place at start. The child's own PDO tells which, whatever kind of filter
    // the parent has (one from AddDevice never learns the parent's device class).
    if (IsDriverNamed(childPdo, L"\\Driver\\usbccgp")) {
        RtlCopyMemory(childExt->location, devExt->location, sizeof(childExt->location));
    }

    // Only a PDO with nothing on it gets a child filter, so the device below is known now.
    childExt->topDevObj = childPdo;
    childExt->topDevObj = IoAttachDeviceToDeviceStack(childDevObj, childPdo);
    if (!childExt->topDevObj) {
        IoDeleteDevice(childDevObj);
        return;
    }

    DbgPrint("OrvantaDriver> IRP_MN_QUERY_DEVICE_RELATIONS: usbDevClass => %d\n", devExt->usbDevClass);
    DbgPrint("OrvantaDriver> IRP_MN_QUERY_DEVICE_RELATIONS: LOCATION => %S\n", devExt->location);

    InheritLowerFlags(childDevObj, childExt->topDevObj);
}

VA_PAGED NTSTATUS HandleQueryRelations(DEVICE_EXTENSION* devExt, PIRP irp) {
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(irp);
    if (devExt->state == STATE_REMOVED || !devExt->bAttachToChildren ||
        irpSp->Parameters.QueryDeviceRelations.Type != BusRelations) {
        return CopyLocationAndPassDown(devExt, irp);
    }
    DbgPrint("OrvantaDriver> IRP_MN_QUERY_DEVICE_RELATIONS => devExt->filterDevObj => %X\n",
             static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(devExt->filterDevObj)));

    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = CallNextDriverAndWait(devExt, irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(irp, status);
    }
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    if (!relations || relations->Count == 0) {
        return CompleteRequest(irp, status);
    }

    // Interfaces of this one composite device must stay unfiltered.
    BOOLEAN skipComposite = wcsstr(devExt->hardwareId, L"VID_12D1") && wcsstr(devExt->hardwareId, L"PID_15BB");
    for (ULONG i = 0; i < relations->Count; ++i) {
        PDEVICE_OBJECT childPdo = relations->Objects[i];
        if (!IsChildDriver(childPdo)) {
            continue;
        }
        if (skipComposite && IsDriverNamed(childPdo, L"\\Driver\\usbccgp")) {
            continue;
        }
        // Only a PDO with nothing on it yet: bus relations are reported again and again, and a
        // stack rebuilt in place already runs its function driver, which a filter attached on
        // top would never see start nor pass a URB.
        if (childPdo->AttachedDevice) {
            continue;
        }
        AttachChildFilter(devExt, childPdo);
    }
    return CompleteRequest(irp, status);
}

// Runs at up to DISPATCH_LEVEL, so it is resident. Drops the flag again if the device below
// did not take the paging path after all.
IO_COMPLETION_ROUTINE UsageNotificationCompletion;
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS UsageNotificationCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* devExt = static_cast<DEVICE_EXTENSION*>(context);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (!(devExt->topDevObj->Flags & DO_POWER_PAGABLE)) {
        devExt->filterDevObj->Flags &= ~DO_POWER_PAGABLE;
    }
    ReleasePendingAction(devExt);
    return STATUS_SUCCESS;
}

// A filter must not be power-pageable below a device that is not, nor above one that is.
VA_PAGED NTSTATUS HandleUsageNotification(DEVICE_EXTENSION* devExt, PIRP irp) {
    AcquirePendingAction(devExt);
    PDEVICE_OBJECT above = devExt->filterDevObj->AttachedDevice;
    if (!above || (above->Flags & DO_POWER_PAGABLE)) {
        devExt->filterDevObj->Flags |= DO_POWER_PAGABLE;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UsageNotificationCompletion, devExt, TRUE, TRUE, TRUE);
    return IofCallDriver(devExt->topDevObj, irp);
}

}  // namespace

// PASSIVE_LEVEL. Each handler either completes the request or passes it down.
VA_PAGED NTSTATUS VA_HandlePnp(DEVICE_EXTENSION* devExt, PIRP irp) {
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(irp);
    switch (irpSp->MinorFunction) {
    case IRP_MN_START_DEVICE: return HandleStart(devExt, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE: irp->IoStatus.Status = STATUS_SUCCESS; return CopyLocationAndPassDown(devExt, irp);
    case IRP_MN_QUERY_STOP_DEVICE: return HandleQueryStop(devExt, irp);
    case IRP_MN_REMOVE_DEVICE: return HandleRemove(devExt, irp);
    case IRP_MN_STOP_DEVICE: return HandleStop(devExt, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS: return HandleQueryRelations(devExt, irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: return HandleUsageNotification(devExt, irp);
    case IRP_MN_SURPRISE_REMOVAL: return HandleSurpriseRemoval(devExt, irp);
    default: return CopyLocationAndPassDown(devExt, irp);
    }
}

// PASSIVE_LEVEL. Asks the drivers below for the device's capabilities with a request of our own.
VA_PAGED NTSTATUS QueryLowerCapabilities(DEVICE_EXTENSION* devExt) {
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoAllocateIrp(devExt->topDevObj->StackSize, FALSE);
    if (irp) {
        RtlZeroMemory(&devExt->capabilities, sizeof(devExt->capabilities));
        devExt->capabilities.Size = sizeof(DEVICE_CAPABILITIES);
        devExt->capabilities.Version = 1;
        devExt->capabilities.Address = 0xFFFFFFFF;
        devExt->capabilities.UINumber = 0xFFFFFFFF;

        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        next->Parameters.DeviceCapabilities.Capabilities = &devExt->capabilities;
        // Plug and Play requires this status in a request nobody has handled yet.
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

        status = CallNextDriverAndWait(devExt, irp);
        IoFreeIrp(irp);
    }
    // The drivers below may refuse, and a request may not be had when resources run low.
    if (!NT_SUCCESS(status)) {
        DbgPrint("OrvantaDriver> IRP_MN_QUERY_CAPABILITIES failed: 0x%X\n", status);
    }
    return status;
}
