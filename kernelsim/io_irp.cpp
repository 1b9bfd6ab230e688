// I/O manager: IRPs (allocation, IofCallDriver, IofCompleteRequest with completion routines and
// pending propagation, IoBuildDeviceIoControlRequest), MDLs and cancellation.
#include "ksim_io.h"

#include <cstdlib>
#include <cstring>

namespace ksim {
namespace {

constexpr unsigned char kFreedIrpFill = 0xD1;
constexpr size_t kIrpQuarantine = 8192;

KSPIN_LOCK& CancelLockWord() {
    static KSPIN_LOCK word = 0;
    return word;
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

}  // namespace

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

}  // namespace ksim

using namespace ksim;

extern "C" {

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
        Stop(KSIM_STOP_BAD_POOL_CALLER, 0x07, 0, 0, reinterpret_cast<ULONG_PTR>(Irp),
             "IoFreeIrp of an IRP already freed");
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
        PDEVICE_OBJECT upper =
            (Irp->CurrentLocation <= Irp->StackCount) ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
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
                Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x217, before, Irql(),
                     reinterpret_cast<ULONG_PTR>(Irp), "completion routine of %s returned at IRQL %u, called at %u",
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

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&CancelLockWord()); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&CancelLockWord(), Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = reinterpret_cast<PDRIVER_CANCEL>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr));
    if (!routine) return FALSE;
    IoAcquireCancelSpinLock(&Irp->CancelIrql);
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

}  // extern "C"

KSIM_IMPORT_POINTER(IoInitializeIrp)
KSIM_IMPORT_POINTER(IoAllocateIrp)
KSIM_IMPORT_POINTER(IoReuseIrp)
KSIM_IMPORT_POINTER(IoFreeIrp)
KSIM_IMPORT_POINTER(IofCallDriver)
KSIM_IMPORT_POINTER(IofCompleteRequest)
KSIM_IMPORT_POINTER(IoBuildDeviceIoControlRequest)
KSIM_IMPORT_POINTER(IoAllocateMdl)
KSIM_IMPORT_POINTER(IoFreeMdl)
KSIM_IMPORT_POINTER(IoAcquireCancelSpinLock)
KSIM_IMPORT_POINTER(IoReleaseCancelSpinLock)
KSIM_IMPORT_POINTER(IoCancelIrp)
