// The simulator's own state: stops, fault injection, the I/O log, simulator threads, reset and
// the end-of-test verdict.
#include "ksim_internal.h"
#include "ksim_vm.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace ksim {
namespace {

struct FaultPlan {
    std::map<unsigned, NTSTATUS> failing;  // call numbers (1-based, since the reset) that fail
    unsigned calls = 0;
};

struct SimState {
    std::vector<KsimStop> stops;
    size_t stopsDelivered = 0;  // stops that went to a handler
    std::function<void(const KsimStop&)> handler;
    std::map<KsimFault, FaultPlan> faults;
    std::vector<std::string> ioLog;
    std::function<void(const std::string&)> ioLogHook;
    std::vector<std::thread> threads;
};

SimState& St() {
    static SimState* state = new SimState;  // never destroyed: simulator threads may outlive main
    return *state;
}

std::mutex& ThreadLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

const char* StopName(ULONG code) {
    switch (code) {
    case 0x0A: return "IRQL_NOT_LESS_OR_EQUAL";
    case 0x1E: return "KMODE_EXCEPTION_NOT_HANDLED";
    case 0x35: return "NO_MORE_IRP_STACK_LOCATIONS";
    case 0x44: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case 0xC1: return "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
    case 0xC2: return "BAD_POOL_CALLER";
    case 0xC4: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case 0xC9: return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case 0xCA: return "PNP_DETECTED_FATAL_ERROR";
    case 0xD1: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case 0xD6: return "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION";
    default: return "BUG_CHECK";
    }
}

// The first call installs the CR8 emulation, whatever the test calls first.
struct Init {
    Init() { EnsureCr8Emulation(); }
} init;

}  // namespace

std::recursive_mutex& Lock() {
    static std::recursive_mutex* m = new std::recursive_mutex;
    return *m;
}

void Stop(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const char* format, ...) {
    char detail[3072];
    va_list args;
    va_start(args, format);
    vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    char line[3328];
    snprintf(line, sizeof line, "STOP 0x%08lX %s (0x%llX, 0x%llX, 0x%llX, 0x%llX): %s", (unsigned long)code,
             StopName(code), (unsigned long long)p1, (unsigned long long)p2, (unsigned long long)p3,
             (unsigned long long)p4, detail);
    KsimStop stop{code, {p1, p2, p3, p4}, line};
    std::function<void(const KsimStop&)> handler;
    {
        Guard g(Lock());
        St().stops.push_back(stop);
        handler = St().handler;
        if (handler) St().stopsDelivered = St().stops.size();
    }
    fprintf(stderr, "kernelsim: %s\n", line);
    if (handler) handler(stop);
}

bool RequireIrql(KIRQL max, const char* call) {
    CheckPageableCallers(call);
    KIRQL irql = Irql();
    if (irql <= max) return true;
    Stop(KSIM_STOP_IRQL_NOT_LESS_OR_EQUAL, 0, irql, 0, 0, "%s called at IRQL %u (allowed up to %u)", call, irql, max);
    return false;
}

// Pageable code may be paged out while any processor runs at DISPATCH_LEVEL: a caller in it above
// APC_LEVEL is a page fault the machine cannot take.
void CheckPageableCallers(const char* call) {
    KIRQL irql = Irql();
    if (irql <= APC_LEVEL) return;
    void* frames[64];
    uintptr_t stackPointers[64];
    size_t count = VmWalkStack(frames, stackPointers, 64, 1);
    uintptr_t boundary = SimRaiseBoundary();
    for (size_t i = 0; i < count; ++i) {
        if (boundary && stackPointers[i] >= boundary) break;
        if (!VmInPageableCode(frames[i])) continue;
        Stop(KSIM_STOP_DRIVER_IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(frames[i]), irql, 8,
             reinterpret_cast<ULONG_PTR>(frames[i]),
             "%s called at IRQL %u from code of a PAGE section at %s (stack: %s)", call, irql,
             VmDescribe(frames[i]).c_str(), VmStackText(1).c_str());
        return;
    }
}

void VmReport(VmFault fault, const void* address, bool write, const void* ip) {
    auto at = reinterpret_cast<ULONG_PTR>(address);
    auto from = reinterpret_cast<ULONG_PTR>(ip);
    switch (fault) {
    case VmFault::ReleasedWrite:
        Stop(KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x225, at, from, 0,
             "write to %p, in the extension of a device object deleted with no reference left, by the instruction "
             "at %s",
             address, VmDescribe(ip).c_str());
        break;
    case VmFault::BeyondEnd:
        Stop(KSIM_STOP_DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION, at, write ? 1 : 0, from, 0,
             "%s at %p, past the end of a buffer the I/O manager allocated, by the instruction at %s",
             write ? "write" : "read", address, VmDescribe(ip).c_str());
        break;
    case VmFault::PageableAtDispatch:
        Stop(KSIM_STOP_DRIVER_IRQL_NOT_LESS_OR_EQUAL, at, Irql(),
             address == ip ? 8
             : write       ? 1
                           : 0,
             from, "%s of pageable %s at %p at IRQL %u, by the instruction at %s",
             address == ip ? "execution" : "access", address == ip ? "code" : "data", address, Irql(),
             VmDescribe(ip).c_str());
        break;
    }
}

bool TakeFault(KsimFault fault, NTSTATUS* status) {
    Guard g(Lock());
    FaultPlan& plan = St().faults[fault];
    ++plan.calls;
    auto it = plan.failing.find(plan.calls);
    if (it == plan.failing.end()) return false;
    if (status) *status = it->second;
    plan.failing.erase(it);
    return true;
}

void LogIo(const std::string& line) {
    Guard g(Lock());
    St().ioLog.push_back(line);
    if (St().ioLogHook) St().ioLogHook(line);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += (c < 0x80) ? static_cast<char>(c) : '?';
    return out;
}

std::wstring Widen(const std::string& text) {
    std::wstring out;
    for (unsigned char c : text) out += static_cast<wchar_t>(c);
    return out;
}

std::wstring FromUnicodeString(PCUNICODE_STRING text) {
    if (!text || !text->Buffer) return std::wstring();
    return std::wstring(text->Buffer, text->Length / sizeof(WCHAR));
}

std::wstring Upper(const std::wstring& text) {
    std::wstring out = text;
    for (wchar_t& c : out) c = RtlUpcaseUnicodeChar(c);
    return out;
}

void StartSimThread(std::function<void()> body) {
    std::lock_guard<std::mutex> g(ThreadLock());
    St().threads.emplace_back([body] {
        SetIrql(PASSIVE_LEVEL);
        body();
    });
}

void JoinSimThreads() {
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> g(ThreadLock());
            threads.swap(St().threads);
        }
        if (threads.empty()) break;
        for (std::thread& t : threads) t.join();
    }
}

}  // namespace ksim

using namespace ksim;

void KsimReset() {
    EnsureCr8Emulation();
    SetIrql(PASSIVE_LEVEL);
    DrainWorkItems();
    JoinSimThreads();
    DrainWorkItems();
    PnpReset();
    PoReset();
    UserReset();
    ResetCaller();
    ObReset();
    IoReset();
    UsbReset();
    PoolReset();
    KeReset();
    KsimSetWaitLimit(30000);
    DbgReset();
    AssertReset();
    Guard g(Lock());
    St().stops.clear();
    St().stopsDelivered = 0;
    St().faults.clear();
    St().ioLog.clear();
    St().ioLogHook = nullptr;
}

void KsimSetStopHandler(std::function<void(const KsimStop&)> handler) {
    Guard g(Lock());
    St().handler = std::move(handler);
}

std::vector<KsimStop> KsimStops() {
    Guard g(Lock());
    return St().stops;
}

std::vector<KsimStop> KsimTakeStops() {
    Guard g(Lock());
    std::vector<KsimStop> stops;
    stops.swap(St().stops);
    St().stopsDelivered = 0;
    return stops;
}

std::vector<std::string> KsimCheckEnd() {
    DrainWorkItems();
    JoinSimThreads();
    DrainWorkItems();
    std::vector<std::string> problems;
    if (Irql() != PASSIVE_LEVEL) {
        char line[96];
        snprintf(line, sizeof line, "the test thread ended at IRQL %u instead of PASSIVE_LEVEL", Irql());
        problems.push_back(line);
    }
    if (ApcDisable().kernel || ApcDisable().special) {
        char line[128];
        snprintf(line, sizeof line, "the test thread ended inside %u critical and %u guarded region(s)",
                 ApcDisable().kernel, ApcDisable().special);
        problems.push_back(line);
        ApcDisable() = ApcDisableCounts{};
    }
    UserCheck(&problems);
    ObCheck(&problems);
    UsbCheck(&problems);
    IoCheck(&problems);
    PoolCheck(&problems);
    Guard g(Lock());
    for (size_t i = St().stopsDelivered; i < St().stops.size(); ++i) problems.push_back(St().stops[i].what);
    St().stopsDelivered = St().stops.size();
    return problems;
}

void KsimInjectFault(KsimFault fault, unsigned nth, unsigned count, NTSTATUS status) {
    Guard g(Lock());
    FaultPlan& plan = St().faults[fault];
    if (nth == 0) nth = 1;
    for (unsigned i = 0; i < count; ++i) plan.failing[plan.calls + nth + i] = status;
}

unsigned KsimFaultCalls(KsimFault fault) {
    Guard g(Lock());
    return St().faults[fault].calls;
}

void KsimClearFaults() {
    Guard g(Lock());
    for (auto& entry : St().faults) entry.second.failing.clear();
}

std::vector<std::string> KsimIoLog() {
    Guard g(Lock());
    return St().ioLog;
}

void KsimSetIoLogHook(std::function<void(const std::string&)> hook) {
    Guard g(Lock());
    St().ioLogHook = std::move(hook);
}

void KsimClearIoLog() {
    Guard g(Lock());
    St().ioLog.clear();
}

KIRQL KsimIrql() { return Irql(); }

void KsimSetIrql(KIRQL irql) {
    EnsureCr8Emulation();
    SetIrqlForTest(irql);
}
