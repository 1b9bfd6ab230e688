// The USB bus model: physical device objects of named bus drivers (\Driver\USBHUB3,
// \Driver\usbccgp, ...) with device properties and a device descriptor. A PDO answers URBs sent
// with IOCTL_INTERNAL_USB_SUBMIT_URB, records the setup packet of every control transfer as it
// would go on the bus, and can be scripted to fail a URB or to pend it and complete it later
// (at DISPATCH_LEVEL, as a host controller's completion runs). It also answers the PnP and power
// requests a bus driver owns, and reports its children in bus relations.
#include "ksim_internal.h"
#include "ksim_urb.h"

#include <chrono>
#include <cstring>

namespace ksim {
namespace {

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB device descriptor is 18 bytes");

unsigned& PdoCounter() {
    static unsigned counter = 0;
    return counter;
}

// What the device does with a URB it accepts. Returns the final status.
NTSTATUS DefaultWork(DeviceInfo* info, PURB urb, USBD_STATUS* usbd) {
    USHORT f = urb->UrbHeader.Function;
    *usbd = 0;
    UCHAR configuration[9] = {9, 2, 9, 0, 0, 1, 0, 0x80, 250};
    switch (f) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        UCHAR type = urb->UrbControlDescriptorRequest.DescriptorType;
        if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
            CopyIn(urb, &info->descriptor, sizeof info->descriptor);
            return STATUS_SUCCESS;
        }
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            CopyIn(urb, configuration, sizeof configuration);
            return STATUS_SUCCESS;
        }
        *usbd = USBD_STATUS_STALL_PID;
        urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
        return STATUS_UNSUCCESSFUL;
    }
    case URB_FUNCTION_CONTROL_TRANSFER:
    case kControlTransferEx: {
        const UCHAR* setup = f == URB_FUNCTION_CONTROL_TRANSFER ? urb->UrbControlTransfer.SetupPacket
                                                                : urb->UrbControlTransferEx.SetupPacket;
        if (setup[0] == 0x80 && setup[1] == 0x06 && setup[3] == USB_DEVICE_DESCRIPTOR_TYPE)
            CopyIn(urb, &info->descriptor, sizeof info->descriptor);
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_ISOCH_TRANSFER: {
        auto& iso = urb->UrbIsochronousTransfer;
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i) iso.IsoPacket[i].Status = 0;
        iso.ErrorCount = 0;
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        *usbd = USBD_STATUS_STALL_PID;
        urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
        return STATUS_UNSUCCESSFUL;
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
        UCHAR zero[2] = {0, 0};
        CopyIn(urb, zero, 2);
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_GET_CONFIGURATION: {
        UCHAR one = 1;
        CopyIn(urb, &one, 1);
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case kChainedMdlTransfer:
    case kIsochChainedMdlTransfer:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_GET_INTERFACE: return STATUS_SUCCESS;
    default: *usbd = USBD_STATUS_INVALID_URB_FUNCTION; return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS FinishUrb(DeviceInfo* info, PURB urb, NTSTATUS status, USBD_STATUS usbd) {
    USBD_STATUS workStatus = 0;
    if (NT_SUCCESS(status)) {
        status = DefaultWork(info, urb, &workStatus);
        if (!usbd) usbd = workStatus;
    } else if (!usbd) {
        usbd = USBD_STATUS_STALL_PID;
    }
    urb->UrbHeader.Status = NT_SUCCESS(status) ? 0 : usbd;
    return status;
}

// Completes a URB IRP the PDO holds. `raise`: as a host controller's DPC, at DISPATCH_LEVEL.
void CompleteUrbIrp(DeviceInfo* info, PIRP irp, NTSTATUS status, USBD_STATUS usbd, bool raise) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine), nullptr);
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    status = FinishUrb(info, urb, status, usbd);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    KIRQL old = Irql();
    if (raise && old < DISPATCH_LEVEL) SetIrql(DISPATCH_LEVEL);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    SetIrql(old);
}

bool TakePended(DeviceInfo* info, PIRP irp, PendedUrb* out) {
    Guard g(Lock());
    for (auto it = info->pended.begin(); it != info->pended.end(); ++it)
        if (!irp || it->irp == irp) {
            *out = *it;
            info->pended.erase(it);
            return true;
        }
    return false;
}

// Whichever of the cancel and the completion takes the URB from the list completes it.
VOID NTAPI CancelPendedUrb(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DeviceInfo* info = DeviceOrNull(device);
    PendedUrb pended;
    if (!info || !TakePended(info, irp, &pended)) return;
    if (!pended.cancelCompletesAfterMs) {
        CompleteUrbIrp(info, irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, false);
        return;
    }
    // The host controller takes the transfer off the schedule first: the request comes back
    // later, from its completion on another processor. A sender that freed it meanwhile has
    // been stopped at its IoFreeIrp already.
    unsigned delay = pended.cancelCompletesAfterMs;
    StartSimThread([info, irp, delay] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        if (!IrpFreed(irp)) CompleteUrbIrp(info, irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, true);
    });
}

// Completes every URB the PDO holds as cancelled (an abort, or the device gone).
void CancelAllPended(DeviceInfo* info) {
    PendedUrb pended;
    while (TakePended(info, nullptr, &pended))
        CompleteUrbIrp(info, pended.irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, true);
}

NTSTATUS HandleUrb(DeviceInfo* info, PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (!urb) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    bool gone;
    {
        Guard g(Lock());
        gone = info->surpriseRemoved;
    }
    // An abort ends what the PDO holds, also once the device has gone: a hub that does not
    // purge by itself at surprise removal waits for the function driver to ask.
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        CancelAllPended(info);
        if (gone) {
            urb->UrbHeader.Status = 0;
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
    }
    // A hub sends nothing to a device that has left the bus.
    if (gone) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    KsimUsbRequest record;
    record.function = urb->UrbHeader.Function;
    record.setup = {};
    record.control = SetupOf(urb, &record.setup);
    record.transferLength = TransferLengthOf(urb);
    record.irql = Irql();
    NoteIrpPath(irp, &record.path);
    KsimUrbScript script;
    bool scripted = false;
    {
        Guard g(Lock());
        info->requests.push_back(record);
        for (auto it = info->scripts.begin(); it != info->scripts.end(); ++it) {
            if (it->script.function != KSIM_ANY_URB && it->script.function != record.function) continue;
            script = it->script;
            scripted = true;
            if (script.times && ++it->used >= script.times) info->scripts.erase(it);
            break;
        }
        if (scripted && script.answer == KsimUrbAnswer::Pend) {
            IoMarkIrpPending(irp);
            info->pended.push_back(PendedUrb{irp, script.status, script.usbdStatus, script.cancelCompletesAfterMs});
        }
    }
    if (scripted && script.answer == KsimUrbAnswer::Pend) {
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine),
                                   reinterpret_cast<PVOID>(CancelPendedUrb));
        if (irp->Cancel) IoCancelIrp(irp);
        if (script.completeAfterMs) {
            unsigned delay = script.completeAfterMs;
            StartSimThread([info, irp, delay] {
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                PendedUrb pended;
                if (TakePended(info, irp, &pended)) CompleteUrbIrp(info, irp, pended.status, pended.usbdStatus, true);
            });
        }
        return STATUS_PENDING;
    }
    NTSTATUS status = FinishUrb(info, urb, scripted ? script.status : STATUS_SUCCESS, scripted ? script.usbdStatus : 0);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool TakeAnswer(std::deque<Answer>* answers, NTSTATUS* status) {
    if (answers->empty()) return false;
    Answer& a = answers->front();
    *status = a.status;
    if (a.times && --a.times == 0) answers->pop_front();
    return true;
}

NTSTATUS PdoPnp(DeviceInfo* info, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = stack->MinorFunction;
    NTSTATUS status = irp->IoStatus.Status;
    NTSTATUS scripted = STATUS_SUCCESS;
    bool hasAnswer;
    {
        Guard g(Lock());
        hasAnswer = TakeAnswer(&info->pnpAnswers[minor], &scripted);
    }
    bool deleteAfter = false;
    if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) {
        // As a hub driver does: the URBs it holds for the device are cancelled, later ones fail.
        // By the remove, the drivers above must have ended every request they sent.
        size_t held;
        bool keeps;
        PIRP waitWake = nullptr;
        {
            Guard g(Lock());
            info->surpriseRemoved = true;
            held = info->pended.size();
            keeps = info->usb.keepsUrbsAfterSurpriseRemoval;
            if (minor == IRP_MN_REMOVE_DEVICE) {
                info->removeHandled = true;
                std::swap(waitWake, info->waitWake);
            }
        }
        // The wait-wake request ends only here, as the bus driver handles the remove.
        if (waitWake) {
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&waitWake->CancelRoutine), nullptr);
            waitWake->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
            IofCompleteRequest(waitWake, IO_NO_INCREMENT);
        }
        if (minor == IRP_MN_REMOVE_DEVICE && held)
            Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x222, reinterpret_cast<ULONG_PTR>(device), held, 0,
                 "%s received IRP_MN_REMOVE_DEVICE while it still holds %llu URB request(s) of the drivers above",
                 DeviceLabel(device).c_str(), (unsigned long long)held);
        if (minor == IRP_MN_REMOVE_DEVICE || !keeps) CancelAllPended(info);
    }
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: status = hasAnswer ? scripted : STATUS_SUCCESS; break;
    case IRP_MN_REMOVE_DEVICE: {
        status = STATUS_SUCCESS;
        Guard g(Lock());
        deleteAfter = info->missing || !info->parent;
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        status = hasAnswer ? scripted : STATUS_SUCCESS;
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (NT_SUCCESS(status) && caps) {
            caps->DeviceD1 = TRUE;
            caps->DeviceD2 = TRUE;
            caps->Removable = TRUE;
            caps->SurpriseRemovalOK = TRUE;
            caps->Address = 1;
            caps->UINumber = 1;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
            caps->SystemWake = PowerSystemSleeping3;
            caps->DeviceWake = PowerDeviceD2;
        }
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        DEVICE_RELATION_TYPE type = stack->Parameters.QueryDeviceRelations.Type;
        if (type != BusRelations && type != TargetDeviceRelation) break;
        if (hasAnswer && !NT_SUCCESS(scripted)) {
            status = scripted;
            break;
        }
        std::vector<PDEVICE_OBJECT> members;
        {
            Guard g(Lock());
            if (type == BusRelations) {
                for (PDEVICE_OBJECT child : info->children) {
                    DeviceInfo* c = FindDevice(child);
                    if (c && !c->missing && !c->deleted) members.push_back(child);
                }
            } else {
                members.push_back(device);
            }
        }
        size_t bytes = sizeof(DEVICE_RELATIONS) + (members.empty() ? 0 : (members.size() - 1) * sizeof(PDEVICE_OBJECT));
        auto* relations = static_cast<PDEVICE_RELATIONS>(PoolAllocate(PagedPool, bytes, kSimPoolTag, false));
        relations->Count = static_cast<ULONG>(members.size());
        for (size_t i = 0; i < members.size(); ++i) {
            relations->Objects[i] = members[i];
            ReferenceDevice(members[i]);
        }
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        status = STATUS_SUCCESS;
        break;
    }
    default:
        if (hasAnswer) status = scripted;
        break;
    }
    irp->IoStatus.Status = status;
    unsigned holdMs = 0;
    {
        Guard g(Lock());
        auto& held = info->pnpHolds[minor];
        if (!held.empty()) {
            holdMs = held.front().pendMs;
            if (held.front().times && --held.front().times == 0) held.pop_front();
        }
    }
    if (holdMs) {
        IoMarkIrpPending(irp);
        StartSimThread([irp, holdMs, deleteAfter, device] {
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            if (deleteAfter) DeletePdo(device);
        });
        return STATUS_PENDING;
    }
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (deleteAfter) DeletePdo(device);
    return status;
}

// A wait-wake request the PDO holds ends when cancelled, as a bus driver's does.
VOID NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DeviceInfo* info = DeviceOrNull(device);
    if (!info) return;
    {
        Guard g(Lock());
        if (info->waitWake != irp) return;
        info->waitWake = nullptr;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS PdoPower(DeviceInfo* info, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    // A hub keeps the device's wait-wake request until the device wakes the system or goes.
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
        bool busy;
        {
            Guard g(Lock());
            busy = info->waitWake != nullptr || info->removeHandled;
            if (!busy) {
                IoMarkIrpPending(irp);
                info->waitWake = irp;
            }
        }
        if (busy) {
            irp->IoStatus.Status = STATUS_DEVICE_BUSY;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_DEVICE_BUSY;
        }
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine),
                                   reinterpret_cast<PVOID>(CancelWaitWake));
        if (irp->Cancel) IoCancelIrp(irp);
        return STATUS_PENDING;
    }
    NTSTATUS status = irp->IoStatus.Status;
    NTSTATUS scripted = STATUS_SUCCESS;
    unsigned pendMs = 0;
    bool hasAnswer;
    {
        Guard g(Lock());
        if (!info->powerAnswers.empty()) pendMs = info->powerAnswers.front().pendMs;
        hasAnswer = TakeAnswer(&info->powerAnswers, &scripted);
    }
    if (hasAnswer && pendMs) {
        // Pended, and completed later from another thread at DISPATCH_LEVEL, as a bus driver's
        // power completion runs.
        IoMarkIrpPending(irp);
        StartSimThread([irp, scripted, pendMs, device] {
            std::this_thread::sleep_for(std::chrono::milliseconds(pendMs));
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            if (NT_SUCCESS(scripted) && s->MinorFunction == IRP_MN_SET_POWER)
                PoSetPowerState(device, s->Parameters.Power.Type, s->Parameters.Power.State);
            irp->IoStatus.Status = scripted;
            SetIrql(DISPATCH_LEVEL);
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            SetIrql(PASSIVE_LEVEL);
        });
        return STATUS_PENDING;
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = hasAnswer ? scripted : STATUS_SUCCESS;
        if (NT_SUCCESS(status) && stack->MinorFunction == IRP_MN_SET_POWER)
            PoSetPowerState(device, stack->Parameters.Power.Type, stack->Parameters.Power.State);
    } else if (hasAnswer) {
        status = scripted;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS PdoDispatch(DeviceInfo* info, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    bool afterRemove;
    {
        Guard g(Lock());
        afterRemove = info->removeHandled;
    }
    if (afterRemove && stack->MajorFunction != IRP_MJ_PNP) {
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x223, reinterpret_cast<ULONG_PTR>(device),
             reinterpret_cast<ULONG_PTR>(irp), stack->MajorFunction,
             "%s received a request of major function 0x%02X after it handled IRP_MN_REMOVE_DEVICE",
             DeviceLabel(device).c_str(), stack->MajorFunction);
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
            if (auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1))
                urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
            return HandleUrb(info, device, irp);
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
            if (auto* portStatus = static_cast<ULONG*>(stack->Parameters.Others.Argument1))
                *portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
            status = STATUS_SUCCESS;
        } else {
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
        break;
    case IRP_MJ_PNP: return PdoPnp(info, device, irp);
    case IRP_MJ_POWER: return PdoPower(info, device, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP: status = STATUS_SUCCESS; break;
    case IRP_MJ_SYSTEM_CONTROL: status = irp->IoStatus.Status; break;
    default: status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void DeletePdo(PDEVICE_OBJECT pdo) {
    {
        Guard g(Lock());
        DeviceInfo* info = FindDevice(pdo);
        if (!info || info->deleted) return;
        info->removed = true;
        if (info->parent)
            if (DeviceInfo* parent = FindDevice(info->parent)) {
                auto& siblings = parent->children;
                siblings.erase(std::remove(siblings.begin(), siblings.end(), pdo), siblings.end());
            }
    }
    IoDeleteDevice(pdo);
}

void UsbReset() {
    Guard g(Lock());
    PdoCounter() = 0;
}

void UsbCheck(std::vector<std::string>* problems) {
    Guard g(Lock());
    for (DeviceInfo* info : AllDevices()) {
        if (info->kind != DeviceKind::BusPdo || info->pended.empty()) continue;
        char line[256];
        snprintf(line, sizeof line, "URB leak: %llu URB request(s) pended at %s and never completed",
                 (unsigned long long)info->pended.size(), DeviceLabel(info->device).c_str());
        problems->push_back(line);
    }
}

}  // namespace ksim

using namespace ksim;

USB_DEVICE_DESCRIPTOR KsimUsbDescriptor(USHORT idVendor, USHORT idProduct, UCHAR bDeviceClass) {
    USB_DEVICE_DESCRIPTOR d{};
    d.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    d.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.bcdUSB = 0x0200;
    d.bDeviceClass = bDeviceClass;
    d.bMaxPacketSize0 = 64;
    d.idVendor = idVendor;
    d.idProduct = idProduct;
    d.bcdDevice = 0x0100;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = 3;
    d.bNumConfigurations = 1;
    return d;
}

PDEVICE_OBJECT KsimCreateUsbPdo(const KsimUsbDevice& device, PDEVICE_OBJECT parent) {
    PDRIVER_OBJECT bus = KsimDriverObject(device.busDriver.c_str());
    wchar_t name[48];
    {
        Guard g(Lock());
        swprintf(name, 48, L"\\Device\\USBPDO-%u", PdoCounter()++);
    }
    PDEVICE_OBJECT pdo =
        CreateSimDevice(bus, 0, name, device.deviceType, FILE_AUTOGENERATED_DEVICE_NAME, DeviceKind::BusPdo);
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    {
        Guard g(Lock());
        DeviceInfo* info = FindDevice(pdo);
        info->usb = device;
        info->descriptor = device.descriptor;
        info->parent = parent;
        if (parent)
            if (DeviceInfo* p = FindDevice(parent)) p->children.push_back(pdo);
    }
    if (!device.hardwareIds.empty()) KsimSetPropertyMultiSz(pdo, DevicePropertyHardwareID, device.hardwareIds);
    if (!device.compatibleIds.empty()) KsimSetPropertyMultiSz(pdo, DevicePropertyCompatibleIDs, device.compatibleIds);
    if (!device.location.empty()) KsimSetPropertyString(pdo, DevicePropertyLocationInformation, device.location);
    if (!device.classGuid.empty()) KsimSetPropertyString(pdo, DevicePropertyClassGuid, device.classGuid);
    if (!device.className.empty()) KsimSetPropertyString(pdo, DevicePropertyClassName, device.className);
    if (!device.description.empty()) KsimSetPropertyString(pdo, DevicePropertyDeviceDescription, device.description);
    KsimSetPropertyString(pdo, DevicePropertyPhysicalDeviceObjectName, name);
    KsimSetPropertyString(pdo, DevicePropertyEnumeratorName, L"USB");
    LogIo("IoCreateDevice " + DeviceLabel(pdo));
    return pdo;
}

void KsimSetProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const void* data, ULONG bytes) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(pdo);
    if (!info) return;
    Property& p = info->properties[static_cast<int>(property)];
    const UCHAR* begin = static_cast<const UCHAR*>(data);
    p.bytes.assign(begin, begin + bytes);
    p.failure = STATUS_SUCCESS;
}

void KsimSetPropertyString(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const std::wstring& text) {
    KsimSetProperty(pdo, property, text.c_str(), static_cast<ULONG>((text.size() + 1) * sizeof(WCHAR)));
}

void KsimSetPropertyMultiSz(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                            const std::vector<std::wstring>& strings) {
    std::wstring all;
    for (const std::wstring& s : strings) {
        all += s;
        all += L'\0';
    }
    all += L'\0';
    KsimSetProperty(pdo, property, all.data(), static_cast<ULONG>(all.size() * sizeof(WCHAR)));
}

void KsimRemoveProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo)) info->properties.erase(static_cast<int>(property));
}

void KsimFailProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, NTSTATUS status) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo)) info->properties[static_cast<int>(property)].failure = status;
}

void KsimSetUsbDescriptor(PDEVICE_OBJECT pdo, const USB_DEVICE_DESCRIPTOR& descriptor) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo)) info->descriptor = descriptor;
}

void KsimAddChild(PDEVICE_OBJECT parentPdo, PDEVICE_OBJECT childPdo) {
    Guard g(Lock());
    DeviceInfo* parent = FindDevice(parentPdo);
    DeviceInfo* child = FindDevice(childPdo);
    if (!parent || !child) return;
    if (std::find(parent->children.begin(), parent->children.end(), childPdo) == parent->children.end())
        parent->children.push_back(childPdo);
    child->parent = parentPdo;
    child->missing = false;
}

void KsimRemoveChild(PDEVICE_OBJECT parentPdo, PDEVICE_OBJECT childPdo) {
    Guard g(Lock());
    DeviceInfo* parent = FindDevice(parentPdo);
    if (parent) {
        auto& c = parent->children;
        c.erase(std::remove(c.begin(), c.end(), childPdo), c.end());
    }
    if (DeviceInfo* child = FindDevice(childPdo)) child->missing = true;
}

std::vector<PDEVICE_OBJECT> KsimChildren(PDEVICE_OBJECT parentPdo) {
    Guard g(Lock());
    DeviceInfo* parent = FindDevice(parentPdo);
    return parent ? parent->children : std::vector<PDEVICE_OBJECT>();
}

std::vector<KsimUsbRequest> KsimUsbRequests(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(pdo);
    return info ? info->requests : std::vector<KsimUsbRequest>();
}

std::vector<std::array<UCHAR, 8>> KsimUsbSetupPackets(PDEVICE_OBJECT pdo) {
    std::vector<std::array<UCHAR, 8>> out;
    for (const KsimUsbRequest& r : KsimUsbRequests(pdo))
        if (r.control) out.push_back(r.setup);
    return out;
}

void KsimClearUsbRequests(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo)) info->requests.clear();
}

std::string KsimHex(const std::array<UCHAR, 8>& setup) {
    std::string out;
    char byte[4];
    for (size_t i = 0; i < setup.size(); ++i) {
        snprintf(byte, sizeof byte, i ? " %02X" : "%02X", setup[i]);
        out += byte;
    }
    return out;
}

void KsimUsbScript(PDEVICE_OBJECT pdo, const KsimUrbScript& script) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo)) info->scripts.push_back(UrbScriptState{script, 0});
}

void KsimUsbClearScripts(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo)) info->scripts.clear();
}

size_t KsimUsbPendedCount(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(pdo);
    return info ? info->pended.size() : 0;
}

bool KsimUsbWaitPended(PDEVICE_OBJECT pdo, size_t count, unsigned timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (KsimUsbPendedCount(pdo) < count) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool KsimUsbCompletePended(PDEVICE_OBJECT pdo, NTSTATUS status) {
    DeviceInfo* info = DeviceOrNull(pdo);
    PendedUrb pended;
    if (!info || !TakePended(info, nullptr, &pended)) return false;
    CompleteUrbIrp(info, pended.irp, status, 0, true);
    return true;
}

bool KsimPdoRemoveHandled(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(pdo);
    return info && info->removeHandled;
}

void KsimPnpPendAtPdo(PDEVICE_OBJECT pdo, UCHAR minor, unsigned completeAfterMs, unsigned times) {
    Guard g(Lock());
    if (DeviceInfo* info = FindDevice(pdo))
        info->pnpHolds[minor].push_back(Answer{STATUS_SUCCESS, times, completeAfterMs});
}

void KsimUsbCompletePendedLater(PDEVICE_OBJECT pdo, NTSTATUS status, unsigned delayMs) {
    StartSimThread([pdo, status, delayMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        KsimUsbWaitPended(pdo, 1, 5000);
        KsimUsbCompletePended(pdo, status);
    });
}
