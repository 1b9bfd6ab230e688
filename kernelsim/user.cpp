// User mode as the I/O manager serves it: CreateFile on a symbolic link (IRP_MJ_CREATE with a
// new file object), DeviceIoControl (METHOD_BUFFERED through a guarded system buffer of
// max(input, output) bytes, the other methods with their MDL or raw pointers) and CloseHandle
// (IRP_MJ_CLEANUP, IRP_MJ_CLOSE). Every request goes to the top of the named device's stack at
// PASSIVE_LEVEL, with RequestorMode UserMode, and is waited for when pended.
#include "ksim_internal.h"

#include <cstdlib>
#include <cstring>

struct KsimFile {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    bool cleanedUp = false;
};

namespace ksim {
namespace {

std::set<KsimFile*>& Handles() {
    static auto* handles = new std::set<KsimFile*>;
    return *handles;
}

struct UserResult {
    NTSTATUS status;
    ULONG_PTR information;
};

UserResult SendUser(KsimFile* handle, UCHAR major, const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill,
                    const std::function<void(PIRP)>& beforeFree = {}) {
    PDEVICE_OBJECT top = TopOf(handle->device);
    PIRP irp = AllocateSimIrp(top->StackSize);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = handle->file;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(static_cast<ULONG_PTR>(1));
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = handle->file;
    if (fill) fill(irp, next);
    auto signal = std::make_shared<Signal>();
    auto result = std::make_shared<UserResult>();
    SetFinal(irp, [signal, result, beforeFree](PIRP done) {
        result->status = done->IoStatus.Status;
        result->information = done->IoStatus.Information;
        if (beforeFree) beforeFree(done);
        signal->Set();
    });
    KIRQL old = Irql();
    SetIrql(PASSIVE_LEVEL);
    IofCallDriver(top, irp);
    SetIrql(old);
    signal->Wait();
    FreeSimIrp(irp);
    return *result;
}

}  // namespace

void UserReset() {
    Guard g(Lock());
    for (KsimFile* handle : Handles()) {
        std::free(handle->file);
        delete handle;
    }
    Handles().clear();
}

void UserCheck(std::vector<std::string>* problems) {
    Guard g(Lock());
    for (KsimFile* handle : Handles())
        problems->push_back("handle leak: a handle on " + DeviceLabel(handle->device) + " was never closed");
}

}  // namespace ksim

using namespace ksim;

KsimHandle KsimUserOpen(const wchar_t* path, NTSTATUS* status) {
    PDEVICE_OBJECT device = ResolvePath(path ? path : L"");
    if (!device) {
        if (status) *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    // The I/O manager opens no device its driver has not finished initialising.
    if (device->Flags & DO_DEVICE_INITIALIZING) {
        if (status) *status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    auto* handle = new KsimFile;
    handle->device = device;
    handle->file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    handle->file->Type = IO_TYPE_FILE;
    handle->file->Size = sizeof(FILE_OBJECT);
    handle->file->DeviceObject = device;
    handle->file->Flags = FO_SYNCHRONOUS_IO;
    KeInitializeEvent(&handle->file->Event, NotificationEvent, FALSE);
    ReferenceDevice(device);
    {
        Guard g(Lock());
        ++device->ReferenceCount;
    }
    static IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = GENERIC_READ | GENERIC_WRITE;
    UserResult r = SendUser(handle, IRP_MJ_CREATE, [](PIRP, PIO_STACK_LOCATION s) {
        s->Parameters.Create.SecurityContext = &security;
        s->Parameters.Create.Options = FILE_OPEN << 24;
        s->Parameters.Create.ShareAccess = 0;
    });
    if (status) *status = r.status;
    if (!NT_SUCCESS(r.status)) {
        {
            Guard g(Lock());
            --device->ReferenceCount;
        }
        DereferenceDevice(device);
        std::free(handle->file);
        delete handle;
        return nullptr;
    }
    Guard g(Lock());
    Handles().insert(handle);
    return handle;
}

NTSTATUS KsimUserIoctl(KsimHandle handle, ULONG code, const void* in, ULONG inLen, void* out, ULONG outLen,
                       ULONG_PTR* information) {
    if (!handle) return STATUS_INVALID_HANDLE;
    ULONG method = METHOD_FROM_CTL_CODE(code);
    // The I/O manager probes the caller's buffers: a length without a buffer faults there.
    if (method != METHOD_NEITHER && ((inLen && !in) || (outLen && !out))) return STATUS_ACCESS_VIOLATION;
    void* system = nullptr;
    PMDL mdl = nullptr;
    if (method == METHOD_BUFFERED) {
        ULONG bytes = inLen > outLen ? inLen : outLen;
        if (bytes) {
            system = PoolAllocate(NonPagedPool, bytes, kSimPoolTag, false);
            if (in && inLen) std::memcpy(system, in, inLen);
        }
    } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        if (in && inLen) {
            system = PoolAllocate(NonPagedPool, inLen, kSimPoolTag, false);
            std::memcpy(system, in, inLen);
        }
        if (out && outLen) mdl = AllocateSimMdl(out, outLen);
    }
    auto copyOut = [method, system, out, outLen](PIRP done) {
        if (method != METHOD_BUFFERED || NT_ERROR(done->IoStatus.Status) || !out || !outLen || !system) return;
        ULONG_PTR bytes = done->IoStatus.Information;
        if (bytes > outLen) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x22F, reinterpret_cast<ULONG_PTR>(done), bytes, outLen,
                 "IoStatus.Information %llu exceeds the caller's output buffer of %lu bytes",
                 (unsigned long long)bytes, (unsigned long)outLen);
            bytes = outLen;
        }
        std::memcpy(out, system, bytes);
    };
    UserResult r = SendUser(
        handle, IRP_MJ_DEVICE_CONTROL,
        [&](PIRP irp, PIO_STACK_LOCATION s) {
            s->Parameters.DeviceIoControl.IoControlCode = code;
            s->Parameters.DeviceIoControl.InputBufferLength = inLen;
            s->Parameters.DeviceIoControl.OutputBufferLength = outLen;
            irp->AssociatedIrp.SystemBuffer = system;
            if (system) irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (method == METHOD_BUFFERED && out && outLen) irp->Flags |= IRP_INPUT_OPERATION;
            irp->MdlAddress = mdl;
            irp->UserBuffer = out;
            if (method == METHOD_NEITHER) s->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
        },
        copyOut);
    if (system) PoolFree(system, 0, false, false);
    if (mdl) FreeSimMdl(mdl);
    if (information) *information = r.information;
    return r.status;
}

NTSTATUS KsimUserCleanup(KsimHandle handle) {
    if (!handle) return STATUS_INVALID_HANDLE;
    handle->cleanedUp = true;
    return SendUser(handle, IRP_MJ_CLEANUP, {}).status;
}

NTSTATUS KsimUserClose(KsimHandle handle) {
    if (!handle) return STATUS_INVALID_HANDLE;
    if (!handle->cleanedUp) KsimUserCleanup(handle);
    NTSTATUS status = SendUser(handle, IRP_MJ_CLOSE, {}).status;
    {
        Guard g(Lock());
        --handle->device->ReferenceCount;
    }
    DereferenceDevice(handle->device);
    {
        Guard g(Lock());
        Handles().erase(handle);
    }
    std::free(handle->file);
    delete handle;
    return status;
}

PFILE_OBJECT KsimUserFileObject(KsimHandle handle) { return handle ? handle->file : nullptr; }
