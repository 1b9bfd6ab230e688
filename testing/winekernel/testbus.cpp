// A USB bus driver that tests control, for running the shipped filter driver on Wine's kernel.
//
// Installed as the root-enumerated device root\TvxTestBus under the service USBHUB3, so the
// child PDOs it reports belong to "\Driver\USBHUB3", one of the hub drivers whose children the
// filter attaches to. Through its control device \\.\TvxTestBus (testbus_control.cpp) a test
// plugs and unplugs child USB devices, reads the setup packets each child received, sends URBs
// down a child's stack and collects the filter's debug output.
//
// What the bus does because Wine's kernel differs from Windows, one stand-in per known Wine gap,
// is in winegaps.cpp.
#include <ntddk.h>
#include <stdarg.h>
#include <usb.h>
#include <usbioctl.h>

#include "testbus.h"
#include "testbus_internal.h"

extern "C" {
int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
}

namespace tvxbus {

PDEVICE_OBJECT busFdo;
PDEVICE_OBJECT busPdo;
PDEVICE_OBJECT busLower;
PDRIVER_OBJECT filterDriver;

// Wine runs drivers in the threads of a user process and has no IRQL, so a fast mutex may be
// taken anywhere here. (A KMUTEX contended by two threads left the waiter hanging under Wine 8.)
FAST_MUTEX stateLock;
TESTBUS_STATUS busStatus;
Child children[TESTBUS_MAX_CHILDREN];
ULONG childCount;

FAST_MUTEX debugLock;
char debugText[256 * 1024];
ULONG debugUsed;
ULONG debugRead;
BOOLEAN debugFull;

void Lock(FAST_MUTEX* mutex) { ExAcquireFastMutex(mutex); }

void Unlock(FAST_MUTEX* mutex) { ExReleaseFastMutex(mutex); }

BusExtension* ExtensionOf(PDEVICE_OBJECT device) { return static_cast<BusExtension*>(device->DeviceExtension); }

// Text kept for the test: what is past the buffer's end is dropped, and a note says so once.
void Record(const char* text) {
    static const char dropped[] = "\n[tvxtestbus: debug text buffer full, the rest is dropped]\n";
    size_t length = 0;
    while (text[length]) {
        ++length;
    }
    Lock(&debugLock);
    if (!debugFull) {
        size_t room = sizeof(debugText) - sizeof(dropped) - debugUsed;
        size_t n = length < room ? length : room;
        RtlCopyMemory(debugText + debugUsed, text, n);
        debugUsed += static_cast<ULONG>(n);
        if (n < length) {
            RtlCopyMemory(debugText + debugUsed, dropped, sizeof(dropped) - 1);
            debugUsed += sizeof(dropped) - 1;
            debugFull = TRUE;
        }
    }
    Unlock(&debugLock);
}

ULONG TakeDebugText(PUCHAR out, ULONG room) {
    Lock(&debugLock);
    ULONG n = debugUsed - debugRead < room ? debugUsed - debugRead : room;
    RtlCopyMemory(out, debugText + debugRead, n);
    debugRead += n;
    Unlock(&debugLock);
    return n;
}

void VTrace(const char* format, va_list args) {
    char text[1024];
    int n = _vsnprintf(text, sizeof(text) - 1, format, args);
    text[n < 0 ? sizeof(text) - 1 : n] = '\0';
    Record(text);
    DbgPrint("%s", text);
}

void Trace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VTrace(format, args);
    va_end(args);
}

void CopyName(PWCHAR out, const UNICODE_STRING& name) {
    size_t units = name.Length / sizeof(WCHAR);
    if (units > TESTBUS_NAME_UNITS - 1) {
        units = TESTBUS_NAME_UNITS - 1;
    }
    RtlCopyMemory(out, name.Buffer, units * sizeof(WCHAR));
    out[units] = L'\0';
}

void DriverNameOf(PDEVICE_OBJECT device, PWCHAR out) {
    out[0] = L'\0';
    if (device && device->DriverObject) {
        CopyName(out, device->DriverObject->DriverName);
    }
}

NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(busLower, irp);
}

// Bus relations: every child plugged and not unplugged, each referenced for the PnP manager.
NTSTATUS ReportChildren(PIRP irp) {
    Lock(&stateLock);
    ULONG count = 0;
    for (ULONG i = 0; i < childCount; ++i) {
        count += children[i].info.present ? 1 : 0;
    }
    size_t bytes = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + (count ? count : 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, POOL_TAG));
    if (!relations) {
        Unlock(&stateLock);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 0;
    for (ULONG i = 0; i < childCount; ++i) {
        if (children[i].info.present) {
            ObReferenceObject(children[i].pdo);
            relations->Objects[relations->Count++] = children[i].pdo;
        }
    }
    ++busStatus.relationsQueries;
    Unlock(&stateLock);
    Trace("tvxtestbus: bus relations: %u children\n", relations->Count);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

NTSTATUS FdoPnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(busLower, irp);
        busStatus.busStarted = NT_SUCCESS(status);
        Trace("tvxtestbus: bus started: 0x%08X\n", static_cast<ULONG>(status));
        return Complete(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            NTSTATUS status = ReportChildren(irp);
            if (!NT_SUCCESS(status)) {
                return Complete(irp, status);
            }
            irp->IoStatus.Status = status;
        }
        return PassDown(irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE: irp->IoStatus.Status = STATUS_SUCCESS; return PassDown(irp);
    case IRP_MN_REMOVE_DEVICE: {
        Trace("tvxtestbus: bus removed\n");
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(irp);
        Lock(&stateLock);
        for (ULONG i = 0; i < childCount; ++i) {
            if (children[i].pdo) {
                IoDeleteDevice(children[i].pdo);
                children[i].pdo = nullptr;
                children[i].info.deleted = TRUE;
            }
        }
        Unlock(&stateLock);
        IoDetachDevice(busLower);
        // The filter above detaches from the FDO only after this returns; the reference taken
        // in AddDevice keeps the object until the bus is unloaded (Wine frees a deleted device
        // object at once when nothing holds it).
        IoDeleteDevice(busFdo);
        busStatus.busStarted = FALSE;
        return status;
    }
    default: return PassDown(irp);
    }
}

PWCHAR AllocateIds(PCWSTR first, PCWSTR second, PCWSTR third) {
    PCWSTR parts[3] = {first, second, third};
    size_t units = 1;
    for (PCWSTR part : parts) {
        if (part) {
            for (PCWSTR p = part; *p; ++p) {
                ++units;
            }
            ++units;
        }
    }
    auto* ids = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, units * sizeof(WCHAR), POOL_TAG));
    if (!ids) {
        return nullptr;
    }
    size_t at = 0;
    for (PCWSTR part : parts) {
        if (part) {
            for (PCWSTR p = part; *p; ++p) {
                ids[at++] = *p;
            }
            ids[at++] = L'\0';
        }
    }
    ids[at] = L'\0';
    return ids;
}

NTSTATUS QueryId(Child& child, PIRP irp, BUS_QUERY_ID_TYPE type) {
    WCHAR withRevision[TESTBUS_NAME_UNITS];
    PWCHAR ids = nullptr;
    switch (type) {
    case BusQueryDeviceID: ids = AllocateIds(child.deviceId, nullptr, nullptr); break;
    case BusQueryInstanceID: ids = AllocateIds(child.instance, nullptr, nullptr); break;
    case BusQueryHardwareIDs:
        TextBuilder(withRevision).Add(child.deviceId).Add(L"&REV_0100");
        ids = AllocateIds(withRevision, child.deviceId, nullptr);
        break;
    case BusQueryCompatibleIDs:
        ids = AllocateIds(L"USB\\Class_00&SubClass_00&Prot_00", L"USB\\Class_00&SubClass_00", L"USB\\Class_00");
        break;
    default: return irp->IoStatus.Status;
    }
    if (!ids) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(ids);
    return STATUS_SUCCESS;
}

NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Child& child = children[ExtensionOf(device)->slot];
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        // Kept so the test notices when Wine starts to keep the value itself.
        WCHAR probe[TESTBUS_NAME_UNITS];
        ULONG needed = 0;
        child.info.wineLocationStatus =
            IoGetDeviceProperty(device, DevicePropertyLocationInformation, sizeof(probe), probe, &needed);
        WriteLocation(child);
        child.info.started = TRUE;
        Trace("tvxtestbus: %S started\n", child.info.instanceId);
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_ID: status = QueryId(child, irp, stack->Parameters.QueryId.IdType); break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        caps->Address = child.port;
        caps->UINumber = child.port;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) {
            caps->DeviceState[s] = PowerDeviceD3;
        }
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
        PCWSTR text = nullptr;
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            text = L"Tarvex test USB device";
        } else if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation) {
            text = child.info.location;
        }
        if (text) {
            PWCHAR copy = AllocateIds(text, nullptr, nullptr);
            status = copy ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
        }
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations =
                static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), POOL_TAG));
            if (!relations) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ObReferenceObject(device);
            relations->Count = 1;
            relations->Objects[0] = device;
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE: status = STATUS_SUCCESS; break;
    case IRP_MN_SURPRISE_REMOVAL:
        child.info.started = FALSE;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        Lock(&stateLock);
        child.info.started = FALSE;
        child.info.removed = TRUE;
        // A child still plugged in stays reported; one that was unplugged is gone for good.
        BOOLEAN unplugged = !child.info.present;
        if (unplugged) {
            child.pdo = nullptr;
            child.info.deleted = TRUE;
        }
        Unlock(&stateLock);
        Trace("tvxtestbus: %S removed%s\n", child.info.instanceId, unplugged ? ", deleted" : "");
        Complete(irp, STATUS_SUCCESS);
        if (unplugged) {
            IoDeleteDevice(device);
        }
        return STATUS_SUCCESS;
    }
    default: break;
    }
    return Complete(irp, status, NT_SUCCESS(status) ? irp->IoStatus.Information : 0);
}

void RecordPacket(Child& child, UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex, USHORT wLength) {
    Lock(&stateLock);
    if (child.info.packetCount < TESTBUS_MAX_PACKETS) {
        UCHAR* packet = child.info.packets[child.info.packetCount];
        packet[0] = bmRequestType;
        packet[1] = bRequest;
        packet[2] = static_cast<UCHAR>(wValue);
        packet[3] = static_cast<UCHAR>(wValue >> 8);
        packet[4] = static_cast<UCHAR>(wIndex);
        packet[5] = static_cast<UCHAR>(wIndex >> 8);
        packet[6] = static_cast<UCHAR>(wLength);
        packet[7] = static_cast<UCHAR>(wLength >> 8);
    }
    ++child.info.packetCount;
    Unlock(&stateLock);
}

// The child answers URBs as a USB device with one configuration would.
NTSTATUS HandleUrb(Child& child, PURB urb) {
    if (!child.info.present) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
        RecordPacket(child, 0x80, USB_REQUEST_GET_DESCRIPTOR,
                     static_cast<USHORT>(request.DescriptorType << 8 | request.Index), request.LanguageId,
                     static_cast<USHORT>(request.TransferBufferLength));
        if (request.DescriptorType != USB_DEVICE_DESCRIPTOR_TYPE || !request.TransferBuffer) {
            urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
            return STATUS_UNSUCCESSFUL;
        }
        USB_DEVICE_DESCRIPTOR descriptor = {};
        descriptor.bLength = sizeof(descriptor);
        descriptor.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        descriptor.bcdUSB = 0x0200;
        descriptor.bMaxPacketSize0 = 64;
        descriptor.idVendor = child.idVendor;
        descriptor.idProduct = child.idProduct;
        descriptor.bcdDevice = 0x0100;
        descriptor.bNumConfigurations = 1;
        ULONG length =
            request.TransferBufferLength < sizeof(descriptor) ? request.TransferBufferLength : sizeof(descriptor);
        RtlCopyMemory(request.TransferBuffer, &descriptor, length);
        request.TransferBufferLength = length;
        break;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
        _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = urb->UrbControlVendorClassRequest;
        UCHAR direction = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0x00;
        RecordPacket(child, static_cast<UCHAR>(direction | 0x40 | request.RequestTypeReservedBits), request.Request,
                     request.Value, request.Index, static_cast<USHORT>(request.TransferBufferLength));
        break;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        const UCHAR* setup = urb->UrbControlTransfer.SetupPacket;
        RecordPacket(child, setup[0], setup[1], static_cast<USHORT>(setup[2] | setup[3] << 8),
                     static_cast<USHORT>(setup[4] | setup[5] << 8), static_cast<USHORT>(setup[6] | setup[7] << 8));
        break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: InterlockedIncrement(&child.info.bulkTransfers); break;
    default: urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION; return STATUS_NOT_SUPPORTED;
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS PdoDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Child& child = children[ExtensionOf(device)->slot];
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP: return PdoPnp(device, irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        return Complete(irp, stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER
                                 ? STATUS_SUCCESS
                                 : irp->IoStatus.Status);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            stack->Parameters.Others.Argument1) {
            return Complete(irp, HandleUrb(child, static_cast<PURB>(stack->Parameters.Others.Argument1)));
        }
        return Complete(irp, STATUS_NOT_SUPPORTED);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP: return Complete(irp, STATUS_SUCCESS);
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS FdoDispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP: return FdoPnp(irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(busLower, irp);
    default: return PassDown(irp);
    }
}

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    switch (ExtensionOf(device)->kind) {
    case Kind::Control: return ControlDispatch(irp);
    case Kind::Fdo: return FdoDispatch(irp);
    case Kind::Pdo: return PdoDispatch(device, irp);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Trace("tvxtestbus: AddDevice\n");
    if (busFdo) {
        return STATUS_DEVICE_BUSY;
    }
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ExtensionOf(fdo)->kind = Kind::Fdo;
    busLower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!busLower) {
        IoDeleteDevice(fdo);
        return STATUS_UNSUCCESSFUL;
    }
    ObReferenceObject(fdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    busPdo = pdo;
    busFdo = fdo;
    busStatus.busAdded = TRUE;

    // An upper filter's AddDevice runs after the function driver's, with the same PDO.
    if (NT_SUCCESS(LoadFilter())) {
        busStatus.filterAddStatus = filterDriver->DriverExtension->AddDevice(filterDriver, pdo);
        Trace("tvxtestbus: filter AddDevice: 0x%08X\n", static_cast<ULONG>(busStatus.filterAddStatus));
    } else {
        busStatus.filterAddStatus = STATUS_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

void BusUnload(PDRIVER_OBJECT) {
    DeleteControlDevice();
    if (busFdo) {
        ObDereferenceObject(busFdo);
    }
    // The filter came in with the bus and leaves with it.
    if (filterDriver) {
        ObDereferenceObject(filterDriver);
        UNICODE_STRING service;
        RtlInitUnicodeString(&service, FILTER_SERVICE);
        NTSTATUS status = ZwUnloadDriver(&service);
        DbgPrint("tvxtestbus: ZwUnloadDriver(Tarvex): 0x%08X\n", static_cast<ULONG>(status));
    }
}

}  // namespace tvxbus

using namespace tvxbus;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    ExInitializeFastMutex(&stateLock);
    ExInitializeFastMutex(&debugLock);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        driver->MajorFunction[i] = BusDispatch;
    }
    driver->DriverExtension->AddDevice = BusAddDevice;
    driver->DriverUnload = BusUnload;

    NTSTATUS status = CreateControlDevice(driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Trace("tvxtestbus: loaded\n");
    return STATUS_SUCCESS;
}