// Executive pool: tagged allocations with guard areas before and after each block, checked at
// free and at the end of a test; freed blocks stay poisoned in quarantine for a while, so a
// double free is recognised as such and a write after free is caught when the block leaves.
#include "ksim_internal.h"

#include <cstdlib>
#include <cstring>

namespace ksim {
namespace {

constexpr size_t kHeader = 64;
constexpr size_t kGuard = 32;
constexpr unsigned char kFrontFill = 0xFD;
constexpr unsigned char kBackFill = 0xBD;
constexpr unsigned char kNewFill = 0xA5;  // fresh pool is not zeroed
constexpr unsigned char kFreedFill = 0xDF;
constexpr size_t kQuarantineBlocks = 4096;

struct Block {
    unsigned char* base;
    SIZE_T bytes;
    ULONG tag;
    POOL_TYPE type;
    bool byDriver;
    uint64_t serial;
};

struct Pool {
    std::unordered_map<void*, Block> live;
    std::unordered_map<void*, Block> freed;  // quarantine, by user address
    std::deque<void*> freedOrder;
    uint64_t serial = 0;
    KsimPoolCounters counters{};
};

Pool& P() {
    static Pool* pool = new Pool;
    return *pool;
}

std::string TagText(ULONG tag) {
    tag &= ~0x80000000u;  // PROTECTED_POOL
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

unsigned char* UserOf(const Block& b) { return b.base + kHeader + kGuard; }

// Offset of the first damaged guard byte from the user address (negative: before), or 0 if intact.
bool GuardsIntact(const Block& b, long long* where) {
    unsigned char* user = UserOf(b);
    for (size_t i = 0; i < kGuard; ++i)
        if (b.base[kHeader + i] != kFrontFill) {
            *where = static_cast<long long>(i) - static_cast<long long>(kGuard);
            return false;
        }
    for (size_t i = 0; i < kGuard; ++i)
        if (user[b.bytes + i] != kBackFill) {
            *where = static_cast<long long>(b.bytes + i);
            return false;
        }
    return true;
}

void ReportGuard(const Block& b, long long where, const char* when) {
    Stop(KSIM_STOP_SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, reinterpret_cast<ULONG_PTR>(UserOf(b)), b.bytes,
         static_cast<ULONG_PTR>(where), where < 0 ? 0x23 : 0x24,
         "pool block of %llu bytes, tag '%s', overwritten at offset %lld %s", (unsigned long long)b.bytes,
         TagText(b.tag).c_str(), where, when);
}

void Evict() {
    Pool& p = P();
    while (p.freedOrder.size() > kQuarantineBlocks) {
        void* user = p.freedOrder.front();
        p.freedOrder.pop_front();
        auto it = p.freed.find(user);
        if (it == p.freed.end()) continue;
        Block b = it->second;
        p.freed.erase(it);
        for (SIZE_T i = 0; i < b.bytes; ++i)
            if (UserOf(b)[i] != kFreedFill) {
                Stop(KSIM_STOP_SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, reinterpret_cast<ULONG_PTR>(user), b.bytes, i,
                     0x25, "pool block of tag '%s' written at offset %llu after it was freed", TagText(b.tag).c_str(),
                     (unsigned long long)i);
                break;
            }
        std::free(b.base);
    }
}

}  // namespace

void* PoolAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool byDriver) {
    unsigned char* base = static_cast<unsigned char*>(std::malloc(kHeader + kGuard + bytes + kGuard + 16));
    if (!base) return nullptr;
    std::memset(base, 0, kHeader);
    std::memset(base + kHeader, kFrontFill, kGuard);
    std::memset(base + kHeader + kGuard, kNewFill, bytes);
    std::memset(base + kHeader + kGuard + bytes, kBackFill, kGuard);
    Guard g(Lock());
    Pool& p = P();
    Block b{base, bytes, tag, type, byDriver, ++p.serial};
    p.live[UserOf(b)] = b;
    if (byDriver) ++p.counters.allocations;
    return UserOf(b);
}

void PoolFree(void* address, ULONG tag, bool checkTag, bool byDriver) {
    Guard g(Lock());
    Pool& p = P();
    if (!address) {
        Stop(KSIM_STOP_BAD_POOL_CALLER, 0x46, 0, 0, 0, "attempt to free a null pool address");
        return;
    }
    auto it = p.live.find(address);
    if (it == p.live.end()) {
        auto freed = p.freed.find(address);
        if (freed != p.freed.end())
            Stop(KSIM_STOP_BAD_POOL_CALLER, 0x07, freed->second.tag, 0, reinterpret_cast<ULONG_PTR>(address),
                 "attempt to free pool which was already freed (tag '%s', %llu bytes)",
                 TagText(freed->second.tag).c_str(), (unsigned long long)freed->second.bytes);
        else
            Stop(KSIM_STOP_BAD_POOL_CALLER, 0x46, reinterpret_cast<ULONG_PTR>(address), 0, 0,
                 "attempt to free an address that is not a pool block");
        return;
    }
    Block b = it->second;
    if (checkTag && ((tag ^ b.tag) & ~0x80000000u))
        Stop(KSIM_STOP_BAD_POOL_CALLER, 0x0A, reinterpret_cast<ULONG_PTR>(address), b.tag, tag,
             "ExFreePoolWithTag with tag '%s' for a block of tag '%s'", TagText(tag).c_str(), TagText(b.tag).c_str());
    long long where = 0;
    if (!GuardsIntact(b, &where)) ReportGuard(b, where, "(found at free)");
    p.live.erase(it);
    if (byDriver) ++p.counters.frees;
    std::memset(UserOf(b), kFreedFill, b.bytes);
    p.freed[address] = b;
    p.freedOrder.push_back(address);
    Evict();
}

void PoolReset() {
    Guard g(Lock());
    Pool& p = P();
    for (auto& entry : p.live) std::free(entry.second.base);
    for (auto& entry : p.freed) std::free(entry.second.base);
    p.live.clear();
    p.freed.clear();
    p.freedOrder.clear();
    p.counters = KsimPoolCounters{};
}

void PoolCheck(std::vector<std::string>* problems) {
    Guard g(Lock());
    std::vector<Block> blocks;
    for (auto& entry : P().live) blocks.push_back(entry.second);
    std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.serial < b.serial; });
    for (const Block& b : blocks) {
        char line[256];
        snprintf(line, sizeof line, "pool leak: %llu bytes of tag '%s' at %p still allocated",
                 (unsigned long long)b.bytes, TagText(b.tag).c_str(), static_cast<void*>(UserOf(b)));
        problems->push_back(line);
        long long where = 0;
        if (!GuardsIntact(b, &where)) {
            snprintf(line, sizeof line, "pool corruption: block of tag '%s' at %p overwritten at offset %lld",
                     TagText(b.tag).c_str(), static_cast<void*>(UserOf(b)), where);
            problems->push_back(line);
        }
    }
}

}  // namespace ksim

using namespace ksim;

namespace {

PVOID DriverAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    bool paged = (type & 1) != 0;
    KIRQL irql = Irql();
    if (paged && irql > APC_LEVEL)
        Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x01, irql, type, bytes, "paged pool allocation at IRQL %u",
             irql);
    else if (!paged && irql > DISPATCH_LEVEL)
        Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x02, irql, type, bytes,
             "non-paged pool allocation at IRQL %u", irql);
    // Windows 8 and later give drivers no-execute non-paged pool; executable pool is what
    // Verifier's code integrity check stops, and memory integrity (HVCI) refuses.
    if (!paged && !(type & NonPagedPoolNx))
        Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x2000,
             reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), type, tag,
             "allocation of executable non-paged pool (type %d, tag '%s'): use NonPagedPoolNx", int(type),
             TagText(tag).c_str());
    if (TakeFault(KsimFault::PoolAllocation)) {
        Guard g(Lock());
        ++P().counters.failures;
        return nullptr;
    }
    return PoolAllocate(type, bytes, tag, true);
}

}  // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return DriverAllocate(PoolType, NumberOfBytes, Tag);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return DriverAllocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */);
}

PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return DriverAllocate(PoolType, NumberOfBytes, Tag);
}

VOID NTAPI ExFreePool(PVOID P) {
    if (Irql() > DISPATCH_LEVEL) RequireIrql(DISPATCH_LEVEL, "ExFreePool");
    PoolFree(P, 0, false, true);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    if (Irql() > DISPATCH_LEVEL) RequireIrql(DISPATCH_LEVEL, "ExFreePoolWithTag");
    PoolFree(P, Tag, true, true);
}

}  // extern "C"

KSIM_IMPORT_POINTER(ExAllocatePoolWithTag)
KSIM_IMPORT_POINTER(ExAllocatePool)
KSIM_IMPORT_POINTER(ExAllocatePoolWithQuotaTag)
KSIM_IMPORT_POINTER(ExFreePool)
KSIM_IMPORT_POINTER(ExFreePoolWithTag)

std::vector<KsimPoolBlock> KsimLivePool() {
    Guard g(Lock());
    std::vector<Block> blocks;
    for (auto& entry : P().live) blocks.push_back(entry.second);
    std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.serial < b.serial; });
    std::vector<KsimPoolBlock> out;
    for (const Block& b : blocks) out.push_back(KsimPoolBlock{UserOf(b), b.bytes, b.tag, TagText(b.tag), b.type});
    return out;
}

KsimPoolCounters KsimPoolCount() {
    Guard g(Lock());
    return P().counters;
}
