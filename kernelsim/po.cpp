// The power manager: PoCallDriver, PoStartNextPowerIrp (counted per device), PoSetPowerState,
// PoRequestPowerIrp, and the power requests a test sends to a stack. As on Windows, a power IRP
// goes to a stack at PASSIVE_LEVEL when its top device has DO_POWER_PAGABLE, else at
// DISPATCH_LEVEL.
#include "ksim_internal.h"

namespace ksim {
namespace {

SimIrpResult SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action) {
    CheckPowerPagable(pdo);
    PDEVICE_OBJECT top = TopOf(pdo);
    PIRP irp = AllocateSimIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.SystemContext = 0;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = action;
    KIRQL irql = (top->Flags & DO_POWER_PAGABLE) ? PASSIVE_LEVEL : DISPATCH_LEVEL;
    return SendAndWait(top, irp, irql);
}

POWER_STATE DeviceState(DEVICE_POWER_STATE s) {
    POWER_STATE p;
    p.DeviceState = s;
    return p;
}

POWER_STATE SystemState(SYSTEM_POWER_STATE s) {
    POWER_STATE p;
    p.SystemState = s;
    return p;
}

}  // namespace

void PoReset() {}

}  // namespace ksim

using namespace ksim;

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireIrql(DISPATCH_LEVEL, "PoCallDriver");
    return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    RequireIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    if (Irp->CurrentLocation > Irp->StackCount) return;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_POWER)
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x210, reinterpret_cast<ULONG_PTR>(Irp),
             stack->MajorFunction, 0, "PoStartNextPowerIrp with an IRP whose current location is not IRP_MJ_POWER");
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(stack->DeviceObject)) ++info->poStartNext;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    (void)DeviceObject;
    (void)Type;
    (void)State;
    return DeviceState(PowerDeviceD0);
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    PDEVICE_OBJECT top = TopOf(DeviceObject);
    PIRP irp = AllocateSimIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
    SetFinal(irp, [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context](PIRP done) {
        if (CompletionFunction) CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &done->IoStatus);
        FreeSimIrp(done);
    });
    if (Irp) *Irp = irp;
    IofCallDriver(top, irp);
    return STATUS_PENDING;
}

}  // extern "C"

KSIM_IMPORT_POINTER(PoCallDriver)
KSIM_IMPORT_POINTER(PoStartNextPowerIrp)
KSIM_IMPORT_POINTER(PoSetPowerState)
KSIM_IMPORT_POINTER(PoRequestPowerIrp)

NTSTATUS KsimPoSetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    return SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, DeviceState(state), PowerActionNone).status;
}

NTSTATUS KsimPoQueryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    return SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, DeviceState(state), PowerActionNone).status;
}

NTSTATUS KsimPoSetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    return SendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, SystemState(state), action).status;
}

NTSTATUS KsimPoQuerySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    return SendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(state), action).status;
}

void KsimPoRequestWaitWake(PDEVICE_OBJECT pdo) {
    POWER_STATE wake;
    wake.SystemState = PowerSystemSleeping3;
    KIRQL old = Irql();
    SetIrql(PASSIVE_LEVEL);
    PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, wake, nullptr, nullptr, nullptr);
    SetIrql(old);
}

bool KsimPoWaitWakeHeld(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(pdo);
    return info && info->waitWake;
}

void KsimPoSetPdoAnswer(PDEVICE_OBJECT pdo, NTSTATUS status, unsigned times) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo)) info->powerAnswers.push_back(Answer{status, times});
}

void KsimPoPendAtPdo(PDEVICE_OBJECT pdo, unsigned completeAfterMs, NTSTATUS status, unsigned times) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo))
        info->powerAnswers.push_back(Answer{status, times, completeAfterMs ? completeAfterMs : 1});
}

unsigned KsimPoStartNextPowerIrpCalls(PDEVICE_OBJECT device) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(device);
    return info ? info->poStartNext : 0;
}
