// One ETW provider writing printf-style messages as self-describing TraceLogging events.
#include "quillog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace quillog {
namespace {

#pragma pack(push, 1)
template <size_t FieldNameSize>
struct EventBlob {
    uint8_t blobType;  // 3: event
    uint8_t channel;
    uint8_t level;
    uint8_t opcode;
    uint64_t keyword;
    uint16_t metadataSize;  // counts itself and everything after it in the blob
    uint8_t tags;
    char eventName[16];
    char fieldName[FieldNameSize];
    uint8_t inType;
};

struct ProviderBlob {
    uint8_t blobType;  // 4: provider
    uint8_t guid[16];
    uint16_t metadataSize;
    char name[19];
};

struct MetadataBlock {
    char signature[4];
    uint16_t headerSize;
    uint8_t version;
    uint8_t flags;
    uint64_t magic;
    EventBlob<14> narrowEvent;
    EventBlob<19> wideEvent;
    ProviderBlob provider;
};
#pragma pack(pop)

constexpr uint16_t EventMetadataSize(size_t fieldNameSize) {
    return static_cast<uint16_t>(2 + 1 + 16 + fieldNameSize + 1);
}

constexpr MetadataBlock METADATA = {
    {'E', 'T', 'W', '0'},
    16,
    0,
    0,
    0xBB8A052B88040E86ull,
    {3, EVENT_CHANNEL, EVENT_LEVEL, 0, 0, EventMetadataSize(14), 0, "OrvantaUWPEvent", "String (char)", 2},
    {3, EVENT_CHANNEL, EVENT_LEVEL, 0, 0, EventMetadataSize(19), 0, "OrvantaUWPEvent", "String (wide char)", 1},
    {4,
     {0x4E, 0xE9, 0x44, 0x62, 0x66, 0x1D, 0x5B, 0x4C, 0xAA, 0x55, 0xA2, 0x4F, 0x31, 0x97, 0xBE, 0xE0},
     2 + 19,
     "OrvantaUWPProvider"},
};

static_assert(sizeof(EventBlob<14>) == 46 && sizeof(EventBlob<19>) == 51 && sizeof(ProviderBlob) == 38);
static_assert(sizeof(MetadataBlock) == METADATA_SIZE);
// An event's id is where its channel byte sits in the block.
static_assert(offsetof(MetadataBlock, narrowEvent) + 1 == NARROW_EVENT_ID);
static_assert(offsetof(MetadataBlock, wideEvent) + 1 == WIDE_EVENT_ID);

const GUID& ProviderGuid() { return *reinterpret_cast<const GUID*>(METADATA.provider.guid); }

// i686 import libraries lack EventSetInformation, and older systems lack the export itself.
ULONG WINAPI SetInformationFromAdvapi(REGHANDLE handle, EVENT_INFO_CLASS infoClass, PVOID info, ULONG length) {
    using Fn = ULONG(WINAPI*)(REGHANDLE, EVENT_INFO_CLASS, PVOID, ULONG);
    HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
    Fn fn =
        advapi ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(advapi, "EventSetInformation"))) : nullptr;
    return fn ? fn(handle, infoClass, info, length) : ERROR_NOT_SUPPORTED;
}

void WriteEvent(USHORT id, const void* eventMetadata, ULONG eventMetadataSize, const void* text, ULONG textBytes) {
    EVENT_DESCRIPTOR descriptor = {};
    descriptor.Id = id;
    descriptor.Channel = EVENT_CHANNEL;
    descriptor.Level = EVENT_LEVEL;

    EVENT_DATA_DESCRIPTOR data[3] = {};
    data[0].Ptr = reinterpret_cast<uintptr_t>(g_provider.providerMetadata);
    data[0].Size = METADATA.provider.metadataSize;
    data[0].Reserved = EVENT_DATA_DESCRIPTOR_TYPE_PROVIDER_METADATA;
    data[1].Ptr = reinterpret_cast<uintptr_t>(eventMetadata);
    data[1].Size = eventMetadataSize;
    data[1].Reserved = EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA;
    data[2].Ptr = reinterpret_cast<uintptr_t>(text);
    data[2].Size = textBytes;
    g_etw.eventWriteTransfer(g_provider.registration, &descriptor, nullptr, nullptr, 3, data);
}

bool LevelWanted() { return g_provider.levelPlusOne > EVENT_LEVEL; }

}  // namespace

const uint8_t* const g_metadata = reinterpret_cast<const uint8_t*>(&METADATA);

size_t WholeCharacters(const char* text, size_t length, UINT codePage) {
    if (codePage == CP_UTF8) {
        size_t lead = length;
        while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
        if (lead == 0) return length;
        const unsigned char first = static_cast<unsigned char>(text[lead - 1]);
        const size_t needed = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
        return length - (lead - 1) < needed ? lead - 1 : length;
    }
    // A trail byte can look like a lead byte, so the characters are walked from the start.
    size_t i = 0;
    while (i < length) {
        if (!IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[i]))) {
            ++i;
        } else if (i + 1 < length) {
            i += 2;
        } else {
            return i;
        }
    }
    return length;
}

Provider g_provider = {0, reinterpret_cast<const uint8_t*>(&METADATA.provider.metadataSize), 0, 0, 0, nullptr, nullptr};

const EtwApi DEFAULT_ETW = {EventRegister, SetInformationFromAdvapi, EventWriteTransfer, EventUnregister};
EtwApi g_etw = DEFAULT_ETW;

void NTAPI EnableCallback(LPCGUID sourceId, ULONG controlCode, UCHAR level, ULONGLONG matchAny, ULONGLONG matchAll,
                          PEVENT_FILTER_DESCRIPTOR filter, PVOID context) {
    auto* provider = static_cast<Provider*>(context);
    if (!provider) return;
    if (controlCode == EVENT_CONTROL_CODE_ENABLE_PROVIDER) {
        provider->levelPlusOne = level ? level + 1u : LEVEL_ALL;
        provider->keywordAny = matchAny;
        provider->keywordAll = matchAll;
    } else if (controlCode == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
        provider->levelPlusOne = 0;
    }
    if (provider->chainedCallback) {
        provider->chainedCallback(sourceId, controlCode, level, matchAny, matchAll, filter, provider->chainedContext);
    }
}

}  // namespace quillog

using namespace quillog;

extern "C" HRESULT __cdecl QuillogInit(void) {
    // Nobody calls it twice; keep the one registration rather than leak a second handle.
    if (g_provider.registration) return S_OK;
    g_provider.chainedCallback = nullptr;
    g_provider.chainedContext = nullptr;
    ULONG status = g_etw.eventRegister(&ProviderGuid(), EnableCallback, &g_provider, &g_provider.registration);
    if (status != 0) {
        g_provider.registration = 0;
        return HRESULT_FROM_WIN32(status);
    }
    // Without traits the provider still works; only its name is missing from the registration.
    g_etw.eventSetInformation(g_provider.registration, static_cast<EVENT_INFO_CLASS>(2),
                              const_cast<uint8_t*>(g_provider.providerMetadata), METADATA.provider.metadataSize);
    return S_OK;
}

extern "C" void __cdecl QuillogUninit(void) {
    g_etw.eventUnregister(g_provider.registration);
    g_provider.levelPlusOne = 0;
    g_provider.registration = 0;
}

extern "C" void __cdecl QuillogWriteA(const char* format, ...) {
    char text[TEXT_UNITS];
    memset(text, 0, sizeof text);
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(text, TEXT_UNITS, format, args);
    va_end(args);
    // A longer message is cut to the buffer, never inside a character.
    if (length < 0 || length >= static_cast<int>(TEXT_UNITS))
        text[WholeCharacters(text, TEXT_UNITS - 1, GetACP())] = '\0';
    if (!LevelWanted()) return;
    WriteEvent(NARROW_EVENT_ID, &METADATA.narrowEvent.metadataSize, METADATA.narrowEvent.metadataSize, text,
               static_cast<ULONG>(strlen(text) + 1));
}

extern "C" void __cdecl QuillogWriteW(const wchar_t* format, ...) {
    wchar_t text[TEXT_UNITS];
    memset(text, 0, sizeof text);
    va_list args;
    va_start(args, format);
    int length = _vsnwprintf(text, TEXT_UNITS, format, args);
    va_end(args);
    if (length < 0 || length >= static_cast<int>(TEXT_UNITS)) {
        text[TEXT_UNITS - 1] = L'\0';
        // The high half of a surrogate pair whose low half was cut off.
        if (text[TEXT_UNITS - 2] >= 0xD800 && text[TEXT_UNITS - 2] <= 0xDBFF) text[TEXT_UNITS - 2] = L'\0';
    }
    if (!LevelWanted()) return;
    WriteEvent(WIDE_EVENT_ID, &METADATA.wideEvent.metadataSize, METADATA.wideEvent.metadataSize, text,
               static_cast<ULONG>((wcslen(text) + 1) * sizeof(wchar_t)));
}
