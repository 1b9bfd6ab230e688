// Driver entry, AddDevice and the one dispatch routine: control-device requests, the URB watch
// and the re-send of the charging request.
#include "devext.h"

volatile LONG ipcSlotTable[TVXIPC_MAX_DEVICES];

namespace {

constexpr PCSTR MODULE = "filter";

constexpr ULONG HARDWARE_ID_QUERY_BYTES = 256;

// Resident: the dispatch routine and the re-send work item ask it.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsGoingAway(const DEVICE_EXTENSION* devExt) {
    return devExt->state == STATE_REMOVING || devExt->state == STATE_REMOVED;
}

// Resident: part of the dispatch routine, which runs at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsTvxipcCode(ULONG code) {
    return code == IOCTL_TVXIPC_CHARGING_ON || code == IOCTL_TVXIPC_CHARGING_OFF ||
           code == IOCTL_TVXIPC_URB_WATCH_START || code == IOCTL_TVXIPC_URB_WATCH_QUERY;
}

// Resident: URBs come down at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsDataTransfer(USHORT function) {
    return function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || function == URB_FUNCTION_ISOCH_TRANSFER ||
           function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER_USING_CHAINED_MDL;
}

// Completes a request that was not passed down; power requests must let the next one start.
// Resident: the dispatch routine completes power requests with it at DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CompleteHere(PIRP irp, PIO_STACK_LOCATION irpSp, NTSTATUS status, ULONG_PTR information) {
    if (irpSp->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
    }
    irp->IoStatus.Information = information;
    return CompleteRequest(irp, status);
}

// PASSIVE_LEVEL. An order given meanwhile wins: the on form goes only while charging is still
// ordered on, and only to a started device, whose power the function driver above owns.
// Resident: it is the re-send that follows URBs of a device that may be on the paging path.
_IRQL_requires_(PASSIVE_LEVEL)
VOID SendChargingOnAgain(DEVICE_EXTENSION* devExt) {
    AcquireOrderLock(devExt);
    if (devExt->state != STATE_STARTED) {
        DbgPrint("Resend skipped: device not started\n");
    } else if (devExt->bIsChargingCmdOn) {
        (void)SetVendorCommand(devExt, TRUE);
        DbgPrint("Resend Charging Cmd\n");
    }
    devExt->bIsResendChargingCmdNeeded = FALSE;
    ReleaseOrderLock(devExt);
}

// PASSIVE_LEVEL, in a system worker thread. Holds the own request taken when it was queued, so
// removal waits for it before the remove goes down; a device already going away gets nothing more.
// Resident: a work item routine runs when paging may be what it helps along.
IO_WORKITEM_ROUTINE ResendWorkItem;
_IRQL_requires_(PASSIVE_LEVEL)
VOID ResendWorkItem(PDEVICE_OBJECT deviceObject, PVOID context) {
    DEVICE_EXTENSION* devExt = ExtensionOf(deviceObject);
    if (IsGoingAway(devExt)) {
        devExt->bIsResendChargingCmdNeeded = FALSE;
    } else {
        SendChargingOnAgain(devExt);
    }
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
    ReleaseOwnRequest(devExt);
}

// The charging request waits for the device, which only PASSIVE_LEVEL allows; URBs may come
// down at DISPATCH_LEVEL, where the re-send goes to a work item instead. So does a sender in a
// guarded region, which commonly holds a lock others wait for: it is not held up by the device.
// A request that passed the state check before removal began gets no re-send once removal has
// begun: its URB would reach a PDO that has handled the remove.
// Resident: called as URBs pass down, at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ResendChargingCommand(DEVICE_EXTENSION* devExt) {
    if (!AcquireOwnRequest(devExt)) {
        devExt->bIsResendChargingCmdNeeded = FALSE;
        return;
    }
    if (KeGetCurrentIrql() == PASSIVE_LEVEL && !KeAreAllApcsDisabled()) {
        SendChargingOnAgain(devExt);
        ReleaseOwnRequest(devExt);
        return;
    }
    PIO_WORKITEM item = IoAllocateWorkItem(devExt->filterDevObj);
    if (!item) {
        devExt->bIsResendChargingCmdNeeded = FALSE;
        ReleaseOwnRequest(devExt);
        return;
    }
    IoQueueWorkItem(item, ResendWorkItem, DelayedWorkQueue, item);
}

// Passes the request to the next-lower driver; the result is the lower driver's status, also
// when the charging request follows.
// Resident: most requests leave the dispatch routine through it, at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS PassDown(DEVICE_EXTENSION* devExt, PIRP irp, BOOLEAN resendAfter) {
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(devExt->topDevObj, irp);
    if (resendAfter) {
        ResendChargingCommand(devExt);
    }
    return status;
}

// DbgPrint's Unicode conversions may run only at PASSIVE_LEVEL (their tables are pageable), and
// URBs arrive at up to DISPATCH_LEVEL: the hardware ID, plain ASCII, goes out as narrow text.
// Resident: called for URBs, at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID TraceHardwareId(const DEVICE_EXTENSION* devExt) {
    CHAR narrow[HARDWARE_ID_UNITS];
    size_t i = 0;
    for (; i + 1 < HARDWARE_ID_UNITS && devExt->hardwareId[i] != L'\0'; ++i) {
        WCHAR c = devExt->hardwareId[i];
        narrow[i] = c < 0x80 ? static_cast<CHAR>(c) : '?';
    }
    narrow[i] = '\0';
    DbgPrint("+++ Hwid %s\n", narrow);
}

// Up to DISPATCH_LEVEL, on any processor. Feeds the URB watch and tells whether this request
// is a foreign charging request that must be followed by the driver's own on form. The
// decision travels with the request: another URB passing down meanwhile on another processor
// must not take the re-send away from it or get it instead.
// Resident: URBs come down at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN InspectUrb(DEVICE_EXTENSION* devExt, PIO_STACK_LOCATION irpSp) {
    if (irpSp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return FALSE;
    }
    auto* urb = static_cast<PURB>(irpSp->Parameters.Others.Argument1);
    if (!urb) {
        return FALSE;
    }
    USHORT function = urb->UrbHeader.Function;

    if (devExt->bIsUrbWatchOn && !devExt->bIsDataUrbSeen) {
        DbgPrint("+++ URB Function: %d\n", function);
        TraceHardwareId(devExt);
        if (IsDataTransfer(function)) {
            devExt->bIsDataUrbSeen = TRUE;
        }
    }

    if (devExt->bIsAppleDevice && devExt->bIsChargingCmdOn && function == URB_FUNCTION_CONTROL_TRANSFER &&
        urb->UrbControlTransfer.SetupPacket[0] == 0x40 && urb->UrbControlTransfer.SetupPacket[1] == 0x40) {
        devExt->bIsResendChargingCmdNeeded = TRUE;
        DbgPrint("devExt->bIsResendChargingCmdNeeded = TRUE;\n");
        return TRUE;
    }
    return FALSE;
}

// Resident: the filter traces control codes that pass it at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID TraceControlCode(ULONG code) {
    DbgPrint("OrvantaDriver> IRP_MJ_DEVICE_CONTROL: %X\n", code);
    DbgPrint("OrvantaDriver> IRP_MJ_DEVICE_CONTROL Type: %X\n", code >> 16);
}

// The input must begin with the device's location text, in any letter case.
// Resident: part of the control device's dispatch, which shares the dispatch routine.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN IsAddressedHere(const DEVICE_EXTENSION* devExt, PIRP irp, PIO_STACK_LOCATION irpSp) {
    auto* input = static_cast<PCWSTR>(irp->AssociatedIrp.SystemBuffer);
    size_t units = wcslen(devExt->location);
    if (!input || units == 0) {
        return FALSE;
    }
    if (irpSp->Parameters.DeviceIoControl.InputBufferLength / sizeof(WCHAR) < units) {
        return FALSE;
    }
    return _wcsnicmp(input, devExt->location, units) == 0;
}

// PASSIVE_LEVEL. Only a started device gets an order: a stopped one has no configuration, and
// a suspended one is powered by the function driver above, past which the order would go. A
// device that refused the order leaves the flag as it was, and the client sees the refusal.
// Resident: part of the control device's dispatch, which shares the dispatch routine.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GiveChargingOrder(const DEVICE_EXTENSION* devExt, DEVICE_EXTENSION* filterExt, BOOLEAN on) {
    AcquireOrderLock(filterExt);
    NTSTATUS status = STATUS_SUCCESS;
    if (IsGoingAway(filterExt)) {
        status = STATUS_DELETE_PENDING;
    } else if (filterExt->state == STATE_SUSPENDED) {
        status = STATUS_DEVICE_POWERED_OFF;
    } else if (filterExt->state != STATE_STARTED) {
        status = STATUS_DEVICE_NOT_READY;
    } else if (devExt->bIsAppleDevice) {
        status = SetVendorCommand(filterExt, on);
        if (NT_SUCCESS(status)) {
            filterExt->bIsChargingCmdOn = on;
        }
    }
    ReleaseOrderLock(filterExt);
    return status;
}

// PASSIVE_LEVEL, in the caller's thread. One of the four control codes on a control device.
// The own request on the filter is taken before the state check, so removal passes the remove
// down only after a request that passed the check has ended.
// Resident: part of the control device's dispatch, which shares the dispatch routine.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS HandleControlCode(DEVICE_EXTENSION* devExt, PIRP irp, PIO_STACK_LOCATION irpSp, ULONG code) {
    DEVICE_EXTENSION* filterExt = ExtensionOf(devExt->filterDevObj);
    BOOLEAN counted = AcquireOwnRequest(filterExt);

    NTSTATUS status = STATUS_SUCCESS;
    ULONG outputLength = irpSp->Parameters.DeviceIoControl.OutputBufferLength;
    if (!counted || IsGoingAway(devExt)) {
        status = STATUS_DELETE_PENDING;
    } else {
        DbgPrint("OrvantaDriver> IRP_MJ_DEVICE_CONTROL: LOCATION => %S\n", devExt->location);
        if (!IsAddressedHere(devExt, irp, irpSp)) {
            status = STATUS_INVALID_ADDRESS;
        }
    }

    // What changes the device or the watch needs a handle opened for writing: the interactive
    // user's read access (and a Low-integrity process's) only lets a client ask.
    if (status == STATUS_SUCCESS && code != IOCTL_TVXIPC_URB_WATCH_QUERY) {
        status = IoValidateDeviceIoControlAccess(irp, FILE_WRITE_ACCESS);
    }
    if (status == STATUS_SUCCESS) {
        switch (code) {
        case IOCTL_TVXIPC_CHARGING_ON:
        case IOCTL_TVXIPC_CHARGING_OFF:
            status = GiveChargingOrder(devExt, filterExt, code == IOCTL_TVXIPC_CHARGING_ON);
            break;
        case IOCTL_TVXIPC_URB_WATCH_START:
            DbgPrint("OrvantaDriver> Loaction: %S\n", devExt->location);
            filterExt->bIsDataUrbSeen = FALSE;
            filterExt->bIsUrbWatchOn = TRUE;
            break;
        case IOCTL_TVXIPC_URB_WATCH_QUERY: {
            BOOLEAN seen = filterExt->bIsDataUrbSeen;
            DbgPrint("OrvantaDriver> URB Count: %d\n", seen ? 1 : 0);
            if (outputLength >= 1) {
                *static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer) = seen ? 1 : 0;
            }
            filterExt->bIsUrbWatchOn = FALSE;
            break;
        }
        }
    }

    // The answer is one byte, and never more than the caller made room for.
    CompleteHere(irp, irpSp, status, status == STATUS_SUCCESS && outputLength >= 1 ? 1 : 0);
    if (counted) {
        ReleaseOwnRequest(filterExt);
    }
    return status;
}

// PASSIVE_LEVEL. The location the control device serves, terminating zero included: the one
// request that needs no location and changes nothing.
// Resident: part of the control device's dispatch, which shares the dispatch routine.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AnswerLocation(const DEVICE_EXTENSION* devExt, PIRP irp, PIO_STACK_LOCATION irpSp) {
    ULONG bytes = static_cast<ULONG>((wcslen(devExt->location) + 1) * sizeof(WCHAR));
    if (!irp->AssociatedIrp.SystemBuffer || irpSp->Parameters.DeviceIoControl.OutputBufferLength < bytes) {
        return CompleteHere(irp, irpSp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, devExt->location, bytes);
    return CompleteHere(irp, irpSp, STATUS_SUCCESS, bytes);
}

// What a control device going away answers: the handle's last requests succeed, others fail.
// Resident: part of the dispatch routine, which runs at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS RefuseGoingAway(PIRP irp, PIO_STACK_LOCATION irpSp) {
    UCHAR major = irpSp->MajorFunction;
    BOOLEAN closing = major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
    return CompleteHere(irp, irpSp, closing ? STATUS_SUCCESS : STATUS_DELETE_PENDING, 0);
}

// A control device has nothing below it: what it does not serve itself it refuses.
// Resident: part of the dispatch routine, which runs at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS DispatchControlDevice(DEVICE_EXTENSION* devExt, PIRP irp, PIO_STACK_LOCATION irpSp) {
    UCHAR major = irpSp->MajorFunction;

    // A handle can outlive the device. The count is taken before the state is read, so removal
    // either waits for this request or has already ended; a request that checked first could be
    // overtaken by the whole removal and then take the count back up from -1. After the end the
    // count is put back as removal left it, without touching the filter.
    if (InterlockedIncrement(&devExt->pendingActionCount) <= 0) {
        InterlockedDecrement(&devExt->pendingActionCount);
        return RefuseGoingAway(irp, irpSp);
    }
    NTSTATUS status;
    if (IsGoingAway(devExt)) {
        status = RefuseGoingAway(irp, irpSp);
    } else {
        switch (major) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP: status = CompleteHere(irp, irpSp, STATUS_SUCCESS, 0); break;
        case IRP_MJ_DEVICE_CONTROL: {
            ULONG code = irpSp->Parameters.DeviceIoControl.IoControlCode;
            TraceControlCode(code);
            if (IsTvxipcCode(code)) {
                status = HandleControlCode(devExt, irp, irpSp, code);
            } else if (code == IOCTL_TVXIPC_QUERY_LOCATION) {
                status = AnswerLocation(devExt, irp, irpSp);
            } else {
                status = CompleteHere(irp, irpSp, STATUS_INVALID_DEVICE_REQUEST, 0);
            }
            break;
        }
        default: status = CompleteHere(irp, irpSp, STATUS_INVALID_DEVICE_REQUEST, 0); break;
        }
    }
    ReleasePendingAction(devExt);
    return status;
}

// After surprise removal the filter fails only what it handles itself (its orders and re-sends,
// refused where they start); everything else still goes down, as the function driver's abort,
// port-status query or WMI request must reach the hub for its own removal to end. Once removed,
// only Plug and Play and close pass.
// Resident: part of the dispatch routine, which runs at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsRefusedWhileGoingAway(const DEVICE_EXTENSION* devExt, UCHAR major) {
    if (major == IRP_MJ_PNP || major == IRP_MJ_CLOSE) {
        return FALSE;
    }
    return devExt->state == STATE_REMOVED;
}

// Resident: part of the dispatch routine, which runs at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS DispatchFilter(DEVICE_EXTENSION* devExt, PIRP irp, PIO_STACK_LOCATION irpSp) {
    UCHAR major = irpSp->MajorFunction;
    // After the remove request the device object no longer exists: it is not counted. The count
    // is taken before the state check, so removal either waits for this request to leave the
    // dispatch routine or the request sees the state.
    BOOLEAN isRemove = major == IRP_MJ_PNP && irpSp->MinorFunction == IRP_MN_REMOVE_DEVICE;
    if (!isRemove) {
        InterlockedIncrement(&devExt->dispatchCount);
    }

    NTSTATUS status;
    if (IsRefusedWhileGoingAway(devExt, major)) {
        status = CompleteHere(irp, irpSp, STATUS_DELETE_PENDING, 0);
    } else {
        switch (major) {
        case IRP_MJ_DEVICE_CONTROL:
            TraceControlCode(irpSp->Parameters.DeviceIoControl.IoControlCode);
            status = PassDown(devExt, irp, FALSE);
            break;
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: status = PassDown(devExt, irp, InspectUrb(devExt, irpSp)); break;
        case IRP_MJ_POWER: status = VA_HandlePower(devExt, irp); break;
        case IRP_MJ_PNP: status = VA_HandlePnp(devExt, irp); break;
        default: status = PassDown(devExt, irp, FALSE); break;
        }
    }

    if (!isRemove) {
        ReleaseDispatch(devExt);
    }
    return status;
}

}  // namespace

// Resident: the image entry point, in the section the loader maps first.
_IRQL_requires_(PASSIVE_LEVEL)
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        DriverObject->MajorFunction[i] = VA_DispatchIrp;
    }
    DriverObject->DriverExtension->AddDevice = VA_AddDevice;
    DriverObject->DriverUnload = VA_Unload;
    for (LONG n = 0; n < TVXIPC_MAX_DEVICES; ++n) {
        ipcSlotTable[n] = 0;
    }
    return STATUS_SUCCESS;
}

// Every device object is gone through removal by the time the driver is unloaded.
VA_PAGED VOID VA_Unload(PDRIVER_OBJECT) {}

// PASSIVE_LEVEL. Attaches a filter above the PDO of a USB hub or device stack and marks it when
// its first hardware ID is Apple's.
VA_PAGED NTSTATUS VA_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    DbgPrint("OrvantaDriver> VA_AddDevice\n");

    // Host controllers enumerated by the PCI bus are never filtered.
    if (IsDriverNamed(PhysicalDeviceObject, L"\\Driver\\pci")) {
        return STATUS_SUCCESS;
    }
    // Typically a child filter got there first.
    if (IsTarvexAbove(PhysicalDeviceObject)) {
        return STATUS_SUCCESS;
    }

    // No name: the type and characteristics come from the device below once attached.
    PDEVICE_OBJECT filterDevObj = nullptr;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filterDevObj);
    // Low resources are a condition to report, not a broken invariant.
    if (!NT_SUCCESS(status)) {
        DbgPrint("OrvantaDriver> VA_AddDevice: IoCreateDevice failed: 0x%X\n", status);
        return status;
    }
    VA_CHECK(filterDevObj, MODULE);
    DbgPrint("OrvantaDriver> VA_AddDevice, 1st IoCreateDevice succeed\n");

    DEVICE_EXTENSION* devExt = ExtensionOf(filterDevObj);
    InitializeFilterExtension(devExt, filterDevObj, PhysicalDeviceObject, IPC_SLOT_ADDDEVICE_FILTER);

    // A request may reach the filter as soon as it is in the stack: it must find the device below
    // by then. Plug and Play adds one device to a stack at a time, so the top now is the device the
    // filter goes on; the attach then confirms it.
    devExt->topDevObj = IoGetAttachedDevice(PhysicalDeviceObject);
    devExt->topDevObj = IoAttachDeviceToDeviceStack(filterDevObj, PhysicalDeviceObject);
    DbgPrint("OrvantaDriver> physicalDevObj: 0x%X\n",
             static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(devExt->physicalDevObj)));
    DbgPrint("OrvantaDriver> topDevObj: 0x%X\n", static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(devExt->topDevObj)));
    if (!devExt->topDevObj) {
        IoDeleteDevice(filterDevObj);
        return STATUS_UNSUCCESSFUL;
    }
    InheritLowerFlags(filterDevObj, devExt->topDevObj);

    (void)QueryDeviceText(PhysicalDeviceObject, DevicePropertyLocationInformation, devExt->location, LOCATION_UNITS,
                          sizeof(devExt->location));

    // The list is read with room for 256 bytes only: a longer list fails the query and leaves
    // the device filtered but unmarked.
    WCHAR firstHardwareId[HARDWARE_ID_UNITS] = {};
    if (!NT_SUCCESS(QueryDeviceText(PhysicalDeviceObject, DevicePropertyHardwareID, firstHardwareId, HARDWARE_ID_UNITS,
                                    HARDWARE_ID_QUERY_BYTES))) {
        return STATUS_SUCCESS;
    }
    (void)QueryDeviceText(PhysicalDeviceObject, DevicePropertyHardwareID, devExt->hardwareId, HARDWARE_ID_UNITS,
                          HARDWARE_ID_QUERY_BYTES);

    // Only the first string counts, in any letter case.
    _wcsupr(firstHardwareId);
    DbgPrint("OrvantaDriver> DevicePropertyHardwareID: %S\n", firstHardwareId);
    DbgPrint("OrvantaDriver> physicalDevObj: type: 0x%X\n", PhysicalDeviceObject->DeviceType);
    if (wcsstr(firstHardwareId, L"USB\\VID_05AC")) {
        DbgPrint("OrvantaDriver> This is a Apple device!\n");
        devExt->bIsAppleHardwareId = TRUE;
    }
    return STATUS_SUCCESS;
}

// Up to DISPATCH_LEVEL. Entered for every request to every device object of the driver.
// Resident: power and internal requests reach it at DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS VA_DispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DEVICE_EXTENSION* devExt = ExtensionOf(DeviceObject);
    VA_CHECK(devExt->signature == DEVICE_EXTENSION_SIGNATURE, MODULE);

    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    if (devExt->ipcSlot >= 0) {
        return DispatchControlDevice(devExt, Irp, irpSp);
    }
    return DispatchFilter(devExt, Irp, irpSp);
}
