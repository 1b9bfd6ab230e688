// kernelsim: a user-mode stand-in for the kernel the Tarvex filter driver runs over in tests.
//
// The driver's unchanged object code links against this library: every ntoskrnl export it imports
// is defined here with the DDK's signature (and an explicit __imp_ pointer). This header is the
// scenario and test-control API (prefix Ksim); tests use it instead of hand-made IRPs.
//
// Misuse the real kernel answers with a bug check is reported as a KsimStop carrying the real
// stop code; the simulator then carries on as safely as it can so the test can report it.
//
// Threads: every thread has its own simulated IRQL, PASSIVE_LEVEL at start. The DDK's inline
// KeGetCurrentIrql/KeRaiseIrql/KeLowerIrql (mov to/from CR8) are emulated against it.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Lifetime and verdict.

// A fresh kernel: no drivers, devices, links, pool, IRPs, captures, scripts or faults; the
// calling thread at PASSIVE_LEVEL. Waits for simulator threads (pended URBs completed later,
// work items) of the previous test first. Call at the start of every test.
void KsimReset();

// Stop codes the simulator raises (values and names as the Windows bug check reference).
constexpr ULONG KSIM_STOP_IRQL_NOT_LESS_OR_EQUAL = 0x0A;          // wait above APC_LEVEL, call at too high IRQL
constexpr ULONG KSIM_STOP_KMODE_EXCEPTION_NOT_HANDLED = 0x1E;     // a breakpoint (RtlAssert) with nobody to take it
constexpr ULONG KSIM_STOP_NO_MORE_IRP_STACK_LOCATIONS = 0x35;     // IofCallDriver past the last location
constexpr ULONG KSIM_STOP_MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44;  // a request completed twice (or after free)
constexpr ULONG KSIM_STOP_SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION = 0xC1;     // guard area overwritten
constexpr ULONG KSIM_STOP_BAD_POOL_CALLER = 0xC2;                             // double free, bad address, wrong tag
constexpr ULONG KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4;          // other misuse (see the text)
constexpr ULONG KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION = 0xC9;         // I/O manager misuse (see the text)
constexpr ULONG KSIM_STOP_DRIVER_IRQL_NOT_LESS_OR_EQUAL = 0xD1;               // pageable code or data above APC_LEVEL
constexpr ULONG KSIM_STOP_DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION = 0xD6;  // past a system buffer's end
constexpr ULONG KSIM_STOP_DRIVER_CALLED_KE_BUG_CHECK = 0xFFFFFFFF;  // KeBugCheckEx by the driver: code in p[0]

// For 0xC4 and 0xC9 stops that come from the simulator's own checks, p[0] is a code of the
// simulator's (0x200 and up), not one of the verifier's; the text says what was found.
struct KsimStop {
    ULONG code;        // the stop code
    ULONG_PTR p[4];    // its four parameters, as the real kernel fills them where it matters
    std::string what;  // one line: "STOP 0x00000044 MULTIPLE_IRP_COMPLETE_REQUESTS: ..."
};

// Called on the offending thread at the moment of the misuse (the gtest fixture reports it as a
// test failure there). Without a handler stops are only collected.
void KsimSetStopHandler(std::function<void(const KsimStop&)> handler);
// Every stop since the reset (or the last take), in order; KsimTakeStops also forgets them.
std::vector<KsimStop> KsimStops();
std::vector<KsimStop> KsimTakeStops();

// The verdict at a test's end, one line per problem, empty when clean: stops not delivered to a
// handler, pool still allocated (with tags), damaged guard areas of live blocks and device
// extensions, IRPs never completed or freed, pended URBs never completed, work items never
// freed, user handles never closed, symbolic links left to deleted devices, the calling thread
// left above PASSIVE_LEVEL.
// Waits for simulator threads first. Device objects are not leak-checked here (see KsimDevicesOf).
std::vector<std::string> KsimCheckEnd();

// The longest a wait (KeWaitFor*, or the simulator's own wait for a request it sent) may last:
// past it the waiter stops with 0xC4 (p[0] 0x224) and its stack in the text, and the program
// ends unless the stop handler made the wait's object signalled. 30 s after each reset.
void KsimSetWaitLimit(unsigned milliseconds);
// Threads blocked right now in a kernel wait (KeWaitFor*): lets a test see that a driver's thread
// is held, e.g. on a lock, before it lets the holder go on.
unsigned KsimBlockedWaits();

// Drivers.

// Creates the driver object (name, DriverExtension, registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<last name part>") and calls its entry at
// PASSIVE_LEVEL. Returns the driver object, or null when the entry failed (status in *status).
PDRIVER_OBJECT KsimLoadDriver(PDRIVER_INITIALIZE entry, const wchar_t* name = L"\\Driver\\Tarvex",
                              NTSTATUS* status = nullptr);
// Calls DriverUnload (if set) at PASSIVE_LEVEL.
void KsimUnloadDriver(PDRIVER_OBJECT driver);
// A driver object implemented by the simulator (bus drivers owning PDOs, function drivers owning
// FDOs), created on first use by name, e.g. L"\\Driver\\USBHUB3". One object per name.
PDRIVER_OBJECT KsimDriverObject(const wchar_t* name);

// Inspection: devices, stacks, names, links, the I/O log.

std::vector<PDEVICE_OBJECT> KsimDevicesOf(PDRIVER_OBJECT driver);  // live ones, in creation order
std::vector<PDEVICE_OBJECT> KsimStackOf(PDEVICE_OBJECT pdo);       // PDO first, top of stack last
PDEVICE_OBJECT KsimTopOfStack(PDEVICE_OBJECT pdo);
PDEVICE_OBJECT KsimNamedDevice(const wchar_t* name);  // L"\\Device\\TVXIPC0", or null
std::wstring KsimDeviceName(PDEVICE_OBJECT device);   // empty for unnamed devices
std::wstring KsimDriverName(PDEVICE_OBJECT device);   // name of its driver object
std::wstring KsimLinkTarget(const wchar_t* link);     // L"\\DosDevices\\TVXIPC0" -> target, or empty
std::vector<std::wstring> KsimLinks();                // every symbolic link, sorted
// Deleted device objects stay in quarantine (extension poisoned) until the reset, so a use after
// IoDeleteDevice is caught instead of crashing.
bool KsimIsDeleted(PDEVICE_OBJECT device);

// Called on the driver's thread each time a driver's IoAttachDeviceToDeviceStack(Safe) has put
// `attached` on top of `below`, before the call returns: the moment a request may already reach
// the new device. IoAttachDeviceToDeviceStackSafe has set its out pointer by then.
void KsimSetAttachHook(std::function<void(PDEVICE_OBJECT attached, PDEVICE_OBJECT below)> hook);
// Runs `action` on the thread that next writes to the device's extension, just before the write
// lands: another processor acting between a driver's read and its write. One write, once.
void KsimBeforeNextExtensionWrite(PDEVICE_OBJECT device, std::function<void()> action);
// A write to the extension of a device deleted with no reference left stops (0xC9, 0x225), as
// does a completion routine run for a deleted device (0xC9, 0x226).

// Chronological record of the object-changing I/O calls of every driver, one line each:
//   "IoCreateDevice \Device\TVXIPC0"          "IoCreateDevice <unnamed> \Driver\Tarvex"
//   "IoAttachDeviceToDeviceStack <dev> -> <dev>"  "IoDetachDevice <dev>"
//   "IoCreateSymbolicLink \DosDevices\TVXIPC0 -> \Device\TVXIPC0"
//   "IoDeleteSymbolicLink \DosDevices\TVXIPC0"    "IoDeleteDevice \Device\TVXIPC0"
// where <dev> is the name the device's creator gave it, or "<unnamed> " followed by its driver's
// name. (As on Windows, FILE_AUTOGENERATED_DEVICE_NAME without a name makes the I/O manager name
// the device "\Device\%08lx", counting from 0x40 after each reset; KsimDeviceName tells that
// name, the log keeps the label "<unnamed> ...".)
std::vector<std::string> KsimIoLog();
void KsimClearIoLog();
// Called with each line as it is logged, on the thread of the call, once the call has taken
// effect and before it returns (the simulator's lock is held: the hook may inspect the
// simulator, never call into a driver). Cleared by the reset.
void KsimSetIoLogHook(std::function<void(const std::string&)> hook);

// Pool.

struct KsimPoolBlock {
    void* address;
    SIZE_T bytes;
    ULONG tag;            // as passed, e.g. 'tliF' for "Filt"
    std::string tagText;  // the tag's four bytes in memory order, e.g. "Filt"
    POOL_TYPE type;
};
// Blocks allocated through the Ex pool exports and not yet freed (the simulator's own blocks
// handed to drivers, such as bus relations lists, are included while they live).
std::vector<KsimPoolBlock> KsimLivePool();
struct KsimPoolCounters {
    uint64_t allocations;  // successful allocations through the Ex exports since the reset
    uint64_t frees;
    uint64_t failures;  // injected failures
};
KsimPoolCounters KsimPoolCount();

// Fault injection.

enum class KsimFault {
    PoolAllocation,                 // ExAllocatePool* returns null
    IoCreateDevice,                 // returns the status, no device
    IoAttachDeviceToDeviceStack,    // returns null (status ignored)
    IoCreateSymbolicLink,           // returns the status, no link
    IoAllocateIrp,                  // returns null (status ignored)
    IoBuildDeviceIoControlRequest,  // returns null (status ignored)
    IoAllocateWorkItem,             // returns null (status ignored)
};
// The nth call of that kind counted from now (1 = the next one) fails, and the count-1 calls after
// it too. Several injections of one kind add up. Only calls made by drivers count.
void KsimInjectFault(KsimFault fault, unsigned nth = 1, unsigned count = 1,
                     NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void KsimClearFaults();
// Calls of that kind drivers made since the reset, failed or not: how many occurrences a
// scenario offers to a sweep that fails each in turn.
unsigned KsimFaultCalls(KsimFault fault);

// IRQL of the calling thread.

KIRQL KsimIrql();
void KsimSetIrql(KIRQL irql);
class KsimIrqlScope {  // raises (or lowers) for a scope, restores after
public:
    explicit KsimIrqlScope(KIRQL irql) : old_(KsimIrql()) { KsimSetIrql(irql); }
    ~KsimIrqlScope() { KsimSetIrql(old_); }
    KsimIrqlScope(const KsimIrqlScope&) = delete;
    KsimIrqlScope& operator=(const KsimIrqlScope&) = delete;

private:
    KIRQL old_;
};

// Debug output and invariant reports.

// Every DbgPrint/DbgPrintEx/vDbgPrintEx text since the reset, one entry per call, formatted as the
// kernel's DbgPrint does (%S/%ws wide strings, %Z/%wZ counted strings, %p as 16 upper-case hex
// digits, %X/%x/%d on 32 bits: l keeps 32 bits, ll/I64/I/z take 64, h 16).
std::vector<std::string> KsimDbgPrints();
std::string KsimDbgPrintText();  // all of them concatenated
void KsimClearDbgPrints();
std::string KsimFormat(const char* format, ...);  // the same formatter, for expected texts
// Also echo every DbgPrint to stderr (default: off, or on when the environment has KSIM_ECHO=1).
void KsimEchoDbgPrint(bool on);

struct KsimAssert {
    std::string expression;  // FailedAssertion text, e.g. "devExt->pendingActionCount >= 0"
    std::string file;        // FileName as given
    std::string module;      // its base name without directories and extension, e.g. "util"
    ULONG line;
    std::string message;  // Message, or empty when null
};
std::vector<KsimAssert> KsimAsserts();  // every RtlAssert since the reset, in order
void KsimClearAsserts();
// With a kernel debugger attached (a Verifier or certification lab), an RtlAssert halts the
// machine at its prompt: in this mode each one is also a stop 0x1E (STATUS_BREAKPOINT in p[0]),
// so that a report of something that is not a true invariant fails its test. Off after a reset.
void KsimSetAssertionsBreak(bool on);

// The USB bus model: PDOs owned by named bus drivers.

// Setup classes by the text IoGetDeviceProperty(DevicePropertyClassGuid) returns.
#define KSIM_CLASS_USB L"{36fc9e60-c465-11cf-8056-444553540000}"
#define KSIM_CLASS_USBDEVICE L"{88bae032-5a81-49f0-bc3d-a4ff138216d6}"
#define KSIM_CLASS_WPD L"{eec5ad98-8080-425f-922a-dabf3de3f69a}"
#define KSIM_CLASS_HIDCLASS L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}"

// Device descriptor with bLength 18, type 1, bcdUSB 0x0200, bMaxPacketSize0 64, one configuration.
USB_DEVICE_DESCRIPTOR KsimUsbDescriptor(USHORT idVendor, USHORT idProduct, UCHAR bDeviceClass = 0);

struct KsimUsbDevice {
    std::wstring busDriver = L"\\Driver\\USBHUB3";  // driver object that owns the PDO
    std::vector<std::wstring> hardwareIds;          // DevicePropertyHardwareID, multi-sz; empty: absent
    std::vector<std::wstring> compatibleIds;        // DevicePropertyCompatibleIDs; empty: absent
    std::wstring location;                          // DevicePropertyLocationInformation; empty: absent
    std::wstring classGuid;                         // DevicePropertyClassGuid text; empty: absent
    std::wstring className;                         // DevicePropertyClassName ("USB"); empty: absent
    std::wstring description;                       // DevicePropertyDeviceDescription; empty: absent
    USB_DEVICE_DESCRIPTOR descriptor = KsimUsbDescriptor(0x0000, 0x0000, 0);
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
    // Function driver PnP puts above the PDO (and any filter already there) when it builds the
    // stack: a simulator driver of this name (L"\\Driver\\WinUSB", L"\\Driver\\USBHUB3", ...).
    // Empty: no function driver (a raw stack).
    std::wstring functionDriver = L"\\Driver\\KsimFunction";
    // A hub that, at surprise removal, keeps the URBs it holds for the device until the function
    // driver aborts them (URB_FUNCTION_ABORT_PIPE) or the remove comes, instead of purging them
    // at once. The simulator's function driver aborts its pipes after passing the surprise
    // removal down whenever the PDO still holds URBs, so a filter between them that fails the
    // abort leaves them there for the remove (stop 0xC9, 0x222).
    bool keepsUrbsAfterSurpriseRemoval = false;
};

// Creates a PDO (named "\Device\USBPDO-<n>", DO_BUS_ENUMERATED_DEVICE, StackSize 1) of the bus
// driver the description names. With a parent PDO it becomes one of the parent's children (reported in
// the parent's bus relations); PnP has not seen it yet.
PDEVICE_OBJECT KsimCreateUsbPdo(const KsimUsbDevice& device, PDEVICE_OBJECT parent = nullptr);

// Device properties as IoGetDeviceProperty returns them (Windows' rules: the value includes its
// terminator; a buffer too small fails with STATUS_BUFFER_TOO_SMALL and the needed length; an
// absent value fails with STATUS_OBJECT_NAME_NOT_FOUND).
void KsimSetProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const void* data, ULONG bytes);
void KsimSetPropertyString(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const std::wstring& text);
void KsimSetPropertyMultiSz(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                            const std::vector<std::wstring>& strings);
void KsimRemoveProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property);
void KsimFailProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, NTSTATUS status);
void KsimSetUsbDescriptor(PDEVICE_OBJECT pdo, const USB_DEVICE_DESCRIPTOR& descriptor);

// Children reported by a PDO in IRP_MN_QUERY_DEVICE_RELATIONS/BusRelations, in this order.
void KsimAddChild(PDEVICE_OBJECT parentPdo, PDEVICE_OBJECT childPdo);
void KsimRemoveChild(PDEVICE_OBJECT parentPdo, PDEVICE_OBJECT childPdo);
std::vector<PDEVICE_OBJECT> KsimChildren(PDEVICE_OBJECT parentPdo);

// Every URB a PDO received through IOCTL_INTERNAL_USB_SUBMIT_URB, in arrival order.
struct KsimUsbRequest {
    USHORT function;             // UrbHeader.Function
    bool control;                // a control transfer: setup holds its 8-byte setup packet
    std::array<UCHAR, 8> setup;  // as it goes on the bus (little-endian fields)
    ULONG transferLength;        // TransferBufferLength given
    KIRQL irql;                  // IRQL at which the PDO received it
    // Every device object the IRP was sent to with IofCallDriver, first to last (the PDO last):
    // a request built straight for the PDO has a path of one.
    std::vector<PDEVICE_OBJECT> path;
};
std::vector<KsimUsbRequest> KsimUsbRequests(PDEVICE_OBJECT pdo);
std::vector<std::array<UCHAR, 8>> KsimUsbSetupPackets(PDEVICE_OBJECT pdo);  // control ones only
void KsimClearUsbRequests(PDEVICE_OBJECT pdo);
std::string KsimHex(const std::array<UCHAR, 8>& setup);  // "40 40 00 64 00 64 00 00"

// Default answers: GET_DESCRIPTOR_FROM_DEVICE for the device descriptor copies the descriptor
// (up to TransferBufferLength) and succeeds, as it does for a minimal configuration descriptor;
// other descriptor requests fail with STATUS_UNSUCCESSFUL/USBD_STATUS_STALL_PID; vendor, class and control transfers,
// bulk, interrupt, isochronous and chained-MDL transfers succeed (data transfers report their length); anything else
// fails with STATUS_NOT_SUPPORTED. Scripts change the answer for matching URBs.
constexpr USHORT KSIM_ANY_URB = 0xFFFF;
enum class KsimUrbAnswer { Complete, Pend };
struct KsimUrbScript {
    USHORT function = KSIM_ANY_URB;  // the URB function it applies to
    KsimUrbAnswer answer = KsimUrbAnswer::Complete;
    NTSTATUS status = STATUS_SUCCESS;  // Complete: final status (a failure skips the default work)
    USBD_STATUS usbdStatus = 0;        // written to UrbHeader.Status (0: derived from status)
    unsigned times = 1;                // how many matching URBs it answers; 0: all of them
    // Pend: the PDO marks the IRP pending and returns STATUS_PENDING. With completeAfterMs > 0 a
    // simulator thread completes it after that delay with `status` (after the default work);
    // otherwise the test completes it with KsimUsbCompletePended. A pended URB that is cancelled
    // (IoCancelIrp) completes at once with STATUS_CANCELLED, as a hub driver's does.
    unsigned completeAfterMs = 0;
    // Pend: with cancelCompletesAfterMs > 0 a cancelled URB comes back only that long after the
    // cancel, from another thread at DISPATCH_LEVEL, as a host controller takes it off its
    // schedule first: a sender that frees it before it came back stops (0xC9, 0x203).
    unsigned cancelCompletesAfterMs = 0;
};
void KsimUsbScript(PDEVICE_OBJECT pdo, const KsimUrbScript& script);  // queued behind earlier ones
void KsimUsbClearScripts(PDEVICE_OBJECT pdo);
size_t KsimUsbPendedCount(PDEVICE_OBJECT pdo);
bool KsimUsbWaitPended(PDEVICE_OBJECT pdo, size_t count, unsigned timeoutMs = 5000);
// Completes the oldest pended URB of the PDO on the calling thread (default work done first
// when status is a success); false if none is pended.
bool KsimUsbCompletePended(PDEVICE_OBJECT pdo, NTSTATUS status = STATUS_SUCCESS);
// The same from a new simulator thread after delayMs (waits for a pended URB to exist).
void KsimUsbCompletePendedLater(PDEVICE_OBJECT pdo, NTSTATUS status = STATUS_SUCCESS, unsigned delayMs = 50);

// Generic hook on a device object of a simulator driver (PDO or FDO): called when an IRP arrives,
// before the default handling. Return true when the hook has dealt with the IRP (completed or
// pended it) and set *result to what the dispatch routine returns; false for the default handling.
// Lets a test observe what a lower driver sees (e.g. the filter's state when a power IRP arrives).
using KsimIrpHook = std::function<bool(PDEVICE_OBJECT device, PIRP irp, NTSTATUS* result)>;
void KsimSetIrpHook(PDEVICE_OBJECT device, KsimIrpHook hook);

// The PnP manager.

// Upper filters (e.g. the loaded Tarvex) whose AddDevice PnP calls for the stacks it builds, after
// the function driver's, in registration order: for every stack, or with a class GUID text (e.g.
// KSIM_CLASS_USB) only for PDOs whose DevicePropertyClassGuid equals it, ignoring case, as a
// class upper filter is registered on Windows.
void KsimPnpRegisterUpperFilter(PDRIVER_OBJECT driver, const wchar_t* classGuid = nullptr);
// Calls driver->DriverExtension->AddDevice(driver, pdo) at PASSIVE_LEVEL.
NTSTATUS KsimPnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// Attaches a simulator function device (FDO) of that driver to the top of the PDO's stack and
// returns it. Passes every IRP down except what a function driver owns (see KsimUsbSubmit).
PDEVICE_OBJECT KsimAttachFunctionDriver(PDEVICE_OBJECT pdo, const wchar_t* driverName = L"\\Driver\\KsimFunction");
PDEVICE_OBJECT KsimFunctionDevice(PDEVICE_OBJECT pdo);  // the stack's FDO, or null
// A bare pass-through device (IoSkipCurrentIrpStackLocation + IofCallDriver for everything,
// detaches and deletes itself at removal) attached to the top of the PDO's stack; the yardstick
// for benchmarks of a filter's cost.
PDEVICE_OBJECT KsimAttachPassThrough(PDEVICE_OBJECT pdo);

// Builds the PDO's stack as PnP does: function driver its description names, then the registered upper
// filters' AddDevice. Returns the first failing AddDevice status, else STATUS_SUCCESS.
NTSTATUS KsimPnpBuildStack(PDEVICE_OBJECT pdo);

// Each sends one PnP IRP (status initialised to STATUS_NOT_SUPPORTED, as PnP does) to the top of
// the PDO's stack at PASSIVE_LEVEL, waits for its completion and returns the final status.
NTSTATUS KsimPnpStart(PDEVICE_OBJECT pdo);
NTSTATUS KsimPnpQueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities = nullptr);
// Children in the list that came back up (the list is freed by PnP as on Windows).
NTSTATUS KsimPnpQueryBusRelations(PDEVICE_OBJECT pdo, std::vector<PDEVICE_OBJECT>* reported = nullptr);
NTSTATUS KsimPnpQueryStop(PDEVICE_OBJECT pdo);
NTSTATUS KsimPnpCancelStop(PDEVICE_OBJECT pdo);
NTSTATUS KsimPnpStop(PDEVICE_OBJECT pdo);  // IRP_MN_STOP_DEVICE only
NTSTATUS KsimPnpQueryRemove(PDEVICE_OBJECT pdo);
NTSTATUS KsimPnpCancelRemove(PDEVICE_OBJECT pdo);
NTSTATUS KsimPnpSurpriseRemove(PDEVICE_OBJECT pdo);
// IRP_MN_REMOVE_DEVICE; children's stacks are removed first. The simulator's FDOs detach and
// delete themselves; the PDO is deleted too when it is no longer among its parent's children
// (or has no parent), as a bus driver does for a device reported missing.
NTSTATUS KsimPnpRemove(PDEVICE_OBJECT pdo);
NTSTATUS KsimPnpDeviceUsage(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath);
// Any minor function: fill sets the stack location's parameters; *information gets IoStatus.Information.
NTSTATUS KsimPnpSend(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = {},
                     ULONG_PTR* information = nullptr);
// What a bus PDO answers to a PnP minor function (default STATUS_SUCCESS for start, stop,
// removal, capabilities, relations, usage; the status IRP already has otherwise).
void KsimPnpSetPdoAnswer(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status, unsigned times = 0 /* all */);
// The PDO holds the next request(s) of that minor function: marks it pending, returns
// STATUS_PENDING and completes it from a simulator thread after completeAfterMs (times = 0: all).
void KsimPnpPendAtPdo(PDEVICE_OBJECT pdo, UCHAR minor, unsigned completeAfterMs, unsigned times = 1);
// Whether the PDO has handled IRP_MN_REMOVE_DEVICE since its stack was last built. From then on
// any request but a PnP one stops (0xC9, 0x223); a remove that finds URBs of the drivers above
// still held in the PDO stops too (0xC9, 0x222).
bool KsimPdoRemoveHandled(PDEVICE_OBJECT pdo);

// Higher-level steps of the road of one event:
// Root device: creates the PDO (no parent), builds its stack and starts it. Status in *status.
PDEVICE_OBJECT KsimPnpPlugRoot(const KsimUsbDevice& device, NTSTATUS* status = nullptr);
// A device plugged into a parent: creates the child PDO, sends bus relations to the parent's
// stack (filters above see the new child), builds the child's stack and starts it.
PDEVICE_OBJECT KsimPnpPlug(PDEVICE_OBJECT parentPdo, const KsimUsbDevice& device, NTSTATUS* status = nullptr);
// The device stays but its stack is torn down and built again on the same PDO, as disabling and
// enabling it, updating its driver or restarting it does: removal (the PDO stays while its parent
// reports it), then AddDevice and start again. With reenumerateParent the parent's bus relations
// are queried in between (the device found again by re-enumerating its parent); without, the
// stack is rebuilt in place and filters above the parent learn nothing. Returns the start status.
NTSTATUS KsimPnpRebuild(PDEVICE_OBJECT pdo, bool reenumerateParent);
// The device goes away: its parent stops reporting it (bus relations sent to the parent's stack),
// then surprise removal and removal of its stack (children first). The PDO is deleted. While a
// user handle is open on a device of its stack (or of a child's stack), only the surprise
// removal comes: the remove follows when KsimUserClose closes the last such handle.
void KsimPnpUnplug(PDEVICE_OBJECT pdo);

// The power manager.

// One power IRP to the top of the PDO's stack, waited for; returns its final status. As on
// Windows it is sent at PASSIVE_LEVEL when the top device has DO_POWER_PAGABLE, else at
// DISPATCH_LEVEL. The simulator's PDOs and FDOs call PoStartNextPowerIrp and pass
// or complete the request with STATUS_SUCCESS unless hooked or scripted.
NTSTATUS KsimPoSetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
NTSTATUS KsimPoQueryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
NTSTATUS KsimPoSetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state, POWER_ACTION action = PowerActionSleep);
NTSTATUS KsimPoQuerySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state, POWER_ACTION action = PowerActionSleep);
// What the PDO answers to IRP_MJ_POWER (times = 0: every one).
void KsimPoSetPdoAnswer(PDEVICE_OBJECT pdo, NTSTATUS status, unsigned times = 1);
// The PDO marks the next power request(s) pending and a simulator thread completes each with
// `status` after completeAfterMs, at DISPATCH_LEVEL (times = 0: every one).
void KsimPoPendAtPdo(PDEVICE_OBJECT pdo, unsigned completeAfterMs, NTSTATUS status = STATUS_SUCCESS,
                     unsigned times = 1);
// The stack's function driver asks for a wait-wake request (PoRequestPowerIrp, IRP_MN_WAIT_WAKE to
// the top of the stack, not waited for). A bus PDO keeps it pending until it is cancelled or the
// PDO handles IRP_MN_REMOVE_DEVICE, which completes it with STATUS_NO_SUCH_DEVICE first: a
// driver above that waits for it before passing the remove down waits forever (the wait limit
// stops it). True while the PDO holds one.
void KsimPoRequestWaitWake(PDEVICE_OBJECT pdo);
bool KsimPoWaitWakeHeld(PDEVICE_OBJECT pdo);
// PoStartNextPowerIrp calls made while the IRP's current stack location belonged to the device
// (that is, by that device's dispatch or completion routine), since the reset.
unsigned KsimPoStartNextPowerIrpCalls(PDEVICE_OBJECT device);

// A function driver above the filter: URB submission.

// Submits the URB as the stack's function driver does: an IOCTL_INTERNAL_USB_SUBMIT_URB IRP
// allocated for and sent to the device below the FDO (the top of the stack when there is no
// FDO), at the given IRQL, from the calling thread. At DISPATCH_LEVEL the send happens with the
// IRQL raised and the wait for completion after lowering it back. Returns the final status.
NTSTATUS KsimUsbSubmit(PDEVICE_OBJECT pdo, PURB urb, KIRQL irql = PASSIVE_LEVEL);
// Convenience URBs through KsimUsbSubmit (the URB and its buffers live for the call):
NTSTATUS KsimUsbSendControl(PDEVICE_OBJECT pdo, const std::array<UCHAR, 8>& setup, KIRQL irql = PASSIVE_LEVEL);
NTSTATUS KsimUsbSendVendor(PDEVICE_OBJECT pdo, USHORT function /* URB_FUNCTION_VENDOR_DEVICE... */, UCHAR request,
                           USHORT value, USHORT index, KIRQL irql = PASSIVE_LEVEL);
NTSTATUS KsimUsbSendBulk(PDEVICE_OBJECT pdo, ULONG bytes = 512, KIRQL irql = PASSIVE_LEVEL);
NTSTATUS KsimUsbSendInterrupt(PDEVICE_OBJECT pdo, ULONG bytes = 8, KIRQL irql = PASSIVE_LEVEL);
NTSTATUS KsimUsbSendIsoch(PDEVICE_OBJECT pdo, ULONG packets = 8, KIRQL irql = PASSIVE_LEVEL);
NTSTATUS KsimUsbSendChainedMdl(PDEVICE_OBJECT pdo, ULONG bytes = 1024, KIRQL irql = PASSIVE_LEVEL);
NTSTATUS KsimUsbGetDeviceDescriptor(PDEVICE_OBJECT pdo, USB_DEVICE_DESCRIPTOR* out, KIRQL irql = PASSIVE_LEVEL);

// Work items (IoQueueWorkItem) run on a simulator worker thread at PASSIVE_LEVEL, in order.
// Waits until every queued work item has run.
void KsimDrainWorkItems();
// While held, queued work items wait (a system worker thread busy elsewhere: Windows promises no
// time); releasing, draining, the reset and the end check let them run.
void KsimHoldWorkItems(bool hold);

// User mode: handles on symbolic links, as the I/O manager serves them.

struct KsimFile;
using KsimHandle = KsimFile*;
// Opens "\\.\TVXIPC0" (or "\DosDevices\TVXIPC0", "\??\TVXIPC0", or a device name): resolves the
// link, sends IRP_MJ_CREATE with a new file object at PASSIVE_LEVEL and waits. Null on failure,
// with the status in *status: STATUS_OBJECT_NAME_NOT_FOUND for an unknown name,
// STATUS_NO_SUCH_DEVICE for a device still DO_DEVICE_INITIALIZING, else the create's status.
// The open asks for desiredAccess under the caller identity (KsimSetCaller), from a process of
// that integrity level, inside an AppContainer or not, and is refused with STATUS_ACCESS_DENIED,
// nothing sent, unless the access check grants all of it, as Windows makes it: the DACL's allow
// entries for the caller's SIDs; for an AppContainer also for the package SIDs (only
// ALL APPLICATION PACKAGES is modelled), both must grant; then the device's mandatory label,
// which for a device is the default Medium label with no-write-up: a caller below Medium gets no
// write, delete or WRITE_DAC/WRITE_OWNER right, but may read. A path below the device
// ("\\.\TVXIPC0\x") passes the rest as the file object's FileName and is checked only when the
// device has FILE_DEVICE_SECURE_OPEN. A device whose security was never set has the default,
// which admits everyone but AppContainers. The handle keeps the granted access: a control code
// whose required access (FILE_READ_ACCESS, FILE_WRITE_ACCESS) the handle lacks is refused by
// the I/O manager with STATUS_ACCESS_DENIED, and IoValidateDeviceIoControlAccess answers from it.
enum class KsimIntegrity { Untrusted, Low, Medium, High, System };
KsimHandle KsimUserOpen(const wchar_t* path, NTSTATUS* status = nullptr,
                        ACCESS_MASK desiredAccess = GENERIC_READ | GENERIC_WRITE,
                        KsimIntegrity integrity = KsimIntegrity::Medium, bool appContainer = false);
// The rights the open granted (generic rights mapped to the file object's specific ones).
ACCESS_MASK KsimUserGrantedAccess(KsimHandle handle);
// The identity later opens run under: the SIDs of its token as text. Each reset restores an
// administrator logged on interactively (Administrators, Interactive, Authenticated Users,
// Everyone).
constexpr const char* KSIM_SID_SYSTEM = "S-1-5-18";
constexpr const char* KSIM_SID_ADMINISTRATORS = "S-1-5-32-544";
constexpr const char* KSIM_SID_USERS = "S-1-5-32-545";
constexpr const char* KSIM_SID_INTERACTIVE = "S-1-5-4";
constexpr const char* KSIM_SID_SERVICE = "S-1-5-6";
constexpr const char* KSIM_SID_NETWORK = "S-1-5-2";
constexpr const char* KSIM_SID_AUTHENTICATED_USERS = "S-1-5-11";
constexpr const char* KSIM_SID_EVERYONE = "S-1-1-0";
constexpr const char* KSIM_SID_ALL_APPLICATION_PACKAGES = "S-1-15-2-1";
void KsimSetCaller(const std::vector<std::string>& sids);
// The allow entries (SID text, access mask as set) of the DACL a driver gave the device through
// the object manager; *hasDacl false when it has the default security.
std::vector<std::pair<std::string, ACCESS_MASK>> KsimDeviceDacl(PDEVICE_OBJECT device, bool* hasDacl = nullptr);
// DeviceIoControl. METHOD_BUFFERED as the I/O manager: a system buffer of max(inLen, outLen)
// bytes (pool with guard areas, tag "Ksim"), input copied in, after completion
// IoStatus.Information bytes copied out only when the status is not an error and there is an
// output buffer (Information above outLen is a stop). METHOD_IN/OUT_DIRECT: system buffer for
// the input, an MDL over the output. METHOD_NEITHER: the caller's pointers. Waits when pended.
// A non-zero length with a null buffer fails the probe: STATUS_ACCESS_VIOLATION, nothing sent.
NTSTATUS KsimUserIoctl(KsimHandle handle, ULONG code, const void* in, ULONG inLen, void* out, ULONG outLen,
                       ULONG_PTR* information = nullptr);
// CloseHandle: IRP_MJ_CLEANUP then IRP_MJ_CLOSE; returns the close status.
NTSTATUS KsimUserClose(KsimHandle handle);
// The two halves separately, for tests of each.
NTSTATUS KsimUserCleanup(KsimHandle handle);
PFILE_OBJECT KsimUserFileObject(KsimHandle handle);
