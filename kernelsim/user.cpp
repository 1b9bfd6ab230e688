// User mode as the I/O manager serves it: CreateFile on a symbolic link (IRP_MJ_CREATE with a
// new file object), DeviceIoControl (METHOD_BUFFERED through a guarded system buffer of
// max(input, output) bytes, the other methods with their MDL or raw pointers) and CloseHandle
// (IRP_MJ_CLEANUP, IRP_MJ_CLOSE). Every request goes to the top of the named device's stack at
// PASSIVE_LEVEL, with RequestorMode UserMode, and is waited for when pended.
#include "ksim_internal.h"
#include "ksim_vm.h"

#include <cstdlib>
#include <cstring>

struct KsimFile {
    PFILE_OBJECT file = nullptr;
    ACCESS_MASK granted = 0;  // what the open's access check granted, generic rights mapped
    std::wstring fileName;    // the name below the device, FileObject->FileName
    PDEVICE_OBJECT device = nullptr;
    bool cleanedUp = false;
};

namespace ksim {
namespace {

std::set<KsimFile*>& Handles() {
    static auto* handles = new std::set<KsimFile*>;
    return *handles;
}

// The access each open file object was granted, as the object manager keeps it with the handle.
std::map<PFILE_OBJECT, ACCESS_MASK>& GrantedAccess() {
    static auto* granted = new std::map<PFILE_OBJECT, ACCESS_MASK>;
    return *granted;
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
    GrantedAccess().clear();
}

bool HandlesOpenOnStack(PDEVICE_OBJECT pdo) {
    Guard g(Lock());
    std::vector<PDEVICE_OBJECT> tree{pdo};
    for (size_t i = 0; i < tree.size(); ++i)
        if (DeviceInfo* info = FindDevice(tree[i]))
            for (PDEVICE_OBJECT child : info->children) tree.push_back(child);
    for (KsimFile* handle : Handles()) {
        DeviceInfo* info = FindDevice(handle->device);
        PDEVICE_OBJECT bottom = info && info->stackBottom ? info->stackBottom : handle->device;
        if (std::find(tree.begin(), tree.end(), bottom) != tree.end()) return true;
    }
    return false;
}

void UserCheck(std::vector<std::string>* problems) {
    Guard g(Lock());
    for (KsimFile* handle : Handles())
        problems->push_back("handle leak: a handle on " + DeviceLabel(handle->device) + " was never closed");
}

}  // namespace ksim

using namespace ksim;

namespace ksim {
namespace {

std::vector<std::string>& Caller() {
    static auto* sids = new std::vector<std::string>;
    return *sids;
}

// Generic rights as the file object type maps them.
ACCESS_MASK MapGeneric(ACCESS_MASK access) {
    if (access & GENERIC_ALL) access |= FILE_ALL_ACCESS;
    if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
    return access & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
}

// What the no-write-up policy of a label above the caller's level takes away: every right of
// the generic write mapping that reading does not share.
constexpr ACCESS_MASK WRITE_UP_RIGHTS =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER;

ACCESS_MASK GrantedBy(const std::vector<std::pair<std::string, ACCESS_MASK>>& dacl,
                      const std::vector<std::string>& sids) {
    ACCESS_MASK granted = 0;
    for (const auto& entry : dacl)
        if (std::find(sids.begin(), sids.end(), entry.first) != sids.end()) granted |= MapGeneric(entry.second);
    return granted;
}

// The object manager's access check of an open, as Windows makes it: the DACL's allow entries
// for the caller's SIDs; for an AppContainer the same DACL again for the package SIDs, both of
// which must grant; then the mandatory label (a device has none of its own, so the default
// Medium label with no-write-up applies). Returns the granted rights, or 0 when denied.
ACCESS_MASK AccessCheck(PDEVICE_OBJECT device, ACCESS_MASK desired, KsimIntegrity integrity, bool appContainer) {
    Guard g(Lock());
    ACCESS_MASK wanted = MapGeneric(desired);
    DeviceInfo* info = FindDevice(device);
    ACCESS_MASK granted = FILE_ALL_ACCESS;
    if (info && info->hasDacl) {
        granted = GrantedBy(info->dacl, Caller());
        if (appContainer) granted &= GrantedBy(info->dacl, {KSIM_SID_ALL_APPLICATION_PACKAGES});
    } else if (appContainer) {
        // The default security names no package: an AppContainer is let in only where a DACL
        // says so.
        granted = 0;
    }
    if (integrity < KsimIntegrity::Medium) granted &= ~WRITE_UP_RIGHTS;
    if ((wanted & ~granted) != 0) return 0;
    return wanted ? wanted : SYNCHRONIZE;
}

// Splits "\\.\X\rest" into the device it names and the rest, as the object manager parses a
// name up to the device and hands the remainder to the driver as the file name.
PDEVICE_OBJECT ResolveWithRemainder(const std::wstring& path, std::wstring* remainder) {
    remainder->clear();
    std::wstring prefix = path;
    for (;;) {
        if (PDEVICE_OBJECT device = ResolvePath(prefix)) {
            *remainder = path.substr(prefix.size());
            return device;
        }
        size_t slash = prefix.find_last_of(L'\\');
        if (slash == std::wstring::npos || slash < 4) return nullptr;
        prefix.resize(slash);
    }
}

}  // namespace

void ResetCaller() {
    Guard g(Lock());
    Caller() = {KSIM_SID_ADMINISTRATORS, KSIM_SID_INTERACTIVE, KSIM_SID_AUTHENTICATED_USERS, KSIM_SID_EVERYONE};
}

}  // namespace ksim

void KsimSetCaller(const std::vector<std::string>& sids) {
    Guard g(Lock());
    Caller() = sids;
}

std::vector<std::pair<std::string, ACCESS_MASK>> KsimDeviceDacl(PDEVICE_OBJECT device, bool* hasDacl) {
    Guard g(Lock());
    DeviceInfo* info = FindDevice(device);
    if (hasDacl) *hasDacl = info && info->hasDacl;
    return info ? info->dacl : std::vector<std::pair<std::string, ACCESS_MASK>>();
}

KsimHandle KsimUserOpen(const wchar_t* path, NTSTATUS* status, ACCESS_MASK desiredAccess, KsimIntegrity integrity,
                        bool appContainer) {
    std::wstring remainder;
    PDEVICE_OBJECT device = ResolveWithRemainder(path ? path : L"", &remainder);
    if (!device) {
        if (status) *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    // A name below the device is checked only when the device asks for it; otherwise its
    // driver alone decides.
    ACCESS_MASK granted = MapGeneric(desiredAccess);
    if (remainder.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN)) {
        granted = AccessCheck(device, desiredAccess, integrity, appContainer);
        if (!granted) {
            if (status) *status = STATUS_ACCESS_DENIED;
            return nullptr;
        }
    }
    // The I/O manager opens no device its driver has not finished initialising.
    if (device->Flags & DO_DEVICE_INITIALIZING) {
        if (status) *status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    auto* handle = new KsimFile;
    handle->device = device;
    handle->granted = granted;
    handle->file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    handle->file->Type = IO_TYPE_FILE;
    handle->file->Size = sizeof(FILE_OBJECT);
    handle->file->DeviceObject = device;
    handle->file->Flags = FO_SYNCHRONOUS_IO;
    handle->fileName = remainder;
    handle->file->FileName.Buffer = handle->fileName.empty() ? nullptr : &handle->fileName[0];
    handle->file->FileName.Length = static_cast<USHORT>(handle->fileName.size() * sizeof(WCHAR));
    handle->file->FileName.MaximumLength = handle->file->FileName.Length;
    KeInitializeEvent(&handle->file->Event, NotificationEvent, FALSE);
    ReferenceDevice(device);
    {
        Guard g(Lock());
        ++device->ReferenceCount;
    }
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = desiredAccess;
    {
        Guard g(Lock());
        GrantedAccess()[handle->file] = granted;
    }
    UserResult r = SendUser(handle, IRP_MJ_CREATE, [&security](PIRP, PIO_STACK_LOCATION s) {
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
        {
            Guard g(Lock());
            GrantedAccess().erase(handle->file);
        }
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
    // The I/O manager lets a code through only on a handle opened with the access it names.
    ULONG required = (code >> 14) & 3;
    if (((required & FILE_READ_ACCESS) && !(handle->granted & FILE_READ_DATA)) ||
        ((required & FILE_WRITE_ACCESS) && !(handle->granted & FILE_WRITE_DATA))) {
        if (information) *information = 0;
        return STATUS_ACCESS_DENIED;
    }
    ULONG method = METHOD_FROM_CTL_CODE(code);
    // The I/O manager probes the caller's buffers: a length without a buffer faults there.
    if (method != METHOD_NEITHER && ((inLen && !in) || (outLen && !out))) return STATUS_ACCESS_VIOLATION;
    void* system = nullptr;
    PMDL mdl = nullptr;
    // The system buffer ends flush against a no-access page, as special pool places it: a read
    // past the caller's input, when it fills the buffer, stops at once.
    if (method == METHOD_BUFFERED) {
        ULONG bytes = inLen > outLen ? inLen : outLen;
        if (bytes) {
            system = VmAllocateTail(bytes);
            std::memset(system, 0xA5, bytes);  // as fresh pool, never zeroed
            if (in && inLen) std::memcpy(system, in, inLen);
        }
    } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        if (in && inLen) {
            system = VmAllocateTail(inLen);
            std::memcpy(system, in, inLen);
        }
        if (out && outLen) mdl = AllocateSimMdl(out, outLen);
    }
    auto copyOut = [method, system, out, outLen](PIRP done) {
        if (method != METHOD_BUFFERED || NT_ERROR(done->IoStatus.Status) || !out || !outLen || !system) return;
        ULONG_PTR bytes = done->IoStatus.Information;
        if (bytes > outLen) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x22F, reinterpret_cast<ULONG_PTR>(done), bytes, outLen,
                 "IoStatus.Information %llu exceeds the caller's output buffer of %lu bytes", (unsigned long long)bytes,
                 (unsigned long)outLen);
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
    if (system) VmFreeTail(system);
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
        GrantedAccess().erase(handle->file);
    }
    // The last handle on a stack unplugged meanwhile lets Plug and Play send the remove.
    PDEVICE_OBJECT deferred = nullptr;
    {
        Guard g(Lock());
        DeviceInfo* info = FindDevice(handle->device);
        PDEVICE_OBJECT bottom = info && info->stackBottom ? info->stackBottom : handle->device;
        for (DeviceInfo* d = FindDevice(bottom); d && !deferred; d = d->parent ? FindDevice(d->parent) : nullptr)
            if (d->removeDeferred) deferred = d->device;
    }
    std::free(handle->file);
    delete handle;
    if (deferred && !HandlesOpenOnStack(deferred)) {
        {
            Guard g(Lock());
            if (DeviceInfo* info = FindDevice(deferred)) info->removeDeferred = false;
        }
        KsimPnpRemove(deferred);
    }
    return status;
}

PFILE_OBJECT KsimUserFileObject(KsimHandle handle) { return handle ? handle->file : nullptr; }

ACCESS_MASK KsimUserGrantedAccess(KsimHandle handle) { return handle ? handle->granted : 0; }

// What the handle the request came through was granted; a request from kernel mode passes.
NTSTATUS NTAPI IoValidateDeviceIoControlAccess(PIRP Irp, ULONG RequiredAccess) {
    if (!Irp || (RequiredAccess & ~(FILE_READ_ACCESS | FILE_WRITE_ACCESS))) return STATUS_INVALID_PARAMETER;
    if (Irp->RequestorMode == KernelMode) return STATUS_SUCCESS;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    ACCESS_MASK granted = 0;
    {
        Guard g(Lock());
        auto it = GrantedAccess().find(file);
        if (it != GrantedAccess().end()) granted = it->second;
    }
    if (((RequiredAccess & FILE_READ_ACCESS) && !(granted & FILE_READ_DATA)) ||
        ((RequiredAccess & FILE_WRITE_ACCESS) && !(granted & FILE_WRITE_DATA)))
        return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}
KSIM_IMPORT_POINTER(IoValidateDeviceIoControlAccess)
