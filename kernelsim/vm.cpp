// Page protection behind the simulator's memory checks: extensions of released device objects
// (a write stops), one-shot write watches on an extension, system buffers flush against a
// no-access page (an access past the end stops), and the program's PAGE sections (data there is
// paged out whenever a thread raises to DISPATCH_LEVEL, so a touch at that level stops, while a
// touch below it pages the data in again). One vectored exception handler serves them all.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "ksim_vm.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

typedef unsigned char KIRQL;

namespace ksim {

KIRQL Irql();

namespace {

constexpr KIRQL kDispatchLevel = 2;

enum class Kind { Released, Watched, TailGuard, PageableData };

struct Region {
    char* end = nullptr;
    Kind kind = Kind::Released;
    std::function<void()> before;    // Watched
    DWORD restore = PAGE_READWRITE;  // PageableData: protection while paged in
    bool pagedIn = false;
};

struct Tail {
    char* base;
    size_t total;
};

struct Vm {
    std::mutex lock;
    std::map<char*, Region> regions;  // by first byte; page ranges that never overlap
    std::map<void*, Tail> tails;      // by the address handed out
    std::vector<std::pair<const char*, const char*>> pageableCode;
    std::atomic<bool> anyPagedIn{false};
};

Vm& V() {
    static Vm* vm = new Vm;  // never destroyed: simulator threads may outlive main
    return *vm;
}

size_t RoundUp(size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

void Protect(void* address, size_t bytes, DWORD protection) {
    DWORD old = 0;
    VirtualProtect(address, bytes, protection, &old);
}

// Under the lock: the region holding `address`, or end().
std::map<char*, Region>::iterator Find(char* address) {
    Vm& vm = V();
    auto it = vm.regions.upper_bound(address);
    if (it == vm.regions.begin()) return vm.regions.end();
    --it;
    return address < it->second.end ? it : vm.regions.end();
}

void Forget(char* begin, char* end) {
    Vm& vm = V();
    for (auto it = vm.regions.lower_bound(begin); it != vm.regions.end() && it->first < end;) it = vm.regions.erase(it);
}

LONG CALLBACK OnAccessViolation(PEXCEPTION_POINTERS info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    bool write = record->ExceptionInformation[0] == 1;
    char* address = reinterpret_cast<char*>(record->ExceptionInformation[1]);
    std::function<void()> before;
    bool report = false;
    VmFault fault = VmFault::ReleasedWrite;
    {
        std::lock_guard<std::mutex> g(V().lock);
        auto it = Find(address);
        if (it == V().regions.end()) return EXCEPTION_CONTINUE_SEARCH;
        char* begin = it->first;
        Region& region = it->second;
        size_t bytes = static_cast<size_t>(region.end - begin);
        switch (region.kind) {
        case Kind::Released:
            if (!write) return EXCEPTION_CONTINUE_SEARCH;
            Protect(begin, bytes, PAGE_READWRITE);
            V().regions.erase(it);
            report = true;
            fault = VmFault::ReleasedWrite;
            break;
        case Kind::Watched:
            if (!write) return EXCEPTION_CONTINUE_SEARCH;
            before = std::move(region.before);
            Protect(begin, bytes, PAGE_READWRITE);
            V().regions.erase(it);
            break;
        case Kind::TailGuard:
            // The rest of the test sees zeros there, as the caller carries on.
            Protect(begin, bytes, PAGE_READWRITE);
            V().regions.erase(it);
            report = true;
            fault = VmFault::BeyondEnd;
            break;
        case Kind::PageableData:
            Protect(begin, bytes, region.restore);
            region.pagedIn = true;
            V().anyPagedIn = true;
            report = Irql() >= kDispatchLevel;
            fault = VmFault::PageableAtDispatch;
            break;
        }
    }
    if (before) before();
    if (report) VmReport(fault, address, write, record->ExceptionAddress);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Read through an address the compiler cannot see the bounds of: the headers lie past the
// DOS header the linker's symbol names.
const IMAGE_NT_HEADERS* Headers() {
    static const IMAGE_NT_HEADERS* headers = [] {
        volatile ULONG_PTR base = reinterpret_cast<ULONG_PTR>(&__ImageBase);
        return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
    }();
    return headers;
}

}  // namespace

void* VmAllocatePages(size_t bytes) {
    return VirtualAlloc(nullptr, RoundUp(bytes ? bytes : 1), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void VmFreePages(void* address, size_t bytes) {
    if (!address) return;
    {
        std::lock_guard<std::mutex> g(V().lock);
        char* begin = static_cast<char*>(address);
        Forget(begin, begin + RoundUp(bytes));
    }
    VirtualFree(address, 0, MEM_RELEASE);
}

void* VmAllocateTail(size_t bytes) {
    size_t body = RoundUp(bytes ? bytes : 1);
    char* base = static_cast<char*>(VirtualAlloc(nullptr, body + kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!base) return nullptr;
    Protect(base + body, kPage, PAGE_NOACCESS);
    char* user = base + body - bytes;
    std::lock_guard<std::mutex> g(V().lock);
    Region guard;
    guard.end = base + body + kPage;
    guard.kind = Kind::TailGuard;
    V().regions[base + body] = guard;
    V().tails[user] = Tail{base, body + kPage};
    return user;
}

void VmFreeTail(void* address) {
    Tail tail{};
    {
        std::lock_guard<std::mutex> g(V().lock);
        auto it = V().tails.find(address);
        if (it == V().tails.end()) return;
        tail = it->second;
        V().tails.erase(it);
        Forget(tail.base, tail.base + tail.total);
    }
    VirtualFree(tail.base, 0, MEM_RELEASE);
}

namespace {

// Makes [address, address + bytes) read-only as a region of the given kind, replacing whatever
// regions lay there.
void GuardReadOnly(void* address, size_t bytes, Kind kind, std::function<void()> before) {
    if (!bytes) return;
    char* begin = static_cast<char*>(address);
    std::lock_guard<std::mutex> g(V().lock);
    Forget(begin, begin + RoundUp(bytes));
    Region region;
    region.end = begin + RoundUp(bytes);
    region.kind = kind;
    region.before = std::move(before);
    V().regions[begin] = std::move(region);
    Protect(begin, RoundUp(bytes), PAGE_READONLY);
}

}  // namespace

void VmProtectReleased(void* address, size_t bytes) { GuardReadOnly(address, bytes, Kind::Released, nullptr); }

void VmWatchWrite(void* address, size_t bytes, std::function<void()> before) {
    GuardReadOnly(address, bytes, Kind::Watched, std::move(before));
}

void VmUnprotect(void* address, size_t bytes) {
    if (!bytes) return;
    char* begin = static_cast<char*>(address);
    std::lock_guard<std::mutex> g(V().lock);
    Forget(begin, begin + RoundUp(bytes));
    Protect(begin, RoundUp(bytes), PAGE_READWRITE);
}

bool VmInPageableCode(const void* address) {
    const char* at = static_cast<const char*>(address);
    for (const auto& range : V().pageableCode)
        if (at >= range.first && at < range.second) return true;
    return false;
}

void VmPageOutPageable() {
    Vm& vm = V();
    if (!vm.anyPagedIn.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> g(vm.lock);
    for (auto& entry : vm.regions) {
        Region& region = entry.second;
        if (region.kind != Kind::PageableData || !region.pagedIn) continue;
        Protect(entry.first, static_cast<size_t>(region.end - entry.first), PAGE_NOACCESS);
        region.pagedIn = false;
    }
    vm.anyPagedIn = false;
}

void VmInitialise() {
    const IMAGE_NT_HEADERS* nt = Headers();
    char* base = reinterpret_cast<char*>(&__ImageBase);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    Vm& vm = V();
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (std::memcmp(section->Name, "PAGE", 4) != 0 || !section->Misc.VirtualSize) continue;
        char* begin = base + section->VirtualAddress;
        char* end = begin + RoundUp(section->Misc.VirtualSize);
        if (section->Characteristics & IMAGE_SCN_MEM_EXECUTE) {
            vm.pageableCode.emplace_back(begin, end);
            continue;
        }
        Region region;
        region.end = end;
        region.kind = Kind::PageableData;
        region.restore = (section->Characteristics & IMAGE_SCN_MEM_WRITE) ? PAGE_READWRITE : PAGE_READONLY;
        std::lock_guard<std::mutex> g(vm.lock);
        vm.regions[begin] = region;
        Protect(begin, static_cast<size_t>(end - begin), PAGE_NOACCESS);
    }
    AddVectoredExceptionHandler(1, OnAccessViolation);
}

size_t VmCaptureStack(void** frames, size_t max, size_t skip) {
    return RtlCaptureStackBackTrace(static_cast<DWORD>(skip + 1), static_cast<DWORD>(max), frames, nullptr);
}

// Unwinds the calling thread's stack through the program's unwind tables: per frame, the address
// it will return to and the stack pointer of that frame.
__attribute__((noinline)) size_t VmWalkStack(void** frames, uintptr_t* stackPointers, size_t max, size_t skip) {
    CONTEXT context;
    RtlCaptureContext(&context);
    size_t count = 0;
    for (size_t level = 0; count < max && level < max + skip + 1; ++level) {
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (function) {
            PVOID handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData, &establisher,
                             nullptr);
        } else {
            context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
            context.Rsp += 8;
        }
        if (!context.Rip) break;
        if (level < skip) continue;
        frames[count] = reinterpret_cast<void*>(context.Rip);
        stackPointers[count] = static_cast<uintptr_t>(context.Rsp);
        ++count;
    }
    return count;
}

uintptr_t VmCallerStackPointer(size_t levels) {
    void* frames[8];
    uintptr_t stackPointers[8];
    size_t count = VmWalkStack(frames, stackPointers, 8, 0);
    return levels < count ? stackPointers[levels] : 0;
}

std::string VmDescribe(const void* address) {
    const char* base = reinterpret_cast<const char*>(&__ImageBase);
    const char* at = static_cast<const char*>(address);
    char text[64];
    if (at >= base && at < base + Headers()->OptionalHeader.SizeOfImage)
        snprintf(text, sizeof text, "%p (exe+0x%llx)", address, static_cast<unsigned long long>(at - base));
    else
        snprintf(text, sizeof text, "%p", address);
    return text;
}

std::string VmStackText(size_t skip) {
    void* frames[24];
    size_t count = VmCaptureStack(frames, 24, skip + 1);
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i) text += " < ";
        text += VmDescribe(frames[i]);
    }
    return text;
}

}  // namespace ksim
