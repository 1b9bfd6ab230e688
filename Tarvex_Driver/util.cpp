// Pending-action accounting, synchronous forwarding and small helpers shared by the modules.
#include "devext.h"

namespace {

constexpr PCSTR MODULE = "util";

// Runs at up to DISPATCH_LEVEL when the lower driver completes the request. Stops completion
// here so that the waiting caller owns the request again.
IO_COMPLETION_ROUTINE CallDriverCompletion;
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CallDriverCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    // The answer of another driver, reported but never taken for a broken invariant.
    if (irp->IoStatus.Status == STATUS_IO_TIMEOUT) {
        DbgPrint("OrvantaDriver> Request timed out below\n");
    }
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// Any IRQL up to DISPATCH_LEVEL.
// Resident: the power path takes pending actions at DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID AcquirePendingAction(DEVICE_EXTENSION* devExt) {
    VA_CHECK(devExt->pendingActionCount >= 0, MODULE);
    InterlockedIncrement(&devExt->pendingActionCount);
}

// Any IRQL up to DISPATCH_LEVEL. Once the count drops below 0 the remove handling may delete
// the device object, so nothing here touches devExt after setting the event.
// Resident: completion routines release pending actions at DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleasePendingAction(DEVICE_EXTENSION* devExt) {
    VA_CHECK(devExt->pendingActionCount >= 0, MODULE);
    // The test uses the value the decrement produced: a second read could see another
    // processor's change and signal twice or never.
    if (InterlockedDecrement(&devExt->pendingActionCount) < 0) {
        VA_CHECK((devExt->state == STATE_REMOVING) || (devExt->state == STATE_REMOVED), MODULE);
        KeSetEvent(&devExt->removalEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Any IRQL up to DISPATCH_LEVEL. FALSE, with the count as it was, once the device is going away:
// removal may already have waited for the driver's own requests, and the PDO then handles, or
// has handled, the remove. The count is taken before the state is read, as removal sets the
// state before it waits, so removal either waits for this request or the request sees the state.
// Resident: the re-send takes its own request as URBs pass, at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN AcquireOwnRequest(DEVICE_EXTENSION* devExt) {
    if (InterlockedIncrement(&devExt->ownRequestCount) <= 0) {
        InterlockedDecrement(&devExt->ownRequestCount);
        return FALSE;
    }
    if (devExt->state == STATE_REMOVING || devExt->state == STATE_REMOVED) {
        ReleaseOwnRequest(devExt);
        return FALSE;
    }
    return TRUE;
}

// Any IRQL up to DISPATCH_LEVEL. As ReleasePendingAction: nothing touches devExt after the event.
// Resident: released on the re-send path, at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseOwnRequest(DEVICE_EXTENSION* devExt) {
    if (InterlockedDecrement(&devExt->ownRequestCount) < 0) {
        KeSetEvent(&devExt->ownRequestsDone, IO_NO_INCREMENT, FALSE);
    }
}

// Any IRQL up to DISPATCH_LEVEL. The dispatch routine's own count, taken with an interlocked
// increment on entry; as ReleasePendingAction, nothing touches devExt after the event.
// Resident: every request leaves the dispatch routine through it.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseDispatch(DEVICE_EXTENSION* devExt) {
    if (InterlockedDecrement(&devExt->dispatchCount) < 0) {
        KeSetEvent(&devExt->dispatchDone, IO_NO_INCREMENT, FALSE);
    }
}

// PASSIVE_LEVEL. The caller has prepared the next stack location and owns the request again
// when this returns.
VA_PAGED NTSTATUS CallDriverAndWait(PDEVICE_OBJECT targetDevObj, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, CallDriverCompletion, &event, TRUE, TRUE, TRUE);
    // The event is waited for even when the call did not pend: the completion routine has run
    // either way, and the request's final status is what counts, not the returned one.
    (void)IofCallDriver(targetDevObj, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

// PASSIVE_LEVEL. Holds a pending action so that removal waits for the forwarded request.
VA_PAGED NTSTATUS CallNextDriverAndWait(DEVICE_EXTENSION* devExt, PIRP irp) {
    AcquirePendingAction(devExt);
    NTSTATUS status = CallDriverAndWait(devExt->topDevObj, irp);
    ReleasePendingAction(devExt);
    return status;
}

// PASSIVE_LEVEL. Compares the name of the driver that owns a device object, ignoring case.
VA_PAGED BOOLEAN IsDriverNamed(PDEVICE_OBJECT deviceObject, PCWSTR driverName) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, driverName);
    return RtlEqualUnicodeString(&deviceObject->DriverObject->DriverName, &name, TRUE);
}

// PASSIVE_LEVEL. True when one of this driver's device objects already sits above the PDO.
VA_PAGED BOOLEAN IsTarvexAbove(PDEVICE_OBJECT physicalDevObj) {
    for (PDEVICE_OBJECT above = physicalDevObj->AttachedDevice; above; above = above->AttachedDevice) {
        if (IsDriverNamed(above, L"\\Driver\\Tarvex")) {
            return TRUE;
        }
    }
    return FALSE;
}

// PASSIVE_LEVEL. The whole record of a filter before it is attached: a request that reaches it as
// soon as it is in the stack must find it a filter, never a control device.
VA_PAGED VOID InitializeFilterExtension(DEVICE_EXTENSION* devExt, PDEVICE_OBJECT filterDevObj,
                                        PDEVICE_OBJECT physicalDevObj, LONG ipcSlot) {
    RtlZeroMemory(devExt, sizeof(*devExt));
    devExt->signature = DEVICE_EXTENSION_SIGNATURE;
    devExt->state = STATE_ADDED;
    devExt->filterDevObj = filterDevObj;
    devExt->physicalDevObj = physicalDevObj;
    devExt->ipcSlot = ipcSlot;
    devExt->bAttachToChildren = ipcSlot == IPC_SLOT_ADDDEVICE_FILTER;
    KeInitializeEvent(&devExt->removalEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&devExt->ownRequestsDone, NotificationEvent, FALSE);
    KeInitializeEvent(&devExt->dispatchDone, NotificationEvent, FALSE);
    KeInitializeEvent(&devExt->orderLock, SynchronizationEvent, TRUE);
}

// PASSIVE_LEVEL. The thread cannot be suspended while it holds the lock, which a re-send in a
// system worker thread may be waiting for.
VA_PAGED VOID AcquireOrderLock(DEVICE_EXTENSION* devExt) {
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&devExt->orderLock, Executive, KernelMode, FALSE, nullptr);
}

VA_PAGED VOID ReleaseOrderLock(DEVICE_EXTENSION* devExt) {
    KeSetEvent(&devExt->orderLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

// A filter must look like the device below it to the I/O and power managers; it has no name of
// its own, so that nobody can open the stack at the filter, below the drivers above it.
VA_PAGED VOID InheritLowerFlags(PDEVICE_OBJECT filterDevObj, PDEVICE_OBJECT topDevObj) {
    filterDevObj->DeviceType = topDevObj->DeviceType;
    filterDevObj->Characteristics = topDevObj->Characteristics;
    filterDevObj->Flags |= topDevObj->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    filterDevObj->Flags |= topDevObj->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);
    filterDevObj->Flags &= ~DO_DEVICE_INITIALIZING;
}

// PASSIVE_LEVEL. Reads a text property of the PDO into buffer, allowing the bus driver
// queryBytes. The last unit is zeroed afterwards whatever the bus driver returned, so that a
// value without its terminator cannot send a later wcslen past the buffer.
VA_PAGED NTSTATUS QueryDeviceText(PDEVICE_OBJECT physicalDevObj, DEVICE_REGISTRY_PROPERTY property, PWCHAR buffer,
                                  ULONG bufferUnits, ULONG queryBytes) {
    ULONG resultLength = 0;
    NTSTATUS status = IoGetDeviceProperty(physicalDevObj, property, queryBytes, buffer, &resultLength);
    buffer[bufferUnits - 1] = L'\0';
    return status;
}

// Completes a request this driver does not pass down; IoStatus.Information is left to the caller.
// Resident: the dispatch routine completes requests with it at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
