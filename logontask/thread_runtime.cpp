// The few thread primitives the static C++ runtime (exception handling, unwinder, emulated TLS)
// asks for, built on calls Windows XP has. Defined here, they keep the POSIX thread library out
// of the program: its objects import GetTickCount64 and the like, which the XP loader refuses.
// Only logontask links this file; its types and values match the thread library's header.
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

const intptr_t STATIC_MUTEX = -1;  // the header's PTHREAD_MUTEX_INITIALIZER

CRITICAL_SECTION* NewSection() {
    auto* section = static_cast<CRITICAL_SECTION*>(std::malloc(sizeof(CRITICAL_SECTION)));
    if (section) InitializeCriticalSection(section);
    return section;
}

// A statically initialised mutex gets its section on first use; racing threads keep the first.
CRITICAL_SECTION* Section(intptr_t* mutex) {
    intptr_t current = *reinterpret_cast<volatile intptr_t*>(mutex);
    if (current != STATIC_MUTEX && current != 0) return reinterpret_cast<CRITICAL_SECTION*>(current);
    CRITICAL_SECTION* fresh = NewSection();
    if (!fresh) return nullptr;
    PVOID seen = InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(mutex), fresh,
                                                   reinterpret_cast<PVOID>(current));
    if (seen == reinterpret_cast<PVOID>(current)) return fresh;
    DeleteCriticalSection(fresh);
    std::free(fresh);
    return reinterpret_cast<CRITICAL_SECTION*>(seen);
}

}  // namespace

extern "C" {

int pthread_mutex_init(intptr_t* mutex, const unsigned*) {
    CRITICAL_SECTION* section = NewSection();
    if (!section) return ENOMEM;
    *mutex = reinterpret_cast<intptr_t>(section);
    return 0;
}

int pthread_mutex_destroy(intptr_t* mutex) {
    if (*mutex != STATIC_MUTEX && *mutex != 0) {
        auto* section = reinterpret_cast<CRITICAL_SECTION*>(*mutex);
        DeleteCriticalSection(section);
        std::free(section);
    }
    *mutex = 0;
    return 0;
}

int pthread_mutex_lock(intptr_t* mutex) {
    CRITICAL_SECTION* section = Section(mutex);
    if (!section) return ENOMEM;
    EnterCriticalSection(section);
    return 0;
}

int pthread_mutex_unlock(intptr_t* mutex) {
    CRITICAL_SECTION* section = Section(mutex);
    if (!section) return EINVAL;
    LeaveCriticalSection(section);
    return 0;
}

// 0 not run, 1 running, 2 done.
int pthread_once(long* once, void (*routine)(void)) {
    volatile LONG* state = reinterpret_cast<volatile LONG*>(once);
    if (InterlockedCompareExchange(state, 1, 0) == 0) {
        routine();
        InterlockedExchange(state, 2);
        return 0;
    }
    while (InterlockedCompareExchange(state, 2, 2) != 2) Sleep(0);
    return 0;
}

// The destructor is not run at thread exit: the runtime uses it only to free per-thread blocks,
// and this program's one worker ends just before the process does.
int pthread_key_create(unsigned* key, void (*)(void*)) {
    DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) return EAGAIN;
    *key = index;
    return 0;
}

void* pthread_getspecific(unsigned key) { return TlsGetValue(key); }

int pthread_setspecific(unsigned key, const void* value) {
    return TlsSetValue(key, const_cast<void*>(value)) ? 0 : EINVAL;
}

}  // extern "C"
