// What the test bus does because Wine's kernel differs from Windows (each is a known Wine gap):
//  - Wine's Plug and Play manager ignores UpperFilters, so the bus's AddDevice loads the filter
//    itself and calls its AddDevice with the root PDO, which leaves it where a class upper
//    filter sits: right above the bus FDO.
//  - Wine's IoGetDeviceProperty reports the class GUID in upper case, where Windows reports it
//    in lower case, and returns Win32 error numbers (which read as success) where Windows
//    returns failure statuses. The filter's import of it is pointed at an adapter that changes
//    exactly these two things.
//  - Wine never writes a device's LocationInformation value; the bus writes it while starting a
//    child, as the Windows USB hub driver makes it known.
//  - Wine's DbgPrint text goes only to the trace of the Wine session, so the filter's DbgPrint
//    import is pointed at a recorder that keeps a copy for the test and then calls DbgPrint.
//    Its RtlAssert import is recorded the same way, as a debugger attached to Windows would
//    report a failed assertion, so the test sees every invariant the filter found broken.
//  - Wine has IoValidateDeviceIoControlAccess only as a stub, and hands a driver no access granted
//    to the handle a request came through. The filter's import of it is pointed at an adapter
//    that answers as Windows does for the handles these tests open, for reading and writing; a
//    handle opened for reading only is proven over the kernel simulator.
#include <ntddk.h>
#include <ntimage.h>
#include <stdarg.h>

#include "testbus_internal.h"

extern "C" {
NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING name, ULONG attributes, PACCESS_STATE accessState,
                                       ACCESS_MASK access, POBJECT_TYPE type, KPROCESSOR_MODE mode, PVOID parseContext,
                                       PVOID* object);
__declspec(dllimport) extern POBJECT_TYPE* IoDriverObjectType;
}

namespace tvxbus {
namespace {

constexpr PCWSTR FILTER_DRIVER = L"\\Driver\\Tarvex";
constexpr PCWSTR ENUM_KEY = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";

// Win32 error numbers that Wine's IoGetDeviceProperty returns as its status.
constexpr NTSTATUS WIN32_ERROR_INVALID_DATA = 13;
constexpr NTSTATUS WIN32_ERROR_INSUFFICIENT_BUFFER = 122;

// Stands in for DbgPrint in the filter's imports.
ULONG __cdecl RecordingDbgPrint(PCSTR format, ...) {
    va_list args;
    va_start(args, format);
    VTrace(format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

// Stands in for IoGetDeviceProperty in the filter's imports: the answer Windows would give.
NTSTATUS WindowsDeviceProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                               PULONG resultLength) {
    NTSTATUS status = IoGetDeviceProperty(device, property, length, buffer, resultLength);
    if (status > 0 && status < 0x10000) {
        InterlockedIncrement(&busStatus.wineWin32Statuses);
        status = status == WIN32_ERROR_INSUFFICIENT_BUFFER ? STATUS_BUFFER_TOO_SMALL
                 : status == WIN32_ERROR_INVALID_DATA      ? STATUS_OBJECT_NAME_NOT_FOUND
                                                           : STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status) && property == DevicePropertyClassGuid) {
        auto* text = static_cast<PWCHAR>(buffer);
        BOOLEAN upper = FALSE;
        for (ULONG i = 0; i < length / sizeof(WCHAR) && text[i]; ++i) {
            if (text[i] >= L'A' && text[i] <= L'F') {
                text[i] = static_cast<WCHAR>(text[i] - L'A' + L'a');
                upper = TRUE;
            }
        }
        if (upper) {
            InterlockedIncrement(&busStatus.wineUpperCaseGuids);
        }
    }
    return status;
}

// Stands in for RtlAssert in the filter's imports.
VOID NTAPI RecordingRtlAssert(PVOID failedAssertion, PVOID fileName, ULONG lineNumber, PSTR message) {
    InterlockedIncrement(&busStatus.filterAssertions);
    Trace("*** Assertion failed: %s (%s, line %u)%s%s\n", static_cast<const char*>(failedAssertion),
          static_cast<const char*>(fileName), lineNumber, message ? ": " : "", message ? message : "");
    RtlAssert(failedAssertion, fileName, lineNumber, message);
}

// Stands in for IoValidateDeviceIoControlAccess in the filter's imports.
NTSTATUS NTAPI ReadWriteHandleAccess(PIRP irp, ULONG requiredAccess) {
    if (!irp || (requiredAccess & ~static_cast<ULONG>(FILE_READ_ACCESS | FILE_WRITE_ACCESS))) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

BOOLEAN SameAscii(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) {
            return FALSE;
        }
    }
    return *a == *b;
}

PIMAGE_NT_HEADERS64 PeHeadersAt(ULONG_PTR base, ULONG_PTR inside) {
    auto* dos = reinterpret_cast<PIMAGE_DOS_HEADER>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 || dos->e_lfanew > 0x800) {
        return nullptr;
    }
    auto* nt = reinterpret_cast<PIMAGE_NT_HEADERS64>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        inside - base >= nt->OptionalHeader.SizeOfImage) {
        return nullptr;
    }
    return nt;
}

// Images are mapped at 64 KiB boundaries, and every page between an image's base and an
// address inside it is mapped, so the walk down from the entry point meets the base first.
ULONG_PTR ImageBaseOf(PDRIVER_OBJECT driver) {
    auto inside = reinterpret_cast<ULONG_PTR>(driver->DriverInit);
    if (driver->DriverStart && PeHeadersAt(reinterpret_cast<ULONG_PTR>(driver->DriverStart), inside)) {
        return reinterpret_cast<ULONG_PTR>(driver->DriverStart);
    }
    for (ULONG_PTR base = inside & ~static_cast<ULONG_PTR>(0xFFFF); inside - base < 0x4000000; base -= 0x10000) {
        if (PeHeadersAt(base, inside)) {
            return base;
        }
    }
    return 0;
}

PVOID AdapterFor(const char* name) {
    if (SameAscii(name, "IoGetDeviceProperty")) {
        return reinterpret_cast<PVOID>(WindowsDeviceProperty);
    }
    if (SameAscii(name, "DbgPrint")) {
        return reinterpret_cast<PVOID>(RecordingDbgPrint);
    }
    if (SameAscii(name, "RtlAssert")) {
        return reinterpret_cast<PVOID>(RecordingRtlAssert);
    }
    if (SameAscii(name, "IoValidateDeviceIoControlAccess")) {
        return reinterpret_cast<PVOID>(ReadWriteHandleAccess);
    }
    return nullptr;
}

BOOLEAN IsWritable(PIMAGE_NT_HEADERS64 nt, ULONG rva) {
    PIMAGE_SECTION_HEADER section = IMAGE_FIRST_SECTION(nt);
    for (USHORT i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize) {
            return (section->Characteristics & IMAGE_SCN_MEM_WRITE) != 0;
        }
    }
    return FALSE;
}

}  // namespace

// Points the filter's imports of IoGetDeviceProperty, DbgPrint, RtlAssert and
// IoValidateDeviceIoControlAccess at the adapters above.
// Returns how many were changed, or -1 when the image or its import table cannot be used.
LONG AdaptFilterImports(PDRIVER_OBJECT driver) {
    ULONG_PTR base = ImageBaseOf(driver);
    if (!base) {
        return -1;
    }
    PIMAGE_NT_HEADERS64 nt = PeHeadersAt(base, reinterpret_cast<ULONG_PTR>(driver->DriverInit));
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress) {
        return -1;
    }
    LONG adapted = 0;
    for (auto* descriptor = reinterpret_cast<PIMAGE_IMPORT_DESCRIPTOR>(base + imports.VirtualAddress); descriptor->Name;
         ++descriptor) {
        if (!SameAscii(reinterpret_cast<const char*>(base + descriptor->Name), "ntoskrnl.exe")) {
            continue;
        }
        if (!descriptor->OriginalFirstThunk || !IsWritable(nt, descriptor->FirstThunk)) {
            return -1;
        }
        auto* names = reinterpret_cast<PIMAGE_THUNK_DATA64>(base + descriptor->OriginalFirstThunk);
        auto* slots = reinterpret_cast<PIMAGE_THUNK_DATA64>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) {
                continue;
            }
            auto* byName = reinterpret_cast<PIMAGE_IMPORT_BY_NAME>(base + names->u1.AddressOfData);
            PVOID adapter = AdapterFor(reinterpret_cast<const char*>(byName->Name));
            if (adapter) {
                InterlockedExchangePointer(reinterpret_cast<PVOID*>(&slots->u1.Function), adapter);
                ++adapted;
            }
        }
    }
    return adapted;
}

// Loads the filter's service and takes a reference on its driver object, as the Plug and Play
// manager does for a registered upper filter.
NTSTATUS LoadFilter() {
    UNICODE_STRING service;
    RtlInitUnicodeString(&service, FILTER_SERVICE);
    NTSTATUS status = ZwLoadDriver(&service);
    busStatus.filterLoadStatus = status;
    Trace("tvxtestbus: ZwLoadDriver(Tarvex): 0x%08X\n", static_cast<ULONG>(status));
    if (status != STATUS_SUCCESS && status != STATUS_IMAGE_ALREADY_LOADED) {
        return status;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, FILTER_DRIVER);
    PVOID object = nullptr;
    status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDriverObjectType, KernelMode, nullptr,
                                     &object);
    if (!NT_SUCCESS(status)) {
        Trace("tvxtestbus: no %S: 0x%08X\n", FILTER_DRIVER, static_cast<ULONG>(status));
        busStatus.filterLoadStatus = status;
        return status;
    }
    filterDriver = static_cast<PDRIVER_OBJECT>(object);
    busStatus.importsAdapted = AdaptFilterImports(filterDriver);
    Trace("tvxtestbus: filter imports adapted: %d\n", busStatus.importsAdapted);
    return busStatus.importsAdapted == 4 ? STATUS_SUCCESS : STATUS_INVALID_IMAGE_FORMAT;
}

// Makes the location known the way Windows keeps it, as the device's LocationInformation value.
void WriteLocation(Child& child) {
    WCHAR pathText[160];
    size_t at = 0;
    const PCWSTR parts[] = {ENUM_KEY, child.deviceId, L"\\", child.instance};
    for (PCWSTR part : parts) {
        for (PCWSTR p = part; *p && at < 159; ++p) {
            pathText[at++] = *p;
        }
    }
    pathText[at] = L'\0';
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, pathText);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_SET_VALUE, &attributes);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING value;
        RtlInitUnicodeString(&value, L"LocationInformation");
        ULONG bytes = 0;
        while (child.info.location[bytes / sizeof(WCHAR)]) {
            bytes += sizeof(WCHAR);
        }
        status = ZwSetValueKey(key, &value, 0, REG_SZ, child.info.location, bytes + sizeof(WCHAR));
        ZwClose(key);
    }
    Trace("tvxtestbus: %S LocationInformation %S: 0x%08X\n", child.info.instanceId, child.info.location,
          static_cast<ULONG>(status));
}

}  // namespace tvxbus
