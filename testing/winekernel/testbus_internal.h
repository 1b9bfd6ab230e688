// What the test bus's parts share: testbus.cpp (the bus and its children), testbus_control.cpp
// (its control device, through which the test drives it) and winegaps.cpp (what the bus does
// because Wine's kernel differs from Windows).
#pragma once

#include <ntddk.h>
#include <stdarg.h>

#include "testbus.h"

namespace tvxbus {

constexpr PCWSTR FILTER_SERVICE = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tarvex";
constexpr ULONG POOL_TAG = 0x42747654;  // "TvtB"

enum class Kind : ULONG { Control = 1, Fdo, Pdo };

struct BusExtension {
    Kind kind;
    ULONG slot;  // of a PDO
};

struct Child {
    PDEVICE_OBJECT pdo;
    USHORT idVendor;
    USHORT idProduct;
    ULONG port;
    WCHAR deviceId[TESTBUS_NAME_UNITS];
    WCHAR instance[TESTBUS_NAME_UNITS];
    TESTBUS_CHILD info;
};

extern PDEVICE_OBJECT busFdo;
extern PDEVICE_OBJECT busPdo;
extern PDRIVER_OBJECT filterDriver;

extern FAST_MUTEX stateLock;
extern TESTBUS_STATUS busStatus;
extern Child children[TESTBUS_MAX_CHILDREN];
extern ULONG childCount;

void Lock(FAST_MUTEX* mutex);
void Unlock(FAST_MUTEX* mutex);
BusExtension* ExtensionOf(PDEVICE_OBJECT device);
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
void DriverNameOf(PDEVICE_OBJECT device, PWCHAR out);

// Builds a NUL-terminated text of at most TESTBUS_NAME_UNITS units in place.
class TextBuilder {
public:
    explicit TextBuilder(PWCHAR buffer) : out_(buffer) { out_[0] = L'\0'; }

    TextBuilder& Add(PCWSTR text) {
        while (*text && at_ < TESTBUS_NAME_UNITS - 1) {
            out_[at_++] = *text++;
        }
        out_[at_] = L'\0';
        return *this;
    }

    // value in the given base, with at least digits digits.
    TextBuilder& Number(ULONG value, ULONG base, size_t digits) {
        WCHAR reversed[12];
        size_t n = 0;
        do {
            ULONG digit = value % base;
            reversed[n++] = static_cast<WCHAR>(digit < 10 ? L'0' + digit : L'A' + digit - 10);
            value /= base;
        } while ((value || n < digits) && n < sizeof(reversed) / sizeof(reversed[0]) - 1);
        WCHAR text[12];
        for (size_t i = 0; i < n; ++i) {
            text[i] = reversed[n - 1 - i];
        }
        text[n] = L'\0';
        return Add(text);
    }

private:
    PWCHAR out_;
    size_t at_ = 0;
};

// Keeps the text for the test and passes it to DbgPrint.
void Trace(const char* format, ...);
void VTrace(const char* format, va_list args);
// Hands out the kept text not taken before, at most room bytes of it.
ULONG TakeDebugText(PUCHAR out, ULONG room);

NTSTATUS LoadFilter();
void WriteLocation(Child& child);

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver);
void DeleteControlDevice();
NTSTATUS ControlDispatch(PIRP irp);

}  // namespace tvxbus
