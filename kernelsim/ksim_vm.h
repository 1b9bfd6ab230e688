// Page protection for the simulator's memory checks. Implemented in vm.cpp, the one source
// besides cr8.cpp that includes <windows.h>, so this header names no DDK types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ksim {

constexpr size_t kPage = 4096;

// Page-aligned read-write memory, zeroed; freed with VmFreePages.
void* VmAllocatePages(size_t bytes);
void VmFreePages(void* address, size_t bytes);

// `bytes` that end flush against a no-access page, as special pool places a block: any access
// past the end faults at once. Freed with VmFreeTail.
void* VmAllocateTail(size_t bytes);
void VmFreeTail(void* address);

// The pages of a device extension whose device object is gone: they stay readable, a write stops.
void VmProtectReleased(void* address, size_t bytes);
// Runs `before` on the thread that next writes to these pages, just before its write lands.
void VmWatchWrite(void* address, size_t bytes, std::function<void()> before);
// Makes the pages plain read-write memory again and forgets any check on them.
void VmUnprotect(void* address, size_t bytes);

// Sections of the program whose names begin with PAGE: code, and data that is "paged out" (no
// access) whenever a thread raises its IRQL to DISPATCH_LEVEL and paged in on a touch below it.
bool VmInPageableCode(const void* address);
void VmPageOutPageable();
void VmInitialise();

// The stack pointer of the frame that made the simulator raise the calling thread to
// DISPATCH_LEVEL (a DPC's completion, a send at that level), or 0 when a test or a driver raised
// it: frames at or above it ran below DISPATCH_LEVEL and resume only after the level drops.
uintptr_t SimRaiseBoundary();
// Per frame of the calling thread, innermost first without the `skip` innermost: the return
// address and the frame's stack pointer. VmCallerStackPointer(n): that of the n-th frame out.
size_t VmWalkStack(void** frames, uintptr_t* stackPointers, size_t max, size_t skip);
uintptr_t VmCallerStackPointer(size_t levels);
// Return addresses of the calling thread, innermost first, without the `skip` innermost frames.
size_t VmCaptureStack(void** frames, size_t max, size_t skip);
// "0x0000000140012345 (exe+0x12345)", or the bare address outside the program's image.
std::string VmDescribe(const void* address);
std::string VmStackText(size_t skip);

// What the page checks found, reported by sim.cpp as stops. `ip` is the faulting instruction.
enum class VmFault { ReleasedWrite, BeyondEnd, PageableAtDispatch };
void VmReport(VmFault fault, const void* address, bool write, const void* ip);

}  // namespace ksim
