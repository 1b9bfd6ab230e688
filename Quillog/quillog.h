// Internals of the trace logging library, shared with its own tests (never exported).
#pragma once
#include <windows.h>
#include <evntprov.h>
#include <cstddef>
#include <cstdint>

extern "C" {
HRESULT __cdecl QuillogInit(void);
void __cdecl QuillogUninit(void);
void __cdecl QuillogWriteA(const char* format, ...);
void __cdecl QuillogWriteW(const wchar_t* format, ...);
}

// Values the MinGW headers lack, as the platform defines them.
#ifndef EVENT_CONTROL_CODE_ENABLE_PROVIDER
#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2
#endif
#ifndef EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA
#define EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA 1
#define EVENT_DATA_DESCRIPTOR_TYPE_PROVIDER_METADATA 2
#endif

namespace quillog {

constexpr size_t TEXT_UNITS = 1024;
constexpr USHORT NARROW_EVENT_ID = 17;
constexpr USHORT WIDE_EVENT_ID = 63;
constexpr UCHAR EVENT_CHANNEL = 11;
constexpr UCHAR EVENT_LEVEL = 5;
constexpr ULONG LEVEL_ALL = 256;  // level plus one when a session enables with level 0

// The one provider record; written by the enable callback on a platform thread.
struct Provider {
    volatile ULONG levelPlusOne;
    const uint8_t* providerMetadata;
    ULONGLONG keywordAny;
    ULONGLONG keywordAll;
    REGHANDLE registration;
    PENABLECALLBACK chainedCallback;
    void* chainedContext;
};
extern Provider g_provider;

// The constant metadata block, byte for byte as ETW's TraceLogging decoders read it.
extern const uint8_t* const g_metadata;
constexpr size_t METADATA_SIZE = 151;

// The platform calls the library makes. Production code always uses the defaults (advapi32);
// tests replace entries to observe writes and drive the enable callback.
struct EtwApi {
    ULONG(WINAPI* eventRegister)(LPCGUID, PENABLECALLBACK, PVOID, PREGHANDLE);
    ULONG(WINAPI* eventSetInformation)(REGHANDLE, EVENT_INFO_CLASS, PVOID, ULONG);
    ULONG(WINAPI* eventWriteTransfer)(REGHANDLE, PCEVENT_DESCRIPTOR, LPCGUID, LPCGUID, ULONG, PEVENT_DATA_DESCRIPTOR);
    ULONG(WINAPI* eventUnregister)(REGHANDLE);
};
extern EtwApi g_etw;
extern const EtwApi DEFAULT_ETW;

// How much of text[0, length) holds only whole characters of codePage: a double-byte lead or an
// unfinished UTF-8 sequence at the end is left out. Used where a message was cut to the buffer.
size_t WholeCharacters(const char* text, size_t length, UINT codePage);

void NTAPI EnableCallback(LPCGUID sourceId, ULONG controlCode, UCHAR level, ULONGLONG matchAny, ULONGLONG matchAll,
                          PEVENT_FILTER_DESCRIPTOR filter, PVOID context);

}  // namespace quillog
