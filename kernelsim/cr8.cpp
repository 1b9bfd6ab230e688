// The per-thread simulated IRQL, and the emulation of CR8 accesses: on x64 the DDK's inline
// KeGetCurrentIrql/KeRaiseIrql/KeLowerIrql read and write CR8, a privileged instruction that
// faults in user mode. A vectored exception handler decodes `mov reg, cr8` / `mov cr8, reg`,
// reads or writes the simulated IRQL of the faulting thread and steps over the instruction,
// as Wine's own kernel emulation does. This source alone includes <windows.h>.
#include <windows.h>

#include <cstdio>
#include <mutex>

#include "ksim_vm.h"

typedef unsigned char KIRQL;

namespace ksim {
namespace {

thread_local KIRQL currentIrql = 0;
// See SimRaiseBoundary.
thread_local uintptr_t simRaiseBoundary = 0;

// Pageable data may be paged out whenever a processor runs at DISPATCH_LEVEL.
void Change(KIRQL irql) {
    if (irql >= 2 && currentIrql < 2) VmPageOutPageable();
    currentIrql = irql;
}

LONG CALLBACK EmulateCr8(PEXCEPTION_POINTERS info) {
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_PRIV_INSTRUCTION && code != EXCEPTION_ACCESS_VIOLATION &&
        code != EXCEPTION_ILLEGAL_INSTRUCTION)
        return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT* context = info->ContextRecord;
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(context->Rip);
    // REX with R set (CR8 is control register 0 + 8), 0F 20 (mov r64, crN) or 0F 22 (mov crN, r64),
    // ModRM with mod 11 and reg 0.
    unsigned char rex = ip[0];
    if ((rex & 0xF4) != 0x44 || ip[1] != 0x0F || (ip[2] != 0x20 && ip[2] != 0x22) || (ip[3] & 0xF8) != 0xC0)
        return EXCEPTION_CONTINUE_SEARCH;
    unsigned reg = (ip[3] & 7) + ((rex & 1) ? 8 : 0);
    DWORD64* regs = &context->Rax;  // Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi, R8..R15 in encoding order
    if (ip[2] == 0x20)
        regs[reg] = currentIrql;
    else
        Change(static_cast<KIRQL>(regs[reg] & 0xF));
    if (currentIrql >= 2 && VmInPageableCode(ip)) VmReport(VmFault::PageableAtDispatch, ip, false, ip);
    context->Rip += 4;
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

KIRQL Irql() { return currentIrql; }
// The simulator's own raise: the code that called it resumes only after the matching lower.
void SetIrql(KIRQL irql) {
    if (irql >= 2 && currentIrql < 2)
        simRaiseBoundary = VmCallerStackPointer(2);
    else if (irql < 2)
        simRaiseBoundary = 0;
    Change(irql);
}

// A test's raise: everything it calls from now on runs at the new level.
void SetIrqlForTest(KIRQL irql) {
    SetIrql(irql);
    simRaiseBoundary = 0;
}

uintptr_t SimRaiseBoundary() { return simRaiseBoundary; }

// A fault nobody handles is a crash of the machine: the test program must end as a failure, not
// with the success Wine's debugger hands back after its report.
LONG WINAPI EndOnUnhandledException(PEXCEPTION_POINTERS pointers) {
    fprintf(stderr, "kernelsim: unhandled exception 0x%08lX at %p: the test program ends as failed\n",
            (unsigned long)pointers->ExceptionRecord->ExceptionCode, pointers->ExceptionRecord->ExceptionAddress);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

void EnsureCr8Emulation() {
    static std::once_flag once;
    std::call_once(once, [] {
        SetUnhandledExceptionFilter(EndOnUnhandledException);
        AddVectoredExceptionHandler(1, EmulateCr8);
        VmInitialise();
    });
}

}  // namespace ksim
