// Power requests pass through; the filter only notes when its device sleeps and wakes.
#include "devext.h"

namespace {

constexpr PCSTR MODULE = "power";

// Resident: power requests and their completion run at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsDeviceSetPower(PIO_STACK_LOCATION irpSp) {
    return irpSp->MinorFunction == IRP_MN_SET_POWER && irpSp->Parameters.Power.Type == DevicePowerState;
}

// Up to DISPATCH_LEVEL; must not block. Lets completion continue upward.
// Resident: a completion routine runs where the lower driver completes.
IO_COMPLETION_ROUTINE PowerCompletion;
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS PowerCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* devExt = static_cast<DEVICE_EXTENSION*>(context);
    VA_CHECK(devExt, MODULE);
    if (!devExt) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    VA_CHECK(devExt->signature == DEVICE_EXTENSION_SIGNATURE, MODULE);

    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(irp);
    VA_CHECK(irpSp->MajorFunction == IRP_MJ_POWER, MODULE);

    // Back to started only once the drivers below have powered the device up, and only from
    // suspended: a removal that began meanwhile on another processor must keep its state.
    if (NT_SUCCESS(irp->IoStatus.Status) && IsDeviceSetPower(irpSp) &&
        irpSp->Parameters.Power.State.DeviceState == PowerDeviceD0) {
        InterlockedCompareExchange(&devExt->state, STATE_STARTED, STATE_SUSPENDED);
    }

    PoStartNextPowerIrp(irp);
    ReleasePendingAction(devExt);
    return STATUS_SUCCESS;
}

}  // namespace

// Up to DISPATCH_LEVEL; must not block. The power completion routine releases the pending
// action taken here; the lower drivers complete the request.
// Resident: power requests come at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS VA_HandlePower(DEVICE_EXTENSION* devExt, PIRP irp) {
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(irp);

    // Marked suspended before the request goes down, so nothing is sent to a device that is
    // already powering down.
    if (IsDeviceSetPower(irpSp)) {
        DEVICE_POWER_STATE target = irpSp->Parameters.Power.State.DeviceState;
        if (target >= PowerDeviceD1 && target <= PowerDeviceD3) {
            InterlockedCompareExchange(&devExt->state, STATE_SUSPENDED, STATE_STARTED);
        }
    }

    AcquirePendingAction(devExt);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PowerCompletion, devExt, TRUE, TRUE, TRUE);
    return PoCallDriver(devExt->topDevObj, irp);
}
