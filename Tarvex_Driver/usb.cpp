// The driver's own USB requests: the device-descriptor fetch and the charging vendor request.
// Both go straight to the PDO, below every filter and function driver of the stack, so they
// never pass through this driver's own URB inspection.
#include "devext.h"

namespace {

constexpr UCHAR CHARGING_REQUEST = 0x40;
constexpr USHORT CHARGING_ON_VALUE = 0x6400;
constexpr USHORT APPLE_VENDOR_ID = 0x05AC;

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "the device descriptor is 18 bytes on the bus");

}  // namespace

// PASSIVE_LEVEL: waits for the PDO. The I/O manager completes and frees the request it built.
NTSTATUS SubmitUrb(DEVICE_EXTENSION* devExt, PURB urb)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, devExt->physicalDevObj, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &ioStatus);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = urb;
    next->Parameters.Others.Argument2 = nullptr;

    NTSTATUS status = IofCallDriver(devExt->physicalDevObj, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

// PASSIVE_LEVEL. Records the device class and whether the vendor is Apple; a failed fetch
// changes neither.
NTSTATUS GetDeviceDescriptor(DEVICE_EXTENSION* devExt)
{
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
NTSTATUS SetVendorCommand(DEVICE_EXTENSION* devExt, BOOLEAN on)
{
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
