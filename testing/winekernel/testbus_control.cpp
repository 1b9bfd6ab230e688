// The test bus's control device \\.\TvxTestBus: the test plugs and unplugs children through it,
// reads what each child received, sends URBs down a child's stack and takes the debug text.
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include "testbus.h"
#include "testbus_internal.h"

namespace tvxbus {

PDEVICE_OBJECT controlDevice;

NTSTATUS Plug(const TESTBUS_PLUG& plug, ULONG& slot) {
    Lock(&stateLock);
    if (childCount == TESTBUS_MAX_CHILDREN || !busFdo) {
        Unlock(&stateLock);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    slot = childCount;
    Child& child = children[slot];
    RtlZeroMemory(&child, sizeof(child));
    child.idVendor = plug.idVendor;
    child.idProduct = plug.idProduct;
    child.port = plug.port;
    TextBuilder(child.deviceId)
        .Add(L"USB\\VID_")
        .Number(plug.idVendor, 16, 4)
        .Add(L"&PID_")
        .Number(plug.idProduct, 16, 4);
    TextBuilder(child.instance).Add(L"TVXTEST").Number(slot + 1, 10, 1);
    TextBuilder(child.info.instanceId).Add(child.deviceId).Add(L"\\").Add(child.instance);
    TextBuilder(child.info.location).Add(L"Port_#").Number(plug.port, 10, 4).Add(L".Hub_#0001");

    WCHAR nameText[TESTBUS_NAME_UNITS];
    TextBuilder(nameText).Add(L"\\Device\\USBPDO-TVX").Number(slot + 1, 10, 1);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, nameText);
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(busFdo->DriverObject, sizeof(BusExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        Unlock(&stateLock);
        return status;
    }
    ExtensionOf(pdo)->kind = Kind::Pdo;
    ExtensionOf(pdo)->slot = slot;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    child.pdo = pdo;
    child.info.used = TRUE;
    child.info.present = TRUE;
    ++childCount;
    Unlock(&stateLock);
    Trace("tvxtestbus: plugged %S at %S\n", child.info.instanceId, child.info.location);
    IoInvalidateDeviceRelations(busPdo, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS Unplug(ULONG slot) {
    Lock(&stateLock);
    if (slot >= childCount || !children[slot].info.present) {
        Unlock(&stateLock);
        return STATUS_INVALID_PARAMETER;
    }
    children[slot].info.present = FALSE;
    Unlock(&stateLock);
    Trace("tvxtestbus: unplugged %S\n", children[slot].info.instanceId);
    IoInvalidateDeviceRelations(busPdo, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS DescribeChild(ULONG slot, TESTBUS_CHILD& out) {
    Lock(&stateLock);
    if (slot >= childCount) {
        Unlock(&stateLock);
        return STATUS_INVALID_PARAMETER;
    }
    out = children[slot].info;
    DriverNameOf(children[slot].pdo ? children[slot].pdo->AttachedDevice : nullptr, out.aboveDriver);
    Unlock(&stateLock);
    return STATUS_SUCCESS;
}

// Sends a URB to the top of the child's stack and waits for it, as the device's driver would.
NTSTATUS SendUrb(const TESTBUS_SEND& send) {
    Lock(&stateLock);
    PDEVICE_OBJECT top = nullptr;
    if (send.slot < childCount && children[send.slot].pdo && children[send.slot].info.present) {
        top = IoGetAttachedDeviceReference(children[send.slot].pdo);
    }
    Unlock(&stateLock);
    if (!top) {
        return STATUS_NO_SUCH_DEVICE;
    }

    static UCHAR payload[4] = {1, 2, 3, 4};
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), POOL_TAG));
    if (!urb) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(URB));
    if (send.kind == TESTBUS_URB_BULK_OUT) {
        urb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb->UrbBulkOrInterruptTransfer.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x02));
        urb->UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof(payload);
        urb->UrbBulkOrInterruptTransfer.TransferBuffer = payload;
    } else {
        urb->UrbHeader.Length = sizeof(_URB_CONTROL_TRANSFER);
        urb->UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
        urb->UrbControlTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_OUT | USBD_DEFAULT_PIPE_TRANSFER;
        urb->UrbControlTransfer.SetupPacket[0] = 0x40;
        urb->UrbControlTransfer.SetupPacket[1] = 0x40;
    }

    KEVENT event;
    IO_STATUS_BLOCK ioStatus = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, top, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &ioStatus);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (irp) {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        }
    }
    ExFreePoolWithTag(urb, POOL_TAG);
    ObDereferenceObject(top);
    return status;
}

NTSTATUS ControlDispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return Complete(irp, stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE ||
                                     stack->MajorFunction == IRP_MJ_CLEANUP
                                 ? STATUS_SUCCESS
                                 : STATUS_INVALID_DEVICE_REQUEST);
    }
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TESTBUS_STATUS: {
        if (out < sizeof(TESTBUS_STATUS)) {
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        }
        auto* status = static_cast<TESTBUS_STATUS*>(buffer);
        Lock(&stateLock);
        *status = busStatus;
        DriverNameOf(busStatus.busAdded && busStatus.busStarted ? busFdo->AttachedDevice : nullptr, status->aboveFdo);
        if (busStatus.busAdded && busStatus.busStarted) {
            PDEVICE_OBJECT top = IoGetAttachedDeviceReference(busPdo);
            DriverNameOf(top, status->stackTop);
            ObDereferenceObject(top);
        }
        Unlock(&stateLock);
        return Complete(irp, STATUS_SUCCESS, sizeof(TESTBUS_STATUS));
    }
    case IOCTL_TESTBUS_PLUG: {
        if (in < sizeof(TESTBUS_PLUG) || out < sizeof(ULONG)) {
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        }
        ULONG slot = 0;
        NTSTATUS status = Plug(*static_cast<TESTBUS_PLUG*>(buffer), slot);
        if (NT_SUCCESS(status)) {
            *static_cast<ULONG*>(buffer) = slot;
        }
        return Complete(irp, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0);
    }
    case IOCTL_TESTBUS_UNPLUG:
        if (in < sizeof(ULONG)) {
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        }
        return Complete(irp, Unplug(*static_cast<ULONG*>(buffer)));
    case IOCTL_TESTBUS_CHILD: {
        if (in < sizeof(ULONG) || out < sizeof(TESTBUS_CHILD)) {
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        }
        TESTBUS_CHILD child;
        NTSTATUS status = DescribeChild(*static_cast<ULONG*>(buffer), child);
        if (NT_SUCCESS(status)) {
            *static_cast<TESTBUS_CHILD*>(buffer) = child;
        }
        return Complete(irp, status, NT_SUCCESS(status) ? sizeof(TESTBUS_CHILD) : 0);
    }
    case IOCTL_TESTBUS_SEND_URB: {
        if (in < sizeof(TESTBUS_SEND) || out < sizeof(LONG)) {
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        }
        NTSTATUS answer = SendUrb(*static_cast<TESTBUS_SEND*>(buffer));
        *static_cast<LONG*>(buffer) = answer;
        return Complete(irp, STATUS_SUCCESS, sizeof(LONG));
    }
    case IOCTL_TESTBUS_DEBUG_TEXT:
        return Complete(irp, STATUS_SUCCESS, TakeDebugText(static_cast<PUCHAR>(buffer), out));
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver) {
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, TESTBUS_DEVICE_NAME);
    RtlInitUnicodeString(&link, TESTBUS_LINK_NAME);
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(BusExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &controlDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ExtensionOf(controlDevice)->kind = Kind::Control;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(controlDevice);
        return status;
    }
    controlDevice->Flags |= DO_BUFFERED_IO;
    controlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void DeleteControlDevice() {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, TESTBUS_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(controlDevice);
}

}  // namespace tvxbus
