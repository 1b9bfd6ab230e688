// Small drivers written against the DDK for the simulator's own tests: a lower driver that
// completes or pends what it gets, an upper driver that forwards with a completion routine, and
// an upper filter with AddDevice for stacks PnP builds.
#pragma once

#include "kernelsim_gtest.h"

#include <cstring>

namespace ksimtest {

inline ULONG Tag(const char (&text)[5]) {
    return static_cast<ULONG>(text[0]) | static_cast<ULONG>(text[1]) << 8 | static_cast<ULONG>(text[2]) << 16 |
           static_cast<ULONG>(text[3]) << 24;
}

// What a lower device does with a request.
struct LowerExt {
    NTSTATUS status;
    ULONG_PTR information;
    bool pend;
    PIRP held;          // the request it pended
    const char* reply;  // copied into the system buffer when set
    ULONG replyBytes;
    int calls;
};

inline NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<LowerExt*>(device->DeviceExtension);
    ++ext->calls;
    if (ext->pend) {
        IoMarkIrpPending(irp);
        ext->held = irp;
        return STATUS_PENDING;
    }
    if (ext->reply && irp->AssociatedIrp.SystemBuffer)
        std::memcpy(irp->AssociatedIrp.SystemBuffer, ext->reply, ext->replyBytes);
    NTSTATUS status = ext->status;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = ext->information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS NTAPI LowerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = LowerDispatch;
    return STATUS_SUCCESS;
}

// An upper device forwards with a completion routine that records what it saw.
struct UpperExt {
    PDEVICE_OBJECT lower;
    NTSTATUS routineResult;  // what the completion routine returns
    int completions;
    PDEVICE_OBJECT routineDevice;
    BOOLEAN pendingReturned;
    KIRQL routineIrql;
    KEVENT completed;
};

inline NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* ext = static_cast<UpperExt*>(context);
    ++ext->completions;
    ext->routineDevice = device;
    ext->pendingReturned = irp->PendingReturned;
    ext->routineIrql = KeGetCurrentIrql();
    if (irp->PendingReturned && ext->routineResult != STATUS_MORE_PROCESSING_REQUIRED) IoMarkIrpPending(irp);
    KeSetEvent(&ext->completed, IO_NO_INCREMENT, FALSE);
    return ext->routineResult;
}

inline NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<UpperExt*>(device->DeviceExtension);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperCompletion, ext, TRUE, TRUE, TRUE);
    return IofCallDriver(ext->lower, irp);
}

inline NTSTATUS NTAPI UpperEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = UpperDispatch;
    return STATUS_SUCCESS;
}

// An upper filter PnP adds to stacks: passes everything down, leaves at removal.
struct FilterExt {
    PDEVICE_OBJECT lower;
    int powerIrps;
};

inline NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FilterExt*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = ext->lower;
    if (stack->MajorFunction == IRP_MJ_POWER) {
        ++ext->powerIrps;
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

inline NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<FilterExt*>(device->DeviceExtension);
    std::memset(ext, 0, sizeof *ext);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = FilterDispatch;
    driver->DriverExtension->AddDevice = FilterAddDevice;
    return STATUS_SUCCESS;
}

// Creates a device of the driver with a zeroed extension of type T.
template <typename T>
PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver, const wchar_t* name = nullptr) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(T), name ? &text : nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device)))
        return nullptr;
    std::memset(device->DeviceExtension, 0, sizeof(T));
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

// A fixture for tests that provoke misuse on purpose: stops are collected, and every stop a
// test does not take is still reported by the end check.
class MisuseTest : public KsimTest {
protected:
    void SetUp() override {
        KsimTest::SetUp();
        KsimSetStopHandler(nullptr);
    }
    static std::vector<ULONG> TakeStopCodes() {
        std::vector<ULONG> codes;
        for (const KsimStop& stop : KsimTakeStops()) codes.push_back(stop.code);
        return codes;
    }
};

}  // namespace ksimtest
