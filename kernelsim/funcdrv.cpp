// Function drivers of the simulator: the FDO a stack's function driver puts above the PDO (and
// above any filter attached directly over the PDO), which submits URBs from any thread and at
// any IRQL up to DISPATCH_LEVEL; and a bare pass-through device used as a benchmark yardstick.
#include "ksim_internal.h"

#include <cstring>

namespace ksim {
namespace {

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// What a function driver does with the start request: forward it, wait, complete it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
    IofCallDriver(lower, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

struct PassThroughExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI PassThroughRoutine(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = static_cast<PassThroughExtension*>(device->DeviceExtension)->lower;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(device);
    return info ? info->lower : nullptr;
}

void InheritFlags(PDEVICE_OBJECT device, PDEVICE_OBJECT lower) {
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
}

// A URB and the buffers it points to, owned by the submitting "function driver" for one call.
struct UrbBlock {
    std::vector<unsigned char> urb;
    std::vector<unsigned char> data;
    PMDL mdl = nullptr;
    explicit UrbBlock(size_t urbBytes, size_t dataBytes) : urb(urbBytes + 64, 0), data(dataBytes + 1, 0) {}
    PURB Urb() { return reinterpret_cast<PURB>(urb.data()); }
    ~UrbBlock() {
        if (mdl) FreeSimMdl(mdl);
    }
};

// What a function driver does once the device has gone: the transfers it still has below are
// aborted, through the drivers between it and the PDO.
void AbortPipesLeftBelow(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower) {
    bool held = false;
    {
        Guard g(Lock());
        DeviceInfo* info = FindDevice(fdo);
        DeviceInfo* pdo = info && info->stackBottom ? FindDevice(info->stackBottom) : nullptr;
        held = pdo && !pdo->pended.empty();
    }
    if (!held) return;
    URB whole{};
    PURB urb = &whole;
    urb->UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x81));
    PIRP irp = AllocateSimIrp(lower->StackSize);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    SendAndWait(lower, irp, PASSIVE_LEVEL);
}

}  // namespace

NTSTATUS FunctionDispatch(DeviceInfo* info, PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower;
    {
        Guard g(Lock());
        lower = info->lower;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(lower, irp);
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        case IRP_MN_REMOVE_DEVICE: {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IofCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            return status;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE: irp->IoStatus.Status = STATUS_SUCCESS; break;
        case IRP_MN_SURPRISE_REMOVAL: {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IofCallDriver(lower, irp);
            AbortPipesLeftBelow(device, lower);
            return status;
        }
        default: break;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(lower, irp);
    }
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

NTSTATUS PassThroughDispatch(DeviceInfo* info, PDEVICE_OBJECT device, PIRP irp) {
    (void)info;
    return PassThroughRoutine(device, irp);
}

}  // namespace ksim

using namespace ksim;

PDEVICE_OBJECT KsimAttachFunctionDriver(PDEVICE_OBJECT pdo, const wchar_t* driverName) {
    PDRIVER_OBJECT driver = KsimDriverObject(driverName);
    PDEVICE_OBJECT fdo = CreateSimDevice(driver, 0, std::wstring(), FILE_DEVICE_UNKNOWN, 0, DeviceKind::Function);
    LogIo("IoCreateDevice " + DeviceLabel(fdo));
    PDEVICE_OBJECT lower = AttachDevice(fdo, pdo);
    {
        Guard g(Lock());
        FindDevice(fdo)->lower = lower;
    }
    if (lower) InheritFlags(fdo, lower);
    return fdo;
}

PDEVICE_OBJECT KsimAttachPassThrough(PDEVICE_OBJECT pdo) {
    PDRIVER_OBJECT driver = KsimDriverObject(L"\\Driver\\KsimPassThrough");
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = PassThroughRoutine;
    PDEVICE_OBJECT device = CreateSimDevice(driver, sizeof(PassThroughExtension), std::wstring(), FILE_DEVICE_UNKNOWN,
                                            0, DeviceKind::PassThrough);
    LogIo("IoCreateDevice " + DeviceLabel(device));
    PDEVICE_OBJECT lower = AttachDevice(device, pdo);
    static_cast<PassThroughExtension*>(device->DeviceExtension)->lower = lower;
    {
        Guard g(Lock());
        FindDevice(device)->lower = lower;
    }
    if (lower) InheritFlags(device, lower);
    return device;
}

PDEVICE_OBJECT KsimFunctionDevice(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    PDEVICE_OBJECT found = nullptr;
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) {
        DeviceInfo* info = FindDevice(d);
        if (info && info->kind == DeviceKind::Function) found = d;
    }
    return found;
}

NTSTATUS KsimUsbSubmit(PDEVICE_OBJECT pdo, PURB urb, KIRQL irql) {
    PDEVICE_OBJECT fdo = KsimFunctionDevice(pdo);
    PDEVICE_OBJECT target = fdo ? LowerOf(fdo) : TopOf(pdo);
    if (!target) return STATUS_NO_SUCH_DEVICE;
    PIRP irp = AllocateSimIrp(target->StackSize);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    return SendAndWait(target, irp, irql).status;
}

NTSTATUS KsimUsbSendControl(PDEVICE_OBJECT pdo, const std::array<UCHAR, 8>& setup, KIRQL irql) {
    USHORT length = static_cast<USHORT>(setup[6] | (setup[7] << 8));
    UrbBlock block(sizeof(struct _URB_CONTROL_TRANSFER), length);
    auto& t = block.Urb()->UrbControlTransfer;
    t.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER);
    t.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    t.TransferFlags = ((setup[0] & 0x80) ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) |
                      USBD_DEFAULT_PIPE_TRANSFER | USBD_SHORT_TRANSFER_OK;
    t.TransferBufferLength = length;
    t.TransferBuffer = length ? block.data.data() : nullptr;
    std::memcpy(t.SetupPacket, setup.data(), 8);
    return KsimUsbSubmit(pdo, block.Urb(), irql);
}

NTSTATUS KsimUsbSendVendor(PDEVICE_OBJECT pdo, USHORT function, UCHAR request, USHORT value, USHORT index, KIRQL irql) {
    UrbBlock block(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0);
    auto& r = block.Urb()->UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    r.Hdr.Function = function;
    r.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    r.Request = request;
    r.Value = value;
    r.Index = index;
    return KsimUsbSubmit(pdo, block.Urb(), irql);
}

NTSTATUS KsimUsbSendBulk(PDEVICE_OBJECT pdo, ULONG bytes, KIRQL irql) {
    UrbBlock block(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), bytes);
    auto& t = block.Urb()->UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x81));
    t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    t.TransferBufferLength = bytes;
    t.TransferBuffer = block.data.data();
    return KsimUsbSubmit(pdo, block.Urb(), irql);
}

NTSTATUS KsimUsbSendInterrupt(PDEVICE_OBJECT pdo, ULONG bytes, KIRQL irql) { return KsimUsbSendBulk(pdo, bytes, irql); }

NTSTATUS KsimUsbSendIsoch(PDEVICE_OBJECT pdo, ULONG packets, KIRQL irql) {
    if (packets == 0) packets = 1;
    size_t urbBytes = sizeof(struct _URB_ISOCH_TRANSFER) + (packets - 1) * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    const ULONG packetBytes = 192;
    UrbBlock block(urbBytes, packets * packetBytes);
    auto& t = block.Urb()->UrbIsochronousTransfer;
    t.Hdr.Length = static_cast<USHORT>(urbBytes);
    t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    t.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x83));
    t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    t.TransferBufferLength = packets * packetBytes;
    t.TransferBuffer = block.data.data();
    t.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) t.IsoPacket[i].Offset = i * packetBytes;
    return KsimUsbSubmit(pdo, block.Urb(), irql);
}

NTSTATUS KsimUsbSendChainedMdl(PDEVICE_OBJECT pdo, ULONG bytes, KIRQL irql) {
    UrbBlock block(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), bytes);
    block.mdl = AllocateSimMdl(block.data.data(), bytes);
    auto& t = block.Urb()->UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    t.Hdr.Function = 0x0037;  // URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER_USING_CHAINED_MDL
    t.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x02));
    t.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    t.TransferBufferLength = bytes;
    t.TransferBufferMDL = block.mdl;
    return KsimUsbSubmit(pdo, block.Urb(), irql);
}

NTSTATUS KsimUsbGetDeviceDescriptor(PDEVICE_OBJECT pdo, USB_DEVICE_DESCRIPTOR* out, KIRQL irql) {
    UrbBlock block(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), sizeof(USB_DEVICE_DESCRIPTOR));
    auto& r = block.Urb()->UrbControlDescriptorRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.TransferBufferLength = sizeof(USB_DEVICE_DESCRIPTOR);
    r.TransferBuffer = block.data.data();
    r.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    NTSTATUS status = KsimUsbSubmit(pdo, block.Urb(), irql);
    if (NT_SUCCESS(status) && out) std::memcpy(out, block.data.data(), sizeof(USB_DEVICE_DESCRIPTOR));
    return status;
}
