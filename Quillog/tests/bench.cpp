// Cost of a write with no session (dropped) and with a capturing session, side by side, and
// the heap allocations a write makes (counted by patching every module's heap imports).
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillog.h"

namespace {

volatile LONG g_allocations;
volatile LONG g_counting;
volatile ULONG g_captured;

using RtlAllocateHeapFn = void*(WINAPI*)(HANDLE, ULONG, SIZE_T);
using HeapReAllocFn = void*(WINAPI*)(HANDLE, ULONG, void*, SIZE_T);
RtlAllocateHeapFn g_realAlloc;
HeapReAllocFn g_realReAlloc;

void* WINAPI CountingAlloc(HANDLE heap, ULONG flags, SIZE_T size) {
    if (g_counting) InterlockedIncrement(&g_allocations);
    return g_realAlloc(heap, flags, size);
}
void* WINAPI CountingReAlloc(HANDLE heap, ULONG flags, void* p, SIZE_T size) {
    if (g_counting) InterlockedIncrement(&g_allocations);
    return g_realReAlloc(heap, flags, p, size);
}

void PatchModule(HMODULE module) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return;
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; ++imp) {
        if (!imp->OriginalFirstThunk) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            const char* name = reinterpret_cast<const char*>(byName->Name);
            void* replacement = nullptr;
            if (!strcmp(name, "HeapAlloc") || !strcmp(name, "RtlAllocateHeap"))
                replacement = reinterpret_cast<void*>(CountingAlloc);
            if (!strcmp(name, "HeapReAlloc") || !strcmp(name, "RtlReAllocateHeap"))
                replacement = reinterpret_cast<void*>(CountingReAlloc);
            if (!replacement) continue;
            DWORD old;
            if (VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old)) {
                slots->u1.Function = reinterpret_cast<uintptr_t>(replacement);
                VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            }
        }
    }
}

void CountHeapCalls() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    g_realAlloc =
        reinterpret_cast<RtlAllocateHeapFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlAllocateHeap")));
    g_realReAlloc =
        reinterpret_cast<HeapReAllocFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlReAllocateHeap")));
    HMODULE modules[256];
    DWORD needed = 0;
    EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &needed);
    for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 256; ++i) PatchModule(modules[i]);
}

ULONG WINAPI Register(LPCGUID, PENABLECALLBACK, PVOID, PREGHANDLE handle) {
    *handle = 1;
    return 0;
}
ULONG WINAPI SetInfo(REGHANDLE, EVENT_INFO_CLASS, PVOID, ULONG) { return 0; }
ULONG WINAPI Unregister(REGHANDLE) { return 0; }
// A session that copies the payload, as ETW copies it into its buffer.
ULONG WINAPI Capture(REGHANDLE, PCEVENT_DESCRIPTOR, LPCGUID, LPCGUID, ULONG count, PEVENT_DATA_DESCRIPTOR data) {
    static unsigned char buffer[4096];
    ULONG total = 0;
    for (ULONG i = 0; i < count; ++i) {
        memcpy(buffer + total % 2048, reinterpret_cast<void*>(static_cast<uintptr_t>(data[i].Ptr)), data[i].Size);
        total += data[i].Size;
    }
    g_captured += total;
    return 0;
}

double NsPerWrite(int n) {
    LARGE_INTEGER f, a, b;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&a);
    for (int i = 0; i < n; ++i) QuillogWriteA("<OrvantaService> reset request %d from %s\n", i, "bench");
    QueryPerformanceCounter(&b);
    return (b.QuadPart - a.QuadPart) * 1e9 / f.QuadPart / n;
}

}  // namespace

int main() {
    quillog::g_etw = {Register, SetInfo, Capture, Unregister};
    QuillogInit();
    CountHeapCalls();
    constexpr int N = 200000;
    NsPerWrite(1000);  // warm up

    double dropped = NsPerWrite(N);
    quillog::EnableCallback(nullptr, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 5, 0, 0, nullptr, &quillog::g_provider);
    double enabled = NsPerWrite(N);

    // The probe must see an ordinary allocation, or a zero below would prove nothing.
    g_counting = 1;
    void* volatile block = malloc(64);
    free(block);
    g_counting = 0;
    LONG probe = g_allocations;
    if (probe == 0) {
        printf("quillog: allocation probe saw no allocation; cannot measure\n");
        return 1;
    }
    g_allocations = 0;

    g_counting = 1;
    for (int i = 0; i < 1000; ++i) {
        QuillogWriteA("<OrvantaService> %s %d\n", "allocation probe", i);
        QuillogWriteW(L"%s %d", L"allocation probe", i);
    }
    g_counting = 0;

    printf(
        "quillog: a write no session listens to (dropped): %.0f ns; one a session captures: %.0f ns (ratio %.2f);"
        " means over %d writes each\n",
        dropped, enabled, enabled / dropped, N);
    printf("quillog: heap allocations per write: %.3f (%ld in 2000 writes)\n", g_allocations / 2000.0,
           static_cast<long>(g_allocations));
    return g_allocations == 0 ? 0 : 1;
}
