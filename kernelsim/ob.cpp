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

}  // extern "C"

KSIM_IMPORT_POINTER(ObfReferenceObject)
KSIM_IMPORT_POINTER(ObfDereferenceObject)
KSIM_IMPORT_POINTER(ObReferenceObjectByPointer)
