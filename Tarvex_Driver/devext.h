// The record every device object of the driver carries, its state values, and the routines the
// driver's modules share. Filters made by VA_AddDevice, child filters and control devices all use it.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include "tvxipc.h"

// The bytes "Fltr" in memory order.
constexpr ULONG DEVICE_EXTENSION_SIGNATURE = 0x72746C46;

// The bytes "Filt" in memory order.
constexpr ULONG TVX_POOL_TAG = 0x746C6946;

constexpr LONG STATE_ADDED = 0;
constexpr LONG STATE_STARTING = 1;
constexpr LONG STATE_STARTED = 2;
constexpr LONG STATE_START_FAILED = 3;
constexpr LONG STATE_STOPPED = 4;
constexpr LONG STATE_SUSPENDED = 5;
constexpr LONG STATE_REMOVING = 6;
constexpr LONG STATE_REMOVED = 7;

// Values of ipcSlot below 0 tell the two kinds of filter apart; 0..255 is a control device's number.
constexpr LONG IPC_SLOT_ADDDEVICE_FILTER = -2;
constexpr LONG IPC_SLOT_CHILD_FILTER = -1;

constexpr size_t LOCATION_UNITS = TVXIPC_LOCATION_UNITS;
constexpr size_t HARDWARE_ID_UNITS = 256;

struct DEVICE_EXTENSION {
    ULONG signature;
    UCHAR usbDevClass;
    LONG state;
    PDEVICE_OBJECT filterDevObj;
    PDEVICE_OBJECT physicalDevObj;
    PDEVICE_OBJECT topDevObj;
    PDEVICE_OBJECT controlDevObj;
    DEVICE_CAPABILITIES capabilities;
    volatile LONG pendingActionCount;
    KEVENT removalEvent;
    // The driver's own requests to the PDO (control orders, the charging re-send): removal waits
    // for these before the remove request goes down, and for the pending actions only after.
    volatile LONG ownRequestCount;
    KEVENT ownRequestsDone;
    // Requests inside the filter's dispatch routine: they reach the device below before the remove
    // does. Those pended below hold pendingActionCount instead, until their completion.
    volatile LONG dispatchCount;
    KEVENT dispatchDone;
    // Held around "send, then record" of an order and "if charging is on, send on" of a re-send,
    // so that what the device got last is what the flag says. A synchronization event that is
    // signalled while free; taken at PASSIVE_LEVEL only, inside a critical region.
    KEVENT orderLock;
    LONG ipcSlot;
    BOOLEAN bIsAppleDevice;
    BOOLEAN bIsAppleHardwareId;
    BOOLEAN bAttachToChildren;
    WCHAR location[LOCATION_UNITS];
    WCHAR hardwareId[HARDWARE_ID_UNITS];
    BOOLEAN bIsDataUrbSeen;
    BOOLEAN bIsUrbWatchOn;
    BOOLEAN bIsChargingCmdOn;
    BOOLEAN bIsResendChargingCmdNeeded;
};

// Entry n is 1 while the control device TVXIPC<n> exists. Taken and returned with interlocked
// operations only: Plug and Play serialises requests per stack, not across stacks.
extern volatile LONG ipcSlotTable[TVXIPC_MAX_DEVICES];

// An invariant that does not hold is reported with its own text and the module's name; the
// driver then carries on, as a diagnostic must never stop a request.
#define VA_CHECK(expr, module) ((expr) ? (void)0 : RtlAssert((PVOID) #expr, (PVOID)(module), __LINE__, nullptr))

// Code that only ever runs at PASSIVE_LEVEL may be paged out. Kept out of line, so that it is in
// the PAGE section wherever it is called from, as the mark says.
#define VA_PAGED __attribute__((section("PAGE"), noinline))

// The driver's record of a device object; every device object of the driver has one. Inline, so
// resident wherever it is used: the dispatch and completion paths run at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline DEVICE_EXTENSION* ExtensionOf(PDEVICE_OBJECT deviceObject) {
    return static_cast<DEVICE_EXTENSION*>(deviceObject->DeviceExtension);
}

// The routines the system calls, declared by their roles so that a wrong signature does not compile.
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD VA_Unload;
DRIVER_ADD_DEVICE VA_AddDevice;
DRIVER_DISPATCH VA_DispatchIrp;

// pnp
NTSTATUS VA_HandlePnp(DEVICE_EXTENSION* devExt, PIRP irp);
NTSTATUS QueryLowerCapabilities(DEVICE_EXTENSION* devExt);

// power
NTSTATUS VA_HandlePower(DEVICE_EXTENSION* devExt, PIRP irp);

// util
VOID AcquirePendingAction(DEVICE_EXTENSION* devExt);
VOID ReleasePendingAction(DEVICE_EXTENSION* devExt);
BOOLEAN AcquireOwnRequest(DEVICE_EXTENSION* devExt);
VOID ReleaseOwnRequest(DEVICE_EXTENSION* devExt);
VOID ReleaseDispatch(DEVICE_EXTENSION* devExt);
VOID AcquireOrderLock(DEVICE_EXTENSION* devExt);
VOID ReleaseOrderLock(DEVICE_EXTENSION* devExt);
NTSTATUS CallDriverAndWait(PDEVICE_OBJECT targetDevObj, PIRP irp);
NTSTATUS CallNextDriverAndWait(DEVICE_EXTENSION* devExt, PIRP irp);
BOOLEAN IsDriverNamed(PDEVICE_OBJECT deviceObject, PCWSTR driverName);
BOOLEAN IsTarvexAbove(PDEVICE_OBJECT physicalDevObj);
VOID InheritLowerFlags(PDEVICE_OBJECT filterDevObj, PDEVICE_OBJECT topDevObj);
VOID InitializeFilterExtension(DEVICE_EXTENSION* devExt, PDEVICE_OBJECT filterDevObj, PDEVICE_OBJECT physicalDevObj,
                               LONG ipcSlot);
NTSTATUS QueryDeviceText(PDEVICE_OBJECT physicalDevObj, DEVICE_REGISTRY_PROPERTY property, PWCHAR buffer,
                         ULONG bufferUnits, ULONG queryBytes);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status);

// security
NTSTATUS ProtectControlDevice(PDEVICE_OBJECT controlDevObj);

// usb
NTSTATUS SubmitUrb(DEVICE_EXTENSION* devExt, PURB urb);
NTSTATUS GetDeviceDescriptor(DEVICE_EXTENSION* devExt);
NTSTATUS SetVendorCommand(DEVICE_EXTENSION* devExt, BOOLEAN on);
