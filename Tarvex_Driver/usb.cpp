// The driver's own USB requests: the device-descriptor fetch and the charging vendor request.
// Both go straight to the PDO, below every filter and function driver of the stack, so they
// never pass through this driver's own URB inspection.
#include "devext.h"

namespace {

constexpr UCHAR CHARGING_REQUEST = 0x40;
constexpr USHORT CHARGING_ON_VALUE = 0x6400;
constexpr USHORT APPLE_VENDOR_ID = 0x05AC;

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "the device descriptor is 18 bytes on the bus");

// How long a device may take over one request before it is cancelled: 5 s, relative.
constexpr LONGLONG URB_TIMEOUT_100NS = -5LL * 10 * 1000 * 1000;

// Up to DISPATCH_LEVEL. The request stays ours, so that it can still be cancelled after the wait
// timed out and is freed only by the sender.
// Resident: a completion routine runs where the lower driver completes.
IO_COMPLETION_ROUTINE SubmitUrbCompletion;
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SubmitUrbCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// PASSIVE_LEVEL: waits for the PDO, at most 5 s; a device that has not answered by then gets the
// request cancelled, and the sender STATUS_IO_TIMEOUT once the cancelled request is back.
// Resident: the charging re-send after URBs uses it, for a device that may be on the paging path.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrb(DEVICE_EXTENSION* devExt, PURB urb) {
    PIRP irp = IoAllocateIrp(devExt->physicalDevObj->StackSize, FALSE);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    next->Parameters.Others.Argument2 = nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, SubmitUrbCompletion, &event, TRUE, TRUE, TRUE);

    (void)IofCallDriver(devExt->physicalDevObj, irp);
    LARGE_INTEGER timeout;
    timeout.QuadPart = URB_TIMEOUT_100NS;
    BOOLEAN timedOut = KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT;
    if (timedOut) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
    }
    // A device that answered after all, between the timeout and the cancel, keeps its answer.
    NTSTATUS status = irp->IoStatus.Status;
    if (timedOut && status == STATUS_CANCELLED) {
        status = STATUS_IO_TIMEOUT;
    }
    IoFreeIrp(irp);
    return status;
}

// PASSIVE_LEVEL. Records the device class and whether the vendor is Apple; a failed fetch
// changes neither.
// Resident: kept beside SubmitUrb, which the re-send needs resident; only a start calls it.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetDeviceDescriptor(DEVICE_EXTENSION* devExt) {
    auto* urb = static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), TVX_POOL_TAG));
    auto* descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(USB_DEVICE_DESCRIPTOR), TVX_POOL_TAG));
    if (!urb || !descriptor) {
        if (urb) {
            ExFreePool(urb);
        }
        if (descriptor) {
            ExFreePool(descriptor);
        }
        DbgPrint("Failed to allocate a URB and device descriptor!\n");
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    RtlZeroMemory(urb, sizeof(*urb));
    // A device that answers with a short descriptor must not leave pool garbage in idVendor.
    RtlZeroMemory(descriptor, sizeof(*descriptor));
    urb->Hdr.Length = sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->TransferBufferLength = sizeof(*descriptor);
    urb->TransferBuffer = descriptor;
    urb->TransferBufferMDL = nullptr;
    urb->UrbLink = nullptr;
    urb->Index = 0;
    urb->DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    urb->LanguageId = 0;

    NTSTATUS status = SubmitUrb(devExt, reinterpret_cast<PURB>(urb));
    if (NT_SUCCESS(status)) {
        devExt->usbDevClass = descriptor->bDeviceClass;
        if (descriptor->idVendor == APPLE_VENDOR_ID) {
            devExt->bIsAppleDevice = TRUE;
        }
    }

    ExFreePool(urb);
    ExFreePool(descriptor);
    return status;
}

// PASSIVE_LEVEL. Sends the charging request with wValue = wIndex = 0x6400 (on) or 0 (off);
// it has no data stage.
// Resident: the charging re-send after URBs uses it, for a device that may be on the paging path.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetVendorCommand(DEVICE_EXTENSION* devExt, BOOLEAN on) {
    DbgPrint("OrvantaDriver> SetVendorCommand\n");

    auto* urb = static_cast<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), TVX_POOL_TAG));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(*urb));
    urb->Hdr.Length = sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb->TransferFlags = 0;
    urb->TransferBufferLength = 0;
    urb->TransferBuffer = nullptr;
    urb->TransferBufferMDL = nullptr;
    urb->UrbLink = nullptr;
    urb->RequestTypeReservedBits = 0;
    urb->Request = CHARGING_REQUEST;
    urb->Value = on ? CHARGING_ON_VALUE : 0;
    urb->Index = on ? CHARGING_ON_VALUE : 0;

    NTSTATUS status = SubmitUrb(devExt, reinterpret_cast<PURB>(urb));
    ExFreePool(urb);
    return status;
}
