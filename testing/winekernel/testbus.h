// The test USB bus and the test program that drives it share these names, codes and records.
// Include <windows.h> and <winioctl.h>, or <ntddk.h>, first.
#pragma once

// The bus's own control device, created when the driver loads.
#define TESTBUS_DEVICE_NAME L"\\Device\\TvxTestBus"
#define TESTBUS_LINK_NAME L"\\DosDevices\\TvxTestBus"
#define TESTBUS_USER_PATH L"\\\\.\\TvxTestBus"

// Hardware ID of the root-enumerated bus device (the bus INF installs for it).
#define TESTBUS_HARDWARE_ID L"root\\TvxTestBus"

#define TESTBUS_MAX_CHILDREN 8
#define TESTBUS_MAX_PACKETS 32
#define TESTBUS_NAME_UNITS 64

// Out: TESTBUS_STATUS.
#define IOCTL_TESTBUS_STATUS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
// In: TESTBUS_PLUG. Out: ULONG, the child's slot. The child is reported in the next bus relations.
#define IOCTL_TESTBUS_PLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
// In: ULONG slot. The child is left out of the next bus relations.
#define IOCTL_TESTBUS_UNPLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
// In: ULONG slot. Out: TESTBUS_CHILD.
#define IOCTL_TESTBUS_CHILD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
// In: TESTBUS_SEND. Out: LONG, the status the child's stack answered. The URB enters the
// stack at its top, as one from the device's own driver would.
#define IOCTL_TESTBUS_SEND_URB CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Out: the captured debug text not read before (bytes, no terminator).
#define IOCTL_TESTBUS_DEBUG_TEXT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _TESTBUS_STATUS {
    LONG busAdded;          // the bus's AddDevice ran
    LONG busStarted;        // the bus FDO completed its start
    LONG filterLoadStatus;  // ZwLoadDriver of the filter's service
    LONG filterAddStatus;   // the filter's AddDevice with the root PDO
    LONG importsAdapted;    // number of the filter's imports pointed at the bus's adapters
    LONG relationsQueries;  // bus-relations requests the FDO answered
    // What Wine's IoGetDeviceProperty answered the filter before the adapter changed it.
    LONG wineWin32Statuses;              // Win32 error numbers returned as the status
    LONG wineUpperCaseGuids;             // class GUIDs in upper case
    LONG filterAssertions;               // RtlAssert calls of the filter
    WCHAR aboveFdo[TESTBUS_NAME_UNITS];  // driver of the device attached right above the FDO
    WCHAR stackTop[TESTBUS_NAME_UNITS];  // driver of the top of the bus's stack
} TESTBUS_STATUS;

typedef struct _TESTBUS_PLUG {
    USHORT idVendor;
    USHORT idProduct;
    ULONG port;  // the location text says Port_#<port>.Hub_#0001
} TESTBUS_PLUG;

enum TESTBUS_URB_KIND {
    TESTBUS_URB_BULK_OUT = 1,        // a 4-byte bulk transfer
    TESTBUS_URB_VENDOR_CONTROL = 2,  // a control transfer with setup 40 40 00 00 00 00 00 00
};

typedef struct _TESTBUS_SEND {
    ULONG slot;
    ULONG kind;
} TESTBUS_SEND;

typedef struct _TESTBUS_CHILD {
    LONG used;     // the slot was ever plugged
    LONG present;  // reported in bus relations
    LONG started;  // its PDO completed a start and has not been removed since
    LONG removed;  // its PDO received IRP_MN_REMOVE_DEVICE
    LONG deleted;  // its PDO was deleted
    LONG bulkTransfers;
    LONG wineLocationStatus;  // IoGetDeviceProperty(LocationInformation) at start, before the bus wrote it
    LONG packetCount;         // setup packets received, in order (the first TESTBUS_MAX_PACKETS kept)
    UCHAR packets[TESTBUS_MAX_PACKETS][8];
    WCHAR location[TESTBUS_NAME_UNITS];
    WCHAR instanceId[TESTBUS_NAME_UNITS];   // <device id>\<instance id>
    WCHAR aboveDriver[TESTBUS_NAME_UNITS];  // driver of the device attached right above the PDO
} TESTBUS_CHILD;
