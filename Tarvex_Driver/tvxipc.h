// Control devices of the Tarvex charging filter: the names user-mode clients open and the control
// codes they send. Include <windows.h> (with <winioctl.h>) or the kernel headers first.
//
// Each of the four orders carries the device's location text (UTF-16LE, as the platform reports
// the device's location information) as input and gets one byte back. A location that does not
// match the control device's own fails with STATUS_INVALID_ADDRESS, and nothing is done.
#pragma once

#ifndef CTL_CODE
#error "include <windows.h> and <winioctl.h>, or <ntddk.h>, before tvxipc.h"
#endif

// Numbers run from 0 to TVXIPC_MAX_DEVICES - 1; the lowest free one is given to each new device.
#define TVXIPC_MAX_DEVICES 256

// The longest location text a control device keeps and answers, terminating zero included.
#define TVXIPC_LOCATION_UNITS 256

// Kernel names of control device n: TVXIPC_DEVICE_NAME_BASE n and TVXIPC_LINK_NAME_BASE n.
#define TVXIPC_DEVICE_NAME_BASE L"\\Device\\TVXIPC"
#define TVXIPC_LINK_NAME_BASE L"\\DosDevices\\TVXIPC"

// What a user-mode client passes to CreateFile, formatted with the number n.
#define TVXIPC_USER_PATH_FORMAT_A "\\\\.\\TVXIPC%d"
#define TVXIPC_USER_PATH_FORMAT_W L"\\\\.\\TVXIPC%d"

// Send the charging request in its on form; the driver repeats it after the device's own
// driver sends a request of the same kind.
#define IOCTL_TVXIPC_CHARGING_ON CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Send the charging request in its off form and stop repeating it.
#define IOCTL_TVXIPC_CHARGING_OFF CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Forget what the watch saw and start watching the device's requests.
#define IOCTL_TVXIPC_URB_WATCH_START CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Stop watching; the output byte is 1 if the device carried a data transfer since the start.
#define IOCTL_TVXIPC_URB_WATCH_QUERY CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Read which device the control device serves: no input; the output is its location text in
// UTF-16LE with the terminating zero (STATUS_BUFFER_TOO_SMALL and nothing when it does not fit).
// It changes nothing, so a client may ask every control device.
#define IOCTL_TVXIPC_QUERY_LOCATION CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)
