// Object manager: references on device objects. A deleted device object keeps its memory (and
// its extension intact) while references remain, as on Windows; the last release poisons it.
// References on other objects are accepted and not tracked.
#include "ksim_internal.h"

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
KSIM_IMPORT_POINTER(ObfReferenceObject)
KSIM_IMPORT_POINTER(ObfDereferenceObject)
KSIM_IMPORT_POINTER(ObReferenceObjectByPointer)
