// Security of the control devices: SYSTEM and Administrators all access, the interactive user
// (the companion app runs as the logged-on user) read and write, nobody else. The I/O manager
// checks it at every open, names below the device included (FILE_DEVICE_SECURE_OPEN).
#include "devext.h"

// The DDK declares these only in its file-system header; signatures as there.
extern "C" {
NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI ULONG NTAPI RtlLengthSid(PSID Sid);
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                                 ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                 KPROCESSOR_MODE AccessMode, PHANDLE Handle);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor);
}

namespace {

// A SID of the NT authority with up to two sub-authorities, laid out as the kernel reads it.
struct NtAuthoritySid {
    UCHAR revision;
    UCHAR subAuthorityCount;
    UCHAR identifierAuthority[6];
    ULONG subAuthority[2];
};

constexpr NtAuthoritySid LOCAL_SYSTEM = {1, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};      // S-1-5-18
constexpr NtAuthoritySid ADMINISTRATORS = {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};  // S-1-5-32-544
constexpr NtAuthoritySid INTERACTIVE = {1, 1, {0, 0, 0, 0, 0, 5}, {4, 0}};        // S-1-5-4

struct Grant {
    const NtAuthoritySid* sid;
    ACCESS_MASK access;
};

const Grant GRANTS[] = {
    {&LOCAL_SYSTEM, GENERIC_ALL},
    {&ADMINISTRATORS, GENERIC_ALL},
    {&INTERACTIVE, GENERIC_READ | GENERIC_WRITE},
};

// An access-allowed entry is its 4-byte header and its mask, followed by the SID.
constexpr ULONG ACE_FIXED_BYTES = 4 + sizeof(ACCESS_MASK);

// Resident in name only: its one caller, which is paged, takes it inline.
_IRQL_requires_(PASSIVE_LEVEL)
PSID SidOf(const Grant& grant) { return const_cast<NtAuthoritySid*>(grant.sid); }

}  // namespace

// PASSIVE_LEVEL, before the device's name is linked. The object manager keeps a copy of the
// descriptor, so both it and its list live on the stack.
VA_PAGED NTSTATUS ProtectControlDevice(PDEVICE_OBJECT controlDevObj) {
    alignas(8) UCHAR descriptor[64] = {};
    alignas(8) UCHAR aclBuffer[128] = {};
    auto* acl = reinterpret_cast<PACL>(aclBuffer);

    ULONG aclBytes = sizeof(ACL);
    for (const Grant& grant : GRANTS) {
        aclBytes += ACE_FIXED_BYTES + RtlLengthSid(SidOf(grant));
    }
    if (aclBytes > sizeof(aclBuffer)) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    NTSTATUS status = RtlCreateSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlCreateAcl(acl, aclBytes, ACL_REVISION);
    }
    for (const Grant& grant : GRANTS) {
        if (NT_SUCCESS(status)) {
            status = RtlAddAccessAllowedAce(acl, ACL_REVISION, grant.access, SidOf(grant));
        }
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(descriptor, TRUE, acl, FALSE);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Through a kernel handle, as the object manager applies a descriptor to any object.
    HANDLE handle = nullptr;
    status = ObOpenObjectByPointer(controlDevObj, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, descriptor);
    ZwClose(handle);
    return status;
}
