// What the test bus's two parts share: testbus.cpp (the bus, its children and its control device)
// and winegaps.cpp (what the bus does because Wine's kernel differs from Windows).
#pragma once

#include <ntddk.h>
#include <stdarg.h>

#include "testbus.h"

namespace tvxbus {

constexpr PCWSTR FILTER_SERVICE = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tarvex";

struct Child {
    PDEVICE_OBJECT pdo;
    USHORT idVendor;
    USHORT idProduct;
    ULONG port;
    WCHAR deviceId[TESTBUS_NAME_UNITS];
    WCHAR instance[TESTBUS_NAME_UNITS];
    TESTBUS_CHILD info;
};

extern PDRIVER_OBJECT filterDriver;
extern TESTBUS_STATUS busStatus;

// Keeps the text for the test and passes it to DbgPrint.
void Trace(const char* format, ...);
void VTrace(const char* format, va_list args);

NTSTATUS LoadFilter();
void WriteLocation(Child& child);

}  // namespace tvxbus
