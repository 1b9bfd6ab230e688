// Object manager: references on device objects. A deleted device object keeps its memory (and
// its extension intact) while references remain, as on Windows; the last release poisons it.
// References on other objects are accepted and not tracked.
#include "ksim_internal.h"

namespace ksim {
namespace {

struct KernelHandles {
    std::map<HANDLE, PDEVICE_OBJECT> open;
    ULONG_PTR next = 0x80000004;
};

KernelHandles& KH() {
    static auto* handles = new KernelHandles;
    return *handles;
}

}  // namespace

HANDLE OpenKernelHandle(PDEVICE_OBJECT device) {
    Guard g(Lock());
    HANDLE handle = reinterpret_cast<HANDLE>(KH().next);
    KH().next += 4;
    KH().open[handle] = device;
    return handle;
}

PDEVICE_OBJECT KernelHandleObject(HANDLE handle) {
    Guard g(Lock());
    auto it = KH().open.find(handle);
    return it == KH().open.end() ? nullptr : it->second;
}

PDEVICE_OBJECT CloseKernelHandle(HANDLE handle) {
    Guard g(Lock());
    auto it = KH().open.find(handle);
    if (it == KH().open.end()) return nullptr;
    PDEVICE_OBJECT device = it->second;
    KH().open.erase(it);
    return device;
}

void ObReset() {
    Guard g(Lock());
    KH().open.clear();
}

void ObCheck(std::vector<std::string>* problems) {
    Guard g(Lock());
    for (auto& entry : KH().open)
        problems->push_back("kernel handle leak: a handle on " + DeviceLabel(entry.second) +
                            " was never closed (ZwClose)");
}

}  // namespace ksim

using namespace ksim;

extern "C" {

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Object);
    if (DeviceOrNull(device)) ReferenceDevice(device);
    return 1;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Object);
    if (DeviceOrNull(device)) DereferenceDevice(device);
    return 0;
}

NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                          KPROCESSOR_MODE AccessMode) {
    (void)DesiredAccess;
    (void)ObjectType;
    (void)AccessMode;
    ObfReferenceObject(Object);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ObSetSecurityObjectByPointer(PVOID Object, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor);

// Kernel handles on device objects, for the calls that take a handle rather than a pointer.
NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                     ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                     PHANDLE Handle) {
    (void)PassedAccessState;
    (void)DesiredAccess;
    (void)ObjectType;
    RequireIrql(PASSIVE_LEVEL, "ObOpenObjectByPointer");
    *Handle = nullptr;
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Object);
    if (!DeviceOrNull(device) || KsimIsDeleted(device)) return STATUS_OBJECT_TYPE_MISMATCH;
    if (AccessMode == KernelMode && !(HandleAttributes & OBJ_KERNEL_HANDLE))
        Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x221, reinterpret_cast<ULONG_PTR>(Object), HandleAttributes,
             0, "ObOpenObjectByPointer from kernel mode without OBJ_KERNEL_HANDLE (a handle in the caller's process)");
    ReferenceDevice(device);
    *Handle = OpenKernelHandle(device);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor) {
    PDEVICE_OBJECT device = KernelHandleObject(Handle);
    if (!device) return STATUS_INVALID_HANDLE;
    return ObSetSecurityObjectByPointer(device, SecurityInformation, SecurityDescriptor);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    PDEVICE_OBJECT device = CloseKernelHandle(Handle);
    if (!device) return STATUS_INVALID_HANDLE;
    DereferenceDevice(device);
    return STATUS_SUCCESS;
}

// Only the DACL of a device object is kept; it governs KsimUserOpen.
NTSTATUS NTAPI ObSetSecurityObjectByPointer(PVOID Object, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor) {
    RequireIrql(PASSIVE_LEVEL, "ObSetSecurityObjectByPointer");
    if (!SecurityDescriptor || static_cast<UCHAR*>(SecurityDescriptor)[0] != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_INVALID_SECURITY_DESCR;
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Object);
    Guard g(Lock());
    DeviceInfo* info = FindDevice(device);
    if (!info || info->deleted) return STATUS_INVALID_PARAMETER;
    if (!(SecurityInformation & DACL_SECURITY_INFORMATION)) return STATUS_SUCCESS;
    bool present = false;
    const ACL* acl = DaclOf(SecurityDescriptor, &present);
    std::vector<std::pair<std::string, ACCESS_MASK>> entries;
    if (acl && !ReadAcl(acl, &entries)) return STATUS_INVALID_ACL;
    // A DACL present but null grants everyone everything, as no DACL at all does.
    info->hasDacl = present && acl;
    info->dacl = entries;
    return STATUS_SUCCESS;
}

}  // extern "C"

KSIM_IMPORT_POINTER(ObSetSecurityObjectByPointer)
KSIM_IMPORT_POINTER(ObOpenObjectByPointer)
KSIM_IMPORT_POINTER(ZwSetSecurityObject)
KSIM_IMPORT_POINTER(ZwClose)
KSIM_IMPORT_POINTER(ObfReferenceObject)
KSIM_IMPORT_POINTER(ObfDereferenceObject)
KSIM_IMPORT_POINTER(ObReferenceObjectByPointer)
