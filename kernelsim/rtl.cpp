// Runtime library: counted strings, case folding, memory comparison, and RtlAssert capture.
#include "ksim_internal.h"

#include <cstddef>
#include <cstring>

namespace ksim {
namespace {

struct Asserts {
    std::vector<KsimAssert> reports;
    bool breaks = false;  // a kernel debugger is attached: each assertion stops at its prompt
};

Asserts& A() {
    static Asserts* a = new Asserts;
    return *a;
}

std::string ModuleOf(const std::string& file) {
    size_t slash = file.find_last_of("/\\");
    std::string base = (slash == std::string::npos) ? file : file.substr(slash + 1);
    size_t dot = base.find('.');
    return dot == std::string::npos ? base : base.substr(0, dot);
}

}  // namespace
}  // namespace ksim

using namespace ksim;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = strlen(SourceString);
    if (bytes > 0xFFFE) bytes = 0xFFFE;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    RtlInitAnsiString(DestinationString, SourceString);
}

// Simple case mapping of the kernel's upcase table for the ranges devices use: ASCII, Latin-1.
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    WCHAR c = SourceCharacter;
    if (c >= L'a' && c <= L'z') return c - (L'a' - L'A');
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
    if (c == 0xFF) return 0x178;
    return c;
}

WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter) {
    WCHAR c = SourceCharacter;
    if (c >= L'A' && c <= L'Z') return c + (L'a' - L'A');
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if (c == 0x178) return 0xFF;
    return c;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    RequireIrql(APC_LEVEL, "RtlCompareUnicodeString");
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(CONST UNICODE_STRING* String1, CONST UNICODE_STRING* String2,
                                    BOOLEAN CaseInSensitive) {
    RequireIrql(APC_LEVEL, "RtlEqualUnicodeString");
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!Source || Source->Length == 0) return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length += Source->Length;
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source) return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) PoolFree(UnicodeString->Buffer, 0, false, true);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<WCHAR>(d < 10 ? L'0' + d : L'A' + d - 10);
        Value /= Base;
    } while (Value);
    USHORT bytes = static_cast<USHORT>(n * sizeof(WCHAR));
    if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
    String->Length = bytes;
    if (bytes + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    size_t n = String->Length / sizeof(WCHAR), i = 0;
    while (i < n && String->Buffer[i] == L' ') ++i;
    bool negative = false;
    if (i < n && (String->Buffer[i] == L'-' || String->Buffer[i] == L'+')) negative = String->Buffer[i++] == L'-';
    if (Base == 0) {
        Base = 10;
        if (i + 1 < n && String->Buffer[i] == L'0') {
            WCHAR p = String->Buffer[i + 1];
            if (p == L'x') {
                Base = 16;
                i += 2;
            } else if (p == L'o') {
                Base = 8;
                i += 2;
            } else if (p == L'b') {
                Base = 2;
                i += 2;
            }
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG v = 0;
    for (; i < n; ++i) {
        WCHAR c = RtlUpcaseUnicodeChar(String->Buffer[i]);
        ULONG d;
        if (c >= L'0' && c <= L'9')
            d = c - L'0';
        else if (c >= L'A' && c <= L'F')
            d = c - L'A' + 10;
        else
            break;
        if (d >= Base) break;
        v = v * Base + d;
    }
    *Value = negative ? 0u - v : v;
    return STATUS_SUCCESS;
}

SIZE_T NTAPI RtlCompareMemory(CONST VOID* Source1, CONST VOID* Source2, SIZE_T Length) {
    const unsigned char* a = static_cast<const unsigned char*>(Source1);
    const unsigned char* b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    lpVersionInformation->dwMajorVersion = 10;
    lpVersionInformation->dwMinorVersion = 0;
    lpVersionInformation->dwBuildNumber = 19045;
    lpVersionInformation->dwPlatformId = 2;
    lpVersionInformation->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}

// The checked kernel prints the report and asks the debugger; here it is recorded and execution
// continues, which is what the driver's invariant reports expect.
VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
    KsimAssert report;
    report.expression = FailedAssertion ? static_cast<const char*>(FailedAssertion) : "";
    report.file = FileName ? static_cast<const char*>(FileName) : "";
    report.module = ModuleOf(report.file);
    report.line = LineNumber;
    report.message = Message ? Message : "";
    bool breaks;
    {
        Guard g(Lock());
        A().reports.push_back(report);
        breaks = A().breaks;
    }
    if (std::getenv("KSIM_ECHO"))
        fprintf(stderr, "*** Assertion failed: %s%s\n***   Source File: %s, line %lu\n\n", report.message.c_str(),
                report.expression.c_str(), report.file.c_str(), (unsigned long)LineNumber);
    // RtlAssert prompts and then executes a breakpoint: with a debugger the machine halts there,
    // without one the breakpoint is an unhandled kernel exception.
    if (breaks)
        Stop(KSIM_STOP_KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG_PTR>(STATUS_BREAKPOINT), 0, 0, 0,
             "RtlAssert breaks into the kernel debugger: %s%s (%s, line %lu)", report.message.c_str(),
             report.expression.c_str(), report.file.c_str(), (unsigned long)LineNumber);
}

}  // extern "C"

namespace ksim {
namespace {

// Layouts as the kernel reads them (the DDK's wdm.h leaves them opaque).
struct SidLayout {
    UCHAR revision;
    UCHAR subAuthorityCount;
    UCHAR identifierAuthority[6];
    ULONG subAuthority[1];
};
struct AceLayout {
    UCHAR type;
    UCHAR flags;
    USHORT size;
    ACCESS_MASK mask;
    ULONG sidStart;
};
struct AbsoluteDescriptor {
    UCHAR revision;
    UCHAR sbz1;
    USHORT control;
    PVOID owner;
    PVOID group;
    PACL sacl;
    PACL dacl;
};
constexpr USHORT kSeDaclPresent = 0x0004;
constexpr USHORT kSeDaclDefaulted = 0x0008;
constexpr USHORT kSeSelfRelative = 0x8000;
constexpr UCHAR kAccessAllowedAceType = 0;

bool ValidSid(const void* sid) {
    auto* s = static_cast<const SidLayout*>(sid);
    return s && s->revision == 1 && s->subAuthorityCount <= 15;
}

}  // namespace

std::string SidText(const void* sid) {
    if (!ValidSid(sid)) return std::string();
    auto* s = static_cast<const SidLayout*>(sid);
    unsigned long long authority = 0;
    for (UCHAR b : s->identifierAuthority) authority = (authority << 8) | b;
    std::string text = "S-1-" + std::to_string(authority);
    for (UCHAR i = 0; i < s->subAuthorityCount; ++i) text += "-" + std::to_string(s->subAuthority[i]);
    return text;
}

// The allow entries of a DACL, or false when the list is malformed.
bool ReadAcl(const ACL* acl, std::vector<std::pair<std::string, ACCESS_MASK>>* entries) {
    const UCHAR* at = reinterpret_cast<const UCHAR*>(acl) + sizeof(ACL);
    const UCHAR* end = reinterpret_cast<const UCHAR*>(acl) + acl->AclSize;
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        auto* ace = reinterpret_cast<const AceLayout*>(at);
        if (at + sizeof(AceLayout) > end || ace->size < sizeof(AceLayout) || at + ace->size > end) return false;
        if (ace->type == kAccessAllowedAceType) entries->emplace_back(SidText(&ace->sidStart), ace->mask);
        at += ace->size;
    }
    return true;
}

// The DACL a descriptor carries (absolute or self-relative); null when it has none.
const ACL* DaclOf(const void* descriptor, bool* present) {
    auto* sd = static_cast<const AbsoluteDescriptor*>(descriptor);
    *present = (sd->control & kSeDaclPresent) != 0;
    if (!*present) return nullptr;
    if (sd->control & kSeSelfRelative) {
        ULONG offset = reinterpret_cast<const ULONG*>(descriptor)[4];  // Owner, Group, Sacl, Dacl offsets
        return offset ? reinterpret_cast<const ACL*>(static_cast<const UCHAR*>(descriptor) + offset) : nullptr;
    }
    return sd->dacl;
}

}  // namespace ksim

extern "C" {

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision) {
    if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    auto* sd = static_cast<ksim::AbsoluteDescriptor*>(SecurityDescriptor);
    std::memset(sd, 0, sizeof(*sd));
    sd->revision = static_cast<UCHAR>(Revision);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent, PACL Dacl,
                                            BOOLEAN DaclDefaulted) {
    auto* sd = static_cast<ksim::AbsoluteDescriptor*>(SecurityDescriptor);
    if (sd->revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    if (sd->control & ksim::kSeSelfRelative) return STATUS_INVALID_SECURITY_DESCR;
    sd->control &= static_cast<USHORT>(~(ksim::kSeDaclPresent | ksim::kSeDaclDefaulted));
    sd->dacl = nullptr;
    if (DaclPresent) {
        sd->control |= ksim::kSeDaclPresent;
        sd->dacl = Dacl;
        if (DaclDefaulted) sd->control |= ksim::kSeDaclDefaulted;
    }
    return STATUS_SUCCESS;
}

ULONG NTAPI RtlLengthSid(PSID Sid) {
    return 8 + 4 * static_cast<ULONG>(static_cast<ksim::SidLayout*>(Sid)->subAuthorityCount);
}

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
    if (AclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
    if (AclRevision < MIN_ACL_REVISION || AclRevision > MAX_ACL_REVISION || AclLength > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    std::memset(Acl, 0, sizeof(ACL));
    Acl->AclRevision = static_cast<UCHAR>(AclRevision);
    Acl->AclSize = static_cast<USHORT>(AclLength & ~3u);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid) {
    if (!ksim::ValidSid(Sid)) return STATUS_INVALID_SID;
    if (AceRevision < MIN_ACL_REVISION || AceRevision > MAX_ACL_REVISION) return STATUS_REVISION_MISMATCH;
    UCHAR* at = reinterpret_cast<UCHAR*>(Acl) + sizeof(ACL);
    UCHAR* end = reinterpret_cast<UCHAR*>(Acl) + Acl->AclSize;
    for (USHORT i = 0; i < Acl->AceCount; ++i) {
        USHORT size = reinterpret_cast<ksim::AceLayout*>(at)->size;
        if (size == 0 || at + size > end) return STATUS_INVALID_ACL;
        at += size;
    }
    ULONG sidBytes = RtlLengthSid(Sid);
    ULONG aceBytes = offsetof(ksim::AceLayout, sidStart) + sidBytes;
    if (at + aceBytes > end) return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto* ace = reinterpret_cast<ksim::AceLayout*>(at);
    ace->type = ksim::kAccessAllowedAceType;
    ace->flags = 0;
    ace->size = static_cast<USHORT>(aceBytes);
    ace->mask = AccessMask;
    std::memcpy(&ace->sidStart, Sid, sidBytes);
    ++Acl->AceCount;
    return STATUS_SUCCESS;
}

}  // extern "C"

KSIM_IMPORT_POINTER(RtlCreateSecurityDescriptor)
KSIM_IMPORT_POINTER(RtlSetDaclSecurityDescriptor)
KSIM_IMPORT_POINTER(RtlLengthSid)
KSIM_IMPORT_POINTER(RtlCreateAcl)
KSIM_IMPORT_POINTER(RtlAddAccessAllowedAce)

KSIM_IMPORT_POINTER(RtlInitUnicodeString)
KSIM_IMPORT_POINTER(RtlInitAnsiString)
KSIM_IMPORT_POINTER(RtlInitString)
KSIM_IMPORT_POINTER(RtlUpcaseUnicodeChar)
KSIM_IMPORT_POINTER(RtlDowncaseUnicodeChar)
KSIM_IMPORT_POINTER(RtlCompareUnicodeString)
KSIM_IMPORT_POINTER(RtlEqualUnicodeString)
KSIM_IMPORT_POINTER(RtlCopyUnicodeString)
KSIM_IMPORT_POINTER(RtlAppendUnicodeStringToString)
KSIM_IMPORT_POINTER(RtlAppendUnicodeToString)
KSIM_IMPORT_POINTER(RtlFreeUnicodeString)
KSIM_IMPORT_POINTER(RtlIntegerToUnicodeString)
KSIM_IMPORT_POINTER(RtlUnicodeStringToInteger)
KSIM_IMPORT_POINTER(RtlCompareMemory)
KSIM_IMPORT_POINTER(RtlGetVersion)
KSIM_IMPORT_POINTER(RtlAssert)

std::vector<KsimAssert> KsimAsserts() {
    Guard g(Lock());
    return A().reports;
}

void KsimClearAsserts() {
    Guard g(Lock());
    A().reports.clear();
}

namespace ksim {
void AssertReset() {
    KsimClearAsserts();
    Guard g(Lock());
    A().breaks = false;
}
}  // namespace ksim

void KsimSetAssertionsBreak(bool on) {
    Guard g(Lock());
    A().breaks = on;
}
