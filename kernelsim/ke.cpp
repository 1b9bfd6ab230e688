// Kernel core: dispatcher objects (events, semaphores, mutexes), waits with the IRQL rule,
// spin locks, time, bug checks.
//
// Dispatcher objects live in driver memory (often on a stack), so they are not registered: one
// dispatcher lock and one condition variable serve all of them, as the kernel's dispatcher lock
// once did. Every state change wakes every waiter, which re-checks its object.
#include "ksim_internal.h"
#include "ksim_vm.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace ksim {
namespace {

std::mutex& DispatcherLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::condition_variable& DispatcherWake() {
    static std::condition_variable* cv = new std::condition_variable;
    return *cv;
}

// Dispatcher header types (KOBJECTS).
constexpr UCHAR kNotificationEvent = 0;
constexpr UCHAR kSynchronizationEvent = 1;
constexpr UCHAR kMutant = 2;
constexpr UCHAR kSemaphore = 5;

std::unordered_map<const void*, std::thread::id>& MutexOwners() {
    static auto* owners = new std::unordered_map<const void*, std::thread::id>;
    return *owners;
}

bool Signalled(DISPATCHER_HEADER* header) {
    if (header->Type == kMutant) {
        if (header->SignalState > 0) return true;
        auto it = MutexOwners().find(header);
        return it != MutexOwners().end() && it->second == std::this_thread::get_id();
    }
    return header->SignalState > 0;
}

void Consume(DISPATCHER_HEADER* header) {
    switch (header->Type) {
    case kSynchronizationEvent: header->SignalState = 0; break;
    case kSemaphore: --header->SignalState; break;
    case kMutant:
        --header->SignalState;  // 1 = free; 0, -1, ... = owned, recursively
        MutexOwners()[header] = std::this_thread::get_id();
        break;
    default: break;
    }
}

using Clock = std::chrono::steady_clock;

// 100 ns units since 1601-01-01, the kernel's system time.
LONGLONG SystemTimeNow() {
    using namespace std::chrono;
    const LONGLONG epochDelta = 116444736000000000LL;  // 1601 to 1970
    return epochDelta + duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

// Deadline of a kernel timeout: null = none, negative = relative, positive = absolute system time.
bool Deadline(PLARGE_INTEGER timeout, Clock::time_point* deadline) {
    if (!timeout) return false;
    LONGLONG hundreds = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart - SystemTimeNow();
    if (hundreds < 0) hundreds = 0;
    *deadline = Clock::now() + std::chrono::nanoseconds(hundreds * 100);
    return true;
}

std::atomic<unsigned>& WaitLimitMs() {
    static std::atomic<unsigned> limit{30000};
    return limit;
}

// Waits on the dispatcher for the object, up to the deadline when timed and never past the wait
// limit. False when the deadline passed. Called with the dispatcher lock held.
std::atomic<unsigned>& BlockedWaits() {
    static std::atomic<unsigned> count{0};
    return count;
}

template <typename Ready>
bool WaitDispatcher(std::unique_lock<std::mutex>& g, bool timed, Clock::time_point deadline, const char* call,
                    const void* object, Ready ready) {
    Clock::time_point limit = Clock::now() + WaitLimit();
    bool reported = false;
    struct Blocked {
        bool counted;
        explicit Blocked(bool blocks) : counted(blocks) {
            if (counted) ++BlockedWaits();
        }
        ~Blocked() {
            if (counted) --BlockedWaits();
        }
    } blocked(!ready());
    while (!ready()) {
        Clock::time_point until = timed && deadline < limit ? deadline : limit;
        if (DispatcherWake().wait_until(g, until) != std::cv_status::timeout || ready()) continue;
        if (timed && Clock::now() >= deadline) return false;
        if (Clock::now() < limit) continue;
        if (reported) EndAfterWaitLimit(call);
        // The handler may signal the object (or take the thread's wait off it some other way).
        g.unlock();
        ReportWaitLimit(call, object);
        g.lock();
        reported = true;
        limit = Clock::now();
    }
    return true;
}

bool WaitRuleHolds(PLARGE_INTEGER timeout, const char* call, PVOID object) {
    KIRQL irql = Irql();
    bool mayBlock = !timeout || timeout->QuadPart != 0;
    if (irql > DISPATCH_LEVEL || (mayBlock && irql > APC_LEVEL)) {
        Stop(KSIM_STOP_IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(object), irql, 0, 0, "%s at IRQL %u %s",
             call, irql,
             mayBlock ? "with a non-zero or no timeout (waits are allowed up to APC_LEVEL)"
                      : "(allowed up to DISPATCH_LEVEL)");
        return false;
    }
    return true;
}

}  // namespace

unsigned BlockedWaitCount() { return BlockedWaits().load(); }

std::chrono::milliseconds WaitLimit() { return std::chrono::milliseconds(WaitLimitMs().load()); }

void ReportWaitLimit(const char* what, const void* object) {
    Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x224, reinterpret_cast<ULONG_PTR>(object), WaitLimitMs(), 0,
         "%s on %p has lasted %u ms, past the test's wait limit; the waiter's stack: %s", what, object,
         WaitLimitMs().load(), VmStackText(1).c_str());
}

void EndAfterWaitLimit(const char* what) {
    fprintf(stderr, "kernelsim: %s still waits past the wait limit; ending the program instead of hanging\n", what);
    fflush(stdout);
    fflush(stderr);
    std::_Exit(3);
}

void KeReset() {
    std::lock_guard<std::mutex> g(DispatcherLock());
    MutexOwners().clear();
    ApcDisable() = ApcDisableCounts{};
}

ApcDisableCounts& ApcDisable() {
    static thread_local ApcDisableCounts counts;
    return counts;
}

// A guarded region (or APC_LEVEL and above) holds off even special kernel APCs, among them the
// one that finishes a request the I/O manager built for the thread.
bool AllApcsDisabled() { return ApcDisable().special > 0 || Irql() >= APC_LEVEL; }

}  // namespace ksim

using namespace ksim;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = (Type == NotificationEvent) ? kNotificationEvent : kSynchronizationEvent;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    RequireIrql(DISPATCH_LEVEL, "KeSetEvent");
    LONG old;
    {
        std::lock_guard<std::mutex> g(DispatcherLock());
        old = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    DispatcherWake().notify_all();
    return old;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    RequireIrql(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard<std::mutex> g(DispatcherLock());
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return old;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> g(DispatcherLock());
    Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> g(DispatcherLock());
    return Event->Header.SignalState;
}

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    Semaphore->Header.Type = kSemaphore;
    Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
    Semaphore->Header.SignalState = Count;
    InitializeListHead(&Semaphore->Header.WaitListHead);
    Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    LONG old;
    {
        std::lock_guard<std::mutex> g(DispatcherLock());
        old = Semaphore->Header.SignalState;
        Semaphore->Header.SignalState += Adjustment;
    }
    DispatcherWake().notify_all();
    return old;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard<std::mutex> g(DispatcherLock());
    return Semaphore->Header.SignalState;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    (void)Level;
    Mutex->Header.Type = kMutant;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    (void)Wait;
    LONG old;
    {
        std::lock_guard<std::mutex> g(DispatcherLock());
        old = Mutex->Header.SignalState;
        if (++Mutex->Header.SignalState > 0) MutexOwners().erase(&Mutex->Header);
    }
    DispatcherWake().notify_all();
    return old;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard<std::mutex> g(DispatcherLock());
    return Mutex->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    WaitRuleHolds(Timeout, "KeWaitForSingleObject", Object);
    DISPATCHER_HEADER* header = static_cast<DISPATCHER_HEADER*>(Object);
    Clock::time_point deadline;
    bool timed = Deadline(Timeout, &deadline);
    std::unique_lock<std::mutex> g(DispatcherLock());
    if (!WaitDispatcher(g, timed, deadline, "KeWaitForSingleObject", Object, [header] { return Signalled(header); }))
        return STATUS_TIMEOUT;
    Consume(header);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    (void)WaitBlockArray;
    WaitRuleHolds(Timeout, "KeWaitForMultipleObjects", Object);
    Clock::time_point deadline;
    bool timed = Deadline(Timeout, &deadline);
    std::unique_lock<std::mutex> g(DispatcherLock());
    auto ready = [&] {
        if (WaitType == WaitAny) {
            for (ULONG i = 0; i < Count; ++i)
                if (Signalled(static_cast<DISPATCHER_HEADER*>(Object[i]))) return true;
            return false;
        }
        for (ULONG i = 0; i < Count; ++i)
            if (!Signalled(static_cast<DISPATCHER_HEADER*>(Object[i]))) return false;
        return true;
    };
    if (!WaitDispatcher(g, timed, deadline, "KeWaitForMultipleObjects", Object, ready)) return STATUS_TIMEOUT;
    if (WaitType == WaitAny) {
        for (ULONG i = 0; i < Count; ++i) {
            DISPATCHER_HEADER* header = static_cast<DISPATCHER_HEADER*>(Object[i]);
            if (Signalled(header)) {
                Consume(header);
                return STATUS_WAIT_0 + i;
            }
        }
    }
    for (ULONG i = 0; i < Count; ++i) Consume(static_cast<DISPATCHER_HEADER*>(Object[i]));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    WaitRuleHolds(Interval, "KeDelayExecutionThread", nullptr);
    Clock::time_point deadline;
    if (Deadline(Interval, &deadline)) std::this_thread::sleep_until(deadline);
    return STATUS_SUCCESS;
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    Clock::time_point until = Clock::now() + std::chrono::microseconds(MicroSeconds);
    while (Clock::now() < until) std::this_thread::yield();
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    using namespace std::chrono;
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER now;
    now.QuadPart = duration_cast<nanoseconds>(Clock::now().time_since_epoch()).count() / 100;
    return now;
}

ULONG NTAPI KeQueryTimeIncrement(VOID) { return 156250; }

VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = SystemTimeNow(); }

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old = Irql();
    if (old > DISPATCH_LEVEL)
        Stop(KSIM_STOP_IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(SpinLock), old, 0, 0,
             "KeAcquireSpinLock at IRQL %u", old);
    SetIrql(DISPATCH_LEVEL);
    auto* word = reinterpret_cast<std::atomic<ULONG_PTR>*>(SpinLock);
    ULONG_PTR expected = 0;
    while (!word->compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
        expected = 0;
        std::this_thread::yield();
    }
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    reinterpret_cast<std::atomic<ULONG_PTR>*>(SpinLock)->store(0, std::memory_order_release);
    SetIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (Irql() < DISPATCH_LEVEL)
        Stop(KSIM_STOP_IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(SpinLock), Irql(), 0, 0,
             "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    auto* word = reinterpret_cast<std::atomic<ULONG_PTR>*>(SpinLock);
    ULONG_PTR expected = 0;
    while (!word->compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
        expected = 0;
        std::this_thread::yield();
    }
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    reinterpret_cast<std::atomic<ULONG_PTR>*>(SpinLock)->store(0, std::memory_order_release);
}

VOID NTAPI KeEnterCriticalRegion(VOID) { ++ApcDisable().kernel; }

VOID NTAPI KeLeaveCriticalRegion(VOID) {
    if (ApcDisable().kernel == 0) {
        Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x220, 0, 0, 0,
             "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
        return;
    }
    --ApcDisable().kernel;
}

VOID NTAPI KeEnterGuardedRegion(VOID) {
    RequireIrql(APC_LEVEL, "KeEnterGuardedRegion");
    ++ApcDisable().special;
}

VOID NTAPI KeLeaveGuardedRegion(VOID) {
    RequireIrql(APC_LEVEL, "KeLeaveGuardedRegion");
    if (ApcDisable().special == 0) {
        Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x220, 1, 0, 0,
             "KeLeaveGuardedRegion without a matching KeEnterGuardedRegion");
        return;
    }
    --ApcDisable().special;
}

BOOLEAN NTAPI KeAreApcsDisabled(VOID) {
    return (ApcDisable().kernel || ApcDisable().special || Irql() >= APC_LEVEL) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeAreAllApcsDisabled(VOID) { return AllApcsDisabled() ? TRUE : FALSE; }

DECLSPEC_NORETURN VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    Stop(BugCheckCode, P1, P2, P3, P4, "KeBugCheckEx called by a driver");
    fprintf(stderr, "kernelsim: the driver called KeBugCheckEx(0x%lX); the machine would stop here\n",
            (unsigned long)BugCheckCode);
    fflush(stderr);
    std::abort();
}

}  // extern "C"

void KsimSetWaitLimit(unsigned milliseconds) { WaitLimitMs() = milliseconds; }

KSIM_IMPORT_POINTER(KeInitializeEvent)
KSIM_IMPORT_POINTER(KeSetEvent)
KSIM_IMPORT_POINTER(KeResetEvent)
KSIM_IMPORT_POINTER(KeClearEvent)
KSIM_IMPORT_POINTER(KeReadStateEvent)
KSIM_IMPORT_POINTER(KeInitializeSemaphore)
KSIM_IMPORT_POINTER(KeReleaseSemaphore)
KSIM_IMPORT_POINTER(KeReadStateSemaphore)
KSIM_IMPORT_POINTER(KeInitializeMutex)
KSIM_IMPORT_POINTER(KeReleaseMutex)
KSIM_IMPORT_POINTER(KeReadStateMutex)
KSIM_IMPORT_POINTER(KeWaitForSingleObject)
KSIM_IMPORT_POINTER(KeWaitForMultipleObjects)
KSIM_IMPORT_POINTER(KeDelayExecutionThread)
KSIM_IMPORT_POINTER(KeStallExecutionProcessor)
KSIM_IMPORT_POINTER(KeQueryPerformanceCounter)
KSIM_IMPORT_POINTER(KeQueryTimeIncrement)
KSIM_IMPORT_POINTER(KeQuerySystemTimePrecise)
KSIM_IMPORT_POINTER(KeAcquireSpinLockRaiseToDpc)
KSIM_IMPORT_POINTER(KeReleaseSpinLock)
KSIM_IMPORT_POINTER(KeAcquireSpinLockAtDpcLevel)
KSIM_IMPORT_POINTER(KeReleaseSpinLockFromDpcLevel)
KSIM_IMPORT_POINTER(KeEnterCriticalRegion)
KSIM_IMPORT_POINTER(KeLeaveCriticalRegion)
KSIM_IMPORT_POINTER(KeEnterGuardedRegion)
KSIM_IMPORT_POINTER(KeLeaveGuardedRegion)
KSIM_IMPORT_POINTER(KeAreApcsDisabled)
KSIM_IMPORT_POINTER(KeAreAllApcsDisabled)
KSIM_IMPORT_POINTER(KeBugCheckEx)

unsigned KsimBlockedWaits() { return BlockedWaitCount(); }
