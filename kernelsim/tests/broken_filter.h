// A filter broken on purpose in one way each, and the fixture that shows the rules Verifier holds
// drivers to firing on it.
#pragma once

#include "pnp_fixture.h"
#include "test_drivers.h"

namespace ksimtest {

enum class Breakage {
    None,
    FailStop,
    FailSystemPower,
    FailCleanup,
    KeepSurpriseRemoval,
    UrbLeftInThePdoAtRemove,
    UrbAfterRemove,
    PageableAlways,
    CompletionKeepsNoPending,
    FailWhatItDoesNotHandleAfterSurpriseRemoval,
    WaitForPowerBelowBeforeRemove,
    OwnPnpRequestWithItsStatusUntouched
};
inline Breakage breakage;
inline PDEVICE_OBJECT brokenPdo;  // where the broken filter sends URBs of its own

inline NTSTATUS NTAPI FreeOwnUrb(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    delete static_cast<URB*>(context);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A URB of the filter's own straight to the PDO, not waited for.
inline void SendOwnUrb() {
    PIRP irp = IoAllocateIrp(brokenPdo->StackSize, FALSE);
    auto* urb = new URB{};
    urb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, FreeOwnUrb, urb, TRUE, TRUE, TRUE);
    IofCallDriver(brokenPdo, irp);
}

inline NTSTATUS NTAPI ForgetPending(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

inline bool surpriseRemoved;
inline volatile LONG powerBelow;  // power requests the filter passed down that have not come back
inline KEVENT powerBelowDone;

inline NTSTATUS NTAPI PowerBack(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (InterlockedDecrement(&powerBelow) == 0) KeSetEvent(&powerBelowDone, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI OwnRequestBack(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The filter's own capabilities query, sent with the status IoAllocateIrp left.
inline void QueryCapabilitiesCarelessly(PDEVICE_OBJECT lower) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = &caps;
    KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, OwnRequestBack, &back, TRUE, TRUE, TRUE);
    IofCallDriver(lower, irp);
    KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
}

inline NTSTATUS NTAPI BrokenDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    bool here = false;
    bool remove = s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_REMOVE_DEVICE;
    bool usage = s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_DEVICE_USAGE_NOTIFICATION;
    PDEVICE_OBJECT lower = static_cast<FilterExt*>(device->DeviceExtension)->lower;
    switch (breakage) {
    case Breakage::None: return FilterDispatch(device, irp);
    case Breakage::FailWhatItDoesNotHandleAfterSurpriseRemoval:
        if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_SURPRISE_REMOVAL) surpriseRemoved = true;
        here = surpriseRemoved && s->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        status = STATUS_DELETE_PENDING;
        break;
    case Breakage::WaitForPowerBelowBeforeRemove:
        if (remove && powerBelow > 0) KeWaitForSingleObject(&powerBelowDone, Executive, KernelMode, FALSE, nullptr);
        if (s->MajorFunction != IRP_MJ_POWER) return FilterDispatch(device, irp);
        InterlockedIncrement(&powerBelow);
        KeClearEvent(&powerBelowDone);
        PoStartNextPowerIrp(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, PowerBack, nullptr, TRUE, TRUE, TRUE);
        return PoCallDriver(lower, irp);
    case Breakage::OwnPnpRequestWithItsStatusUntouched:
        if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_START_DEVICE)
            QueryCapabilitiesCarelessly(lower);
        return FilterDispatch(device, irp);
    case Breakage::UrbLeftInThePdoAtRemove:
        if (remove) SendOwnUrb();
        return FilterDispatch(device, irp);
    case Breakage::UrbAfterRemove: {
        if (!remove) return FilterDispatch(device, irp);
        status = FilterDispatch(device, irp);
        SendOwnUrb();
        return status;
    }
    case Breakage::PageableAlways:
        if (usage) device->Flags |= DO_POWER_PAGABLE;
        return FilterDispatch(device, irp);
    case Breakage::CompletionKeepsNoPending:
        if (!usage) return FilterDispatch(device, irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ForgetPending, nullptr, TRUE, TRUE, TRUE);
        return IofCallDriver(static_cast<FilterExt*>(device->DeviceExtension)->lower, irp);
    case Breakage::FailStop:
        here = s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_STOP_DEVICE;
        status = STATUS_DEVICE_BUSY;
        break;
    case Breakage::FailSystemPower:
        here = s->MajorFunction == IRP_MJ_POWER && s->MinorFunction == IRP_MN_SET_POWER &&
               s->Parameters.Power.Type == SystemPowerState;
        if (here) PoStartNextPowerIrp(irp);
        status = STATUS_UNSUCCESSFUL;
        break;
    case Breakage::FailCleanup:
        here = s->MajorFunction == IRP_MJ_CLEANUP;
        status = STATUS_DELETE_PENDING;
        break;
    case Breakage::KeepSurpriseRemoval:
        here = s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_SURPRISE_REMOVAL;
        break;
    }
    if (!here) return FilterDispatch(device, irp);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS NTAPI BrokenEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = BrokenDispatch;
    driver->DriverExtension->AddDevice = FilterAddDevice;
    return STATUS_SUCCESS;
}

class WdmRuleTest : public MisuseTest {
protected:
    void SetUp() override {
        MisuseTest::SetUp();
        breakage = Breakage::FailStop;
        surpriseRemoved = false;
        powerBelow = 0;
        KeInitializeEvent(&powerBelowDone, NotificationEvent, FALSE);
        KsimPnpRegisterUpperFilter(KsimLoadDriver(BrokenEntry, L"\\Driver\\Broken"));
        hub = KsimPnpPlugRoot(Hub());
        TakeStopCodes();
    }
    // The simulator's own codes of the 0xC9 stops taken.
    static std::vector<ULONG_PTR> TakeIoManagerCodes() {
        std::vector<ULONG_PTR> codes;
        for (const KsimStop& stop : KsimTakeStops())
            if (stop.code == KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION) codes.push_back(stop.p[0]);
        return codes;
    }
    PDEVICE_OBJECT hub = nullptr;
};

}  // namespace ksimtest
